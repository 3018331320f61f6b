// `vswitch connect`, `disconnect`, `isolate` and `quarantine`, and the deletion of one pair
// that `vswitch delete` uses. The pairs are made with `ip` alone; NetworkManager holds no
// profile for them.
#include "cmds/bridge/veth.hpp"

#include <chrono>
#include <ostream>

#include "cmds/bridge/topology.hpp"
#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kVethKind = "veth_pair";

// The bridge and master devices of a join, or absent after the line saying which is missing.
struct JoinDevices {
    std::string bridge;
    std::string master;
};
std::optional<JoinDevices> resolve_join(const Context& ctx, const std::string& bridge, const std::string& master) {
    auto bridge_device = resolve_bridge_device(ctx, bridge);
    if (!bridge_device) {
        ctx.err << "[-] Bridge '" << bridge << "' not found\n";
        return std::nullopt;
    }
    auto master_device = resolve_bridge_device(ctx, master);
    if (!master_device) {
        ctx.err << "[-] Master bridge '" << master << "' not found\n";
        return std::nullopt;
    }
    return JoinDevices{*bridge_device, *master_device};
}

// Profiles of these names exist only after a backup restore; their deletion may fail.
void delete_pair_profiles(const Context& ctx, const VethPairNames& names) {
    (void)delete_connection(ctx, names.connection_name);
    (void)delete_connection(ctx, names.peer_connection_name);
}

void untrack_pair(const Context& ctx, const VethPairNames& names) {
    untrack_managed_resource(ctx, kVethKind, names.veth_name);
    untrack_managed_resource(ctx, kVethKind, names.veth_peer);
}

}  // namespace

std::string shorten_vswitch_name(std::string_view name) {
    constexpr std::string_view kLong = "vswitch";
    std::string out;
    std::size_t start = 0;
    for (std::size_t at; (at = name.find(kLong, start)) != std::string_view::npos; start = at + kLong.size()) {
        out.append(name.substr(start, at - start));
        out.append("vs");
    }
    out.append(name.substr(start));
    return out;
}

VethPairNames generate_veth_names(const std::string& bridge, const std::string& master) {
    const std::string b = shorten_vswitch_name(bridge);
    const std::string m = shorten_vswitch_name(master);
    return {"v" + b + "_" + m, "v" + m + "_" + b, "veth-" + bridge + "-" + master, "veth-" + master + "-" + bridge};
}

namespace veth_steps {

bool create_pair(const Context& ctx, const VethPairNames& names) {
    auto r = ctx.run({"ip", "link", "add", names.veth_name, "type", "veth", "peer", "name", names.veth_peer},
                     RunMode::Change);
    if (!r) {
        ctx.err << "[-] Failed to create veth pair: " << r.error().message() << "\n";
        return false;
    }
    if (!r->success()) {
        ctx.err << "[-] Veth creation failed with exit code: " << exit_status_text(*r) << "\n";
        return false;
    }
    return true;
}

bool enslave_end(const Context& ctx, const std::string& end, const std::string& device, bool to_master) {
    const std::string target = std::string(to_master ? "' to master bridge '" : "' to bridge '") + device + "'";
    auto r = ctx.run({"ip", "link", "set", end, "master", device}, kCaptured);
    if (!r) {
        ctx.err << "[-] Failed to add veth '" << end << target << ": " << r.error().message() << "\n";
        return false;
    }
    if (!r->success()) {
        ctx.err << "[-] Failed to add veth '" << end << target << " with exit code: " << exit_status_text(*r) << "\n"
                << "[-] Error output: " << decode_utf8_lossy(r->err) << "\n";
        return false;
    }
    ctx.out << "[+] Successfully added veth '" << end << target << "\n";
    return true;
}

void set_ends_up(const Context& ctx, const VethPairNames& names) {
    change_quietly(ctx, {"ip", "link", "set", names.veth_name, "up"});
    change_quietly(ctx, {"ip", "link", "set", names.veth_peer, "up"});
}

}  // namespace veth_steps

