// VLAN profiles with their VLAN bridges.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "utils/context.hpp"

namespace qm {

struct VlanError {
    enum class Kind { NotFound, AlreadyExists, InvalidVswitch, CommandFailed, InUse };
    Kind kind = Kind::CommandFailed;
    std::uint16_t vlan_id = 0;              // NotFound, AlreadyExists, InUse
    std::string message;                    // InvalidVswitch, CommandFailed
    std::vector<std::string> dependencies;  // InUse

    static VlanError not_found(std::uint16_t id) { return {Kind::NotFound, id, {}, {}}; }
    static VlanError already_exists(std::uint16_t id) { return {Kind::AlreadyExists, id, {}, {}}; }
    static VlanError invalid_vswitch(std::string message) { return {Kind::InvalidVswitch, 0, std::move(message), {}}; }
    static VlanError command_failed(std::string message) { return {Kind::CommandFailed, 0, std::move(message), {}}; }
    static VlanError in_use(std::uint16_t id, std::vector<std::string> dependencies) {
        return {Kind::InUse, id, {}, std::move(dependencies)};
    }

    // The text shown after "Error: ".
    std::string display() const;
    bool operator==(const VlanError&) const = default;
};

using VlanStatus = Expected<void, VlanError>;

// One VLAN profile of the profile listing.
struct VlanInfo {
    std::string device;  // the VLAN interface; empty when the profile has no device
    std::string bridge;  // "vlan" N "br"
    std::string trunk;   // the part of `device` before its first '.'
    std::string state;
    std::uint16_t id = 0;
    bool operator==(const VlanInfo&) const = default;
};

// The VLAN profiles of a `get_all_connections` listing, in listing order. Lines whose
// name is not "Vlan " followed by a 16-bit decimal number are skipped.
std::vector<VlanInfo> parse_vlan_listing(const std::string& listing);

// `vlan list`.
void list_vlans(const Context& ctx);
// `vlan create`; `vswitch` is the --vswitch value as typed.
VlanStatus create_vlan(const Context& ctx, std::uint16_t vlan_id, const std::string& vswitch);
// `vlan delete`.
VlanStatus delete_vlan(const Context& ctx, std::uint16_t vlan_id, bool force);

}  // namespace qm
