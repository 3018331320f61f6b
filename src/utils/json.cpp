#include "utils/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "utils/text.hpp"
#include "utils/time.hpp"

namespace qm {

namespace {

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Writing

std::string json_quote(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

void JsonWriter::before_value() {
    if (stack_.empty()) return;
    if (after_key_) {
        after_key_ = false;
        return;
    }
    Frame& f = stack_.back();
    if (f.count > 0) out_ += ',';
    out_ += '\n';
    out_.append(2 * stack_.size(), ' ');
    ++f.count;
}

void JsonWriter::write_null() {
    before_value();
    out_ += "null";
}

void JsonWriter::write_bool(bool value) {
    before_value();
    out_ += value ? "true" : "false";
}

void JsonWriter::write_string(std::string_view value) {
    before_value();
    out_ += json_quote(value);
}

void JsonWriter::write_u64(std::uint64_t value) {
    before_value();
    out_ += std::to_string(value);
}

void JsonWriter::write_number_text(std::string_view text) {
    before_value();
    out_.append(text);
}

void JsonWriter::begin_object() {
    before_value();
    out_ += '{';
    stack_.push_back({true, 0});
}

void JsonWriter::key(std::string_view key) {
    Frame& f = stack_.back();
    if (f.count > 0) out_ += ',';
    out_ += '\n';
    out_.append(2 * stack_.size(), ' ');
    ++f.count;
    out_ += json_quote(key);
    out_ += ": ";
    after_key_ = true;
}

void JsonWriter::end_object() {
    Frame f = stack_.back();
    stack_.pop_back();
    if (f.count > 0) {
        out_ += '\n';
        out_.append(2 * stack_.size(), ' ');
    }
    out_ += '}';
}

void JsonWriter::begin_array() {
    before_value();
    out_ += '[';
    stack_.push_back({false, 0});
}

void JsonWriter::end_array() {
    Frame f = stack_.back();
    stack_.pop_back();
    if (f.count > 0) {
        out_ += '\n';
        out_.append(2 * stack_.size(), ' ');
    }
    out_ += ']';
}

void write_value(JsonWriter& w, const std::string& value) { w.write_string(value); }
void write_value(JsonWriter& w, std::string_view value) { w.write_string(value); }
void write_value(JsonWriter& w, const char* value) { w.write_string(value); }
void write_value(JsonWriter& w, bool value) { w.write_bool(value); }
void write_value(JsonWriter& w, std::uint64_t value) { w.write_u64(value); }
void write_value(JsonWriter& w, std::chrono::system_clock::time_point value) {
    w.write_string(format_rfc3339(value, UtcSuffix::Z));
}

void write_value(JsonWriter& w, const JsonValue& value) {
    switch (value.kind) {
        case JsonValue::Kind::Null: w.write_null(); break;
        case JsonValue::Kind::Bool: w.write_bool(value.boolean); break;
        case JsonValue::Kind::Number: w.write_number_text(value.text); break;
        case JsonValue::Kind::String: w.write_string(value.text); break;
        case JsonValue::Kind::Array:
            w.begin_array();
            for (const auto& item : value.items) write_value(w, item);
            w.end_array();
            break;
        case JsonValue::Kind::Object:
            w.begin_object();
            for (const auto& m : value.members) w.member(m.key, m.value);
            w.end_object();
            break;
    }
}

const JsonValue* JsonValue::find(std::string_view key) const {
    for (auto it = members.rbegin(); it != members.rend(); ++it)
        if (it->key == key) return &it->value;
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Reading

struct JsonReader::Number {
    enum class Kind { Unsigned, Negative, Float } kind = Kind::Unsigned;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0;

    std::string describe() const {
        switch (kind) {
            case Kind::Unsigned: return "integer `" + std::to_string(u) + "`";
            case Kind::Negative: return "integer `" + std::to_string(i) + "`";
            case Kind::Float: break;
        }
        return "floating point `" + describe_float(f) + "`";
    }
};

JsonPosition JsonReader::position_of(std::size_t index) const {
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

JsonPosition JsonReader::position() const { return position_of(index_); }

Error JsonReader::error_at(std::size_t index, std::string_view message) const {
    JsonPosition p = position_of(index);
    return Error{std::string(message) + " at line " + std::to_string(p.line) + " column " + std::to_string(p.column)};
}

Error JsonReader::error(std::string_view message) const { return error_at(index_, message); }
Error JsonReader::peek_error(std::string_view message) const { return error_at(index_ + 1, message); }
Error JsonReader::error_here(std::string_view message) const { return error(message); }

void JsonReader::skip_white_space() {
    while (!at_end()) {
        char c = peek();
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
        ++index_;
    }
}

Status JsonReader::enter() {
    if (--remaining_depth_ == 0) return unexpected(peek_error("recursion limit exceeded"));
    return {};
}

Status JsonReader::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        if (at_end()) return unexpected(error("EOF while parsing a value"));
        char c = text_[index_++];
        if (c != expected) return unexpected(error("expected ident"));
    }
    return {};
}

Result<unsigned> JsonReader::parse_hex4() {
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

Status JsonReader::parse_unicode_escape(std::string& out) {
    auto first = parse_hex4();
    if (!first) return unexpected(first.error());
    unsigned n = *first;
    if (n >= 0xDC00 && n <= 0xDFFF) return unexpected(error("lone leading surrogate in hex escape"));
    if (n < 0xD800 || n > 0xDBFF) {
        append_utf8(out, n);
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
    append_utf8(out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
    return {};
}

Status JsonReader::parse_escape(std::string& out) {
    if (at_end()) return unexpected(error("EOF while parsing a string"));
    char c = text_[index_++];
    switch (c) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': return parse_unicode_escape(out);
        default: return unexpected(error("invalid escape"));
    }
    return {};
}

// Called just after the opening quote.
Status JsonReader::parse_string(std::string& out) {
    out.clear();
    for (;;) {
        std::size_t start = index_;
        while (!at_end()) {
            auto c = static_cast<unsigned char>(peek());
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++index_;
        }
        out.append(text_.substr(start, index_ - start));
        if (at_end()) return unexpected(error("EOF while parsing a string"));
        char c = text_[index_++];
        if (c == '"') break;
        if (c == '\\') {
            if (auto s = parse_escape(out); !s) return s;
            continue;
        }
        return unexpected(error("control character (\\u0000-\\u001F) found while parsing a string"));
    }
    if (!is_valid_utf8(out)) return unexpected(error("invalid unicode code point"));
    return {};
}

// `start` is the index of the number's first byte ('-' or a digit); a '-' has been
// consumed already.
Status JsonReader::parse_number(bool positive, std::size_t start, Number& out) {
    if (at_end()) return unexpected(error("EOF while parsing a value"));
    char c = text_[index_++];
    if (c == '0') {
        if (!at_end() && is_digit(peek())) return unexpected(peek_error("invalid number"));
    } else if (c >= '1' && c <= '9') {
        while (!at_end() && is_digit(peek())) ++index_;
    } else {
        return unexpected(error("invalid number"));
    }
    std::size_t int_end = index_;
    bool is_float = false;
    if (!at_end() && peek() == '.') {
        is_float = true;
        ++index_;
        std::size_t digits = 0;
        while (!at_end() && is_digit(peek())) ++index_, ++digits;
        if (digits == 0) {
            if (!at_end()) return unexpected(peek_error("invalid number"));
            return unexpected(peek_error("EOF while parsing a value"));
        }
    }
    std::size_t exp_start = 0;
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
        is_float = true;
        ++index_;
        exp_start = index_;
        if (!at_end() && (peek() == '+' || peek() == '-')) ++index_;
        if (at_end()) return unexpected(error("EOF while parsing a value"));
        if (!is_digit(text_[index_++])) return unexpected(error("invalid number"));
        while (!at_end() && is_digit(peek())) ++index_;
    }
    std::string_view literal = text_.substr(start, index_ - start);
    std::size_t digits_start = positive ? start : start + 1;

    if (!is_float) {
        std::uint64_t magnitude = 0;
        auto [p, ec] = std::from_chars(text_.data() + digits_start, text_.data() + int_end, magnitude);
        (void)p;
        if (ec == std::errc()) {
            if (positive) {
                out.kind = Number::Kind::Unsigned;
                out.u = magnitude;
                return {};
            }
            if (magnitude != 0 && magnitude <= (std::uint64_t{1} << 63)) {
                out.kind = Number::Kind::Negative;
                out.i = magnitude == (std::uint64_t{1} << 63) ? std::numeric_limits<std::int64_t>::min()
                                                              : -static_cast<std::int64_t>(magnitude);
                return {};
            }
        }
    }
    // Floating point (also integers beyond 64 bits and minus zero).
    out.kind = Number::Kind::Float;
    double v = 0;
    auto [p, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), v);
    (void)p;
    if (ec == std::errc::result_out_of_range) {
        // Overflow or underflow: the decimal exponent of the leading non-zero digit decides.
        long long lead = 0;
        bool found = false;
        long long int_digits = static_cast<long long>(int_end - digits_start);
        long long pos = 0;
        for (std::size_t k = digits_start; k < index_ && (exp_start == 0 || k + 1 < exp_start); ++k) {
            char d = text_[k];
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
            bool neg = text_[k] == '-';
            if (text_[k] == '+' || text_[k] == '-') ++k;
            for (; k < index_; ++k) exp = std::min<long long>(exp * 10 + (text_[k] - '0'), 1'000'000'000LL);
            if (neg) exp = -exp;
        }
        if (found && lead + exp > 0) return unexpected(error("number out of range"));
        v = positive ? 0.0 : -0.0;
    } else if (ec != std::errc()) {
        return unexpected(error("invalid number"));
    }
    out.f = v;
    return {};
}

// Consumes the offending value (when it is a scalar) and describes it.
Error JsonReader::invalid_type(std::string_view expected) {
    std::string found;
    char c = at_end() ? '\0' : peek();
    switch (c) {
        case 'n':
            ++index_;
            if (auto s = parse_ident("ull"); !s) return s.error();
            found = "null";
            break;
        case 't':
            ++index_;
            if (auto s = parse_ident("rue"); !s) return s.error();
            found = "boolean `true`";
            break;
        case 'f':
            ++index_;
            if (auto s = parse_ident("alse"); !s) return s.error();
            found = "boolean `false`";
            break;
        case '"': {
            ++index_;
            std::string s;
            if (auto st = parse_string(s); !st) return st.error();
            found = describe_string(s);
            break;
        }
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default: {
            if (c != '-' && !is_digit(c)) return peek_error("expected value");
            std::size_t start = index_;
            if (c == '-') ++index_;
            Number n;
            if (auto s = parse_number(c != '-', start, n); !s) return s.error();
            found = n.describe();
        }
    }
    return error("invalid type: " + found + ", expected " + std::string(expected));
}

Result<bool> JsonReader::next_element(bool& first) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a list"));
    char c = peek();
    if (c == ']') return false;
    if (c == ',' && !first) {
        ++index_;
        skip_white_space();
    } else if (first) {
        first = false;
    } else {
        return unexpected(peek_error("expected `,` or `]`"));
    }
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    if (peek() == ']') return unexpected(peek_error("trailing comma"));
    return true;
}

Result<bool> JsonReader::next_key(bool& first, std::string& key) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing an object"));
    char c = peek();
    if (c == '}') return false;
    if (c == ',' && !first) {
        ++index_;
        skip_white_space();
    } else if (first) {
        first = false;
    } else {
        return unexpected(peek_error("expected `,` or `}`"));
    }
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    c = peek();
    if (c == '"') {
        ++index_;
        if (auto s = parse_string(key); !s) return unexpected(s.error());
        return true;
    }
    if (c == '}') return unexpected(peek_error("trailing comma"));
    return unexpected(peek_error("key must be a string"));
}

Status JsonReader::parse_colon() {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing an object"));
    if (peek() != ':') return unexpected(peek_error("expected `:`"));
    ++index_;
    return {};
}

Status JsonReader::end_sequence() {
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

Status JsonReader::end_map() {
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

Status JsonReader::read_string(std::string& out, std::string_view expected) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    if (peek() != '"') return unexpected(invalid_type(expected));
    ++index_;
    return parse_string(out);
}

Status JsonReader::read_bool(bool& out) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    char c = peek();
    if (c == 't' || c == 'f') {
        ++index_;
        out = c == 't';
        return parse_ident(out ? "rue" : "alse");
    }
    return unexpected(invalid_type("a boolean"));
}

Status JsonReader::read_u64(std::uint64_t& out) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    char c = peek();
    if (c != '-' && !is_digit(c)) return unexpected(invalid_type("u64"));
    std::size_t start = index_;
    if (c == '-') ++index_;
    Number n;
    if (auto s = parse_number(c != '-', start, n); !s) return s;
    switch (n.kind) {
        case Number::Kind::Unsigned: out = n.u; return {};
        case Number::Kind::Negative: return unexpected(error("invalid value: " + n.describe() + ", expected u64"));
        case Number::Kind::Float: break;
    }
    return unexpected(error("invalid type: " + n.describe() + ", expected u64"));
}

Result<bool> JsonReader::read_null() {
    skip_white_space();
    if (at_end() || peek() != 'n') return false;
    ++index_;
    if (auto s = parse_ident("ull"); !s) return unexpected(s.error());
    return true;
}

Status JsonReader::read_sequence(const std::function<Status(JsonReader&)>& element, std::string_view expected) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    if (peek() != '[') return unexpected(invalid_type(expected));
    if (auto s = enter(); !s) return s;
    ++index_;
    bool first = true;
    for (;;) {
        auto more = next_element(first);
        if (!more) return unexpected(more.error());
        if (!*more) break;
        if (auto s = element(*this); !s) return s;
    }
    leave();
    return end_sequence();
}

