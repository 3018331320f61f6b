// The pieces the command tree is declared with. One `leaf` row binds a command's name, its
// options (each to its field of the command's value) and its handler; the compiler checks
// that the value is a case of the command enums, that every field has its option and that
// the handler takes that value.
#pragma once

#include <cassert>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "cli/command_cases.hpp"
#include "cli/command_tree.hpp"

namespace qm::cli::rows {

namespace detail {

// Converts to anything: counts the fields of an aggregate by how many it takes.
struct AnyField {
    template <class U>
    operator U() const;
};

template <class T, class... Seen>
constexpr std::size_t field_count() {
    if constexpr (requires { T{Seen{}..., AnyField{}}; }) return field_count<T, Seen..., AnyField>();
    else return sizeof...(Seen);
}

inline std::string long_name_of(std::string id) {
    for (char& c : id)
        if (c == '_') c = '-';
    return id;
}

// The parser has checked the text already; an unreadable one leaves the field as it is.
inline std::optional<std::uint16_t> read_u16(const std::string& text) {
    unsigned long n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(n);
}

}  // namespace detail

// One option of command value `T`, bound to its field. The field's type gives the option's
// kind: text (std::string, required unless it has a default), optional text, 16-bit number
// (required), optional 16-bit number, or flag (bool).
template <class T, class M>
class Option {
public:
    static_assert(std::is_same_v<M, std::string> || std::is_same_v<M, std::optional<std::string>> ||
                      std::is_same_v<M, std::uint16_t> || std::is_same_v<M, std::optional<std::uint16_t>> ||
                      std::is_same_v<M, bool>,
                  "an option's field is text, a 16-bit number, either of them optional, or a flag");

    Option(std::string id, M T::*field, std::string value_name, std::string help) : field_(field) {
        def_.long_name = detail::long_name_of(id);
        def_.id = std::move(id);
        def_.value_name = std::move(value_name);
        def_.help = std::move(help);
        if constexpr (std::is_same_v<M, bool>) def_.type = ValueType::Flag;
        else if constexpr (std::is_same_v<M, std::uint16_t> || std::is_same_v<M, std::optional<std::uint16_t>>)
            def_.type = ValueType::U16;
        def_.required = std::is_same_v<M, std::string> || std::is_same_v<M, std::uint16_t>;
    }

    Option& short_name(char c) {
        def_.short_name = c;
        return *this;
    }
    Option& hidden() {
        def_.hidden = true;
        return *this;
    }
    // The value a text option takes when it is not given; it is no longer required then.
    Option& default_value(std::string value)
        requires std::is_same_v<M, std::string>
    {
        def_.default_value = std::move(value);
        def_.required = false;
        return *this;
    }

    const OptionDef& def() const { return def_; }

    void set(T& value, const OptionValues& found) const {
        M& field = value.*field_;
        if constexpr (std::is_same_v<M, bool>) {
            field = found.flags.count(def_.id) != 0;
        } else {
            auto it = found.values.find(def_.id);
            if (it == found.values.end()) return;
            if constexpr (std::is_same_v<M, std::string> || std::is_same_v<M, std::optional<std::string>>) {
                field = it->second;
            } else if (auto n = detail::read_u16(it->second)) {
                field = *n;
            }
        }
    }

private:
    OptionDef def_;
    M T::*field_;
};

// A text or number option: `opt("vlan_id", &VlanCreate::vlan_id, "VLAN_ID", "VLAN ID (e.g., 3008)")`.
// The long name follows from the id ("--vlan-id").
template <class T, class M>
    requires(!std::is_same_v<M, bool>)
Option<T, M> opt(std::string id, M T::*field, std::string value_name, std::string help) {
    return Option<T, M>(std::move(id), field, std::move(value_name), std::move(help));
}

// A flag: `flag("force", &VlanDelete::force, "Force deletion even if VLAN is in use")`.
template <class T>
Option<T, bool> flag(std::string id, bool T::*field, std::string help) {
    return Option<T, bool>(std::move(id), field, "", std::move(help));
}

// A leaf command whose value is `T`: its name, about text, handler and one option per field
// of `T` in field order. The handler takes (const Context&, const T&) and returns nothing
// (exit status 0) or the exit status as an int.
template <class T, class Handler, class... M>
CommandDef leaf(std::string name, std::string about, Handler handler, Option<T, M>... options) {
    static_assert(is_command_case<T>, "a leaf's value is a case of the command enums");
    static_assert(sizeof...(M) == detail::field_count<T>(), "every field of a leaf's value has its option");
    static_assert(std::is_invocable_v<const Handler&, const Context&, const T&>,
                  "a leaf's handler takes the context and the leaf's value");
    using Result = std::invoke_result_t<const Handler&, const Context&, const T&>;
    static_assert(std::is_void_v<Result> || std::is_same_v<Result, int>,
                  "a handler returns nothing or the exit status");

    CommandDef c;
    c.name = std::move(name);
    c.about = std::move(about);
    c.value_case = &typeid(T);
    c.options = {options.def()...};
    c.build = [options...](const OptionValues& found) {
        T value;
        (options.set(value, found), ...);
        return wrap_case(std::move(value));
    };
    c.run = [handler = std::move(handler)](const Context& ctx, const Commands& commands) -> int {
        const T* value = find_case<T>(commands);
        assert(value != nullptr);
        if constexpr (std::is_void_v<Result>) {
            handler(ctx, *value);
            return 0;
        } else {
            return handler(ctx, *value);
        }
    };
    return c;
}

// A group whose subcommands' cases live in `G` (or, for a group inside a group, in the case
// `G` that wraps them).
template <class G>
CommandDef group(std::string name, std::string about, std::vector<CommandDef> subcommands) {
    static_assert(is_command_case<G> && (cases_detail::Group<G> || cases_detail::Wrapper<G>),
                  "a group stands for a case that holds its subcommands");
    CommandDef c;
    c.name = std::move(name);
    c.about = std::move(about);
    c.value_case = &typeid(G);
    c.subcommands = std::move(subcommands);
    c.subcommand_required = true;
    c.help_when_empty = true;
    return c;
}

inline CommandDef ordered(CommandDef c, int order) {
    c.display_order = order;
    return c;
}

inline CommandDef with_usage(CommandDef c, std::string usage) {
    c.override_usage = std::move(usage);
    return c;
}

}  // namespace qm::cli::rows
