// The pieces the command tree is declared with. A `leaf` row names the struct T its command
// fills and the handler it runs, then its name, about text and options. The compiler refuses a
// handler that does not take T (only a command without options may take the context alone), a
// binder that names a field of another type than its kind, an option bound to a field of
// another struct, and, in a `group` row, a row that is not one of the group's cases. That
// every case has its row and every row reaches its own handler is checked by the tree's tests.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "cli/command_tree.hpp"

namespace qm::cli::rows {

// What a leaf keeps of each of its options: the declaration the parser reads, and how the
// option puts what was found for it into its field of the command's struct (`value` points to
// that struct). A field whose option was not given stays as it is; a flag not given is false.
struct BoundOption {
    using Fill = void (*)(void* value, const OptionValues& found, const std::string& id);
    OptionDef def;
    Fill fill = nullptr;
};

// An option of the command struct T that fills a field of type M, as a binder below gives it.
template <class T, class M>
struct Option {
    BoundOption bound;

    Option& short_name(char c) {
        bound.def.short_name = c;
        return *this;
    }
    Option& hidden() {
        bound.def.hidden = true;
        return *this;
    }
    // The value a required text option takes when it is not given; it is no longer required then.
    Option& default_value(std::string_view value)
        requires std::is_same_v<M, std::string>
    {
        bound.def.default_value = std::string(value);
        bound.def.required = false;
        return *this;
    }
};

namespace detail {

// The struct and the type of a field, from a pointer to it.
template <class P>
struct FieldPointer;
template <class T, class M>
struct FieldPointer<M T::*> {
    using Struct = T;
    using Type = M;
};
template <auto Field>
using StructOf = typename FieldPointer<decltype(Field)>::Struct;
template <auto Field>
using TypeOf = typename FieldPointer<decltype(Field)>::Type;
template <auto Field>
using OptionFor = Option<StructOf<Field>, TypeOf<Field>>;

template <class T, class O>
inline constexpr bool is_option_of = false;
template <class T, class M>
inline constexpr bool is_option_of<T, Option<T, M>> = true;

// The option's long name follows from its id: "vlan_id" gives "--vlan-id".
BoundOption make_option(std::string_view id, ValueType type, bool required, std::string_view value_name,
                        std::string_view help, BoundOption::Fill fill);

const std::string* given(const OptionValues& found, const std::string& id);
// The parser has checked the number already; an unreadable one reads as not given.
std::optional<std::uint16_t> read_u16(const std::string* text);

template <auto Field>
void fill_text(void* value, const OptionValues& found, const std::string& id) {
    if (auto text = given(found, id)) static_cast<StructOf<Field>*>(value)->*Field = *text;
}

template <auto Field>
void fill_number(void* value, const OptionValues& found, const std::string& id) {
    if (auto n = read_u16(given(found, id))) static_cast<StructOf<Field>*>(value)->*Field = *n;
}

template <auto Field>
void fill_flag(void* value, const OptionValues& found, const std::string& id) {
    static_cast<StructOf<Field>*>(value)->*Field = found.flags.count(id) != 0;
}

}  // namespace detail

// The binders; each names the field its option fills.

// A required text option: `text<&VswitchDelete::name>("name", "NAME", "Name of the bridge to delete")`.
template <auto Field>
detail::OptionFor<Field> text(std::string_view id, std::string_view value_name, std::string_view help) {
    static_assert(std::is_same_v<detail::TypeOf<Field>, std::string>, "a text option fills a std::string");
    return {detail::make_option(id, ValueType::Text, true, value_name, help, detail::fill_text<Field>)};
}

// A text option that may be left out: the field is absent then.
template <auto Field>
detail::OptionFor<Field> optional_text(std::string_view id, std::string_view value_name, std::string_view help) {
    static_assert(std::is_same_v<detail::TypeOf<Field>, std::optional<std::string>>,
                  "an optional text option fills a std::optional<std::string>");
    return {detail::make_option(id, ValueType::Text, false, value_name, help, detail::fill_text<Field>)};
}

// A required 16-bit number: `number<&VlanCreate::vlan_id>("vlan_id", "VLAN_ID", "VLAN ID (e.g., 3008)")`.
template <auto Field>
detail::OptionFor<Field> number(std::string_view id, std::string_view value_name, std::string_view help) {
    static_assert(std::is_same_v<detail::TypeOf<Field>, std::uint16_t>, "a number option fills a std::uint16_t");
    return {detail::make_option(id, ValueType::U16, true, value_name, help, detail::fill_number<Field>)};
}

// A 16-bit number that may be left out: the field is absent then.
template <auto Field>
detail::OptionFor<Field> optional_number(std::string_view id, std::string_view value_name,
                                                std::string_view help) {
    static_assert(std::is_same_v<detail::TypeOf<Field>, std::optional<std::uint16_t>>,
                  "an optional number option fills a std::optional<std::uint16_t>");
    return {detail::make_option(id, ValueType::U16, false, value_name, help, detail::fill_number<Field>)};
}

// A flag: `flag<&VlanDelete::force>("force", "Force deletion even if VLAN is in use")`.
template <auto Field>
detail::OptionFor<Field> flag(std::string_view id, std::string_view help) {
    static_assert(std::is_same_v<detail::TypeOf<Field>, bool>, "a flag fills a bool");
    return {detail::make_option(id, ValueType::Flag, false, "", help, detail::fill_flag<Field>)};
}

// A leaf row: the command's struct T, its handler and its options in the struct's field order.
// The handler is a function of the context and the struct, or, for a command without options,
// of the context alone; it returns nothing (exit status 0) or the exit status.
template <class T, auto Handler>
struct Leaf {
    CommandDef def;  // name, about text, options
    std::vector<BoundOption> options;
};

// A group row, finished: Path names the group and the groups above it, from below the root
// (`BondCommands`; `VswitchCommands, VswitchVeth` for `vswitch veth`).
template <class... Path>
struct Group {
    CommandDef def;
};

namespace detail {

CommandDef make_command(std::string_view name, std::string_view about);
std::vector<BoundOption> take_options(CommandDef& def, std::initializer_list<BoundOption*> options);

template <class T, class H>
constexpr bool handler_fits() {
    if constexpr (std::is_invocable_v<H, const Context&, const T&>) {
        using R = std::invoke_result_t<H, const Context&, const T&>;
        return std::is_void_v<R> || std::is_same_v<R, int>;
    } else if constexpr (std::is_invocable_v<H, const Context&>) {
        using R = std::invoke_result_t<H, const Context&>;
        return std::is_empty_v<T> && (std::is_void_v<R> || std::is_same_v<R, int>);
    } else {
        return false;
    }
}

}  // namespace detail

template <class T, auto Handler, class... Options>
Leaf<T, Handler> leaf(std::string_view name, std::string_view about, Options... options) {
    static_assert((detail::is_option_of<T, Options> && ...),
                  "a leaf's options are bound to fields of its struct");
    static_assert(detail::handler_fits<T, decltype(Handler)>(),
                  "a leaf's handler takes the context and the leaf's struct (or, without options, the context "
                  "alone) and returns nothing or the exit status");
    Leaf<T, Handler> row{detail::make_command(name, about), {}};
    row.options = detail::take_options(row.def, {&options.bound...});
    return row;
}

template <class Row>
Row ordered(Row row, int order) {
    row.def.display_order = order;
    return row;
}

template <class Row>
Row with_usage(Row row, std::string_view usage) {
    row.def.override_usage = std::string(usage);
    return row;
}

namespace detail {

template <class... Types>
struct TypeList {};

// A group inside a group is a case that wraps the inner group's enum in `command`.
template <class G>
concept Wrapper = requires { G::command; };

// The group whose cases the subcommands of a group are.
template <class G>
struct CasesOf {
    using type = G;
};
template <Wrapper G>
struct CasesOf<G> {
    using type = decltype(G::command);
};

// The place of C among the cases of group G; past the end when C is none of them.
template <class C, class G>
constexpr std::size_t case_index() {
    return []<class... Cases>(const std::variant<Cases...>*) {
        constexpr bool same[] = {std::is_same_v<C, Cases>...};
        std::size_t i = 0;
        while (i < sizeof...(Cases) && !same[i]) ++i;
        return i;
    }(static_cast<const decltype(G::value)*>(nullptr));
}

template <class C, class G>
inline constexpr bool is_case_of = case_index<C, G>() < std::variant_size_v<decltype(G::value)>;

// The value of the outermost group that holds `leaf` through the groups inside it.
template <class Outer, class... Inner, class Leaf>
Outer wrap(Leaf leaf) {
    if constexpr (sizeof...(Inner) == 0) return Outer{std::move(leaf)};
    else return Outer{wrap<Inner...>(std::move(leaf))};
}

// The case Leaf that `outer` holds through the groups Inner..., or null when it holds another.
template <class Leaf, class Outer, class... Inner>
const Leaf* unwrap(const Outer& outer) {
    using Next = std::tuple_element_t<0, std::tuple<Inner..., Leaf>>;
    const Next* next = nullptr;
    if constexpr (Wrapper<Outer>) next = &outer.command;
    else next = std::get_if<Next>(&outer.value);
    if constexpr (sizeof...(Inner) == 0) return next;
    else return next ? unwrap<Leaf, Inner...>(*next) : nullptr;
}

// The command value of the leaf of struct T below the groups Groups... (from `Commands` down).
template <class T, class... Groups>
Commands build_leaf(const std::vector<BoundOption>& options, const OptionValues& found) {
    T value;
    for (const auto& o : options) o.fill(&value, found, o.def.id);
    return wrap<Groups...>(std::move(value));
}

template <class T, auto Handler, class... Groups>
int run_leaf(const Context& ctx, const Commands& commands) {
    const T* value = unwrap<T, Groups...>(commands);
    assert(value != nullptr);
    if constexpr (std::is_invocable_v<decltype(Handler), const Context&, const T&>) {
        if constexpr (std::is_void_v<std::invoke_result_t<decltype(Handler), const Context&, const T&>>) {
            Handler(ctx, *value);
            return 0;
        } else {
            return Handler(ctx, *value);
        }
    } else {
        if constexpr (std::is_void_v<std::invoke_result_t<decltype(Handler), const Context&>>) {
            Handler(ctx);
            return 0;
        } else {
            return Handler(ctx);
        }
    }
}

using LeafBuilder = Commands (*)(const std::vector<BoundOption>& options, const OptionValues& found);
using LeafRunner = int (*)(const Context& ctx, const Commands& commands);

// Puts a finished leaf below `group`: its case index, build and run. One kind of function
// object serves every leaf.
void add_leaf(CommandDef& group, CommandDef leaf, std::size_t case_index, std::vector<BoundOption> options,
              LeafBuilder build, LeafRunner run);
void add_group(CommandDef& group, CommandDef subgroup);
void mark_group(CommandDef& group);

// Adds the rows of a group whose cases are those of Cases; Groups... are the groups from
// `Commands` down to Cases, Path... the same below `Commands` as group rows name them.
template <class Cases, class... Groups, class... Path, class T, auto Handler>
void add_row(CommandDef& group, TypeList<Groups...>, TypeList<Path...>, Leaf<T, Handler>& row) {
    static_assert(is_case_of<T, Cases>, "a group's rows are its cases");
    add_leaf(group, std::move(row.def), case_index<T, Cases>(), std::move(row.options), build_leaf<T, Groups...>,
             run_leaf<T, Handler, Groups...>);
}

template <class Cases, class... Groups, class... Path, class... SubPath>
void add_row(CommandDef& group, TypeList<Groups...>, TypeList<Path...>, Group<SubPath...>& row) {
    static_assert(
        std::is_same_v<TypeList<SubPath...>,
                       TypeList<Path..., std::tuple_element_t<sizeof...(SubPath) - 1, std::tuple<SubPath...>>>>,
        "a group row sits in the group its path names");
    add_group(group, std::move(row.def));
}

template <class... Path>
struct GroupPlace {
    // The group and the one that holds it as a case.
    using Self = std::tuple_element_t<sizeof...(Path) - 1, std::tuple<Path...>>;
    using Holder = std::tuple_element_t<sizeof...(Path) - 1, std::tuple<Commands, Path...>>;
    using Cases = typename CasesOf<Self>::type;
    using Groups = std::conditional_t<Wrapper<Self>, TypeList<Commands, Path..., Cases>, TypeList<Commands, Path...>>;
};

}  // namespace detail

// A group and its rows. Path names the group and the groups above it, from below the root:
// `group<BondCommands>(...)`, `group<VswitchCommands, VswitchVeth>(...)`.
template <class... Path, class... Rows>
Group<Path...> group(std::string_view name, std::string_view about, Rows... rows) {
    static_assert(sizeof...(Path) > 0, "a group names its enum");
    using Place = detail::GroupPlace<Path...>;
    static_assert(detail::is_case_of<typename Place::Self, typename Place::Holder>,
                  "a group is a case of the group its path puts it in");
    Group<Path...> row{detail::make_command(name, about)};
    detail::mark_group(row.def);
    row.def.case_index = detail::case_index<typename Place::Self, typename Place::Holder>();
    (detail::add_row<typename Place::Cases>(row.def, typename Place::Groups{}, detail::TypeList<Path...>{}, rows), ...);
    return row;
}

// The whole tree: the root, named as the program, and the rows of the cases of `Commands`.
template <class... Rows>
CommandDef root(std::string_view name, std::string_view about, Rows... rows) {
    CommandDef c = detail::make_command(name, about);
    detail::mark_group(c);
    (detail::add_row<Commands>(c, detail::TypeList<Commands>{}, detail::TypeList<>{}, rows), ...);
    return c;
}

}  // namespace qm::cli::rows
