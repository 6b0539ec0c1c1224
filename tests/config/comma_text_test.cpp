#include "config/comma_text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fwp {
namespace {

using TList = std::vector<std::string>;

struct TCase {
    const char* Name;
    TList Entries;
    std::string Text;
};

TEST(CommaText, EntriesWithBlanksCommasOrQuotesAreWrittenQuotedAndReadBack) {
    const TCase cases[] = {
        {"plain entries", {"localhost", "10.0.0.5"}, "localhost,10.0.0.5"},
        {"no entries", {}, ""},
        {"space", {"my host", "b"}, "\"my host\",b"},
        {"comma", {"a,b"}, "\"a,b\""},
        {"inner quotes doubled", {"say \"hi\""}, "\"say \"\"hi\"\"\""},
        {"tab is a control character", {"a\tb"}, "\"a\tb\""},
        {"one empty entry", {""}, "\"\""},
        {"empty entry among others", {"a", "", "b"}, "a,,b"},
        {"non-ASCII text needs no quotes", {"山田"}, "山田"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(ToCommaText(c.Entries), c.Text);
        EXPECT_EQ(FromCommaText(c.Text), c.Entries);
    }
}

TEST(CommaText, ReadingSplitsAtCommasAndAtSpacesOutsideQuotes) {
    const TCase cases[] = {
        {"unquoted space splits", {"my", "host"}, "my host"},
        {"leading blanks skipped", {"a", "b"}, "   a,  b"},
        {"blanks around commas", {"a", "b"}, "a , b"},
        {"only blanks", {}, "   "},
        {"comma at the end", {"a", ""}, "a,"},
        {"missing closing quote", {"a b"}, "\"a b"},
        {"text after a closing quote starts a new entry", {"ab", "cd"}, "\"ab\"cd"},
        {"quote inside an unquoted entry", {"a\"b"}, "a\"b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(FromCommaText(c.Text), c.Entries);
    }
}

}  // namespace
}  // namespace fwp
