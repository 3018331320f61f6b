// The little XML the program reads and writes: escaping, quoted attribute values read off
// single lines of a definition, and the text of one child of a definition's root.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "utils/expected.hpp"

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

// The text of the root element's own `child` element (a direct child, not one nested deeper), as
// an XML reader gives it: comments and processing instructions are skipped, CDATA is text, the
// five named entities and character references are decoded; nothing is trimmed. Absent when the
// root has no such child. An error when the text cannot be read unambiguously: markup that is
// cut short or does not nest, a document type declaration (it may define entities), an entity
// not named above, an element inside that child, or the child more than once.
Result<std::optional<std::string>> xml_root_child_text(std::string_view xml, std::string_view child);

}  // namespace qm
