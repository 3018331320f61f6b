// The `vswitch` commands (with `vswitch veth`) as the command line gives them, one value per
// command with one field per option, and the handler each row of the command tree binds.
#pragma once

#include <string>
#include <variant>

namespace qm {

struct Context;

struct VethRestore { bool operator==(const VethRestore&) const = default; };

struct VethCommands {
    using Restore = VethRestore;
    std::variant<Restore> value;
    bool operator==(const VethCommands&) const = default;
};

struct VswitchCreate {
    std::string name;
    std::string uplink;
    bool master = false;
    bool operator==(const VswitchCreate&) const = default;
};

struct VswitchDelete {
    std::string name;
    bool operator==(const VswitchDelete&) const = default;
};

struct VswitchChange {
    std::string name;
    std::string uplink;
    bool master = false;
    bool operator==(const VswitchChange&) const = default;
};

struct VswitchSetMaster {
    std::string name;
    bool operator==(const VswitchSetMaster&) const = default;
};

struct VswitchConnect {
    std::string bridge;
    std::string to;
    bool operator==(const VswitchConnect&) const = default;
};

struct VswitchDisconnect {
    std::string bridge;
    std::string from;
    bool operator==(const VswitchDisconnect&) const = default;
};

struct VswitchIsolate {
    std::string bridge;
    bool operator==(const VswitchIsolate&) const = default;
};

struct VswitchQuarantine {
    std::string bridge;
    bool operator==(const VswitchQuarantine&) const = default;
};

struct VswitchTopology { bool operator==(const VswitchTopology&) const = default; };
struct VswitchList { bool operator==(const VswitchList&) const = default; };
struct VswitchUsage { bool operator==(const VswitchUsage&) const = default; };
// `vswitch veth`: a group inside the group.
struct VswitchVeth {
    VethCommands command;
    bool operator==(const VswitchVeth&) const = default;
};

struct VswitchCommands {
    using Create = VswitchCreate;
    using Delete = VswitchDelete;
    using Change = VswitchChange;
    using SetMaster = VswitchSetMaster;
    using Connect = VswitchConnect;
    using Disconnect = VswitchDisconnect;
    using Isolate = VswitchIsolate;
    using Quarantine = VswitchQuarantine;
    using Topology = VswitchTopology;
    using List = VswitchList;
    using Usage = VswitchUsage;
    using Veth = VswitchVeth;
    std::variant<Create, Delete, Change, SetMaster, Connect, Disconnect, Isolate, Quarantine, Topology, List, Usage,
                 Veth>
        value;
    bool operator==(const VswitchCommands&) const = default;
};

// `vswitch create` and `vswitch change` check the name, then make sure the baseline boot unit
// is in place (a failure is a warning on standard error) before they change anything. The
// error of the change is shown after "[-] Failed to change bridge: " on standard error.
void run_vswitch_create(const Context& ctx, const VswitchCreate& command);
void run_vswitch_change(const Context& ctx, const VswitchChange& command);
void run_vswitch_delete(const Context& ctx, const VswitchDelete& command);
void run_vswitch_set_master(const Context& ctx, const VswitchSetMaster& command);
void run_vswitch_connect(const Context& ctx, const VswitchConnect& command);
void run_vswitch_disconnect(const Context& ctx, const VswitchDisconnect& command);
void run_vswitch_isolate(const Context& ctx, const VswitchIsolate& command);
void run_vswitch_quarantine(const Context& ctx, const VswitchQuarantine& command);

}  // namespace qm
