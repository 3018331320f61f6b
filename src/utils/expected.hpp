// A small stand-in for std::expected (C++23), which this toolchain's C++20 mode lacks.
#pragma once

#include <cassert>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace qm {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
    return {std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Expected {
public:
    using value_type = T;
    using error_type = E;

    Expected()
        requires std::is_default_constructible_v<T>
        : v_(std::in_place_index<0>) {}
    Expected(const T& v) : v_(std::in_place_index<0>, v) {}
    Expected(T&& v) : v_(std::in_place_index<0>, std::move(v)) {}
    template <class U>
        requires std::is_constructible_v<T, U&&> && (!std::is_same_v<std::decay_t<U>, Expected>) &&
                 (!std::is_same_v<std::decay_t<U>, T>)
    Expected(U&& v) : v_(std::in_place_index<0>, std::forward<U>(v)) {}
    template <class G>
    Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

    bool has_value() const { return v_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & { assert(has_value()); return std::get<0>(v_); }
    const T& value() const& { assert(has_value()); return std::get<0>(v_); }
    T&& value() && { assert(has_value()); return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { assert(!has_value()); return std::get<1>(v_); }
    const E& error() const& { assert(!has_value()); return std::get<1>(v_); }
    E&& error() && { assert(!has_value()); return std::get<1>(std::move(v_)); }

    template <class U>
    T value_or(U&& fallback) const& {
        return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
    }

private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
public:
    using value_type = void;
    using error_type = E;

    Expected() = default;
    template <class G>
    Expected(Unexpected<G> u) : err_(std::move(u.error)), ok_(false) {}

    bool has_value() const { return ok_; }
    explicit operator bool() const { return ok_; }
    void value() const { assert(ok_); }

    E& error() & { assert(!ok_); return err_; }
    const E& error() const& { assert(!ok_); return err_; }

private:
    E err_{};
    bool ok_ = true;
};

// The general error value: a message text meant for the user.
struct Error {
    std::string message;
    bool operator==(const Error&) const = default;
};

template <class T>
using Result = Expected<T, Error>;
using Status = Expected<void, Error>;

inline Unexpected<Error> fail(std::string message) { return {Error{std::move(message)}}; }

}  // namespace qm
