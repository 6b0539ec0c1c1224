#include "server/rendezvous_service.h"

#include <cstdio>
#include <variant>

#include "server/query.h"
#include "server/relay.h"

namespace fwp::server {
namespace {

// How long a failed request keeps /healthz at 503 unless a registration or
// removal works meanwhile: long enough for a load balancer to notice, short
// enough that an instance taken out of service is tried again.
constexpr std::chrono::microseconds FailureMemory = std::chrono::minutes(1);

TReply Refuse(int status, std::string_view reason) {
    return {status, std::to_string(status) + " " + std::string(reason) + "\r\n", std::nullopt, std::nullopt};
}

TReply Found(const TEndpoint& endpoint) {
    // An IPv6 address goes out as it is, without brackets: the value is
    // everything after "=", so its colons need no quoting.
    // The client also accepts "ip=A"; the blanks are only for people reading it.
    return {200, "200 OK\r\nip = " + endpoint.Ip + "\r\nport = " + std::to_string(endpoint.Port) + "\r\n",
            std::nullopt, std::nullopt};
}

// A name is what the client's user typed, in CP932: never empty and never
// holding control bytes, which CP932 text does not contain (its second bytes
// start at 0x40).
std::optional<std::string_view> NameProblem(const std::string& name) {
    if (name.empty())
        return "Empty user name";
    if (name.size() > MaxNameBytes)
        return "User name longer than 255 bytes";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return "Control character in user name";
    }
    return std::nullopt;
}

}  // namespace

TReply ReachabilityReply(bool reachable) {
    return {200, std::string("200 OK\r\nreachable = ") + (reachable ? "yes" : "no") + "\r\n", std::nullopt,
            std::nullopt};
}

TRendezvousService::TRendezvousService(TRegistry& registry, const TServiceSettings& settings, TRelay* relay)
    : m_registry(registry), m_settings(settings), m_relay(relay), m_limiter(settings.RateLimit) {}

TReply TRendezvousService::Handle(std::string_view target, const std::string& client, std::int64_t nowMs,
                                  std::chrono::microseconds monotonic) {
    if (const auto wait = m_limiter.Take(RateLimitKey(client), monotonic)) {
        TReply reply = Refuse(429, "Too many requests");
        reply.RetryAfter = *wait;
        return reply;
    }
    try {
        return DoHandle(target, client, nowMs);
    } catch (const TRegistryError& error) {
        std::fprintf(stderr, "fwpost-rendezvous: %s\n", error.what());
        m_lastFailure = monotonic.count();
        return Refuse(503, "Storage unavailable");
    }
}

