// Text helpers shared by every reader of host-tool output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/expected.hpp"

namespace qm {

// Appends the UTF-8 encoding of a Unicode scalar value.
void append_utf8(std::string& out, char32_t c);

// Cuts text at each line feed; a carriage return just before a line feed is dropped;
// a last line without a line feed counts; an empty text gives no lines.
std::vector<std::string> split_lines(std::string_view text);

// Cuts text at every separator, empty pieces kept: "a::b:" gives "a", "", "b", "".
std::vector<std::string> split_at(std::string_view text, char separator);

// Strict UTF-8 decoding: the text itself, or an error describing the first invalid sequence.
Result<std::string> decode_utf8_strict(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// Lossy decoding: each maximal invalid subpart becomes one U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

// Trims Unicode white space (White_Space property) at both ends of valid UTF-8 text.
std::string trim(std::string_view text);

// A list typed as names with a separator (the uplinks or bond members "eno1, eno2"): cut at
// every separator, each piece trimmed, empty pieces dropped, order kept.
std::vector<std::string> split_list(std::string_view text, char separator);

// Splits at runs of Unicode white space, dropping empty pieces.
std::vector<std::string> split_whitespace(std::string_view text);

// First piece of split_whitespace, or empty when the line is blank.
std::string first_token(std::string_view line);

std::string join(const std::vector<std::string>& parts, std::string_view separator);
bool contains_text(std::string_view text, std::string_view part);
// Only A to Z change; every other byte stays as it is.
std::string to_lower_ascii(std::string_view text);

// Number of Unicode scalar values in valid UTF-8 text (for column padding).
std::size_t char_count(std::string_view text);
// Pads on the right with blanks to the given width in characters (never cuts).
std::string pad_right(std::string_view text, std::size_t width);

// An unsigned decimal number: one optional leading '+', digits only, at most `max`
// (leading zeros are fine). Absent for anything else.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);

// Quoted display of bytes that may not be valid UTF-8 (an argument in an error message):
// printable characters as is, quote and backslash escaped, \n \r \t \0 as such, other
// control characters and every invalid byte as \xNN (C1 controls as \u{NN}).
std::string escape_bytes(std::string_view bytes);

// Groups of hexadecimal digits (either case) of these lengths with `separator` between them:
// {2, 2, 2, 2, 2, 2} and ':' is a MAC address, {8, 4, 4, 4, 12} and '-' a UUID.
bool is_hex_groups(std::string_view text, std::initializer_list<std::size_t> groups, char separator);

// The value as 16 lower-case hexadecimal digits, most significant first.
std::string hex16(std::uint64_t value);

// Names as a list for messages and the log: ["eno1", "eno2"], each name shown by escape_bytes.
std::string list_notation(const std::vector<std::string>& names);

}  // namespace qm
