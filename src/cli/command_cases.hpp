// Generic walks over the command values: which case a value holds at each level, and how
// one leaf case becomes a whole `Commands` value. They follow the enums themselves, so a new
// case needs nothing here.
#pragma once

#include <cstddef>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "cli/commands.hpp"

namespace qm::cli {

namespace cases_detail {

template <class T>
struct is_variant : std::false_type {};
template <class... Ts>
struct is_variant<std::variant<Ts...>> : std::true_type {};

// A group holds its subcommands' cases in `value`.
template <class T>
concept Group = requires { typename std::type_identity<decltype(T::value)>; } &&
                is_variant<std::remove_cvref_t<decltype(T::value)>>::value;

// A case that wraps a group in `command` (vswitch veth).
template <class T>
concept Wrapper = requires { typename std::type_identity<decltype(T::command)>; } && Group<decltype(T::command)>;

template <class Node, class Leaf>
constexpr bool reaches();

template <class Leaf, class... Ts>
constexpr bool any_reaches(std::type_identity<std::variant<Ts...>>) {
    return (reaches<Ts, Leaf>() || ...);
}

template <class Leaf, class... Ts>
constexpr std::size_t places(std::type_identity<std::variant<Ts...>>) {
    return ((reaches<Ts, Leaf>() ? 1 : 0) + ...);
}

// Whether `Leaf` is `Node` or a case somewhere below it.
template <class Node, class Leaf>
constexpr bool reaches() {
    if constexpr (std::is_same_v<Node, Leaf>) return true;
    else if constexpr (Wrapper<Node>) return reaches<decltype(Node::command), Leaf>();
    else if constexpr (Group<Node>) return any_reaches<Leaf>(std::type_identity<decltype(Node::value)>{});
    else return false;
}

template <class Node, class Leaf>
Node wrap(Leaf leaf);

template <class Leaf, class... Ts>
std::variant<Ts...> wrap_variant(std::type_identity<std::variant<Ts...>>, Leaf leaf) {
    static_assert(places<Leaf>(std::type_identity<std::variant<Ts...>>{}) == 1,
                  "every case sits in exactly one place of the command values");
    std::variant<Ts...> v;
    (
        [&] {
            if constexpr (reaches<Ts, Leaf>()) v.template emplace<Ts>(wrap<Ts>(std::move(leaf)));
        }(),
        ...);
    return v;
}

template <class Node, class Leaf>
Node wrap(Leaf leaf) {
    if constexpr (std::is_same_v<Node, Leaf>) {
        return leaf;
    } else if constexpr (Wrapper<Node>) {
        Node n;
        n.command = wrap<decltype(Node::command)>(std::move(leaf));
        return n;
    } else {
        Node n;
        n.value = wrap_variant(std::type_identity<decltype(Node::value)>{}, std::move(leaf));
        return n;
    }
}

template <class Leaf, class Node>
const Leaf* find(const Node& node) {
    if constexpr (std::is_same_v<Node, Leaf>) {
        return &node;
    } else if constexpr (Wrapper<Node>) {
        return find<Leaf>(node.command);
    } else if constexpr (Group<Node>) {
        return std::visit(
            [](const auto& held) -> const Leaf* {
                using Held = std::remove_cvref_t<decltype(held)>;
                if constexpr (reaches<Held, Leaf>()) return find<Leaf>(held);
                else return nullptr;
            },
            node.value);
    } else {
        return nullptr;
    }
}

template <class Node>
void append_path(const Node& node, std::vector<const std::type_info*>& path) {
    if constexpr (Wrapper<Node>) {
        append_path(node.command, path);
    } else if constexpr (Group<Node>) {
        std::visit(
            [&](const auto& held) {
                path.push_back(&typeid(held));
                append_path(held, path);
            },
            node.value);
    }
}

template <class Node>
void collect_paths(std::vector<const std::type_info*>& prefix, std::vector<std::vector<const std::type_info*>>& out);

template <class... Ts>
void collect_alternatives(std::type_identity<std::variant<Ts...>>, std::vector<const std::type_info*>& prefix,
                          std::vector<std::vector<const std::type_info*>>& out) {
    (
        [&] {
            prefix.push_back(&typeid(Ts));
            collect_paths<Ts>(prefix, out);
            prefix.pop_back();
        }(),
        ...);
}

template <class Node>
void collect_paths(std::vector<const std::type_info*>& prefix, std::vector<std::vector<const std::type_info*>>& out) {
    if constexpr (Wrapper<Node>) collect_paths<decltype(Node::command)>(prefix, out);
    else if constexpr (Group<Node>) collect_alternatives(std::type_identity<decltype(Node::value)>{}, prefix, out);
    else out.push_back(prefix);
}

}  // namespace cases_detail

// Whether `Leaf` is one of the commands.
template <class Leaf>
inline constexpr bool is_command_case = cases_detail::reaches<Commands, Leaf>() && !std::is_same_v<Leaf, Commands>;

// The whole command value that holds `leaf`, with every group around it.
template <class Leaf>
    requires is_command_case<Leaf>
Commands wrap_case(Leaf leaf) {
    return cases_detail::wrap<Commands>(std::move(leaf));
}

// The leaf case of `commands` when it holds a `Leaf`, else null.
template <class Leaf>
    requires is_command_case<Leaf>
const Leaf* find_case(const Commands& commands) {
    return cases_detail::find<Leaf>(commands);
}

// The cases `commands` holds, from the top-level case down to the leaf.
inline std::vector<const std::type_info*> case_path(const Commands& commands) {
    std::vector<const std::type_info*> path;
    cases_detail::append_path(commands, path);
    return path;
}

// The case path of every leaf the enums declare, in declaration order.
inline std::vector<std::vector<const std::type_info*>> all_case_paths() {
    std::vector<const std::type_info*> prefix;
    std::vector<std::vector<const std::type_info*>> out;
    cases_detail::collect_paths<Commands>(prefix, out);
    return out;
}

}  // namespace qm::cli
