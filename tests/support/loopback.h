#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace fwp::test {

// The address 127.0.0.1:port.
sockaddr_in Loopback(int port);
// A socket of type (SOCK_STREAM or SOCK_DGRAM) bound to a free loopback port,
// which is stored in port; -1 when that fails.
int BindLoopback(int type, std::uint16_t& port);
// A loopback port that was free a moment ago (nothing listens on it).
int FreePort();
// True when a socket can be bound to ::1 (IPv6 loopback is there).
bool LoopbackHasIPv6();

}  // namespace fwp::test
