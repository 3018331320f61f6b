#include "utils/json_lexer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "utils/json_string_scan.hpp"
#include "utils/text.hpp"

namespace qm {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A string shown inside a refusal (always valid UTF-8 here): quoted, with control
// characters (C0, DEL and C1) escaped.
std::string describe_string(std::string_view s) {
    std::string out = "string \"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        unsigned control = 0x100;
        if (c < 0x20 || c == 0x7F) {
            control = c;
        } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            control = static_cast<unsigned char>(s[++i]);
        }
        switch (control) {
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case 0: out += "\\0"; break;
            case 0x100:
                if (c == '\\' || c == '"') out += '\\';
                out += static_cast<char>(c);
                break;
            default: {
                char buf[16];
                std::snprintf(buf, sizeof buf, "\\u{%x}", control);
                out += buf;
            }
        }
    }
    out += '"';
    return out;
}

// Shortest text that reads back as the same double: plain decimals for moderate
// exponents ("1.5", "100.0", "0.001"), else scientific ("1e20", "1.5e-7").
std::string describe_float(double v) {
    if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    std::string out;
    if (sci[0] == '-') {
        out = "-";
        sci.erase(0, 1);
    }
    auto e = sci.find('e');
    int exp10 = std::stoi(sci.substr(e + 1));
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    int length = static_cast<int>(digits.size());
    int k = exp10 - (length - 1);  // value = digits * 10^k
    int kk = length + k;           // position of the decimal point
    if (k >= 0 && kk <= 16) {
        out += digits + std::string(k, '0') + ".0";
    } else if (kk > 0 && kk <= 16) {
        out += digits.substr(0, kk) + "." + digits.substr(kk);
    } else if (kk > -5 && kk <= 0) {
        out += "0." + std::string(-kk, '0') + digits;
    } else if (length == 1) {
        out += digits + "e" + std::to_string(kk - 1);
    } else {
        out += digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(kk - 1);
    }
    return out;
}

}  // namespace

std::string JsonNumber::describe() const {
    switch (kind) {
        case Kind::Unsigned: return "integer `" + std::to_string(u) + "`";
        case Kind::Negative: return "integer `" + std::to_string(i) + "`";
        case Kind::Float: break;
    }
    return "floating point `" + describe_float(f) + "`";
}

// ---------------------------------------------------------------------------------------
// Places and refusals

JsonPosition JsonLexer::position_of(std::size_t index) const {
    index = std::min(index, text_.size());
    if (index < cached_index_) {
        cached_index_ = 0;
        cached_line_ = 1;
        cached_line_start_ = 0;
    }
    for (; cached_index_ < index; ++cached_index_) {
        if (text_[cached_index_] == '\n') {
            ++cached_line_;
            cached_line_start_ = cached_index_ + 1;
        }
    }
    return {cached_line_, index - cached_line_start_};
}

Error JsonLexer::error_at(std::size_t index, std::string_view message) const {
    JsonPosition p = position_of(index);
    return Error{std::string(message) + " at line " + std::to_string(p.line) + " column " + std::to_string(p.column)};
}

// ---------------------------------------------------------------------------------------
// Bytes

void JsonLexer::skip_white_space() {
    while (!at_end()) {
        char c = peek();
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
        ++index_;
    }
}

Result<char> JsonLexer::peek_value() {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    return peek();
}

Status JsonLexer::finish() {
    skip_white_space();
    if (!at_end()) return unexpected(peek_error("trailing characters"));
    return {};
}

// ---------------------------------------------------------------------------------------
// Scalars

Status JsonLexer::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        if (at_end()) return unexpected(error("EOF while parsing a value"));
        char c = text_[index_++];
        if (c != expected) return unexpected(error("expected ident"));
    }
    return {};
}

Status JsonLexer::read_null() {
    ++index_;
    return parse_ident("ull");
}

Status JsonLexer::read_bool(bool& out) {
    out = text_[index_++] == 't';
    return parse_ident(out ? "rue" : "alse");
}

