#include "connect/url_encode.h"

#include <gtest/gtest.h>

namespace fwp {
namespace {

TEST(URLEncode, EscapesOnlyBlanksTheFiveMarksAndHighBytes) {
    struct TCase {
        std::string_view text;
        std::string_view encoded;
    };
    const TCase cases[] = {
        {"a b", "a%20b"},
        {"50%", "50%25"},
        {"x&y=z", "x&y=z"},
        {"\xE9", "%E9"},
        {"*#<>", "%2A%23%3C%3E"},
        {"+?/:;@!$'(),~._-", "+?/:;@!$'(),~._-"},
        {"\x7F\x80\xFF\xab", "\x7F%80%FF%AB"},
        // A name in CP932: the first byte of each character is high, the
        // second byte may be plain ASCII ("Y").
        {"\x91\xBE\x98\x59", "%91%BE%98Y"},
        {"", ""},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.text);
        EXPECT_EQ(URLEncode(test.text), test.encoded);
    }
}

}  // namespace
}  // namespace fwp
