#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <netinet/in.h>

// Opens a port on routers that speak the NAT port mapping protocol instead of
// UPnP: a UDP request to the gateway's port 5351 for its external address, or
// to map, renew or remove one port.
namespace fwp {

// The gateway the requests go to. "ADDR" (IPv4) names it, "off" sends
// nothing. Unset, the requests go to the system's default gateway, except
// when FWP_SSDP_TARGET is set: a run that points the UPnP search somewhere
// (tests do) sends no NAT-PMP request to the real network either.
constexpr std::string_view NatPmpGatewayVariable = "FWP_NATPMP_GATEWAY";
// The lease to ask for in seconds (2 to 86400), so that a test sees renewals
// without waiting half an hour.
constexpr std::string_view NatPmpLeaseVariable = "FWP_NATPMP_LEASE";

// Where NAT-PMP requests go: nullopt sends none; 0 means the default gateway.
std::optional<in_addr_t> NatPmpGatewayFromEnvironment();

// One blocking exchange at a time; each call waits at most the given time for
// the gateway, resending as the protocol's back-off says.
class TNatPmpClient {
public:
    explicit TNatPmpClient(std::chrono::milliseconds wait) : m_wait(wait) {}

    // The gateway's external address, dotted; empty when none answered.
    std::string ExternalAddress() const;
    // Maps the TCP (protocol 0) or UDP (1) port to the same port of this
    // machine for lifetime seconds, 0 removing it. The lifetime the gateway
    // granted, or nullopt when the request failed.
    std::optional<std::uint32_t> Map(int port, int protocol, std::uint32_t lifetime) const;

private:
    std::chrono::milliseconds m_wait;
};

}  // namespace fwp
