#include "utils/json_value.hpp"

namespace qm {

const JsonValue* JsonValue::find(std::string_view key) const {
    for (auto it = members.rbegin(); it != members.rend(); ++it)
        if (it->key == key) return &it->value;
    return nullptr;
}

// Keeps the value when `out` is given, else only checks that it is well-formed.
Status JsonReader::parse_any(JsonValue* out) {
    lex_.skip_white_space();
    if (lex_.at_end()) return unexpected(lex_.peek_error("EOF while parsing a value"));
    JsonValue scratch;
    JsonValue& v = out ? *out : scratch;
    v = JsonValue{};
    if (out) v.begin = lex_.next_position();
    const char c = lex_.peek();
    switch (c) {
        case 'n':
            if (auto s = lex_.read_null(); !s) return s;
            v.kind = JsonValue::Kind::Null;
            break;
        case 't':
        case 'f':
            if (auto s = lex_.read_bool(v.boolean); !s) return s;
            v.kind = JsonValue::Kind::Bool;
            break;
        case '"':
            if (auto s = out ? lex_.read_string(v.text) : lex_.check_string(); !s) return s;
            v.kind = JsonValue::Kind::String;
            break;
        case '[':
            v.kind = JsonValue::Kind::Array;
            if (auto s = lex_.walk([&](std::string*) { return parse_any(out ? &v.items.emplace_back() : nullptr); });
                !s)
                return s;
            break;
        case '{':
            v.kind = JsonValue::Kind::Object;
            if (auto s = lex_.walk([&](std::string* key) {
                    if (!out) return parse_any(nullptr);
                    auto& m = v.members.emplace_back();
                    m.key = std::move(*key);
                    return parse_any(&m.value);
                });
                !s)
                return s;
            break;
        default: {
            if (c != '-' && (c < '0' || c > '9')) return unexpected(lex_.peek_error("expected value"));
            JsonNumber n;
            if (auto s = lex_.read_number(n); !s) return s;
            v.kind = JsonValue::Kind::Number;
            v.text = std::string(n.text);
        }
    }
    if (out) v.end = lex_.position();
    return {};
}

Status JsonReader::read_any(JsonValue& out) { return parse_any(&out); }
Status JsonReader::skip_value() { return parse_any(nullptr); }

Status read_value(JsonReader& r, JsonValue& out) { return r.read_any(out); }

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

Result<JsonValue> parse_json(std::string_view text) { return from_json<JsonValue>(text); }

}  // namespace qm
