// The token layer under JsonReader: a cursor over JSON text that reads scalars, walks
// arrays and objects, and words every refusal with the place where reading stopped.
// Callers read JSON through JsonReader (json_reader.hpp); this header is its building block.
//
// Positions follow the convention of a streaming reader: lines count from 1; the column
// is the number of bytes of the current line consumed when reading stopped (so it is the
// 1-based column of the last byte looked at, and 0 right after a line feed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "utils/expected.hpp"

namespace qm {

struct JsonPosition {
    std::size_t line = 0;
    std::size_t column = 0;
    bool operator==(const JsonPosition&) const = default;
};

// A non-owning reference to a callable, for callbacks that do not outlive the call they
// are passed to.
template <class Signature>
class JsonCallback;

template <class R, class... Args>
class JsonCallback<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, JsonCallback> && std::is_invocable_r_v<R, F&, Args...>)
    JsonCallback(F&& f)  // NOLINT: converts from any fitting callable, like std::function
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return std::invoke(*static_cast<std::remove_reference_t<F>*>(object), std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

// A JSON number as read: its text, and its value by kind.
struct JsonNumber {
    enum class Kind { Unsigned, Negative, Float } kind = Kind::Unsigned;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0;
    std::string_view text;  // exactly as written
    // "integer `7`", "floating point `1.5`": the wording of refusals.
    std::string describe() const;
};

class JsonLexer {
public:
    explicit JsonLexer(std::string_view text) : text_(text) {}

    // --- Places and refusals. Every refusal ends in " at line L column C".
    JsonPosition position() const { return position_of(index_); }       // after the last byte consumed
    JsonPosition next_position() const { return position_of(index_ + 1); }  // of the next byte
    Error error(std::string_view message) const { return error_at(index_, message); }
    Error peek_error(std::string_view message) const { return error_at(index_ + 1, message); }

    // --- Bytes.
    bool at_end() const { return index_ >= text_.size(); }
    char peek() const { return text_[index_]; }
    void skip_white_space();
    // The first byte of the next value (white space skipped, nothing consumed), or
    // "EOF while parsing a value".
    Result<char> peek_value();

    // --- Scalars, each called at its first byte.
    Status read_null();
    Status read_bool(bool& out);
    Status read_string(std::string& out);  // decoded, checked to be UTF-8
    Status check_string();                 // the same checks and refusals, nothing kept
    Status read_number(JsonNumber& out);
    // Consumes the offending value when it is a scalar and refuses it with
    // "invalid type: <what was found>, expected <expected>".
    Error invalid_type(std::string_view expected);

    // --- Arrays and objects: the one walk over their elements and members.
    //
    // Called at '[' or '{'. For each array element: `value(nullptr)`. For each object
    // member: `key(k)` right after the key is read (a refusal there is placed after the
    // blanks that follow the key, before the colon), then the colon, then `value(&k)`.
    // `value` must consume exactly one value. After `max_elements` array elements the walk
    // ends, and the closing bracket must follow ("trailing characters" otherwise).
    // Nesting deeper than 127 containers is refused ("recursion limit exceeded").
    using KeyHook = JsonCallback<Status(const std::string& key)>;
    using ValueHook = JsonCallback<Status(std::string* key)>;
    Status walk(KeyHook key, ValueHook value, std::size_t max_elements = std::numeric_limits<std::size_t>::max());
    Status walk(ValueHook value);

    // After the top value: only white space may follow ("trailing characters").
    Status finish();

private:
    // Where the parts of a number's text lie (indexes into the text).
    struct NumberText {
        std::size_t start = 0;      // the first byte, '-' included
        std::size_t int_end = 0;    // after the integer part
        std::size_t exp_start = 0;  // after the 'e' or 'E'; 0: no exponent
        std::size_t end = 0;        // after the last byte
        bool positive = true;
        bool is_float = false;      // a fraction or an exponent
        std::size_t digits_start() const { return positive ? start : start + 1; }
        bool to_integer(std::string_view text, JsonNumber& out) const;
        bool overflows(std::string_view text) const;
    };
    Result<NumberText> scan_number();

    Error error_at(std::size_t index, std::string_view message) const;
    JsonPosition position_of(std::size_t index) const;
    Status enter();
    void leave() { ++remaining_depth_; }
    Status parse_ident(std::string_view rest);
    template <bool kKeep>
    Status scan_string(std::string* keep);
    Status parse_escape(std::string* out);
    Status parse_unicode_escape(std::string* out);
    Result<unsigned> parse_hex4();
    Result<bool> next_item(bool& first, char close, std::string_view eof_message,
                           std::string_view separator_message);
    Result<bool> next_element(bool& first);
    Result<bool> next_key(bool& first, std::string& key);
    Status parse_colon();
    Status end_array();
    Status end_object();

    std::string_view text_;
    std::size_t index_ = 0;
    int remaining_depth_ = 128;
    // Line count up to a recent index, so that positions asked in reading order cost
    // only the bytes since the last one.
    mutable std::size_t cached_index_ = 0;
    mutable std::size_t cached_line_ = 1;
    mutable std::size_t cached_line_start_ = 0;
};

}  // namespace qm
