#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
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

TEST(DecodeUtf8, LossyReplacesEachMaximalSubpart) {
    for (const auto& c : kDecodeCases)
        EXPECT_EQ(decode_utf8_lossy(c.bytes), c.lossy) << testing::PrintToString(c.bytes);
}

// Character-by-character lossy decoding straight from the well-formed byte table: the
// reference the run-copying decoder must match byte for byte.
std::string reference_lossy(std::string_view s) {
    std::string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF) need = 1;
        else if (b == 0xE0) need = 2, lo = 0xA0;
        else if (b == 0xED) need = 2, hi = 0x9F;
        else if (b >= 0xE1 && b <= 0xEF) need = 2;
        else if (b == 0xF0) need = 3, lo = 0x90;
        else if (b == 0xF4) need = 3, hi = 0x8F;
        else if (b >= 0xF1 && b <= 0xF3) need = 3;
        std::size_t k = 1;
        for (; need > 0 && k <= need && i + k < s.size(); ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) break;
        }
        if (need > 0 && k == need + 1) {
            out.append(s.substr(i, k));
        } else {
            out += kFffd;  // the maximal subpart: the lead and the continuation bytes that fit
        }
        i += k;
    }
    return out;
}

TEST(DecodeUtf8, LossyMatchesCharacterByCharacterDecoding) {
    for (const auto& c : kDecodeCases) ASSERT_EQ(reference_lossy(c.bytes), c.lossy) << testing::PrintToString(c.bytes);
    // Pieces that land good and bad sequences on every offset of an eight-byte word.
    const std::vector<std::string> pieces = {
        "a", "xyz", "01234567", "\t\n", "\xC3\xBC", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
        "\xED\x9F\xBF", "\x80", "\xBF", "\xC0", "\xC1\x81", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xE0\x80\xAF",
        "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5", "\xFF", "\xFE\xFE", std::string(1, '\0'),
    };
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1), count(0, 40);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        for (std::size_t k = count(rng); k > 0; --k) bytes += pieces[pick(rng)];
        ASSERT_EQ(decode_utf8_lossy(bytes), reference_lossy(bytes)) << testing::PrintToString(bytes);
    }
    // Random bytes of every value, at lengths around the word size.
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(static_cast<std::size_t>(round % 37), '\0');
        for (auto& c : bytes) c = static_cast<char>(byte(rng));
        ASSERT_EQ(decode_utf8_lossy(bytes), reference_lossy(bytes)) << testing::PrintToString(bytes);
    }
    // One bad or cut sequence at each place of a long ASCII text, and at its very end.
    for (const std::string bad : {"\xFF", "\xE2\x82", "\xF0\x9F\x98", "\xC3\xBC"}) {
        for (std::size_t at = 0; at <= 40; ++at) {
            std::string bytes = std::string(40, 'q');
            bytes.insert(at, bad);
            ASSERT_EQ(decode_utf8_lossy(bytes), reference_lossy(bytes)) << testing::PrintToString(bytes);
            const std::string cut = bytes.substr(0, at) + bad;
            ASSERT_EQ(decode_utf8_lossy(cut), reference_lossy(cut)) << testing::PrintToString(cut);
        }
    }
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

TEST(DecodeUtf8, ABadByteIsFoundAtAnyPlaceInLongAsciiText) {
    const std::string ascii(40, 'a');
    for (std::size_t at = 0; at <= ascii.size(); ++at) {
        std::string bytes = ascii;
        bytes.insert(at, "\xFF");
        EXPECT_FALSE(is_valid_utf8(bytes)) << at;
        bytes = ascii;
        bytes.insert(at, "\xE2\x82\xAC");
        EXPECT_TRUE(is_valid_utf8(bytes)) << at;
        EXPECT_FALSE(is_valid_utf8(bytes.substr(0, at + 2))) << at;  // cut inside the character
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

TEST(Affixes, JoinAndContains) {
    EXPECT_EQ(join({}, ","), "");
    EXPECT_EQ(join({"a"}, ","), "a");
    EXPECT_EQ(join({"a", "", "b"}, ", "), "a, , b");
    EXPECT_TRUE(contains_text("vswitch2 Uplink", "Uplink"));
    EXPECT_FALSE(contains_text("Uplin", "Uplink"));
}

TEST(SplitAt, KeepsEveryPieceAcrossLineFeeds) {
    EXPECT_EQ(split_at("manual\nignore\n10.0.0.1/24\n", '\n'), (Lines{"manual", "ignore", "10.0.0.1/24", ""}));
    EXPECT_EQ(split_at("", '\n'), Lines{""});
    EXPECT_EQ(split_at("a\r\n\nb", '\n'), (Lines{"a\r", "", "b"}));
}

TEST(ToLowerAscii, ChangesOnlyCapitalLetters) {
    EXPECT_EQ(to_lower_ascii(" YeS "), " yes ");
    EXPECT_EQ(to_lower_ascii("My VLAN Bridge"), "my vlan bridge");
    EXPECT_EQ(to_lower_ascii("\xc3\x89Z@["), "\xc3\x89z@[");
}

TEST(HexGroups, TakesExactlyTheGroupsAndSeparatorsGiven) {
    auto mac = [](std::string_view t) { return is_hex_groups(t, {2, 2, 2, 2, 2, 2}, ':'); };
    auto uuid = [](std::string_view t) { return is_hex_groups(t, {8, 4, 4, 4, 12}, '-'); };
    EXPECT_TRUE(mac("52:54:00:aB:cd:EF"));
    for (std::string_view bad : {"", "52:54:00:ab:cd", "52:54:00:ab:cd:ef:", "52:54:00:ab:cd:e", "52-54-00-ab-cd-ef",
                                 "52:54:00:ab:cd:eg", "52:54:00:ab:cd:eff"})
        EXPECT_FALSE(mac(bad)) << bad;
    EXPECT_TRUE(uuid("8b71c2d4-0e1f-4a5b-9c6d-7e8f90a1b2c3"));
    EXPECT_FALSE(uuid("8b71c2d4-0e1f-4a5b-9c6d-7e8f90a1b2c"));
    EXPECT_FALSE(uuid("Lab"));
}

TEST(Hex16, WritesSixteenLowerCaseDigitsMostSignificantFirst) {
    EXPECT_EQ(hex16(0), "0000000000000000");
    EXPECT_EQ(hex16(0x0123456789ABCDEFull), "0123456789abcdef");
}

TEST(ListNotation, QuotesAndEscapesEachName) {
    EXPECT_EQ(list_notation({}), "[]");
    EXPECT_EQ(list_notation({"eth1", "eth0"}), R"(["eth1", "eth0"])");
    EXPECT_EQ(list_notation({"a\"b", "c\\d", "e\tf\x01"}), R"(["a\"b", "c\\d", "e\tf\x01"])");
    EXPECT_EQ(list_notation({"\xc3\xa9th0"}), "[\"\xc3\xa9th0\"]");
}

}  // namespace
}  // namespace qm