Result<unsigned> JsonLexer::parse_hex4() {
    if (text_.size() - index_ < 4) {
        index_ = text_.size();
        return unexpected(error("EOF while parsing a string"));
    }
    unsigned v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
        char c = text_[index_ + k];
        v <<= 4;
        if (c >= '0' && c <= '9') v |= c - '0';
        else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
        else ok = false;
    }
    index_ += 4;
    if (!ok) return unexpected(error("invalid escape"));
    return v;
}

// The escapes' decoded text goes to `out`, or nowhere when it is null: the checks are the same.
Status JsonLexer::parse_unicode_escape(std::string* out) {
    auto first = parse_hex4();
    if (!first) return unexpected(first.error());
    unsigned n = *first;
    if (n >= 0xDC00 && n <= 0xDFFF) return unexpected(error("lone leading surrogate in hex escape"));
    if (n < 0xD800 || n > 0xDBFF) {
        if (out) append_utf8(*out, static_cast<char32_t>(n));
        return {};
    }
    for (char expected : {'\\', 'u'}) {
        if (at_end()) return unexpected(error("EOF while parsing a string"));
        if (text_[index_++] != expected) return unexpected(error("unexpected end of hex escape"));
    }
    auto second = parse_hex4();
    if (!second) return unexpected(second.error());
    unsigned n2 = *second;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return unexpected(error("lone leading surrogate in hex escape"));
    if (out) append_utf8(*out, static_cast<char32_t>((((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000));
    return {};
}

Status JsonLexer::parse_escape(std::string* out) {
    if (at_end()) return unexpected(error("EOF while parsing a string"));
    const char c = text_[index_++];
    if (c == 'u') return parse_unicode_escape(out);
    const char decoded = json_scan::simple_escape(c);
    if (decoded == 0) return unexpected(error("invalid escape"));
    if (out) *out += decoded;
    return {};
}

Status JsonLexer::read_string(std::string& out) {
    out.clear();
    return scan_string<true>(&out);
}

Status JsonLexer::check_string() {
    // Most strings pass the fast check; what it leaves, the exact walk decides.
    const std::size_t first = index_ + 1;
    bool maybe_non_ascii = false;
    const auto closing = json_scan::plain_string_end(text_, first, maybe_non_ascii);
    if (!closing) return scan_string<false>(nullptr);
    index_ = *closing + 1;
    if (maybe_non_ascii && !is_valid_utf8(text_.substr(first, *closing - first)))
        return unexpected(error("invalid unicode code point"));
    return {};
}

// The one walk over a string: its plain runs, escapes and refusals are the same whether the
// decoded text is kept (in `keep`) or only checked. The place is held in a local while
// reading, so that it can stay in a register.
template <bool kKeep>
Status JsonLexer::scan_string(std::string* keep) {
    const char* const p = text_.data();
    const std::size_t n = text_.size();
    std::size_t i = index_ + 1;  // past the opening quote
    const std::size_t first = i;
    json_scan::PlainRuns runs;
    for (;;) {
        const std::size_t start = i;
        i = runs.end_of_run(text_, i);
        if constexpr (kKeep) keep->append(p + start, i - start);
        if (i == n) {
            index_ = i;
            return unexpected(error("EOF while parsing a string"));
        }
        const char c = p[i++];
        if (c == '"') break;
        if (c != '\\') {
            index_ = i;
            return unexpected(error("control character (\\u0000-\\u001F) found while parsing a string"));
        }
        // The one-letter escapes, by far the most common, without a call.
        if (const char decoded = i < n ? json_scan::simple_escape(p[i]) : 0; decoded != 0) {
            ++i;
            if constexpr (kKeep) *keep += decoded;
            continue;
        }
        index_ = i;
        if (auto s = parse_escape(keep); !s) return s;
        i = index_;
    }
    index_ = i;
    // An escape is ASCII as written and decodes to whole characters, so the decoded text is
    // UTF-8 exactly when the text as written is; and that is, when no byte of it is above 0x7F.
    if (runs.maybe_non_ascii() && !is_valid_utf8(text_.substr(first, i - 1 - first)))
        return unexpected(error("invalid unicode code point"));
    return {};
}

// Reads the number's text: an optional minus, the integer part, a fraction and an exponent,
// each checked as far as it goes; the refusal names the place where the text goes wrong.
Result<JsonLexer::NumberText> JsonLexer::scan_number() {
    NumberText t;
    t.start = index_;
    t.positive = peek() != '-';
    if (!t.positive) ++index_;
    if (at_end()) return unexpected(error("EOF while parsing a value"));
    char c = text_[index_++];
    if (c == '0') {
        if (!at_end() && is_digit(peek())) return unexpected(peek_error("invalid number"));
    } else if (c >= '1' && c <= '9') {
        while (!at_end() && is_digit(peek())) ++index_;
    } else {
        return unexpected(error("invalid number"));
    }
    t.int_end = index_;
    if (!at_end() && peek() == '.') {
        t.is_float = true;
        ++index_;
        std::size_t digits = 0;
        while (!at_end() && is_digit(peek())) ++index_, ++digits;
        if (digits == 0) {
            if (!at_end()) return unexpected(peek_error("invalid number"));
            return unexpected(peek_error("EOF while parsing a value"));
        }
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
        t.is_float = true;
        ++index_;
        t.exp_start = index_;
        if (!at_end() && (peek() == '+' || peek() == '-')) ++index_;
        if (at_end()) return unexpected(error("EOF while parsing a value"));
        if (!is_digit(text_[index_++])) return unexpected(error("invalid number"));
        while (!at_end() && is_digit(peek())) ++index_;
    }
    t.end = index_;
    return t;
}

// An integer that fits: u64 when positive, i64 when negative and not zero. False leaves the
// number to be read as floating point (integers beyond 64 bits and minus zero are).
bool JsonLexer::NumberText::to_integer(std::string_view text, JsonNumber& out) const {
    if (is_float) return false;
    std::uint64_t magnitude = 0;
    auto [p, ec] = std::from_chars(text.data() + digits_start(), text.data() + int_end, magnitude);
    (void)p;
    if (ec != std::errc()) return false;
    if (positive) {
        out.kind = JsonNumber::Kind::Unsigned;
        out.u = magnitude;
        return true;
    }
    if (magnitude == 0 || magnitude > (std::uint64_t{1} << 63)) return false;
    out.kind = JsonNumber::Kind::Negative;
    out.i = magnitude == (std::uint64_t{1} << 63) ? std::numeric_limits<std::int64_t>::min()
                                                  : -static_cast<std::int64_t>(magnitude);
    return true;
}

// For a number the double cannot hold: true when it is too large (overflow), false when it
// is too small (underflow, read as zero). The decimal exponent of the leading non-zero digit
// decides.
bool JsonLexer::NumberText::overflows(std::string_view text) const {
    long long lead = 0;
    bool found = false;
    const long long int_digits = static_cast<long long>(int_end - digits_start());
    long long pos = 0;
    for (std::size_t k = digits_start(); k < end && (exp_start == 0 || k + 1 < exp_start); ++k) {
        char d = text[k];
        if (d == '.') continue;
        if (d != '0') {
            lead = int_digits - 1 - pos;
            found = true;
            break;
        }
        ++pos;
    }
    long long exp = 0;
    if (exp_start != 0) {
        std::size_t k = exp_start;
        bool neg = text[k] == '-';
        if (text[k] == '+' || text[k] == '-') ++k;
        for (; k < end; ++k) exp = std::min<long long>(exp * 10 + (text[k] - '0'), 1'000'000'000LL);
        if (neg) exp = -exp;
    }
    return found && lead + exp > 0;
}

Status JsonLexer::read_number(JsonNumber& out) {
    auto scanned = scan_number();
    if (!scanned) return unexpected(scanned.error());
    const NumberText& t = *scanned;
    const std::string_view literal = text_.substr(t.start, t.end - t.start);
    out.text = literal;
    if (t.to_integer(text_, out)) return {};

    // Floating point (also integers beyond 64 bits and minus zero).
    out.kind = JsonNumber::Kind::Float;
    double v = 0;
    auto [p, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), v);
    (void)p;
    if (ec == std::errc::result_out_of_range) {
        if (t.overflows(text_)) return unexpected(error("number out of range"));
        v = t.positive ? 0.0 : -0.0;
    } else if (ec != std::errc()) {
        return unexpected(error("invalid number"));
    }
    out.f = v;
    return {};
}

Error JsonLexer::invalid_type(std::string_view expected) {
    std::string found;
    char c = at_end() ? '\0' : peek();
    switch (c) {
        case 'n':
            if (auto s = read_null(); !s) return s.error();
            found = "null";
            break;
        case 't':
        case 'f': {
            bool value = false;
            if (auto s = read_bool(value); !s) return s.error();
            found = value ? "boolean `true`" : "boolean `false`";
            break;
        }
        case '"': {
            std::string s;
            if (auto st = read_string(s); !st) return st.error();
            found = describe_string(s);
            break;
        }
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default: {
            if (c != '-' && !is_digit(c)) return peek_error("expected value");
            JsonNumber n;
            if (auto s = read_number(n); !s) return s.error();
            found = n.describe();
        }
    }
    return error("invalid type: " + found + ", expected " + std::string(expected));
}

// ---------------------------------------------------------------------------------------
// Arrays and objects

Status JsonLexer::enter() {
    if (--remaining_depth_ == 0) return unexpected(peek_error("recursion limit exceeded"));
    return {};
}

// Steps over the separator before the next element or member: false at the closing
// bracket, true when an item follows (white space skipped, not at the end of the text).
Result<bool> JsonLexer::next_item(bool& first, char close, std::string_view eof_message,
                                  std::string_view separator_message) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error(eof_message));
    const char c = peek();
    if (c == close) return false;
    if (c == ',' && !first) {
        ++index_;
        skip_white_space();
    } else if (first) {
        first = false;
    } else {
        return unexpected(peek_error(separator_message));
    }
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    return true;
}

Result<bool> JsonLexer::next_element(bool& first) {
    auto more = next_item(first, ']', "EOF while parsing a list", "expected `,` or `]`");
    if (!more || !*more) return more;
    if (peek() == ']') return unexpected(peek_error("trailing comma"));
    return true;
}

Result<bool> JsonLexer::next_key(bool& first, std::string& key) {
    auto more = next_item(first, '}', "EOF while parsing an object", "expected `,` or `}`");
    if (!more || !*more) return more;
    const char c = peek();
    if (c == '"') {
        if (auto s = read_string(key); !s) return unexpected(s.error());
        return true;
    }
    if (c == '}') return unexpected(peek_error("trailing comma"));
    return unexpected(peek_error("key must be a string"));
}

Status JsonLexer::parse_colon() {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing an object"));
    if (peek() != ':') return unexpected(peek_error("expected `:`"));
    ++index_;
    return {};
}

Status JsonLexer::end_array() {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a list"));
    char c = peek();
    if (c == ']') {
        ++index_;
        return {};
    }
    if (c == ',') {
        ++index_;
        skip_white_space();
        if (!at_end() && peek() == ']') return unexpected(peek_error("trailing comma"));
    }
    return unexpected(peek_error("trailing characters"));
}

Status JsonLexer::end_object() {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing an object"));
    char c = peek();
    if (c == '}') {
        ++index_;
        return {};
    }
    if (c == ',') return unexpected(peek_error("trailing comma"));
    return unexpected(peek_error("trailing characters"));
}

Status JsonLexer::walk(KeyHook key_hook, ValueHook value, std::size_t max_elements) {
    const bool object = peek() == '{';
    if (auto s = enter(); !s) return s;
    ++index_;
    bool first = true;
    for (std::size_t count = 0; object || count < max_elements; ++count) {
        std::string key;
        auto more = object ? next_key(first, key) : next_element(first);
        if (!more) return unexpected(more.error());
        if (!*more) break;
        if (object) {
            if (auto s = key_hook(key); !s) return s;
            if (auto s = parse_colon(); !s) return s;
        }
        if (auto s = value(object ? &key : nullptr); !s) return s;
    }
    leave();
    return object ? end_object() : end_array();
}

Status JsonLexer::walk(ValueHook value) {
    return walk([](const std::string&) -> Status { return {}; }, value);
}

}  // namespace qm
