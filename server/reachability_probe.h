#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace fwp::server {

// The first line a peer of this program sends on every connection, before
// anything else; a listening peer sends it as soon as it accepts.
constexpr std::string_view PeerBanner = "Fernwaypost Protocol Version 0.90";
// The first lines of a peer that runs its sessions secured by a passphrase,
// sent in the banner's place: each version of the exchange has its own.
constexpr std::string_view SecurePeerBanners[] = {"Fernwaypost Secure Session 2",
                                                  "Fernwaypost Secure Session 1"};

// Whether a peer of this program listens at ip:port (ip dotted IPv4 or IPv6).
// One connection attempt; then the peer's first line is read and must be
// one of the banners. Nothing is sent, and the connection is closed as
// soon as the line is in. The whole check takes at most limit.
bool ProbeListener(const std::string& ip, int port, std::chrono::milliseconds limit);

}  // namespace fwp::server
