#include "utils/text.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace qm {

namespace {

// Outcome of reading one UTF-8 sequence at a position.
struct Step {
    enum Kind { Ok, Invalid, Incomplete } kind;
    std::size_t length;  // bytes of the character, or of the maximal ill-formed subpart
    char32_t cp;         // the scalar value when kind == Ok
};

bool in(unsigned char b, unsigned char lo, unsigned char hi) { return b >= lo && b <= hi; }

// Reads one sequence following the well-formed byte table of the Unicode standard.
// An ill-formed sequence reports the length of its maximal subpart: the longest
// prefix of a well-formed sequence, or one byte when the lead byte itself is bad.
Step step_at(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return {Step::Ok, 1, b0};

    std::size_t need;  // continuation bytes after the lead
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    char32_t cp;
    if (in(b0, 0xC2, 0xDF)) {
        need = 1; cp = b0 & 0x1F;
    } else if (in(b0, 0xE0, 0xEF)) {
        need = 2; cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;        // no overlong forms
        else if (b0 == 0xED) hi = 0x9F;   // no surrogates
    } else if (in(b0, 0xF0, 0xF4)) {
        need = 3; cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;        // no overlong forms
        else if (b0 == 0xF4) hi = 0x8F;   // nothing above U+10FFFF
    } else {
        return {Step::Invalid, 1, 0};
    }

    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return {Step::Incomplete, k, 0};
        const auto b = static_cast<unsigned char>(s[i + k]);
        const bool ok = k == 1 ? in(b, lo, hi) : in(b, 0x80, 0xBF);
        if (!ok) return {Step::Invalid, k, 0};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {Step::Ok, need + 1, cp};
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Length of the white-space character at i, or 0 when there is none (bad bytes never count).
std::size_t space_at(std::string_view s, std::size_t i) {
    const Step st = step_at(s, i);
    return st.kind == Step::Ok && is_white_space(st.cp) ? st.length : 0;
}

const char kHex[] = "0123456789abcdef";

void append_hex_byte(std::string& out, unsigned char b) {
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool is_hex_groups(std::string_view text, std::initializer_list<std::size_t> groups, char separator) {
    std::size_t at = 0;
    for (std::size_t length : groups) {
        if (at > 0) {
            if (at >= text.size() || text[at] != separator) return false;
            ++at;
        }
        if (text.size() - at < length) return false;
        for (std::size_t i = 0; i < length; ++i)
            if (!is_hex_digit(text[at + i])) return false;
        at += length;
    }
    return at == text.size();
}

std::string hex16(std::uint64_t value) {
    std::string out(16, '0');
    for (std::size_t i = 16; i-- > 0; value >>= 4) out[i] = kHex[value & 0xF];
    return out;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        std::size_t end = nl;
        if (end > start && text[end - 1] == '\r') --end;
        lines.emplace_back(text.substr(start, end - start));
        start = nl + 1;
    }
    return lines;
}

std::vector<std::string> split_at(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, at - start));
        start = at + 1;
    }
}

