// JSON for the state files and backups: one fixed pretty layout when writing, and a
// streaming reader whose refusals carry fixed message shapes and the place where
// reading stopped (" at line L column C").
//
// Reading a record type takes one overload of `read_value` and one of `write_value`,
// found by argument-dependent lookup:
//
//     Status read_value(JsonReader& r, Thing& t) {
//         return read_record(r, "Thing", {
//             field("name", t.name),                 // required text
//             field("comment", t.comment),           // std::optional: missing or null = none
//             field_or_default("tags", t.tags),      // missing: keeps the current value
//             field("inner", t.inner),               // nested record with its own read_value
//         });
//     }
//     void write_value(JsonWriter& w, const Thing& t) {
//         w.begin_object();
//         w.member("name", t.name);
//         w.member("comment", t.comment);            // none is written as null
//         w.member("tags", t.tags);
//         w.member("inner", t.inner);
//         w.end_object();
//     }
//     Result<Thing> t = from_json<Thing>(text);  std::string s = to_json_pretty(t.value());
//
// Positions follow the convention of a streaming reader: lines count from 1; the column
// is the number of bytes of the current line consumed when reading stopped (so it is the
// 1-based column of the last byte looked at, and 0 right after a line feed).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "utils/expected.hpp"

namespace qm {

// ---------------------------------------------------------------------------------------
// Writing

// The text as a JSON string literal, quotes included: '"' and '\' escaped with a
// backslash; \b \t \n \f \r; every other byte below 0x20 as \u00xx (lower-case hex);
// everything else ('/', 0x7F, non-ASCII UTF-8) as it is.
std::string json_quote(std::string_view text);

// Builds pretty JSON: two spaces per level, one member or element per line, "[]" and
// "{}" for empty containers, ": " between key and value, no line end at the end.
class JsonWriter {
public:
    void write_null();
    void write_bool(bool value);
    void write_string(std::string_view value);
    void write_u64(std::uint64_t value);
    // A number given as JSON number text (copied as it is; the caller vouches for it).
    void write_number_text(std::string_view text);

    void begin_object();
    // The next value written becomes this member's value.
    void key(std::string_view key);
    void end_object();
    void begin_array();
    void end_array();

    template <class T>
    void member(std::string_view name, const T& value);

    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    void before_value();
    struct Frame {
        bool object;
        std::size_t count;
    };
    std::string out_;
    std::vector<Frame> stack_;
    bool after_key_ = false;
};

void write_value(JsonWriter& w, const std::string& value);
void write_value(JsonWriter& w, std::string_view value);
void write_value(JsonWriter& w, const char* value);
void write_value(JsonWriter& w, bool value);
void write_value(JsonWriter& w, std::uint64_t value);
// RFC 3339 in UTC ending in "Z", with 0, 3, 6 or 9 fraction digits.
void write_value(JsonWriter& w, std::chrono::system_clock::time_point value);
template <class T>
void write_value(JsonWriter& w, const std::optional<T>& value);  // none: null
template <class T>
void write_value(JsonWriter& w, const std::vector<T>& values);
template <class V>
void write_value(JsonWriter& w, const std::unordered_map<std::string, V>& map);  // map's own order
template <class V>
void write_value(JsonWriter& w, const std::map<std::string, V>& map);

template <class T>
std::string to_json_pretty(const T& value) {
    JsonWriter w;
    write_value(w, value);
    return w.take();
}

// ---------------------------------------------------------------------------------------
// Untyped values

struct JsonPosition {
    std::size_t line = 0;
    std::size_t column = 0;
    bool operator==(const JsonPosition&) const = default;
};

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

// Numbers are written back as they were read.
void write_value(JsonWriter& w, const JsonValue& value);

// ---------------------------------------------------------------------------------------
// Reading

class JsonReader;

// One field of a record, in declaration order (see read_record).
struct JsonField {
    enum class Presence {
        Required,     // a missing key is refused ("missing field `key`")
        OptionalKey,  // the key may be missing; the array form must still hold a value
        Defaulted,    // may be missing, also at the end of the array form
    };
    std::string_view key;
    Presence presence = Presence::Required;
    std::function<Status(JsonReader&)> read;
};

// A cursor over JSON text. Every failing call returns an Error whose message ends in
// " at line L column C"; after a failure the reader must not be used further.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    // Typed reads of the next value (leading white space skipped). `expected` is the
    // expectation named in "invalid type: <found>, expected <expected>".
    Status read_string(std::string& out, std::string_view expected = "a string");
    Status read_bool(bool& out);
    Status read_u64(std::uint64_t& out);
    // True (and consumed) when the next value is null; false leaves it unread.
    Result<bool> read_null();
    // A JSON array; `element` reads one element each time it is called.
    Status read_sequence(const std::function<Status(JsonReader&)>& element,
                         std::string_view expected = "a sequence");
    // A JSON object with any keys; `entry` gets the decoded key and reads the value.
    Status read_map(const std::function<Status(JsonReader&, std::string key)>& entry,
                    std::string_view expected = "a map");
    // A record named "struct <name>": an object with the given keys in any order
    // (unknown keys skipped, repeated keys refused) or an array of the values in
    // declaration order.
    Status read_record(std::string_view name, std::initializer_list<JsonField> fields);
    // Any well-formed value, kept (read_any) or dropped (skip_value).
    Status read_any(JsonValue& out);
    Status skip_value();
    // After the top value: only white space may follow ("trailing characters").
    Status finish();

