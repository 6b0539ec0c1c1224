#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/rate_limiter.h"
#include "server/query.h"
#include "server/registry.h"

// What the easy connection service answers, without the HTTP around it.
//
// Every reply body starts with a three-digit code and a reason, which is also
// the HTTP status, and its lines end in CR LF. The client reads only the
// body: an open succeeds when it starts with "200", a lookup when it has a
// "port" line. No reply here ever says "404 Not Found": the client takes that
// text as "the service is gone", so it is kept for a wrong path alone (and
// an unknown or expired name is a 410, which no proxy turns into a 404 page).
namespace fwp::server {

constexpr std::size_t MaxNameBytes = 255;
// A reachability check connects only to ports from here up: below lie the
// system's services, which no peer listens on.
constexpr int MinProbePort = 1024;

struct TServiceSettings {
    std::chrono::seconds Ttl = std::chrono::hours(12);
    int RateLimit = 120;  // requests per client address per minute; 0: none
};

struct TReply {
    int Status = 200;
    std::string Body;
    std::optional<std::chrono::seconds> RetryAfter;  // with 429
    // Set for a reachability check: the server connects there (off its
    // connection threads) and answers with ReachabilityReply instead.
    std::optional<TEndpoint> Probe;
};

// "200 OK" and a line "reachable = yes" or "reachable = no".
TReply ReachabilityReply(bool reachable);

class TRelay;

class TRendezvousService {
public:
    // With a relay, the relay modes are answered (a line "relay = HOST:PORT"
    // and a line "token = T"); without, they are unknown modes as before.
    TRendezvousService(TRegistry& registry, const TServiceSettings& settings, TRelay* relay = nullptr);

    // Answers one request to the service's path. target is the raw request
    // target as it came (path and query, nothing decoded); client is the
    // address the request came from (the forwarded one behind a trusted
    // proxy). nowMs is the wall-clock time in milliseconds since 1970 (for
    // expiry), monotonic the time of any steady clock (for the rate limit).
    TReply Handle(std::string_view target, const std::string& client, std::int64_t nowMs,
                  std::chrono::microseconds monotonic);
    // For /healthz: 200 when the store takes a write and no request has
    // failed on it in the last minute since the last successful
    // registration or removal. monotonic as for Handle.
    TReply Health(std::chrono::microseconds monotonic);

private:
    TReply DoHandle(std::string_view target, const std::string& client, std::int64_t nowMs);
    TReply HandleRelay(const TQuery& query, const std::string& client, std::int64_t nowMs);

    TRegistry& m_registry;
    TServiceSettings m_settings;
    TRelay* m_relay;
    TRateLimiter m_limiter;
    // When a request last failed on the store (steady clock, µs); -1 when
    // it has not, or a registration or removal has worked since. A failed
    // registration may need more room than the health check's small write,
    // so the check alone could pass while every registration fails.
    std::atomic<std::int64_t> m_lastFailure{-1};
};

}  // namespace fwp::server
