// The little XML the program reads and writes: escaping, and quoted attribute values read
// off single lines of a definition.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm {

// Escapes ' " < > & so a name can stand inside an attribute or element.
std::string xml_escape(std::string_view text);
// Reverses xml_escape (the five named entities only; anything else is kept as it stands).
std::string xml_unescape(std::string_view text);

// What a value without its closing quote gives: nothing, or the rest of the line.
enum class UnclosedQuote { Absent, RestOfLine };

// The text after the first `key` in line (say "network='") up to the next single quote,
// as it stands (not unescaped). Absent when line has no `key`.
std::optional<std::string> quoted_after(std::string_view line, std::string_view key, UnclosedQuote unclosed);
// The same value unescaped (xml_unescape): an attribute value as the definition means it.
std::optional<std::string> attribute_after(std::string_view line, std::string_view key, UnclosedQuote unclosed);

}  // namespace qm
