#include "connect/natpmp.h"

#include <algorithm>
#include <cstdlib>

#include <arpa/inet.h>
#include <natpmp.h>
#include <poll.h>

#include "connect/socket_util.h"
#include "connect/upnp.h"

namespace fwp {
namespace {

using Clock = std::chrono::steady_clock;

// One request and its answer: sends with send(), then waits for the answer,
// resending on the library's schedule, until the deadline. The answer, or
// nullopt.
template <typename TSend>
std::optional<natpmpresp_t> Exchange(std::chrono::milliseconds wait, TSend send) {
    const std::optional<in_addr_t> gateway = NatPmpGatewayFromEnvironment();
    if (!gateway)
        return std::nullopt;
    natpmp_t session{};
    if (initnatpmp(&session, *gateway != 0 ? 1 : 0, *gateway) < 0)
        return std::nullopt;
    std::optional<natpmpresp_t> answer;
    if (send(session) >= 0) {
        const Clock::time_point deadline = Clock::now() + wait;
        for (;;) {
            timeval timeout{};
            if (getnatpmprequesttimeout(&session, &timeout) < 0)
                break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            // The time to the next resend; none left means resend now.
            const long next = std::max(0L, timeout.tv_sec * 1000 + timeout.tv_usec / 1000 + 1);
            pollfd ready{session.s, POLLIN, 0};
            ::poll(&ready, 1, static_cast<int>(std::min<long>(next, left.count())));
            natpmpresp_t response{};
            const int result = readnatpmpresponseorretry(&session, &response);
            if (result == NATPMP_TRYAGAIN)
                continue;
            if (result >= 0)
                answer = response;
            break;
        }
    }
    closenatpmp(&session);
    return answer;
}

}  // namespace

std::optional<in_addr_t> NatPmpGatewayFromEnvironment() {
    const char* value = std::getenv(std::string(NatPmpGatewayVariable).c_str());
    if (!value)
        return std::getenv(std::string(SSDPTargetVariable).c_str()) ? std::nullopt
                                                                    : std::optional<in_addr_t>(0);
    in_addr address{};
    if (::inet_pton(AF_INET, value, &address) != 1 || address.s_addr == 0)
        return std::nullopt;
    return address.s_addr;
}

std::string TNatPmpClient::ExternalAddress() const {
    const std::optional<natpmpresp_t> answer =
        Exchange(m_wait, [](natpmp_t& session) { return sendpublicaddressrequest(&session); });
    // A gateway without an address of its own yet answers 0.0.0.0.
    if (!answer || answer->type != NATPMP_RESPTYPE_PUBLICADDRESS ||
        answer->pnu.publicaddress.addr.s_addr == 0)
        return {};
    return net::DottedAddress(answer->pnu.publicaddress.addr);
}

std::optional<std::uint32_t> TNatPmpClient::Map(int port, int protocol, std::uint32_t lifetime) const {
    if ((protocol != 0 && protocol != 1) || port < 1 || port > 65535)
        return std::nullopt;
    const int kind = protocol == 0 ? NATPMP_PROTOCOL_TCP : NATPMP_PROTOCOL_UDP;
    const auto number = static_cast<std::uint16_t>(port);
    const std::optional<natpmpresp_t> answer = Exchange(m_wait, [&](natpmp_t& session) {
        return sendnewportmappingrequest(&session, kind, number, number, lifetime);
    });
    const int expected = protocol == 0 ? NATPMP_RESPTYPE_TCPPORTMAPPING : NATPMP_RESPTYPE_UDPPORTMAPPING;
    if (!answer || answer->type != expected || answer->pnu.newportmapping.privateport != number)
        return std::nullopt;
    // A peer is told this machine's own port, so another external port is of
    // no use: it is given back at once.
    if (lifetime != 0 && answer->pnu.newportmapping.mappedpublicport != number) {
        const std::uint16_t other = answer->pnu.newportmapping.mappedpublicport;
        Exchange(m_wait, [&](natpmp_t& session) {
            return sendnewportmappingrequest(&session, kind, number, other, 0);
        });
        return std::nullopt;
    }
    return answer->pnu.newportmapping.lifetime;
}

}  // namespace fwp
