#include "server/query.h"

#include <gtest/gtest.h>

namespace fwp::server {
namespace {

// The parsed query, or the reason it was refused written as "!reason".
std::string Describe(std::string_view target) {
    const auto parsed = ParseQuery(target);
    if (const auto* error = std::get_if<TQueryError>(&parsed))
        return "!" + error->Reason;
    const TQuery& query = std::get<TQuery>(parsed);
    const char* const modes[] = {"open", "get", "close", "probe"};
    const char* mode = modes[static_cast<int>(query.Mode)];
    return std::string(mode) + "|" + query.User + "|" + query.Port + "|" + query.Ip;
}

// The rendezvous tests send the client's three forms and names with "&", "="
// and "+"; these are the cases they leave out.
TEST(Query, ANameKeepsEveryCharacterTheClientLeavesUnescaped) {
    EXPECT_EQ(Describe("/e?mode=get&user=a/b?c"), "get|a/b?c||");
    EXPECT_EQ(Describe("/e?mode=close&user=x&port=1&ip=2"), "close|x&port=1&ip=2||");
    // Port and address are read from the right, so the name may hold the keys themselves.
    EXPECT_EQ(Describe("/e?mode=open&user=x&port=1&ip=2&port=4006&ip=192.0.2.1"),
              "open|x&port=1&ip=2|4006|192.0.2.1");
    EXPECT_EQ(Describe("/e?mode=open&user=&ip=&port=&port=4006&ip="), "open|&ip=&port=|4006|");
}

TEST(Query, MalformedQueriesAreRefusedWithAReason) {
    EXPECT_EQ(Describe("/easy.cgi"), "!Missing query");
    EXPECT_EQ(Describe("/easy.cgi?"), "!Query must start with mode=");
    EXPECT_EQ(Describe("/easy.cgi?user=a&mode=get"), "!Query must start with mode=");
    EXPECT_EQ(Describe("/easy.cgi?mode=GET&user=a"), "!Unknown mode");
    EXPECT_EQ(Describe("/easy.cgi?mode=get"), "!Missing user");
    EXPECT_EQ(Describe("/easy.cgi?mode=get&"), "!Missing user");
    EXPECT_EQ(Describe("/easy.cgi?mode=get&User=a"), "!Missing user");
    EXPECT_EQ(Describe("/easy.cgi?mode=open&user=a&port=1"), "!Missing ip");
    EXPECT_EQ(Describe("/easy.cgi?mode=open&user=a&ip=1.2.3.4"), "!Missing port");
    EXPECT_EQ(Describe("/easy.cgi?mode=get&user=%4"), "!Bad escape in user");
    EXPECT_EQ(Describe("/easy.cgi?mode=open&user=a&port=1&ip=%G1"), "!Bad escape in ip");
    EXPECT_EQ(Describe("/easy.cgi?mode=probe"), "!Missing port");
    EXPECT_EQ(Describe("/easy.cgi?mode=probe&user=a&port=4006"), "!Missing port");
}

TEST(Query, AProbeCarriesOnlyAPort) {
    EXPECT_EQ(Describe("/easy.cgi?mode=probe&port=4006"), "probe||4006|");
    EXPECT_EQ(Describe("/easy.cgi?mode=probe&port="), "probe|||");
}

TEST(Query, AnAddressIsStoredAsDottedIPv4OrShortestIPv6) {
    const std::pair<const char*, const char*> good[] = {
        {"192.0.2.1", "192.0.2.1"},
        {"::1", "::1"},
        {"2001:DB8:0:0:0:0:0:5", "2001:db8::5"},
        {"2001:db8::0:5", "2001:db8::5"},
        {"::ffff:192.0.2.1", "192.0.2.1"},
        {"::FFFF:c000:0201", "192.0.2.1"},
        {"fe80::1", "fe80::1"},
    };
    for (const auto& [text, stored] : good) {
        SCOPED_TRACE(text);
        EXPECT_EQ(CanonicalAddress(text), stored);
    }
    for (const char* bad : {"", "01.2.3.4", "fe80::1%eth0", "[::1]", " ::1", "::1 ", "2001:db8::g",
                            "1:2:3:4:5:6:7:8:9", "example.org", "::1/128"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(CanonicalAddress(bad), std::nullopt);
    }
}

TEST(Query, OnlyPercentAndTwoHexDigitsAreDecoded) {
    EXPECT_EQ(PercentDecode("a%20b"), "a b");
    EXPECT_EQ(PercentDecode("%e9%E9"), "\xE9\xE9");
    EXPECT_EQ(PercentDecode("50%25"), "50%");
    EXPECT_EQ(PercentDecode("%2525"), "%25");
    EXPECT_EQ(PercentDecode("a+b"), "a+b");
    EXPECT_EQ(PercentDecode("%00"), std::string(1, '\0'));
    EXPECT_EQ(PercentDecode(""), "");
    EXPECT_EQ(PercentDecode("%"), std::nullopt);
    EXPECT_EQ(PercentDecode("%4"), std::nullopt);
    EXPECT_EQ(PercentDecode("%4g"), std::nullopt);
    EXPECT_EQ(PercentDecode("ab%"), std::nullopt);
}

TEST(Query, AnAddressIsFourDecimalNumbersUpTo255) {
    for (const char* good : {"0.0.0.0", "1.2.3.4", "203.0.113.5", "255.255.255.255", "10.0.0.10"}) {
        SCOPED_TRACE(good);
        EXPECT_TRUE(IsDottedIPv4(good));
    }
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", ".1.2.3", "1..2.3", "256.0.0.1",
                            "1.2.3.1000", "01.2.3.4", "1.2.3.00", "+1.2.3.4", "1.2.3.4 ", " 1.2.3.4", "::1",
                            "::ffff:1.2.3.4", "example.com", "0x7f.0.0.1", "1,2.3.4"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(IsDottedIPv4(bad));
    }
}

TEST(Query, TheRateLimitCountsAnIPv6AddressAsItsSlash64) {
    EXPECT_EQ(RateLimitKey("2001:db8:1:2:3:4:5:6"), "2001:db8:1:2::/64");
    EXPECT_EQ(RateLimitKey("2001:db8:1:2::ffff"), "2001:db8:1:2::/64");
    EXPECT_EQ(RateLimitKey("2001:db8:1:3::1"), "2001:db8:1:3::/64");
    EXPECT_EQ(RateLimitKey("::1"), "::/64");
    EXPECT_EQ(RateLimitKey("192.0.2.1"), "192.0.2.1");
    EXPECT_EQ(RateLimitKey("not an address"), "not an address");
}

TEST(Query, APortIsADecimalNumberFrom1To65535) {
    EXPECT_EQ(ParsePort("1"), 1);
    EXPECT_EQ(ParsePort("4006"), 4006);
    EXPECT_EQ(ParsePort("65535"), 65535);
    EXPECT_EQ(ParsePort("04006"), 4006);
    for (const char* bad : {"", "0", "65536", "99999", "100000", "-1", "+1", "1.0", "4006 ", "0x10", "abc"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(ParsePort(bad), std::nullopt);
    }
}

}  // namespace
}  // namespace fwp::server
