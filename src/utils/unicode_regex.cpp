#include "utils/unicode_regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>
#include <string>

namespace qm {

struct UnicodeRegex::Code {
    pcre2_code* code = nullptr;
    ~Code() { pcre2_code_free(code); }
};

Result<UnicodeRegex> UnicodeRegex::compile(std::string_view pattern) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY, &error, &offset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(error, message, sizeof message);
        return fail("invalid pattern at offset " + std::to_string(offset) + ": " +
                    reinterpret_cast<const char*>(message));
    }
    auto owned = std::make_shared<Code>();
    owned->code = code;
    return UnicodeRegex(std::move(owned));
}

bool UnicodeRegex::matches(std::string_view text) const {
    std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
        pcre2_match_data_create_from_pattern(code_->code, nullptr), &pcre2_match_data_free);
    if (!data) return false;
    // Invalid UTF-8 makes the match fail with an error code, which counts as no match.
    const int rc =
        pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, data.get(), nullptr);
    return rc >= 0;
}

}  // namespace qm
