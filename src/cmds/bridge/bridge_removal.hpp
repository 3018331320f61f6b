// The one removal of a bridge this program made (a vswitch or a VLAN's bridge), shared by
// `vswitch delete`, `config smart-cleanup` and the restore.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/context.hpp"

namespace qm {

// Removes the bridge profile `profile` with everything that hangs on it: its ethernet and VLAN
// ports (the uplink among them, also when it names another master), its veth joins in either
// role (the pair's links and profiles, the join's record and the ends' ledger entries) and its
// own ledger entry of `ledger_kind` ("vswitch" or "vlan_bridge"). Being a master is recorded
// apart from the bridge and stays. A join whose pair cannot be deleted is
// forgotten all the same: a later bridge on the same device must not inherit it. One text per
// thing that could not be removed goes to `failures`. Gives what its ports could name as master
// (UUID, profile name, device), for a sweep afterwards; absent when the bridge or its ports
// could not be looked up, and nothing was removed then.
// `announce`: print the join lines of `vswitch delete`.
std::optional<std::vector<std::string>> remove_bridge(const Context& ctx, const std::string& profile,
                                                      std::string_view ledger_kind, bool announce,
                                                      std::vector<std::string>& failures);

// A veth end this program tracks: the join it belongs to is removed as a removed bridge's join is
// (its pair, record and ledger entries); an end of no recorded join loses its link and ledger
// entry. One text per failure goes to `failures`.
void remove_veth_end(const Context& ctx, const std::string& end, std::vector<std::string>& failures);

// A bond this program tracks, as `bond delete` removes it: its ethernet members (by UUID or
// name), its profile and its ledger entry. True when it could be looked up.
bool remove_tracked_bond(const Context& ctx, const std::string& name, std::vector<std::string>& failures);

// What the deletion of a bridge or bond left behind: the profiles, without a device and
// untracked, whose master is one of `controllers` (device, profile name or UUID), and their own
// members in turn. Prints the lines of `config cleanup`.
void sweep_ports_left_behind(const Context& ctx, const std::vector<std::string>& controllers);

}  // namespace qm
