// The bond commands: a bond profile whose profile and interface name are the same, with one
// ethernet member profile per interface, each named after its interface.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "utils/context.hpp"

namespace qm {

// `bond list`: every bond profile with its device, state, mode and members.
void list_bonds(const Context& ctx);

// `bond create`. `members` is the --members text as typed: split at ',', each piece trimmed,
// empty pieces dropped. Without a name the first free "bond" N is taken. The mode is passed
// on unchecked. Prints its own failures.
void create_bond(const Context& ctx, const std::optional<std::string>& name, const std::string& members,
                 const std::string& mode);

// `bond change`: a new mode, a new member set (the old member profiles are deleted), or both.
// The error is printed by the front end after "Error: ".
Status change_bond(const Context& ctx, const std::string& name, const std::optional<std::string>& members,
                   const std::optional<std::string>& mode);

// `bond delete`: the member profiles, the bond profile, its ledger entry, then the stale-profile
// cleanup. Prints its own failures.
void delete_bond(const Context& ctx, const std::string& name);

// `bond fix-boot-priorities` and `fix-boot-priorities`: autoconnect priority 100 on every bond
// profile and 200 on each of its member profiles, so members never come up before their bond.
void fix_boot_priorities(const Context& ctx);

// The profile a member text of NmResolver::bonds_with_members names ("eth1 (eth1-slave)" gives
// "eth1-slave"): the part after the first " (" up to the next one, without its closing ")".
// Absent when there is no such part or it does not end with ")".
std::optional<std::string> member_profile_name(std::string_view member_text);

}  // namespace qm
