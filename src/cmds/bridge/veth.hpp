// Veth pairs that join a bridge to a master bridge: their names, the join and its removal,
// and the restore that re-creates recorded joins on the host.
#pragma once

#include <string>
#include <string_view>

#include "utils/context.hpp"

namespace qm {

// The four names of the join of bridge B to master M.
struct VethPairNames {
    std::string veth_name;             // "v" short(B) "_" short(M): the end in the bridge
    std::string veth_peer;             // "v" short(M) "_" short(B): the end in the master
    std::string connection_name;       // "veth-" B "-" M
    std::string peer_connection_name;  // "veth-" M "-" B
    bool operator==(const VethPairNames&) const = default;
};

// Every "vswitch" in the name, left to right, becomes "vs": vswitch12 gives vs12.
std::string shorten_vswitch_name(std::string_view name);
VethPairNames generate_veth_names(const std::string& bridge, const std::string& master);

// `vswitch connect`: makes the pair with `ip`, enslaves both ends, records the join and
// tracks both ends. Stops at the first failure, after its line.
void connect_bridge_to_master(const Context& ctx, const std::string& bridge, const std::string& master);
// `vswitch disconnect`: deletes the pair and forgets the join, also when the deletion failed.
void disconnect_bridge_from_master(const Context& ctx, const std::string& bridge, const std::string& master);
// `vswitch isolate`: disconnects every bridge recorded under the master device named.
void isolate_bridge(const Context& ctx, const std::string& bridge);
// `vswitch quarantine`: isolation between its own two lines.
void quarantine_bridge(const Context& ctx, const std::string& bridge);
// Deletes the pair of one recorded join (device names, taken as they stand); only a
// deletion that succeeded forgets the join and its ledger entries.
bool delete_veth_pair(const Context& ctx, const std::string& bridge, const std::string& master);

// `vswitch veth restore`: makes the host match the recorded joins.
void restore_veth_pairs(const Context& ctx);

// Bringing a bridge's profile up again makes NetworkManager release the ports it holds no
// profile for, the ends of the bridge's joins among them. Run after such an activation: each
// recorded join's end on this bridge device that exists and is off it is put back, with a line.
void put_joins_back_on_bridge(const Context& ctx, const std::string& bridge_device);

// The host steps that connect and the restore share; each prints its own lines and tells
// whether the step succeeded.
namespace veth_steps {
// `ip link add <veth_name> type veth peer name <veth_peer>`.
bool create_pair(const Context& ctx, const VethPairNames& names);
// `ip link set <end> master <device>`; `to_master` picks the wording for the master's end.
bool enslave_end(const Context& ctx, const std::string& end, const std::string& device, bool to_master);
// Both ends up; the outcome is not looked at.
void set_ends_up(const Context& ctx, const VethPairNames& names);
}  // namespace veth_steps

}  // namespace qm