TReply TRendezvousService::DoHandle(std::string_view target, const std::string& client, std::int64_t nowMs) {
    const auto parsed = ParseQuery(target);
    if (const auto* error = std::get_if<TQueryError>(&parsed))
        return Refuse(400, error->Reason);
    const TQuery& query = std::get<TQuery>(parsed);
    if (query.Mode == TMode::mdProbe) {
        // Only the address the request came from is ever probed, so the
        // service cannot be sent to knock on other machines.
        const std::optional<int> port = ParsePort(query.Port);
        if (!port || *port < MinProbePort)
            return Refuse(400, "Port must be 1024-65535");
        const std::optional<std::string> address = CanonicalAddress(client);
        if (!address)
            return Refuse(400, "Client address is not an IP address");
        TReply reply;
        reply.Probe = TEndpoint{*address, *port};
        return reply;
    }
    if ((query.Mode == TMode::mdRelay || query.Mode == TMode::mdRelayWait) && !m_relay)
        return Refuse(400, "Unknown mode");
    if (const auto problem = NameProblem(query.User))
        return Refuse(400, *problem);

    switch (query.Mode) {
        case TMode::mdOpen: {
            const std::optional<int> port = ParsePort(query.Port);
            if (!port)
                return Refuse(400, "Port must be 1-65535");
            // Without an address the client means "where this request came from".
            const std::optional<std::string> address = CanonicalAddress(query.Ip.empty() ? client : query.Ip);
            if (!address)
                return Refuse(400, query.Ip.empty() ? "Client address is not an IP address; give ip"
                                                    : "ip must be an IPv4 or IPv6 address");
            const TEndpoint endpoint{*address, *port};
            const TOpenResult opened = m_registry.Open(query.User, client, endpoint, m_settings.Ttl, nowMs);
            m_lastFailure = -1;
            if (opened == TOpenResult::orTaken)
                return Refuse(409, "User name is in use from another address");
            return Found(endpoint);
        }
        case TMode::mdGet: {
            const std::optional<TEndpoint> endpoint = m_registry.Get(query.User, nowMs);
            if (!endpoint)
                return Refuse(410, "Unknown user");
            return Found(*endpoint);
        }
        case TMode::mdClose: {
            const TCloseResult closed = m_registry.Close(query.User, client, nowMs);
            m_lastFailure = -1;
            switch (closed) {
                case TCloseResult::crRemoved:
                    return {200, "200 OK\r\n", std::nullopt, std::nullopt};
                case TCloseResult::crUnknown:
                    return Refuse(410, "Unknown user");
                case TCloseResult::crOtherOwner:
                    return Refuse(403, "Registered from another address");
            }
            break;
        }
        case TMode::mdRelay:
        case TMode::mdRelayWait:
            return HandleRelay(query, client, nowMs);
        case TMode::mdProbe:
            break;  // answered above
    }
    return Refuse(400, "Unknown mode");
}

TReply TRendezvousService::HandleRelay(const TQuery& query, const std::string& client, std::int64_t nowMs) {
    const auto now = std::chrono::steady_clock::now();
    std::string relay = m_relay->Advertised();
    std::optional<std::string> token;
    if (query.Mode == TMode::mdRelayWait) {
        // Only the owner of a live registration may wait under its name;
        // asking renews the registration as an open from there would.
        const std::optional<TEndpoint> endpoint = m_registry.Get(query.User, nowMs);
        if (!endpoint)
            return Refuse(410, "Unknown user");
        if (m_registry.Open(query.User, client, *endpoint, m_settings.Ttl, nowMs) == TOpenResult::orTaken)
            return Refuse(403, "Registered from another address");
        m_lastFailure = -1;
        const std::optional<TRelay::TWaitTicket> ticket = m_relay->IssueWaitToken(query.User, now);
        if (!ticket)
            return Refuse(503, "Relay busy");
        token = ticket->Token;
        // Other instances of a shared store send joining sides here.
        m_registry.PublishWaiting(query.User, relay + " " + ticket->ParkId, m_relay->WaitTime());
    } else {
        token = m_relay->IssueJoinToken(query.User, now);
        if (!token) {
            // Parked at another instance's relay, if the store is shared.
            const std::optional<std::string> holder = m_registry.FindWaiting(query.User);
            const std::size_t blank = holder ? holder->find(' ') : std::string::npos;
            if (blank == std::string::npos || holder->substr(0, blank) == relay)
                return Refuse(410, "No one waits at the relay under this name");
            relay = holder->substr(0, blank);
            token = m_relay->SignJoinToken(holder->substr(blank + 1), nowMs);
        }
    }
    return {200, "200 OK\r\nrelay = " + relay + "\r\ntoken = " + *token + "\r\n", std::nullopt, std::nullopt};
}

TReply TRendezvousService::Health(std::chrono::microseconds monotonic) {
    try {
        m_registry.CheckHealth();
    } catch (const TRegistryError& error) {
        std::fprintf(stderr, "fwpost-rendezvous: %s\n", error.what());
        return Refuse(503, "Storage unavailable");
    }
    const std::int64_t failedAt = m_lastFailure;
    if (failedAt >= 0 && monotonic.count() - failedAt < FailureMemory.count())
        return Refuse(503, "Storage unavailable");
    return {200, "200 OK\r\n", std::nullopt, std::nullopt};
}

}  // namespace fwp::server
