// The `vlan` commands as the command line gives them, one value per command with one field
// per option, and the handler each row of the command tree binds.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace qm {

struct Context;

struct VlanCreate {
    std::uint16_t vlan_id = 0;
    std::string vswitch;
    bool operator==(const VlanCreate&) const = default;
};

struct VlanDelete {
    std::uint16_t vlan_id = 0;
    bool force = false;
    bool operator==(const VlanDelete&) const = default;
};

struct VlanList { bool operator==(const VlanList&) const = default; };
struct VlanUsage { bool operator==(const VlanUsage&) const = default; };

struct VlanCommands {
    using Create = VlanCreate;
    using Delete = VlanDelete;
    using List = VlanList;
    using Usage = VlanUsage;
    std::variant<Create, Delete, List, Usage> value;
    bool operator==(const VlanCommands&) const = default;
};

// `vlan create` and `vlan delete`; a VlanError is shown after "Error: " on standard error.
void run_vlan_create(const Context& ctx, const VlanCreate& command);
void run_vlan_delete(const Context& ctx, const VlanDelete& command);

}  // namespace qm
