#include "server/rate_limiter.h"

#include <algorithm>

namespace fwp::server {
namespace {

using std::chrono::microseconds;

constexpr microseconds Minute = std::chrono::minutes(1);
// A full table is swept for idle addresses at most this often, so a flood of
// new addresses cannot make every request walk the whole table.
constexpr microseconds SweepInterval = std::chrono::seconds(1);

}  // namespace

TRateLimiter::TRateLimiter(int perMinute, std::size_t maxAddresses)
    : m_perMinute(std::max(perMinute, 0)),
      m_maxAddresses(std::max<std::size_t>(maxAddresses, 1)),
      m_interval(m_perMinute > 0 ? Minute / m_perMinute : Minute) {}

std::optional<std::chrono::seconds> TRateLimiter::TakeFrom(TFullAt& fullAt, microseconds now) const {
    // The bucket is a time: each request moves "full again" one interval
    // later, and the bucket is empty once that lies a whole minute ahead.
    const microseconds start = std::max(fullAt, now);
    const microseconds next = start + m_interval;
    if (next - now > Minute) {
        const microseconds wait = next - Minute - now;
        return std::chrono::ceil<std::chrono::seconds>(wait);
    }
    fullAt = next;
    return std::nullopt;
}

void TRateLimiter::DropIdle(microseconds now) {
    if (m_lastSweep && now - *m_lastSweep < SweepInterval)
        return;
    m_lastSweep = now;
    std::erase_if(m_buckets, [now](const auto& entry) { return entry.second <= now; });
}

std::optional<std::chrono::seconds> TRateLimiter::Take(const std::string& address, microseconds now) {
    if (m_perMinute == 0)
        return std::nullopt;
    const std::lock_guard lock(m_mutex);
    auto bucket = m_buckets.find(address);
    if (bucket == m_buckets.end()) {
        if (m_buckets.size() >= m_maxAddresses)
            DropIdle(now);
        if (m_buckets.size() >= m_maxAddresses)
            return TakeFrom(m_shared, now);
        bucket = m_buckets.emplace(address, now).first;
    }
    return TakeFrom(bucket->second, now);
}

std::size_t TRateLimiter::TrackedAddresses() const {
    const std::lock_guard lock(m_mutex);
    return m_buckets.size();
}

}  // namespace fwp::server
