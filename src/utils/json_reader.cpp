#include "utils/json_reader.hpp"

#include <vector>

#include "utils/time.hpp"

namespace qm {

namespace {
bool starts_number(char c) { return c == '-' || (c >= '0' && c <= '9'); }
}  // namespace

Status JsonReader::read_string(std::string& out, std::string_view expected) {
    auto c = lex_.peek_value();
    if (!c) return unexpected(c.error());
    if (*c != '"') return unexpected(lex_.invalid_type(expected));
    return lex_.read_string(out);
}

Status JsonReader::check_string(std::string_view expected) {
    auto c = lex_.peek_value();
    if (!c) return unexpected(c.error());
    if (*c != '"') return unexpected(lex_.invalid_type(expected));
    return lex_.check_string();
}

Status JsonReader::read_bool(bool& out) {
    auto c = lex_.peek_value();
    if (!c) return unexpected(c.error());
    if (*c != 't' && *c != 'f') return unexpected(lex_.invalid_type("a boolean"));
    return lex_.read_bool(out);
}

Status JsonReader::read_u64(std::uint64_t& out) {
    auto c = lex_.peek_value();
    if (!c) return unexpected(c.error());
    if (!starts_number(*c)) return unexpected(lex_.invalid_type("u64"));
    JsonNumber n;
    if (auto s = lex_.read_number(n); !s) return s;
    switch (n.kind) {
        case JsonNumber::Kind::Unsigned: out = n.u; return {};
        case JsonNumber::Kind::Negative: return unexpected(lex_.error("invalid value: " + n.describe() + ", expected u64"));
        case JsonNumber::Kind::Float: break;
    }
    return unexpected(lex_.error("invalid type: " + n.describe() + ", expected u64"));
}

Result<bool> JsonReader::read_null() {
    lex_.skip_white_space();
    if (lex_.at_end() || lex_.peek() != 'n') return false;
    if (auto s = lex_.read_null(); !s) return unexpected(s.error());
    return true;
}

Status JsonReader::read_sequence(JsonCallback<Status(JsonReader&)> element, std::string_view expected) {
    auto c = lex_.peek_value();
    if (!c) return unexpected(c.error());
    if (*c != '[') return unexpected(lex_.invalid_type(expected));
    return lex_.walk([&](std::string*) { return element(*this); });
}

Status JsonReader::read_map(JsonCallback<Status(JsonReader&, std::string key)> entry, std::string_view expected) {
    auto c = lex_.peek_value();
    if (!c) return unexpected(c.error());
    if (*c != '{') return unexpected(lex_.invalid_type(expected));
    return lex_.walk([&](std::string* key) { return entry(*this, std::move(*key)); });
}

Status JsonReader::read_record(std::string_view name, std::span<const JsonFieldKey> fields,
                               JsonCallback<Status(std::size_t field, JsonReader&)> read_field) {
    auto c = lex_.peek_value();
    if (!c) return unexpected(c.error());
    if (*c == '[') {
        // The values in declaration order; trailing defaulted fields may be left out.
        std::size_t found = 0;
        auto walked = lex_.walk([](const std::string&) -> Status { return {}; },
                                [&](std::string*) { return read_field(found++, *this); }, fields.size());
        if (!walked) return walked;
        for (std::size_t k = found; k < fields.size(); ++k) {
            if (fields[k].presence == JsonPresence::Defaulted) continue;
            const std::size_t n = fields.size();
            return unexpected(lex_.error("invalid length " + std::to_string(found) + ", expected struct " +
                                         std::string(name) + " with " + std::to_string(n) +
                                         (n == 1 ? " element" : " elements")));
        }
        return {};
    }
    if (*c == '{') {
        std::vector<bool> seen(fields.size(), false);
        std::size_t match = fields.size();  // the field of the current member; size(): none
        auto on_key = [&](const std::string& key) -> Status {
            match = fields.size();
            for (std::size_t k = 0; k < fields.size(); ++k) {
                if (fields[k].key != key) continue;
                if (seen[k]) {
                    lex_.skip_white_space();
                    return unexpected(lex_.error("duplicate field `" + key + "`"));
                }
                seen[k] = true;
                match = k;
                break;
            }
            return {};
        };
        auto on_value = [&](std::string*) { return match < fields.size() ? read_field(match, *this) : skip_value(); };
        if (auto s = lex_.walk(on_key, on_value); !s) return s;
        for (std::size_t k = 0; k < fields.size(); ++k)
            if (!seen[k] && fields[k].presence == JsonPresence::Required)
                return unexpected(lex_.error("missing field `" + std::string(fields[k].key) + "`"));
        return {};
    }
    return unexpected(lex_.invalid_type("struct " + std::string(name)));
}

Status read_value(JsonReader& r, std::string& out) { return r.read_string(out); }
Status check_value(JsonReader& r, JsonTag<std::string>) { return r.check_string(); }
Status read_value(JsonReader& r, bool& out) { return r.read_bool(out); }
Status read_value(JsonReader& r, std::uint64_t& out) { return r.read_u64(out); }

Status read_value(JsonReader& r, std::chrono::system_clock::time_point& out) {
    std::string text;
    if (auto s = r.read_string(text, "an RFC 3339 formatted date and time string"); !s) return s;
    auto t = parse_rfc3339(text);
    if (!t) return unexpected(r.error_here(t.error().message));
    out = *t;
    return {};
}

}  // namespace qm
