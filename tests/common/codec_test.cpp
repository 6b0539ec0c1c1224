#include "common/codec.h"

#include <gtest/gtest.h>

namespace fwp::codec {
namespace {

TEST(Codec, Cp932TextDecodesIncludingTrailByte5C) {
    // ソ is 83 5C in CP932: its second byte is the backslash's code.
    EXPECT_EQ(Cp932ToUtf8("\x83\x5C"), "ソ");
    EXPECT_EQ(Cp932ToUtf8("\x93\xFA\x96\x7B\x8C\xEA.txt"), "日本語.txt");
    EXPECT_EQ(Cp932ToUtf8("\xB1"), "ｱ");  // half-width katakana
    EXPECT_EQ(Cp932ToUtf8("\x87\x40"), "①");
}

TEST(Codec, UndecodableBytesAreMarkedNotDropped) {
    EXPECT_EQ(Cp932ToUtf8("a\x81"), "a\xEF\xBF\xBD");    // lead byte cut off at the end
    EXPECT_EQ(Cp932ToUtf8("a\xA0z"), "a\xEF\xBF\xBDz");  // byte that is no character
    EXPECT_FALSE(IsValidCp932("a\x81"));
    EXPECT_TRUE(IsValidCp932("\x83\x5C"));
}

TEST(Codec, Utf8EncodesToCp932AndReportsWhatCannotBeHeld) {
    bool exact = false;
    EXPECT_EQ(Utf8ToCp932("転送完了", &exact), "\x93\x5D\x91\x97\x8A\xAE\x97\xB9");
    EXPECT_TRUE(exact);
    EXPECT_EQ(Utf8ToCp932("café", &exact), "caf?");
    EXPECT_FALSE(exact);
    EXPECT_EQ(Utf8ToCp932("a\xFF"
                          "b",
                          &exact),
              "a?b");
    EXPECT_FALSE(exact);
}

TEST(Codec, RoundTripKeepsEveryCp932Character) {
    const std::string text = "\x83\x5C\x83\x74\x83\x67\x95\x5C\x8E\xA6 \x81\x5F abc";
    EXPECT_EQ(Utf8ToCp932(Cp932ToUtf8(text)), text);
}

TEST(Codec, TextCp932CannotHoldExactlyTakesTheMarkedFormAndComesBack) {
    struct TCase {
        const char* text;
        const char* wire;
    };
    const TCase cases[] = {
        {"photo.jpg", "photo.jpg"},
        {"ソ.txt", "\x83\x5C.txt"},
        {"〜", "\xEF\xBB\xBF\xE3\x80\x9C"},  // CP932 would turn it into U+FF5E
        {"한.txt", "\xEF\xBB\xBF\xED\x95\x9C.txt"},
        {"100%é",
         "\xEF\xBB\xBF"
         "100%25\xC3\xA9"},
        {"a\nb",
         "\xEF\xBB\xBF"
         "a%0Ab"},
        {"\xFF", "\xEF\xBB\xBF%FF"},  // a byte that is no UTF-8
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Utf8ToCp932OrMarked(c.text), c.wire);
        EXPECT_EQ(Cp932OrMarkedToUtf8(c.wire), c.text);
    }
    EXPECT_EQ(Utf8ToMarked("a\\b"),
              "\xEF\xBB\xBF"
              "a\\b");
    EXPECT_EQ(Cp932OrMarkedToUtf8("\xEF\xBB\xBF\xFF"), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace fwp::codec
