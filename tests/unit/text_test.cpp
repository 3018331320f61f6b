#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "utils/text.hpp"

namespace qm {
namespace {

using Lines = std::vector<std::string>;
const std::string kFffd = "\xEF\xBF\xBD";

TEST(SplitLines, CutsAtLineFeedsOnly) {
    struct Case {
        std::string text;
        Lines lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a\n", {"a"}},
        {"a", {"a"}},
        {"a\nb", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\n", {"a\rb"}},     // a lone carriage return stays
        {"a\r", {"a\r"}},         // no line feed follows, so it is kept
        {"a\r\r\n", {"a\r"}},     // only the one just before the line feed goes
        {"\n", {""}},
        {"\n\n", {"", ""}},
        {"a\n\nb", {"a", "", "b"}},
        {"\r\n", {""}},
    };
    for (const auto& c : cases) EXPECT_EQ(split_lines(c.text), c.lines) << testing::PrintToString(c.text);
}

TEST(SplitTerse, SplitsAtEveryColon) {
    struct Case {
        std::string line;
        Lines fields;
    };
    const Case cases[] = {
        {"", {""}},
        {"a", {"a"}},
        {"a::b", {"a", "", "b"}},
        {"a:", {"a", ""}},
        {":", {"", ""}},
        {"br\\:0:bridge", {"br\\", "0", "bridge"}},  // an escaped colon splits like any other
        {" a : b ", {" a ", " b "}},                 // fields are not trimmed
    };
    for (const auto& c : cases) EXPECT_EQ(split_terse(c.line), c.fields) << testing::PrintToString(c.line);
}

struct Decode {
    std::string bytes;
    std::string lossy;
    std::string strict_error;  // empty: valid
};

const Decode kDecodeCases[] = {
    {"", "", ""},
    {"plain", "plain", ""},
    {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", ""},
    {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", ""},  // U+10FFFF, the last scalar value
    {"\xED\x9F\xBF", "\xED\x9F\xBF", ""},          // U+D7FF, just below the surrogates
    {"abc\xFF", "abc" + kFffd, "invalid utf-8 sequence of 1 bytes from index 3"},
    {"a\x80z", "a" + kFffd + "z", "invalid utf-8 sequence of 1 bytes from index 1"},
    {"hello\xF0\x9F\x98", "hello" + kFffd, "incomplete utf-8 byte sequence from index 5"},
    {"\xF0\x9F\x98z", kFffd + "z", "invalid utf-8 sequence of 3 bytes from index 0"},
    {"\xE2\x82", kFffd, "incomplete utf-8 byte sequence from index 0"},
    {"\xC0\xAF", kFffd + kFffd, "invalid utf-8 sequence of 1 bytes from index 0"},        // overlong
    {"\xE0\x80\xAF", kFffd + kFffd + kFffd, "invalid utf-8 sequence of 1 bytes from index 0"},
    {"\xED\xA0\x80", kFffd + kFffd + kFffd, "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
    {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd, "invalid utf-8 sequence of 1 bytes from index 0"},
    {"\xF5\x80", kFffd + kFffd, "invalid utf-8 sequence of 1 bytes from index 0"},
    {"\xE2\x82z\xE2\x82\xAC", kFffd + "z\xE2\x82\xAC", "invalid utf-8 sequence of 2 bytes from index 0"},
    {"ok\xC3", "ok" + kFffd, "incomplete utf-8 byte sequence from index 2"},
    {"\xC3\xBC\xFE\xC3\xBC", "\xC3\xBC" + kFffd + "\xC3\xBC", "invalid utf-8 sequence of 1 bytes from index 2"},
};

TEST(UnescapeTerse, UndoesNmclisEscapesOnly) {
    EXPECT_EQ(unescape_terse("52\\:54\\:00\\:5E\\:00\\:01"), "52:54:00:5E:00:01");
    EXPECT_EQ(unescape_terse("a\\\\b"), "a\\b");
    EXPECT_EQ(unescape_terse("a\\\\\\:b"), "a\\:b");
    EXPECT_EQ(unescape_terse("a\\nb\\"), "a\\nb\\");  // other backslashes stay
    EXPECT_EQ(unescape_terse(""), "");
}

TEST(DecodeUtf8, LossyReplacesEachMaximalSubpart) {
    for (const auto& c : kDecodeCases)
        EXPECT_EQ(decode_utf8_lossy(c.bytes), c.lossy) << testing::PrintToString(c.bytes);
}

TEST(DecodeUtf8, StrictReportsTheFirstProblem) {
    for (const auto& c : kDecodeCases) {
        auto r = decode_utf8_strict(c.bytes);
        EXPECT_EQ(is_valid_utf8(c.bytes), c.strict_error.empty()) << testing::PrintToString(c.bytes);
        if (c.strict_error.empty()) {
            ASSERT_TRUE(r.has_value()) << testing::PrintToString(c.bytes);
            EXPECT_EQ(*r, c.bytes);
        } else {
            ASSERT_FALSE(r.has_value()) << testing::PrintToString(c.bytes);
            EXPECT_EQ(r.error().message, c.strict_error);
        }
    }
}

TEST(Trim, RemovesUnicodeWhiteSpaceAtBothEnds) {
    struct Case {
        std::string text;
        std::string trimmed;
    };
    const Case cases[] = {
        {"", ""},
        {" \t\r\n\v\f", ""},
        {"  a b  ", "a b"},
        {"\xC2\xA0" "br0\xE3\x80\x80", "br0"},                   // U+00A0, U+3000
        {"\xE2\x80\xA8x\xE2\x80\xAF\xC2\x85", "x"},              // U+2028, U+202F, U+0085
        {"\xE1\x9A\x80x\xE2\x80\x8A", "x"},                      // U+1680, U+200A
        {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // U+200B is not white space
        {"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},                      // nor is U+FEFF
        {" \xFF ", "\xFF"},                                      // stray bytes are kept whole
        {" x\xE2\x80", "x\xE2\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(trim(c.text), c.trimmed) << testing::PrintToString(c.text);
}

TEST(SplitList, TrimsPiecesAndDropsEmptyOnes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split_list(" eno1 , eno2,,\teno3\u00a0,", ','), (V{"eno1", "eno2", "eno3"}));
    EXPECT_EQ(split_list(" , ,", ','), V{});
    EXPECT_EQ(split_list("", ','), V{});
    EXPECT_EQ(split_list("a b", ','), V{"a b"});
}

TEST(SplitWhitespace, DropsEmptyPieces) {
    struct Case {
        std::string text;
        Lines pieces;
    };
    const Case cases[] = {
        {"", {}},
        {"   ", {}},
        {"eth0  ethernet\tconnected  Wired 1", {"eth0", "ethernet", "connected", "Wired", "1"}},
        {" a\xC2\xA0" "b\xE3\x80\x80" "c ", {"a", "b", "c"}},
        {"a\xE2\x80\x8B" "b", {"a\xE2\x80\x8B" "b"}},
        {"a\xFF b", {"a\xFF", "b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split_whitespace(c.text), c.pieces) << testing::PrintToString(c.text);
        EXPECT_EQ(first_token(c.text), c.pieces.empty() ? "" : c.pieces.front()) << testing::PrintToString(c.text);
    }
}

TEST(Padding, CountsCharactersNotBytes) {
    EXPECT_EQ(char_count(""), 0u);
    EXPECT_EQ(char_count("br\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), 5u);
    EXPECT_EQ(pad_right("ab", 5), "ab   ");
    EXPECT_EQ(pad_right("\xC3\xBC\xC3\xBC", 4), "\xC3\xBC\xC3\xBC  ");
    EXPECT_EQ(pad_right("\xE6\xA1\xA5", 3), "\xE6\xA1\xA5  ");
    EXPECT_EQ(pad_right("toolong", 3), "toolong");
    EXPECT_EQ(pad_right("", 2), "  ");
}

TEST(EscapeBytes, ShowsArgumentsThatAreNotText) {
    struct Case {
        std::string bytes;
        std::string shown;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"a\xFF" "b", R"("a\xffb")"},
        {"say \"hi\" \\", R"("say \"hi\" \\")"},
        {std::string("\n\r\t\0", 4), R"("\n\r\t\0")"},
        {"\x1B[0m\x7F", R"("\x1b[0m\x7f")"},
        {"gr\xC3\xBC\xC3\x9F", "\"gr\xC3\xBC\xC3\x9F\""},
        {"\xC2\x85", R"("\u{85}")"},
        {"\xE2\x82" "x", R"("\xe2\x82x")"},
        {"it's", R"("it's")"},
    };
    for (const auto& c : cases) EXPECT_EQ(escape_bytes(c.bytes), c.shown) << testing::PrintToString(c.bytes);
}

TEST(Affixes, StartsEndsJoin) {
    EXPECT_TRUE(starts_with("vswitch0", "vswitch"));
    EXPECT_FALSE(starts_with("vs", "vswitch"));
    EXPECT_TRUE(starts_with("x", ""));
    EXPECT_TRUE(ends_with("br0_original_mac", "_original_mac"));
    EXPECT_FALSE(ends_with("mac", "_original_mac"));
    EXPECT_EQ(join({}, ","), "");
    EXPECT_EQ(join({"a"}, ","), "a");
    EXPECT_EQ(join({"a", "", "b"}, ", "), "a, , b");
}

}  // namespace
}  // namespace qm