    // An error with the position of the last byte consumed, for decoders that refuse a
    // value they have just read (e.g. a bad date-time text).
    Error error_here(std::string_view message) const;
    JsonPosition position() const;

private:
    struct Number;
    bool at_end() const { return index_ >= text_.size(); }
    char peek() const { return text_[index_]; }
    void skip_white_space();
    Error error_at(std::size_t index, std::string_view message) const;
    Error error(std::string_view message) const;       // at the last byte consumed
    Error peek_error(std::string_view message) const;  // at the byte looked at next
    Status enter();
    void leave() { ++remaining_depth_; }
    Status parse_ident(std::string_view rest);
    Status parse_string(std::string& out);
    Status parse_escape(std::string& out);
    Status parse_unicode_escape(std::string& out);
    Result<unsigned> parse_hex4();
    Status parse_number(bool positive, std::size_t start, Number& out);
    Error invalid_type(std::string_view expected);
    Result<bool> next_element(bool& first);
    Result<bool> next_key(bool& first, std::string& key);
    Status parse_colon();
    Status end_sequence();
    Status end_map();
    Status parse_any(JsonValue* out);

    JsonPosition position_of(std::size_t index) const;

    std::string_view text_;
    std::size_t index_ = 0;
    int remaining_depth_ = 128;
    // Line count up to a recent index, so that positions asked in reading order cost
    // only the bytes since the last one.
    mutable std::size_t cached_index_ = 0;
    mutable std::size_t cached_line_ = 1;
    mutable std::size_t cached_line_start_ = 0;
};

Status read_value(JsonReader& r, std::string& out);
Status read_value(JsonReader& r, bool& out);
Status read_value(JsonReader& r, std::uint64_t& out);
Status read_value(JsonReader& r, JsonValue& out);
// RFC 3339 text with "Z" or a numeric offset, converted to UTC.
Status read_value(JsonReader& r, std::chrono::system_clock::time_point& out);
template <class T>
Status read_value(JsonReader& r, std::optional<T>& out);  // null: none
template <class T>
Status read_value(JsonReader& r, std::vector<T>& out);
template <class V>
Status read_value(JsonReader& r, std::unordered_map<std::string, V>& out);  // later key wins
template <class V>
Status read_value(JsonReader& r, std::map<std::string, V>& out);            // later key wins

