// Regular expressions over UTF-8 text with Unicode character classes: `\d` is any Unicode
// decimal digit (general category Nd), not only 0-9, and `$` is the end of the text only
// (never before a final line feed).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "utils/expected.hpp"

namespace qm {

class UnicodeRegex {
public:
    // Compiles the pattern once; the error carries the library's message and the offset.
    static Result<UnicodeRegex> compile(std::string_view pattern);

    // Whether the pattern matches the text (anchors in the pattern decide how much of it).
    // Text that is not valid UTF-8 never matches.
    bool matches(std::string_view text) const;

private:
    struct Code;
    explicit UnicodeRegex(std::shared_ptr<const Code> code) : code_(std::move(code)) {}
    std::shared_ptr<const Code> code_;
};

}  // namespace qm
