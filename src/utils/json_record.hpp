// JSON records: one description per record type drives both its reader and its writer.
//
// A record type opts in with a constexpr `describe_json` overload in its own namespace
// (found by argument-dependent lookup), listing its fields in declaration order:
//
//     struct Thing {
//         std::string name;
//         std::optional<std::string> comment;
//         std::vector<std::string> tags;
//         SystemTime when;
//         Inner inner;  // a record of its own
//     };
//     constexpr auto describe_json(JsonTag<Thing>) {
//         using R = Thing;
//         return json_record("Thing",                               // "struct Thing" in messages
//                            required_field("name", &R::name),
//                            optional_field("comment", &R::comment),  // std::optional only
//                            defaulted_field("tags", &R::tags),       // missing: Thing{}'s value
//                            required_field("when", &R::when),
//                            required_field("inner", &R::inner));
//     }
//
// Then read_value / write_value (and so from_json<Thing>, to_json_pretty, and Thing inside
// vectors, maps, std::optional and other records) work without more code, and so does
// check_value / check_json<Thing>, which accepts and refuses alike but builds nothing.
//
// Reading accepts
//   - an object with the keys in any order: a key the record does not have is skipped
//     (its value must still be well-formed JSON), a key of the record given twice is
//     refused ("duplicate field `k`"), a missing required key is refused ("missing field
//     `k`"), a missing optional key is none and a missing defaulted key keeps the default;
//   - or an array of the values in declaration order (an optional field's value may be
//     null); fewer values are refused with "invalid length N, expected struct Thing with
//     K elements" unless only defaulted fields are left out; more values are refused
//     ("trailing characters").
// Anything else is "invalid type: ..., expected struct Thing". Null is a wrong type for
// every required field. A refused record leaves the target unchanged.
//
// Writing gives an object in the pretty layout, every key in declaration order, none as null.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "utils/json_reader.hpp"
#include "utils/json_writer.hpp"

namespace qm {

// One field: its key, the member it fills and how a missing key is read.
template <class T, class M>
struct JsonRecordField {
    using member_type = M;
    std::string_view key;
    M T::*member;
    JsonPresence presence;
};

// A record's name (as in "struct <name>") and its fields in declaration order.
template <class T, class... M>
struct JsonRecord {
    std::string_view name;
    std::tuple<JsonRecordField<T, M>...> fields;
};

namespace json_detail {
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
}  // namespace json_detail

// A key that must be there, with a value of the member's type (null refused).
template <class T, class M>
constexpr JsonRecordField<T, M> required_field(std::string_view key, M T::*member) {
    static_assert(!json_detail::is_optional<M>::value, "a std::optional member is an optional_field");
    return {key, member, JsonPresence::Required};
}

// A std::optional member: a missing key or null reads as none; written as null when none.
template <class T, class M>
constexpr JsonRecordField<T, M> optional_field(std::string_view key, M T::*member) {
    static_assert(json_detail::is_optional<M>::value, "an optional_field is a std::optional member");
    return {key, member, JsonPresence::Optional};
}

// A key that may be missing (also at the end of the array form); the member then keeps
// the value a default-constructed record has.
template <class T, class M>
constexpr JsonRecordField<T, M> defaulted_field(std::string_view key, M T::*member) {
    return {key, member, JsonPresence::Defaulted};
}

template <class T, class... M>
constexpr JsonRecord<T, M...> json_record(std::string_view name, JsonRecordField<T, M>... fields) {
    static_assert(sizeof...(M) > 0, "a record has fields");
    return {name, {fields...}};
}

// A type with a describe_json overload.
template <class T>
concept JsonRecordType = requires { describe_json(JsonTag<T>{}); };

namespace json_detail {

template <class T, class... M>
Status read_record(JsonReader& r, const JsonRecord<T, M...>& record, T& out) {
    const auto keys = std::apply(
        [](const auto&... f) { return std::array<JsonFieldKey, sizeof...(M)>{JsonFieldKey{f.key, f.presence}...}; },
        record.fields);
    T value{};
    auto read_field = [&](std::size_t index, JsonReader& rr) -> Status {
        Status result;
        std::size_t k = 0;
        std::apply([&](const auto&... f) { (void)((k++ == index && ((result = read_value(rr, value.*f.member)), true)) || ...); },
                   record.fields);
        return result;
    };
    if (auto s = r.read_record(record.name, keys, read_field); !s) return s;
    out = std::move(value);
    return {};
}

template <class T, class... M>
Status check_record(JsonReader& r, const JsonRecord<T, M...>& record) {
    const auto keys = std::apply(
        [](const auto&... f) { return std::array<JsonFieldKey, sizeof...(M)>{JsonFieldKey{f.key, f.presence}...}; },
        record.fields);
    auto check_field = [&](std::size_t index, JsonReader& rr) -> Status {
        Status result;
        std::size_t k = 0;
        std::apply(
            [&](const auto&... f) {
                ((k++ == index &&
                  ((result = check_value(rr, JsonTag<typename std::remove_cvref_t<decltype(f)>::member_type>{})),
                   true)) ||
                 ...);
            },
            record.fields);
        return result;
    };
    return r.read_record(record.name, keys, check_field);
}

template <class T, class... M>
void write_record(JsonWriter& w, const JsonRecord<T, M...>& record, const T& value) {
    w.begin_object();
    std::apply([&](const auto&... f) { (w.member(f.key, value.*f.member), ...); }, record.fields);
    w.end_object();
}

}  // namespace json_detail

template <JsonRecordType T>
Status read_value(JsonReader& r, T& out) {
    static constexpr auto record = describe_json(JsonTag<T>{});
    return json_detail::read_record(r, record, out);
}

template <JsonRecordType T>
Status check_value(JsonReader& r, JsonTag<T>) {
    static constexpr auto record = describe_json(JsonTag<T>{});
    return json_detail::check_record(r, record);
}

template <JsonRecordType T>
void write_value(JsonWriter& w, const T& value) {
    static constexpr auto record = describe_json(JsonTag<T>{});
    json_detail::write_record(w, record, value);
}

}  // namespace qm