void connect_bridge_to_master(const Context& ctx, const std::string& bridge, const std::string& master) {
    ctx.out << "[+] Connecting bridge '" << bridge << "' to master '" << master << "'\n";
    auto devices = resolve_join(ctx, bridge, master);
    if (!devices) return;
    const VethPairNames names = generate_veth_names(devices->bridge, devices->master);

    if (!veth_steps::create_pair(ctx, names)) return;
    ctx.out << "[+] Allowing kernel to process veth pair creation...\n";
    ctx.pause(200ms);
    if (!veth_steps::enslave_end(ctx, names.veth_name, devices->bridge, false)) return;
    ctx.out << "[+] Allowing kernel to process first bridge attachment...\n";
    ctx.pause(200ms);
    if (!veth_steps::enslave_end(ctx, names.veth_peer, devices->master, true)) return;
    veth_steps::set_ends_up(ctx, names);

    // Recorded with the names as typed: the record resolves them to devices itself.
    record_bridge_connection(ctx, bridge, master);
    track_managed_resource(ctx, kVethKind, names.veth_name);
    track_managed_resource(ctx, kVethKind, names.veth_peer);
    ctx.out << "[+] Successfully connected bridge '" << bridge << "' to master '" << master
            << "' with persistent veth pairs\n";
}

void disconnect_bridge_from_master(const Context& ctx, const std::string& bridge, const std::string& master) {
    ctx.out << "[+] Disconnecting bridge '" << bridge << "' from master '" << master << "'\n";
    auto devices = resolve_join(ctx, bridge, master);
    if (!devices) return;
    const VethPairNames names = generate_veth_names(devices->bridge, devices->master);

    delete_pair_profiles(ctx, names);
    // Deleting one end of a pair removes its peer too.
    auto r = ctx.run({"ip", "link", "delete", names.veth_name}, RunMode::Change);
    if (!r)
        ctx.err << "[-] Failed to remove veth interface: " << r.error().message() << "\n";
    else if (!r->success())
        ctx.err << "[-] Failed to remove veth interface with exit code: " << exit_status_text(*r) << "\n";

    // The usual reason for a failed deletion is a pair already gone (a reboot before any
    // restore): the join is forgotten all the same.
    untrack_pair(ctx, names);
    remove_bridge_connection(ctx, bridge, master);
    ctx.out << "[+] Successfully disconnected bridge '" << bridge << "' from master '" << master << "'\n";
}

void isolate_bridge(const Context& ctx, const std::string& bridge) {
    ctx.out << "[+] Isolating bridge '" << bridge << "'\n";
    // The list as loaded now: each disconnect rewrites the file.
    const BridgeConnectionMap joins = load_bridge_connections(ctx);
    if (auto it = joins.find(bridge); it != joins.end())
        for (const auto& joined : it->second) disconnect_bridge_from_master(ctx, joined, bridge);
    ctx.out << "[+] Bridge '" << bridge << "' is now isolated\n";
}

void quarantine_bridge(const Context& ctx, const std::string& bridge) {
    ctx.out << "[+] Quarantining bridge '" << bridge << "'\n";
    isolate_bridge(ctx, bridge);
    ctx.out << "[+] Bridge '" << bridge << "' is now quarantined\n";
}

bool delete_veth_pair(const Context& ctx, const std::string& bridge, const std::string& master) {
    const VethPairNames names = generate_veth_names(bridge, master);
    const std::string pair = names.veth_name + " <-> " + names.veth_peer;
    ctx.out << "[+] Deleting veth pair: " << bridge << " <-> " << master << " (interfaces: " << pair << ")\n";
    delete_pair_profiles(ctx, names);
    auto r = ctx.run({"ip", "link", "delete", names.veth_name}, RunMode::Change);
    if (!r) {
        ctx.out << "  - Failed to delete veth pair: " << pair << " (error: " << r.error().message() << ")\n";
        return false;
    }
    if (!r->success()) {
        ctx.out << "  - Failed to delete veth pair: " << pair << " (exit code: " << exit_status_text(*r) << ")\n";
        return false;
    }
    ctx.out << "  - Successfully deleted veth pair: " << pair << "\n";
    untrack_pair(ctx, names);
    remove_bridge_connection(ctx, bridge, master);
    return true;
}

}  // namespace qm
