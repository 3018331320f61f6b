// The `network` commands as the command line gives them, one value per command with one field
// per option, and the handler each row of the command tree binds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace qm {

struct Context;

struct NetworkCreate {
    std::string name;
    std::optional<std::string> vswitch;
    std::optional<std::uint16_t> vlan_id;
    bool operator==(const NetworkCreate&) const = default;
};

struct NetworkDelete {
    std::string name;
    bool force = false;
    bool operator==(const NetworkDelete&) const = default;
};

struct NetworkChange {
    std::string name;
    std::optional<std::string> vswitch;
    std::optional<std::uint16_t> vlan_id;
    bool operator==(const NetworkChange&) const = default;
};

struct NetworkList { bool operator==(const NetworkList&) const = default; };
struct NetworkAttach {
    std::string network;
    std::string vm;
    bool operator==(const NetworkAttach&) const = default;
};

struct NetworkDetach {
    std::string network;
    std::string vm;
    bool operator==(const NetworkDetach&) const = default;
};

struct NetworkMove {
    std::string vm;
    std::string from;
    std::string to;
    bool operator==(const NetworkMove&) const = default;
};

struct NetworkUsage { bool operator==(const NetworkUsage&) const = default; };

struct NetworkCommands {
    using Create = NetworkCreate;
    using Delete = NetworkDelete;
    using Change = NetworkChange;
    using List = NetworkList;
    using Attach = NetworkAttach;
    using Detach = NetworkDetach;
    using Move = NetworkMove;
    using Usage = NetworkUsage;
    std::variant<Create, Delete, Change, List, Attach, Detach, Move, Usage> value;
    bool operator==(const NetworkCommands&) const = default;
};

// `network create` and `network change` take exactly one of --vswitch and --vlan-id (an empty
// --vswitch counts as given); otherwise they print why on standard error and change nothing.
// A LibvirtError of any network command is shown after "Error: " on standard error.
void run_network_create(const Context& ctx, const NetworkCreate& command);
void run_network_change(const Context& ctx, const NetworkChange& command);
// `network delete`, forced with --force.
void run_network_delete(const Context& ctx, const NetworkDelete& command);
void run_network_list(const Context& ctx);
void run_network_attach(const Context& ctx, const NetworkAttach& command);
void run_network_detach(const Context& ctx, const NetworkDetach& command);
void run_network_move(const Context& ctx, const NetworkMove& command);

}  // namespace qm
