#include "common/numbers.h"

#include <gtest/gtest.h>

namespace fwp {
namespace {

TEST(Numbers, OnlyWholeDecimalLinesAreNumbers) {
    EXPECT_EQ(ParseInt64("0"), 0);
    EXPECT_EQ(ParseInt64("-1"), -1);
    EXPECT_EQ(ParseInt64("+7"), 7);
    EXPECT_EQ(ParseInt64("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", "-", "+", "1 ", " 1", "1x", "0x10", "9223372036854775808", "++1", "+-1"})
        EXPECT_FALSE(ParseInt64(bad)) << bad;
}

TEST(Numbers, Int32RangeIsChecked) {
    EXPECT_EQ(ParseInt32("2147483647"), 2147483647);
    EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
    EXPECT_FALSE(ParseInt32("2147483648"));
}

}  // namespace
}  // namespace fwp
