// `config restore` and `config restore-veth`: a saved backup put back onto the host.
//
// A restore runs six steps in this order: profiles, libvirt networks, bridge MAC addresses,
// veth pairs, topology files, ledger (restore_steps.hpp). The first step that fails ends the
// restore with its error, and nothing done before is undone. Every step adds what is missing
// and leaves what exists alone: a profile that already exists under a backup's name is not
// modified.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cmds/config/backup_document.hpp"
#include "cmds/config/restore_check.hpp"
#include "utils/context.hpp"

namespace qm {

// `config restore --name NAME`: the backup of that name.
Status restore_backup(const Context& ctx, const std::string& name);
// `config restore`: the default saved configuration.
Status restore_default_backup(const Context& ctx);
// `config restore-veth`: only the veth pairs of the default saved configuration.
Status restore_veth_from_backup(const Context& ctx);

// The six steps over a loaded document, then the check of what came back: the completion line
// when everything did, otherwise a warning on standard error for each thing that did not and a
// closing line that says the restore is incomplete.
Status run_restore_steps(const Context& ctx, const NetworkConfig& config);

// The profile step: removes what the ledger tracks that the backup does not hold, each the way
// its own delete does (one text per thing that stayed goes to `failures`, when given), then
// adds every backup profile that does not exist, highest interface priority first, each
// with its saved settings on the add itself. A port whose master is neither on the host nor in
// the backup is passed over with a line that says so.
// `veth_ends`: the interface names of the backup's veth pairs. NetworkManager shows a veth end
// it found enslaved under a profile named after the end; the ledger tracks that name, and the
// pair is in the backup, so such a profile is kept: deleting it would take the end off its
// bridge.
Result<ProfileStepOutcome> restore_nm_connections(const Context& ctx, const std::vector<ConnectionInfo>& connections,
                                                  const std::vector<std::string>& veth_ends = {},
                                                  std::vector<std::string>* failures = nullptr);

// The kind of interface a profile name suggests: "physical", "bond", "bridge", "veth",
// "vlan" or "libvirt".
std::string classify_interface(std::string_view name);
// The order of a kind in a restore: physical 900, bond 800, bridge 600, veth 400, vlan 200,
// anything else 0.
std::uint32_t interface_priority(std::string_view kind);

}  // namespace qm
