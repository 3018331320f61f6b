// VLAN profiles with their VLAN bridges.
#pragma once

#include <cstdint>
#include <string>

#include "utils/context.hpp"

namespace qm {

struct VlanError {
    enum class Kind { NotFound, AlreadyExists, InvalidVswitch, CommandFailed, InUse };
    Kind kind;
    std::string text;  // the payload of the case (name, message or dependency list)

    // The text shown after "Error: ".
    std::string display() const;
    bool operator==(const VlanError&) const = default;
};

using VlanStatus = Expected<void, VlanError>;

VlanStatus create_vlan(const Context& ctx, std::uint16_t vlan_id, const std::string& vswitch);
VlanStatus delete_vlan(const Context& ctx, std::uint16_t vlan_id, bool force);
void list_vlans(const Context& ctx);

}  // namespace qm
