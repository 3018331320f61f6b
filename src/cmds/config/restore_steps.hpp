// The restore steps that follow the profiles: libvirt networks, bridge MAC addresses, veth
// pairs, the topology files and the ledger; and `config restore-veth`.
//
// Like the profile step, each step adds what is missing and leaves what exists alone. A step
// that returns an error ends the whole restore (restore.hpp); nothing is undone.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cmds/config/backup_document.hpp"
#include "utils/context.hpp"
#include "utils/managed_resources/managed_resources.hpp"

namespace qm {

// Defines every network that virsh does not know yet, from its saved XML, then marks it for
// autostart and starts it as saved. Fails when the definition cannot be written to its
// private temporary file or virsh cannot be started for the definition. A definition that
// names another network than its entry is not defined (its line says so). The names of the
// networks not defined, failed or passed over, go to `not_restored` when given.
Status restore_libvirt_networks(const Context& ctx, const std::vector<LibvirtNetwork>& networks,
                                std::vector<std::string>* not_restored = nullptr);

// Sets each saved MAC address on its bridge when the bridge exists. Fails when `ip` cannot be
// started for the change. Each address not set (bridge missing, change refused) gives one text
// to `failures` when given.
Status restore_bridge_macs(const Context& ctx, const BridgeMacMap& macs, std::vector<std::string>* failures = nullptr);

// Re-creates each missing veth pair between two existing bridges, with a NetworkManager
// profile for each end ("veth-" B1 "-" B2 and "veth-" B2 "-" B1), activated once both ends are
// on their bridges; an end that the activation took off its bridge is put back. An end of a
// pair that exists already is put back on its bridge when it is not there. Prints
// nothing for an empty list. Fails when `ip` cannot be started to create or enslave a pair.
// One text per pair not left in place goes to `failures`.
Status restore_veth_connections(const Context& ctx, const std::vector<VethConnection>& veths,
                                std::vector<std::string>& failures);

// Rewrites master_bridges.json and bridge_connections.json from the backup, and sets the
// ledger's `veth_pairs` to the topology's veth interface names. A topology file not written
// gives one text to `failures` when given; nothing else is said of failures.
void restore_bridge_topology(const Context& ctx, const BridgeTopology& topology,
                             std::vector<std::string>* failures = nullptr);

// `veth_name`, then `veth_peer`, of each record, in record order.
std::vector<std::string> veth_interface_names(const std::vector<VethConnection>& records);

// Puts the backup's ledger in place, or removes the ledger when the backup holds none.
Status restore_managed_resources(const Context& ctx, const std::optional<ManagedResources>& resources);

// The profile names a restored veth pair gets: "veth-", from, "-", to.
std::string veth_profile_name(const std::string& from, const std::string& to);

}  // namespace qm