Result<std::string> decode_utf8_strict(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const Step st = step_at(bytes, i);
        if (st.kind == Step::Invalid)
            return fail("invalid utf-8 sequence of " + std::to_string(st.length) + " bytes from index " +
                        std::to_string(i));
        if (st.kind == Step::Incomplete)
            return fail("incomplete utf-8 byte sequence from index " + std::to_string(i));
        i += st.length;
    }
    return std::string(bytes);
}

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        // Runs of ASCII, eight bytes at a time: most text is nothing else.
        std::uint64_t word;
        if (bytes.size() - i >= sizeof word) {
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ull) == 0) {
                i += sizeof word;
                continue;
            }
        }
        const Step st = step_at(bytes, i);
        if (st.kind != Step::Ok) return false;
        i += st.length;
    }
    return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
    // Valid runs are only measured, then copied whole: ASCII eight bytes at a time, other
    // characters through step_at. Only a bad sequence ends a run.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
    const char* const p = bytes.data();
    const std::size_t n = bytes.size();
    std::string out;
    std::size_t run = 0;  // start of the valid run not copied yet
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            const std::uint64_t high = word & kHighBits;
            if (high == 0) {
                i += 8;
                continue;
            }
            // Skip the ASCII bytes before the first one with its high bit set.
            if constexpr (std::endian::native == std::endian::little) i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
            else i += static_cast<std::size_t>(std::countl_zero(high)) / 8;
        } else if (static_cast<unsigned char>(p[i]) < 0x80) {
            ++i;
            continue;
        }
        const Step st = step_at(bytes, i);
        if (st.kind != Step::Ok) {
            if (out.empty()) out.reserve(n + 2);
            out.append(p + run, i - run);
            out += "\xEF\xBF\xBD";
            run = i + st.length;
        }
        i += st.length;
    }
    if (run == 0) return std::string(bytes);  // nothing was replaced
    out.append(p + run, n - run);
    return out;
}

std::string trim(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t n = space_at(text, begin);
        if (n == 0) break;
        begin += n;
    }
    // Walk forward so multi-byte characters are never cut; remember where the last
    // non-space character ends.
    std::size_t end = begin;
    for (std::size_t i = begin; i < text.size();) {
        const Step st = step_at(text, i);
        const bool space = st.kind == Step::Ok && is_white_space(st.cp);
        i += st.length;
        if (!space) end = i;
    }
    return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> split_list(std::string_view text, char separator) {
    std::vector<std::string> list;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        std::string piece = trim(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (!piece.empty()) list.push_back(std::move(piece));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return list;
}

std::vector<std::string> split_whitespace(std::string_view text) {
    std::vector<std::string> pieces;
    std::string current;
    bool in_piece = false;
    for (std::size_t i = 0; i < text.size();) {
        const Step st = step_at(text, i);
        if (st.kind == Step::Ok && is_white_space(st.cp)) {
            if (in_piece) pieces.push_back(std::move(current));
            current.clear();
            in_piece = false;
        } else {
            current.append(text.substr(i, st.length));
            in_piece = true;
        }
        i += st.length;
    }
    if (in_piece) pieces.push_back(std::move(current));
    return pieces;
}

std::string first_token(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size()) {
        std::size_t n = space_at(line, i);
        if (n == 0) break;
        i += n;
    }
    const std::size_t start = i;
    while (i < line.size() && space_at(line, i) == 0) i += step_at(line, i).length;
    return std::string(line.substr(start, i - start));
}

bool contains_text(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::string to_lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

std::size_t char_count(std::string_view text) {
    // Ill-formed bytes count as the replacement characters they would become.
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); i += step_at(text, i).length) ++n;
    return n;
}

std::string pad_right(std::string_view text, std::size_t width) {
    std::string out(text);
    const std::size_t n = char_count(text);
    if (n < width) out.append(width - n, ' ');
    return out;
}

std::string escape_bytes(std::string_view bytes) {
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        const Step st = step_at(bytes, i);
        if (st.kind != Step::Ok) {
            for (std::size_t k = 0; k < st.length; ++k) append_hex_byte(out, static_cast<unsigned char>(bytes[i + k]));
            i += st.length;
            continue;
        }
        const char32_t c = st.cp;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    append_hex_byte(out, static_cast<unsigned char>(c));
                } else if (c >= 0x80 && c <= 0x9F) {
                    // C1 controls would act on the terminal; show their code point.
                    out += "\\u{";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                    out += "}";
                } else {
                    append_utf8(out, c);
                }
        }
        i += st.length;
    }
    out += '"';
    return out;
}

std::string list_notation(const std::vector<std::string>& names) {
    std::string out = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += escape_bytes(names[i]);
    }
    return out + "]";
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return value;
}

}  // namespace qm
