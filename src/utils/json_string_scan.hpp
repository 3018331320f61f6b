// Scanning the text of a JSON string for the lexer (json_lexer.cpp): where its plain runs end,
// and a fast check of a whole string for the common case.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace qm::json_scan {

// Whether a byte ends a run of bytes that a string holds as they are: '"', '\\' or a control
// character.
inline bool ends_plain_run(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

// What each one-letter escape such as "\\n" stands for; 0 for a letter that makes none.
inline constexpr auto kSimpleEscapes = [] {
    std::array<char, 256> t{};
    for (auto [letter, decoded] : {std::pair{'"', '"'}, {'\\', '\\'}, {'/', '/'}, {'b', '\b'}, {'f', '\f'},
                                   {'n', '\n'}, {'r', '\r'}, {'t', '\t'}})
        t[static_cast<unsigned char>(letter)] = decoded;
    return t;
}();

inline char simple_escape(char letter) { return kSimpleEscapes[static_cast<unsigned char>(letter)]; }

// Finds where the plain runs of one string end, noting on the way whether a byte it looked at
// may be above 0x7F: when none is, the string is ASCII.
class PlainRuns {
public:
    // The index of the next '"', '\\' or control character from `i` on, or the text's size.
    std::size_t end_of_run(std::string_view text, std::size_t i);
    // False when every byte looked at is ASCII.
    bool maybe_non_ascii() const { return seen_high_; }

private:
    bool seen_high_ = false;
};

// A string whose text starts at `first` (after its opening quote), checked in blocks of 64
// bytes at a time: the index of its closing quote when no control character and no escape
// but the one-letter ones ("\n", "\"", ...) stand before it. Nothing (std::nullopt) when
// something else does or the string reaches into the last 63 bytes of the text: the lexer's
// exact walk decides then, and words any refusal. `maybe_non_ascii` is set when a byte looked
// at may be above 0x7F.
std::optional<std::size_t> plain_string_end(std::string_view text, std::size_t first, bool& maybe_non_ascii);

}  // namespace qm::json_scan