Status JsonReader::read_map(const std::function<Status(JsonReader&, std::string key)>& entry,
                            std::string_view expected) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    if (peek() != '{') return unexpected(invalid_type(expected));
    if (auto s = enter(); !s) return s;
    ++index_;
    bool first = true;
    for (;;) {
        std::string key;
        auto more = next_key(first, key);
        if (!more) return unexpected(more.error());
        if (!*more) break;
        if (auto s = parse_colon(); !s) return s;
        if (auto s = entry(*this, std::move(key)); !s) return s;
    }
    leave();
    return end_map();
}

Status JsonReader::read_record(std::string_view name, std::initializer_list<JsonField> fields) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    char c = peek();
    if (c == '[') {
        if (auto s = enter(); !s) return s;
        ++index_;
        bool first = true;
        std::size_t found = 0;
        bool short_array = false;
        for (const JsonField& f : fields) {
            auto more = next_element(first);
            if (!more) return unexpected(more.error());
            if (!*more) {
                if (f.presence == JsonField::Presence::Defaulted) continue;
                short_array = true;
                break;
            }
            if (auto s = f.read(*this); !s) return s;
            ++found;
        }
        leave();
        auto end = end_sequence();
        if (short_array) {
            std::size_t n = fields.size();
            return unexpected(error("invalid length " + std::to_string(found) + ", expected struct " +
                                    std::string(name) + " with " + std::to_string(n) +
                                    (n == 1 ? " element" : " elements")));
        }
        return end;
    }
    if (c == '{') {
        if (auto s = enter(); !s) return s;
        ++index_;
        std::vector<bool> seen(fields.size(), false);
        bool first = true;
        for (;;) {
            std::string key;
            auto more = next_key(first, key);
            if (!more) return unexpected(more.error());
            if (!*more) break;
            std::size_t k = 0;
            const JsonField* match = nullptr;
            for (const JsonField& f : fields) {
                if (f.key == key) {
                    match = &f;
                    break;
                }
                ++k;
            }
            if (match && seen[k]) {
                skip_white_space();
                return unexpected(error("duplicate field `" + key + "`"));
            }
            if (auto s = parse_colon(); !s) return s;
            if (match) {
                seen[k] = true;
                if (auto s = match->read(*this); !s) return s;
            } else if (auto s = skip_value(); !s) {
                return s;
            }
        }
        leave();
        if (auto s = end_map(); !s) return s;
        std::size_t k = 0;
        for (const JsonField& f : fields) {
            if (!seen[k] && f.presence == JsonField::Presence::Required)
                return unexpected(error("missing field `" + std::string(f.key) + "`"));
            ++k;
        }
        return {};
    }
    return unexpected(invalid_type("struct " + std::string(name)));
}

