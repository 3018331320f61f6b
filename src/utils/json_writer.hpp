// Writing JSON in the one pretty layout of the state files and backups.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qm {

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
    void close(char bracket);
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

// The value in the pretty layout. Records (json_record.hpp) and the types above all work.
template <class T>
std::string to_json_pretty(const T& value) {
    JsonWriter w;
    write_value(w, value);
    return w.take();
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
// Both map kinds write alike: an object of text keys in the map's iteration order.
template <class Map>
void write_map(JsonWriter& w, const Map& map) {
    w.begin_object();
    for (const auto& [k, v] : map) w.member(k, v);
    w.end_object();
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

}  // namespace qm
