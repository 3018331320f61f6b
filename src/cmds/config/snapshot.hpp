// The snapshot every backup stores: the host's NetworkManager profiles, libvirt networks and
// bridge MAC addresses, read through nmcli, virsh and ip, and the program's own topology files
// and ledger. Nothing on the host is changed and no file is written.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cmds/config/backup_document.hpp"
#include "utils/context.hpp"
#include "utils/expected.hpp"

namespace qm {

// The whole snapshot, `created_at` the clock's time once. Ends with an error only when the
// profile listing fails or virsh (unless it is not installed) or ip cannot be started;
// everything else that fails leaves its part empty or absent. The only line it may print is
// the warning about a ledger that does not parse.
Result<NetworkConfig> collect_network_config(const Context& ctx, const std::string& name,
                                             const std::optional<std::string>& description, bool is_default);

// The veth pair records derived from the ledger's `veth_pairs`, in its order, each with the
// clock's time: an entry "veth_<bridge1>_<bridge2>[_...]" gives one record; an entry that is
// the bridge end of a join recorded in bridge_connections.json (the names of
// generate_veth_names) gives the record of that join, bridge1 the bridge and bridge2 the
// master; other entries give none. Any failure gives the empty list.
std::vector<VethConnection> veth_connections_from_tracking(const Context& ctx);

}  // namespace qm
