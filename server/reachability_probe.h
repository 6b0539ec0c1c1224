#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace fwp::server {

// The first line a peer of this program sends on every connection, before
// anything else; a listening peer sends it as soon as it accepts.
constexpr std::string_view PeerBanner = "Fernwaypost Protocol Version 0.90";

// Whether a peer of this program listens at ip:port (ip dotted IPv4 or IPv6).
// One connection attempt; then the peer's first line is read and must be the
// banner. Nothing is sent, and the connection is closed as soon as the line
// is in. The whole check takes at most limit.
bool ProbeListener(const std::string& ip, int port, std::chrono::milliseconds limit);

}  // namespace fwp::server
