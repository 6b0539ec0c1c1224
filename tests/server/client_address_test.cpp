#include "server/rendezvous_server.h"

#include <gtest/gtest.h>

namespace fwp::server {
namespace {

// The rendezvous tests cover a forwarded list, a missing header and a header
// without trust; these are the forms they leave out.
TEST(ClientAddress, IsThePeerUnlessTheLastEntryOfATrustedProxysHeaderNamesAnother) {
    EXPECT_EQ(ClientAddressOf("::ffff:192.0.2.1", "", false), "192.0.2.1");
    EXPECT_EQ(ClientAddressOf("2001:db8::1", "", false), "2001:db8::1");
    EXPECT_EQ(ClientAddressOf("127.0.0.1", "198.51.100.7,203.0.113.9 ", true), "203.0.113.9");
    // An empty last entry is no address: the request came straight in.
    EXPECT_EQ(ClientAddressOf("127.0.0.1", "198.51.100.7, ", true), "127.0.0.1");
}

}  // namespace
}  // namespace fwp::server
