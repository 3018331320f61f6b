// Untyped JSON values, for documents read and written whole without a record type.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "utils/expected.hpp"
#include "utils/json_reader.hpp"
#include "utils/json_writer.hpp"

namespace qm {

struct JsonMember;

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    // String: the decoded text. Number: the number exactly as written.
    std::string text;
    std::vector<JsonValue> items;     // Array
    std::vector<JsonMember> members;  // Object, in document order, repeated keys kept
    JsonPosition begin;               // the value's first byte
    JsonPosition end;                 // its last byte

    bool is_null() const { return kind == Kind::Null; }
    bool is_string() const { return kind == Kind::String; }
    bool is_array() const { return kind == Kind::Array; }
    bool is_object() const { return kind == Kind::Object; }
    // The member's value; of a repeated key, the later one. Null when absent.
    const JsonValue* find(std::string_view key) const;
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

Status read_value(JsonReader& r, JsonValue& out);
// Numbers are written back as they were read.
void write_value(JsonWriter& w, const JsonValue& value);

// The whole text as an untyped value.
Result<JsonValue> parse_json(std::string_view text);

}  // namespace qm
