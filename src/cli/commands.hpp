// The parsed command line: one case per command, one field per option. Each group's cases
// and handlers live in its own command directory; this file puts the groups together with the
// top-level commands.
#pragma once

#include <string>
#include <variant>

#include "cmds/baseline/baseline_commands.hpp"
#include "cmds/bond/bond_commands.hpp"
#include "cmds/bridge/vswitch_commands.hpp"
#include "cmds/config/config_commands.hpp"
#include "cmds/libvirt/network_commands.hpp"
#include "cmds/list/list_commands.hpp"
#include "cmds/vlan/vlan_commands.hpp"
#include "cmds/vm/vm_commands.hpp"

namespace qm::cli {

struct Commands {
    struct SyncVmInterfaces { bool operator==(const SyncVmInterfaces&) const = default; };
    struct SyncVmInterfacesUsage { bool operator==(const SyncVmInterfacesUsage&) const = default; };
    struct FixBootPriorities { bool operator==(const FixBootPriorities&) const = default; };
    struct EnableService { bool operator==(const EnableService&) const = default; };
    using Baseline = BaselineCommand;
    struct InstallSelf { bool operator==(const InstallSelf&) const = default; };
    struct PostInstall { bool operator==(const PostInstall&) const = default; };
    struct Completion {
        std::string shell;
        bool operator==(const Completion&) const = default;
    };

    struct Usage { bool operator==(const Usage&) const = default; };
    // Bond, Vlan, Vswitch, Network, Vm, List, ..., Config, ... in the order of the command tree.
    std::variant<BondCommands, VlanCommands, VswitchCommands, NetworkCommands, VmCommands, ListCommands,
                 SyncVmInterfaces, SyncVmInterfacesUsage, FixBootPriorities, EnableService, ConfigCommands, Baseline,
                 InstallSelf, PostInstall, Completion, Usage>
        value;
    bool operator==(const Commands&) const = default;
};

struct Cli {
    Commands command;
    bool operator==(const Cli&) const = default;
};

}  // namespace qm::cli
