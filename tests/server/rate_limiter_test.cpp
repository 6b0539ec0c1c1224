#include "server/rate_limiter.h"

#include <gtest/gtest.h>

namespace fwp::server {
namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;

TEST(RateLimiter, AFullBucketAllowsTheNumberAtOnceThenOneEachShare) {
    TRateLimiter limiter(3);  // one request's share: 20 s
    const microseconds start = 1000s;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(limiter.Take("192.0.2.1", start), std::nullopt) << i;
    EXPECT_EQ(limiter.Take("192.0.2.1", start), 20s);
    EXPECT_EQ(limiter.Take("192.0.2.1", start + 5s), 15s);
    EXPECT_EQ(limiter.Take("192.0.2.1", start + 19999ms), 1s);  // whole seconds, rounded up
    EXPECT_EQ(limiter.Take("192.0.2.1", start + 20s), std::nullopt);
    EXPECT_EQ(limiter.Take("192.0.2.1", start + 20s), 20s);
    // Refused requests cost nothing: after a minute of quiet the bucket is full again.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(limiter.Take("192.0.2.1", start + 80s), std::nullopt) << i;
    EXPECT_NE(limiter.Take("192.0.2.1", start + 80s), std::nullopt);
}

TEST(RateLimiter, ZeroMeansNoLimit) {
    TRateLimiter limiter(0);
    for (int i = 0; i < 10'000; ++i)
        ASSERT_EQ(limiter.Take("192.0.2.1", 0s), std::nullopt);
    EXPECT_EQ(limiter.TrackedAddresses(), 0u);
}

TEST(RateLimiter, ABusyFullTableMakesNewcomersShareOneBucket) {
    TRateLimiter limiter(2, 2);
    EXPECT_EQ(limiter.Take("192.0.2.1", 0s), std::nullopt);
    EXPECT_EQ(limiter.Take("192.0.2.2", 0s), std::nullopt);
    // No room: these two draw from one shared bucket of two.
    EXPECT_EQ(limiter.Take("192.0.2.3", 1s), std::nullopt);
    EXPECT_EQ(limiter.Take("192.0.2.4", 1s), std::nullopt);
    EXPECT_EQ(limiter.Take("192.0.2.5", 1s), 30s);
    EXPECT_EQ(limiter.Take("192.0.2.3", 1s), 30s);
    EXPECT_EQ(limiter.TrackedAddresses(), 2u);
    // The tracked ones keep their own allowance.
    EXPECT_EQ(limiter.Take("192.0.2.1", 1s), std::nullopt);
}

TEST(RateLimiter, AddressesIdleForAMinuteMakeRoom) {
    TRateLimiter limiter(2, 2);
    EXPECT_EQ(limiter.Take("192.0.2.1", 0s), std::nullopt);
    EXPECT_EQ(limiter.Take("192.0.2.2", 0s), std::nullopt);
    EXPECT_EQ(limiter.Take("192.0.2.2", 10s), std::nullopt);
    // At 31 s the first address's bucket is full again (one request, 30 s
    // share), the second's is not: only the first one goes.
    EXPECT_EQ(limiter.Take("192.0.2.3", 31s), std::nullopt);
    EXPECT_EQ(limiter.TrackedAddresses(), 2u);
    EXPECT_EQ(limiter.Take("192.0.2.3", 31s), std::nullopt);
    EXPECT_EQ(limiter.Take("192.0.2.3", 31s), 30s);
    // The second address got one request back at 30 s, and no more.
    EXPECT_EQ(limiter.Take("192.0.2.2", 31s), std::nullopt);
    EXPECT_EQ(limiter.Take("192.0.2.2", 31s), 29s);
}

}  // namespace
}  // namespace fwp::server