Status JsonReader::parse_any(JsonValue* out) {
    skip_white_space();
    if (at_end()) return unexpected(peek_error("EOF while parsing a value"));
    JsonValue scratch;
    JsonValue& v = out ? *out : scratch;
    v = JsonValue{};
    if (out) v.begin = position_of(index_ + 1);
    char c = peek();
    switch (c) {
        case 'n':
            ++index_;
            if (auto s = parse_ident("ull"); !s) return s;
            v.kind = JsonValue::Kind::Null;
            break;
        case 't':
        case 'f':
            ++index_;
            if (auto s = parse_ident(c == 't' ? "rue" : "alse"); !s) return s;
            v.kind = JsonValue::Kind::Bool;
            v.boolean = c == 't';
            break;
        case '"':
            ++index_;
            if (auto s = parse_string(v.text); !s) return s;
            v.kind = JsonValue::Kind::String;
            break;
        case '[': {
            if (auto s = enter(); !s) return s;
            ++index_;
            v.kind = JsonValue::Kind::Array;
            bool first = true;
            for (;;) {
                auto more = next_element(first);
                if (!more) return unexpected(more.error());
                if (!*more) break;
                JsonValue* item = nullptr;
                if (out) item = &v.items.emplace_back();
                if (auto s = parse_any(item); !s) return s;
            }
            leave();
            if (auto s = end_sequence(); !s) return s;
            break;
        }
        case '{': {
            if (auto s = enter(); !s) return s;
            ++index_;
            v.kind = JsonValue::Kind::Object;
            bool first = true;
            for (;;) {
                std::string key;
                auto more = next_key(first, key);
                if (!more) return unexpected(more.error());
                if (!*more) break;
                if (auto s = parse_colon(); !s) return s;
                JsonValue* item = nullptr;
                if (out) {
                    auto& m = v.members.emplace_back();
                    m.key = std::move(key);
                    item = &m.value;
                }
                if (auto s = parse_any(item); !s) return s;
            }
            leave();
            if (auto s = end_map(); !s) return s;
            break;
        }
        default: {
            if (c != '-' && !is_digit(c)) return unexpected(peek_error("expected value"));
            std::size_t start = index_;
            if (c == '-') ++index_;
            Number n;
            if (auto s = parse_number(c != '-', start, n); !s) return s;
            v.kind = JsonValue::Kind::Number;
            v.text = std::string(text_.substr(start, index_ - start));
        }
    }
    if (out) v.end = position();
    return {};
}

Status JsonReader::read_any(JsonValue& out) { return parse_any(&out); }
Status JsonReader::skip_value() { return parse_any(nullptr); }

Status JsonReader::finish() {
    skip_white_space();
    if (!at_end()) return unexpected(peek_error("trailing characters"));
    return {};
}

Status read_value(JsonReader& r, std::string& out) { return r.read_string(out); }
Status read_value(JsonReader& r, bool& out) { return r.read_bool(out); }
Status read_value(JsonReader& r, std::uint64_t& out) { return r.read_u64(out); }
Status read_value(JsonReader& r, JsonValue& out) { return r.read_any(out); }

Status read_value(JsonReader& r, std::chrono::system_clock::time_point& out) {
    std::string text;
    if (auto s = r.read_string(text, "an RFC 3339 formatted date and time string"); !s) return s;
    auto t = parse_rfc3339(text);
    if (!t) return unexpected(r.error_here(t.error().message));
    out = *t;
    return {};
}

Result<JsonValue> parse_json(std::string_view text) { return from_json<JsonValue>(text); }

}  // namespace qm
