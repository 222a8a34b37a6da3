#include "host/text.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "host/platform.hpp"

namespace {

using host::Text;

TEST(Text, DecimalText) {
    struct Case {
        std::int64_t value;
        const char16_t* text;
    };
    for (const Case& c : {Case{0, u"0"}, Case{7, u"7"}, Case{-1, u"-1"}, Case{2048, u"2048"},
                          Case{INT64_MAX, u"9223372036854775807"}, Case{INT64_MIN, u"-9223372036854775808"}})
        EXPECT_EQ(host::decimal_text(c.value), c.text);
}

TEST(Text, KilobytesTruncateTowardZero) {
    EXPECT_EQ(host::kilobytes(1023), 0);
    EXPECT_EQ(host::kilobytes(1536), 1);
    EXPECT_EQ(host::kilobytes(2048), 2);
    EXPECT_EQ(host::kilobytes(-1), 0);
    EXPECT_EQ(host::kilobytes(-2048), -2);
}

TEST(Text, TrimRemovesOnlySpaces) {
    EXPECT_EQ(host::trim_spaces(u"  a b  "), u"a b");
    EXPECT_EQ(host::trim_spaces(u"    "), u"");
    EXPECT_EQ(host::trim_spaces(u"\ta\t"), u"\ta\t");
    EXPECT_EQ(host::trim_spaces(u""), u"");
}

TEST(Text, SubstringAndLeftPart) {
    EXPECT_EQ(host::substring(u"abcdef", 2, 3), u"bcd");
    EXPECT_EQ(host::substring(u"abcdef", 5, 10), u"ef");
    EXPECT_EQ(host::substring(u"abcdef", 7, 1), u"");
    EXPECT_EQ(host::substring(u"abcdef", 0, 2), u"");
    EXPECT_EQ(host::substring(u"abcdef", 2, -1), u"");
    EXPECT_EQ(host::left_part(u"abc", 2), u"ab");
    EXPECT_EQ(host::left_part(u"abc", 9), u"abc");
    EXPECT_EQ(host::left_part(u"abc", -3), u"");
}

TEST(Text, CodesAndJustification) {
    EXPECT_EQ(host::first_code(u"Ab"), 'A');
    EXPECT_EQ(host::first_code(u""), 0);
    EXPECT_EQ(host::character_text(0x10041), u"A");
    EXPECT_EQ(host::left_justify(u"Game", 10), u"Game      ");
    EXPECT_EQ(host::left_justify(u"ABCDEFGHIJKLMN", 10), u"ABCDEFGHIJ");
    EXPECT_EQ(host::left_justify(u"", 3), u"   ");
}

TEST(Text, Utf8RoundTrip) {
    Text text = u"Gr\u00FC\u00DFe \u20AC \U0001F3B5";
    EXPECT_EQ(host::from_utf8(host::to_utf8(text)), text);
    EXPECT_EQ(host::to_utf8(u"\u00E9"), "\xC3\xA9");
}

TEST(Text, MalformedUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string bytes;
        Text text;
    };
    for (const Case& c : {Case{"a\x80z", u"a\uFFFDz"}, Case{"\xC3", u"\uFFFD"}, Case{"\xC3(", u"\uFFFD("},
                          Case{"\xE2\x82", u"\uFFFD"}, Case{"\xC0\xAF", u"\uFFFD\uFFFD"},
                          Case{"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"}, Case{"ab\0cd", u"ab"}})
        EXPECT_EQ(host::from_utf8(c.bytes), c.text) << c.bytes;
}

TEST(Text, UnpairedSurrogateIsWrittenAsReplacement) {
    Text lone(1, static_cast<char16_t>(0xD800));
    EXPECT_EQ(host::to_utf8(lone), "\xEF\xBF\xBD");
}

TEST(Text, SingleByteTextOnThisHost) {
    if (host::host_kind == host::HostKind::windows)
        GTEST_SKIP() << "Windows uses its ANSI code page; windows_host_test covers it";
    EXPECT_EQ(host::from_single_byte("caf\xE9"), u"caf\u00E9");
    EXPECT_EQ(host::to_single_byte(u"caf\u00E9"), "caf\xE9");
    EXPECT_EQ(host::to_single_byte(u"\u20AC"), "?");
    EXPECT_EQ(host::from_single_byte(std::string("ab\0c", 4)), u"ab");
}

}  // namespace
