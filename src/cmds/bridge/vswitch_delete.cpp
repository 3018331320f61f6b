// `vswitch delete`: the bridge profile with its ethernet ports, its veth joins in either role,
// its uplink profile and ledger entry, then every profile left without a device.
// `vswitch set-master`: marks a bridge as a master in the topology file only.
#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>

#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/veth.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "cmds/config/maintenance.hpp"
#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

// Deletes the ethernet profiles whose master is the bridge profile's UUID. False when the
// profile listing cannot be run (its line is printed): nothing may be deleted then.
bool delete_ethernet_ports(const Context& ctx, const std::string& uuid) {
    auto is_ethernet = [](const TerseRecord& f) { return f.size() == 2 && f[1].find("ethernet") != std::string::npos; };
    // Each port goes as soon as it is found.
    auto deleted = visit_profile_masters(
        ctx, {.fields = "NAME,TYPE", .listing_mode = kCaptured, .master_mode = RunMode::Query}, is_ethernet,
        [&](const TerseRecord& f, const auto& master) {
            if (master == uuid) (void)delete_connection(ctx, f[0]);
            return true;
        });
    if (!deleted) {
        ctx.err << "Failed to list connections: " << deleted.error().message() << "\n";
        return false;
    }
    return true;
}

// Deletes every veth pair that joins the device to another bridge; gives how many went.
std::size_t delete_joins_of(const Context& ctx, const std::string& device) {
    std::size_t deleted = 0;
    // The joins as loaded now, although each deletion rewrites the file.
    const BridgeConnectionMap joins = load_bridge_connections(ctx);
    for (const auto& [master, bridges] : joins) {
        if (master == device) {
            for (const auto& joined : bridges) {
                ctx.out << "[+] Found connection: " << device << " -> " << joined << " (master relationship)\n";
                if (delete_veth_pair(ctx, joined, device)) ++deleted;
            }
        } else if (std::find(bridges.begin(), bridges.end(), device) != bridges.end()) {
            // Once per master: the deletion removes every occurrence of the device.
            ctx.out << "[+] Found connection: " << device << " -> " << master << " (connected to master)\n";
            if (delete_veth_pair(ctx, device, master)) ++deleted;
        }
    }
    return deleted;
}

}  // namespace

void delete_vswitch(const Context& ctx, const std::string& name) {
    auto uuid_text = read_profile_setting_text(ctx, name, "connection.uuid", {.mode = kCaptured});
    if (!uuid_text) {
        ctx.err << "Failed to get bridge UUID: " << uuid_text.error().message() << "\n";
        return;
    }
    const std::string uuid = *uuid_text;
    if (uuid.empty()) {
        ctx.err << "Could not find UUID for bridge '" << name << "'.\n";
        return;
    }
    if (!delete_ethernet_ports(ctx, uuid)) return;

    ctx.out << "[+] Cleaning up veth pairs associated with bridge '" << name << "'\n";
    if (auto device = resolve_bridge_device(ctx, name)) {
        const std::size_t deleted = delete_joins_of(ctx, *device);
        if (deleted > 0)
            ctx.out << "[+] Cleaned up " << deleted << " veth pairs associated with bridge '" << *device << "'\n";
        else
            ctx.out << "[+] No veth pairs found associated with bridge '" << *device << "'\n";
    } else {
        ctx.out << "[-] Could not resolve bridge device name for '" << name << "', skipping veth cleanup\n";
    }

    (void)delete_connection(ctx, name);
    (void)delete_connection(ctx, name + " Uplink");
    untrack_managed_resource(ctx, "vswitch", name);
    // Takes the profiles the deletion left without a device; it prints its own lines, and a
    // listing failure there changes nothing that was done above.
    (void)cleanup_stale_connections(ctx);
}

void set_master_bridge(const Context& ctx, const std::string& name) {
    const std::string device = resolve_bridge_device(ctx, name).value_or(name);
    if (!device_exists_lines(ctx, device)) {
        ctx.err << "[-] Bridge '" << name << "' not found\n";
        return;
    }
    ctx.out << "[+] Marking bridge '" << device << "' as master (metadata only)\n";
    add_master_bridge(ctx, device);
}

}  // namespace qm
