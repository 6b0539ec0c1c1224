#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace fwp::server {

// Limits the requests of each client address to a number per minute. Each
// address has a bucket of that many requests that refills evenly over a
// minute, so a burst of the whole number is allowed at once and the lasting
// rate is the number per minute.
//
// The table of addresses is bounded. An address whose bucket has refilled
// completely is the same as an unknown one and is dropped when room is
// needed; when every tracked address is still busy, the addresses that find
// no room share one bucket between them, so many addresses cannot buy more
// requests (or more memory) than that.
class TRateLimiter {
public:
    static constexpr std::size_t DefaultMaxAddresses = 100'000;

    // perMinute 0: no limit. Times are read from any monotonic clock; only
    // their differences count.
    explicit TRateLimiter(int perMinute, std::size_t maxAddresses = DefaultMaxAddresses);

    // Counts one request of address at now. Nothing when it may go on;
    // otherwise the whole seconds to wait before the next one is allowed.
    std::optional<std::chrono::seconds> Take(const std::string& address, std::chrono::microseconds now);

    std::size_t TrackedAddresses() const;

private:
    // When this address's bucket is full again. A request is allowed while
    // that lies at most a minute minus one interval ahead of now.
    using TFullAt = std::chrono::microseconds;

    std::optional<std::chrono::seconds> TakeFrom(TFullAt& fullAt, std::chrono::microseconds now) const;
    void DropIdle(std::chrono::microseconds now);

    int m_perMinute;
    std::size_t m_maxAddresses;
    std::chrono::microseconds m_interval;  // one request's share of a minute
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, TFullAt> m_buckets;
    TFullAt m_shared{0};  // the bucket of the addresses that find no room
    std::optional<std::chrono::microseconds> m_lastSweep;
};

}  // namespace fwp::server