// The whole text as one value of type T; only white space may follow it.
template <class T>
Result<T> from_json(std::string_view text) {
    JsonReader r(text);
    T value{};
    if (auto s = read_value(r, value); !s) return unexpected(s.error());
    if (auto s = r.finish(); !s) return unexpected(s.error());
    return value;
}

// The whole text as an untyped value.
Result<JsonValue> parse_json(std::string_view text);

// Shorthand for JsonReader::read_record.
inline Status read_record(JsonReader& r, std::string_view name, std::initializer_list<JsonField> fields) {
    return r.read_record(name, fields);
}

namespace json_detail {
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
}  // namespace json_detail

// A field read with its type's read_value. A missing key is refused, except for
// std::optional targets, which are left as none.
template <class T>
JsonField field(std::string_view key, T& target) {
    return JsonField{key,
                     json_detail::is_optional<T>::value ? JsonField::Presence::OptionalKey
                                                        : JsonField::Presence::Required,
                     [&target](JsonReader& r) { return read_value(r, target); }};
}

// A field that may be missing (also at the end of the array form); then the target
// keeps the value it has.
template <class T>
JsonField field_or_default(std::string_view key, T& target) {
    return JsonField{key, JsonField::Presence::Defaulted, [&target](JsonReader& r) { return read_value(r, target); }};
}

// A field read by a decoder of its own: read(JsonReader&, T&) -> Status.
template <class T, class F>
JsonField field_with(std::string_view key, T& target, F read,
                     JsonField::Presence presence = JsonField::Presence::Required) {
    return JsonField{key, presence, [&target, read](JsonReader& r) { return read(r, target); }};
}

// ---------------------------------------------------------------------------------------
// Template definitions

template <class T>
void JsonWriter::member(std::string_view name, const T& value) {
    key(name);
    write_value(*this, value);
}

template <class T>
void write_value(JsonWriter& w, const std::optional<T>& value) {
    if (value) {
        write_value(w, *value);
    } else {
        w.write_null();
    }
}

template <class T>
void write_value(JsonWriter& w, const std::vector<T>& values) {
    w.begin_array();
    for (const auto& v : values) write_value(w, v);
    w.end_array();
}

namespace json_detail {
// Both map kinds read and write alike: an object of text keys, the later of two equal keys winning.
template <class Map>
void write_map(JsonWriter& w, const Map& map) {
    w.begin_object();
    for (const auto& [k, v] : map) w.member(k, v);
    w.end_object();
}
template <class Map>
Status read_map(JsonReader& r, Map& out) {
    out.clear();
    return r.read_map([&out](JsonReader& rr, std::string key) -> Status {
        typename Map::mapped_type value{};
        if (auto s = read_value(rr, value); !s) return s;
        out.insert_or_assign(std::move(key), std::move(value));
        return {};
    });
}
}  // namespace json_detail

template <class V>
void write_value(JsonWriter& w, const std::unordered_map<std::string, V>& map) {
    json_detail::write_map(w, map);
}

template <class V>
void write_value(JsonWriter& w, const std::map<std::string, V>& map) {
    json_detail::write_map(w, map);
}

template <class T>
Status read_value(JsonReader& r, std::optional<T>& out) {
    auto null = r.read_null();
    if (!null) return unexpected(null.error());
    if (*null) {
        out.reset();
        return {};
    }
    T value{};
    if (auto s = read_value(r, value); !s) return s;
    out = std::move(value);
    return {};
}

template <class T>
Status read_value(JsonReader& r, std::vector<T>& out) {
    out.clear();
    return r.read_sequence([&out](JsonReader& rr) -> Status {
        T value{};
        if (auto s = read_value(rr, value); !s) return s;
        out.push_back(std::move(value));
        return {};
    });
}

template <class V>
Status read_value(JsonReader& r, std::unordered_map<std::string, V>& out) {
    return json_detail::read_map(r, out);
}

template <class V>
Status read_value(JsonReader& r, std::map<std::string, V>& out) {
    return json_detail::read_map(r, out);
}

}  // namespace qm
