// Building an active-backup bond from several interfaces: the bond profile and one member
// profile per interface, brought up in order. Used for bonded virtual-switch uplinks.
#pragma once

#include <string>
#include <vector>

#include "utils/context.hpp"

namespace qm {

struct ActiveBackupBond {
    std::string device;                // the bond interface, e.g. "bond0"
    std::string profile;               // the bond profile's name
    std::string ipv4_method;           // for the bond profile; IPv6 is ignored
    std::vector<std::string> members;  // interfaces, in order; each member profile is named after its interface
};

// Adds the bond profile (mode active-backup, miimon 100, autoconnect with its members), sets
// its IP methods, replaces each member's profile with a bond member profile, then brings up
// the bond and its members, pausing where NetworkManager needs time. Every run is a change
// whose outcome is not looked at; the bond is not entered into the ledger.
void build_active_backup_bond(const Context& ctx, const ActiveBackupBond& bond);

}  // namespace qm
