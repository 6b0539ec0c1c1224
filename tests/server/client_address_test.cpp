#include "server/rendezvous_server.h"

#include <gtest/gtest.h>

namespace fwp::server {
namespace {

TEST(ClientAddress, IsThePeerUnlessAProxyIsTrusted) {
    EXPECT_EQ(ClientAddressOf("192.0.2.1", "", false), "192.0.2.1");
    EXPECT_EQ(ClientAddressOf("192.0.2.1", "203.0.113.9", false), "192.0.2.1");
    EXPECT_EQ(ClientAddressOf("::ffff:192.0.2.1", "", false), "192.0.2.1");
    EXPECT_EQ(ClientAddressOf("2001:db8::1", "", false), "2001:db8::1");
}

TEST(ClientAddress, BehindATrustedProxyIsTheLastForwardedEntry) {
    EXPECT_EQ(ClientAddressOf("127.0.0.1", "203.0.113.9", true), "203.0.113.9");
    EXPECT_EQ(ClientAddressOf("127.0.0.1", "198.51.100.7, 198.51.100.8, 203.0.113.9", true), "203.0.113.9");
    EXPECT_EQ(ClientAddressOf("127.0.0.1", "198.51.100.7,203.0.113.9 ", true), "203.0.113.9");
    // Without the header the request came straight in.
    EXPECT_EQ(ClientAddressOf("127.0.0.1", "", true), "127.0.0.1");
    EXPECT_EQ(ClientAddressOf("127.0.0.1", "198.51.100.7, ", true), "127.0.0.1");
}

}  // namespace
}  // namespace fwp::server
