// Reading JSON into typed values. Every refusal carries a fixed message shape and the
// place where reading stopped (" at line L column C"); see json_lexer.hpp for positions.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/expected.hpp"
#include "utils/json_lexer.hpp"

namespace qm {

struct JsonValue;

// How a record field is read when its key is missing (see json_record.hpp).
enum class JsonPresence {
    Required,   // a missing key is refused ("missing field `key`"); null is a wrong type
    Optional,   // a std::optional: a missing key or null is none; the array form holds a value
    Defaulted,  // a missing key keeps the record's default value, also at the end of the array form
};

// A field as the reader needs it: its key and presence, in declaration order.
struct JsonFieldKey {
    std::string_view key;
    JsonPresence presence = JsonPresence::Required;
};

// A cursor over JSON text. Every failing call returns an Error whose message ends in
// " at line L column C"; after a failure the reader must not be used further.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : lex_(text) {}

    // Typed reads of the next value (leading white space skipped). `expected` is the
    // expectation named in "invalid type: <found>, expected <expected>".
    Status read_string(std::string& out, std::string_view expected = "a string");
    // A string checked as read_string checks it (the same refusals), its text not kept.
    Status check_string(std::string_view expected = "a string");
    Status read_bool(bool& out);
    Status read_u64(std::uint64_t& out);
    // True (and consumed) when the next value is null; false leaves it unread.
    Result<bool> read_null();
    // A JSON array; `element` reads one element each time it is called.
    Status read_sequence(JsonCallback<Status(JsonReader&)> element, std::string_view expected = "a sequence");
    // A JSON object with any keys; `entry` gets the decoded key and reads the value.
    Status read_map(JsonCallback<Status(JsonReader&, std::string key)> entry, std::string_view expected = "a map");
    // A record named "struct <name>": an object with the given keys in any order
    // (unknown keys skipped but checked to be well-formed, a repeated key refused,
    // missing keys by presence) or an array of the values in declaration order.
    // `read_field(i, reader)` reads the value of fields[i]. Records normally come
    // through a description (json_record.hpp), which calls this.
    Status read_record(std::string_view name, std::span<const JsonFieldKey> fields,
                       JsonCallback<Status(std::size_t field, JsonReader&)> read_field);
    // Any well-formed value, kept (read_any) or dropped (skip_value).
    Status read_any(JsonValue& out);
    Status skip_value();
    // After the top value: only white space may follow ("trailing characters").
    Status finish() { return lex_.finish(); }

    // An error with the position of the last byte consumed, for decoders that refuse a
    // value they have just read (e.g. a bad date-time text).
    Error error_here(std::string_view message) const { return lex_.error(message); }
    JsonPosition position() const { return lex_.position(); }

private:
    Status parse_any(JsonValue* out);
    JsonLexer lex_;
};

Status read_value(JsonReader& r, std::string& out);
Status read_value(JsonReader& r, bool& out);
Status read_value(JsonReader& r, std::uint64_t& out);
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

// The argument by which overloads for a type are told apart where no value of it is at hand.
template <class T>
struct JsonTag {};

// Checking the next value as read_value into a T would read it: the same values accepted and
// the same refusals, but nothing built that the caller would throw away. Strings are checked
// where they stand; containers and records are walked; small scalars are read and dropped.
template <class T>
Status check_value(JsonReader& r, JsonTag<T>);
Status check_value(JsonReader& r, JsonTag<std::string>);
template <class T>
Status check_value(JsonReader& r, JsonTag<std::optional<T>>);
template <class T>
Status check_value(JsonReader& r, JsonTag<std::vector<T>>);
template <class V>
Status check_value(JsonReader& r, JsonTag<std::unordered_map<std::string, V>>);
template <class V>
Status check_value(JsonReader& r, JsonTag<std::map<std::string, V>>);

// Whether the whole text reads as one value of type T (see from_json), keeping nothing.
template <class T>
Status check_json(std::string_view text) {
    JsonReader r(text);
    if (auto s = check_value(r, JsonTag<T>{}); !s) return s;
    return r.finish();
}

// ---------------------------------------------------------------------------------------
// Template definitions

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

namespace json_detail {
// Both map kinds read alike: an object of text keys, the later of two equal keys winning.
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
Status read_value(JsonReader& r, std::unordered_map<std::string, V>& out) {
    return json_detail::read_map(r, out);
}

template <class V>
Status read_value(JsonReader& r, std::map<std::string, V>& out) {
    return json_detail::read_map(r, out);
}

template <class T>
Status check_value(JsonReader& r, JsonTag<T>) {
    T value{};
    return read_value(r, value);
}

template <class T>
Status check_value(JsonReader& r, JsonTag<std::optional<T>>) {
    auto null = r.read_null();
    if (!null) return unexpected(null.error());
    if (*null) return {};
    return check_value(r, JsonTag<T>{});
}

template <class T>
Status check_value(JsonReader& r, JsonTag<std::vector<T>>) {
    return r.read_sequence([](JsonReader& rr) { return check_value(rr, JsonTag<T>{}); });
}

template <class V>
Status check_value(JsonReader& r, JsonTag<std::unordered_map<std::string, V>>) {
    return r.read_map([](JsonReader& rr, std::string) { return check_value(rr, JsonTag<V>{}); });
}

template <class V>
Status check_value(JsonReader& r, JsonTag<std::map<std::string, V>>) {
    return r.read_map([](JsonReader& rr, std::string) { return check_value(rr, JsonTag<V>{}); });
}

}  // namespace qm
