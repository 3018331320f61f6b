#include "cmds/bridge/bridge_removal.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <ostream>
#include <set>

#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/veth.hpp"
#include "utils/host_calls.hpp"
#include "utils/links.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

namespace qm {
namespace {

bool is_port_type(const TerseRecord& f) {
    return f.size() == 2 && (f[1].find("ethernet") != std::string::npos || f[1] == "vlan");
}

void delete_or_report(const Context& ctx, const std::string& name, std::vector<std::string>& failures) {
    if (auto deleted = delete_connection(ctx, name); !deleted)
        failures.push_back("Failed to delete connection '" + name + "': " + deleted.error().message);
}

// One join of the removed bridge: its pair goes, and the join is forgotten whether or not the
// pair could be deleted, since the bridge it joined is going. A pair still there is a failure.
bool remove_join(const Context& ctx, const std::string& bridge, const std::string& master,
                 std::vector<std::string>& failures) {
    if (delete_veth_pair(ctx, bridge, master)) return true;
    const VethPairNames names = generate_veth_names(bridge, master);
    remove_bridge_connection(ctx, bridge, master);
    if (link_present(ctx, names.veth_name) || link_present(ctx, names.veth_peer)) {
        failures.push_back("Failed to delete veth pair '" + names.veth_name + "' <-> '" + names.veth_peer + "'");
        return false;
    }
    // Gone already (a reboot since): nothing of it is left to track.
    untrack_managed_resource(ctx, "veth_pair", names.veth_name);
    untrack_managed_resource(ctx, "veth_pair", names.veth_peer);
    return true;
}

// Every join the device takes part in, in either role; how many went.
std::size_t remove_joins_of(const Context& ctx, const std::string& device, bool announce,
                            std::vector<std::string>& failures) {
    std::size_t removed = 0;
    // The joins as loaded now, although each removal rewrites the file.
    const BridgeConnectionMap joins = load_bridge_connections(ctx);
    for (const auto& [master, bridges] : joins) {
        if (master == device) {
            for (const auto& joined : bridges) {
                if (announce)
                    ctx.out << "[+] Found connection: " << device << " -> " << joined << " (master relationship)\n";
                if (remove_join(ctx, joined, device, failures)) ++removed;
            }
        } else if (std::find(bridges.begin(), bridges.end(), device) != bridges.end()) {
            if (announce)
                ctx.out << "[+] Found connection: " << device << " -> " << master << " (connected to master)\n";
            if (remove_join(ctx, device, master, failures)) ++removed;
        }
    }
    return removed;
}

std::set<std::string> tracked_names(const Context& ctx) {
    std::set<std::string> names;
    auto ledger = load_managed_resources(ctx);
    if (ledger.state != LedgerFile::State::Loaded) return names;
    for (const auto* list : {&ledger.value.vswitches, &ledger.value.vlan_bridges, &ledger.value.veth_pairs,
                             &ledger.value.bonds})
        names.insert(list->begin(), list->end());
    return names;
}

}  // namespace

std::optional<std::vector<std::string>> remove_bridge(const Context& ctx, const std::string& profile,
                                                      std::string_view ledger_kind, bool announce,
                                                      std::vector<std::string>& failures) {
    auto uuid = read_profile_setting_text(ctx, profile, "connection.uuid", {.mode = kCaptured});
    if (!uuid) {
        failures.push_back("Failed to get bridge UUID: " + uuid.error().message());
        return std::nullopt;
    }
    if (uuid->empty()) {
        failures.push_back("Could not find UUID for bridge '" + profile + "'.");
        return std::nullopt;
    }
    const std::optional<std::string> device = resolve_bridge_device(ctx, profile);
    std::vector<std::string> controllers{*uuid, profile};
    if (device) controllers.push_back(*device);
    // `vswitch create` names the uplink after the bridge; the listing tells whether there is one.
    const std::string uplink = profile + " Uplink";
    bool uplink_listed = false;
    auto port_or_uplink = [&](const TerseRecord& f) {
        if (!f.empty() && f[0] == uplink) uplink_listed = true;
        return is_port_type(f);
    };
    // Its ports are named by device, profile name or UUID; none goes unless all can be found.
    auto ports = ports_of(ctx, {.fields = "NAME,TYPE", .listing_mode = kCaptured, .master_mode = RunMode::Query},
                          controllers, port_or_uplink);
    if (!ports) {
        failures.push_back("Failed to list connections: " + ports.error().message());
        return std::nullopt;
    }
    for (const auto& port : *ports) delete_or_report(ctx, port, failures);

    if (announce) ctx.out << "[+] Cleaning up veth pairs associated with bridge '" << profile << "'\n";
    if (device) {
        const std::size_t removed = remove_joins_of(ctx, *device, announce, failures);
        if (announce && removed > 0)
            ctx.out << "[+] Cleaned up " << removed << " veth pairs associated with bridge '" << *device << "'\n";
        else if (announce)
            ctx.out << "[+] No veth pairs found associated with bridge '" << *device << "'\n";
    } else if (announce) {
        ctx.out << "[-] Could not resolve bridge device name for '" << profile << "', skipping veth cleanup\n";
    }

    const std::size_t before = failures.size();
    delete_or_report(ctx, profile, failures);
    const bool gone = failures.size() == before;
    // Usually found above already as a port; one that names another master goes all the same,
    // or a later bridge on this device would take it up.
    if (ledger_kind == "vswitch" && uplink_listed && std::find(ports->begin(), ports->end(), uplink) == ports->end())
        delete_or_report(ctx, uplink, failures);
    if (gone) untrack_managed_resource(ctx, ledger_kind, profile);
    return controllers;
}

void remove_veth_end(const Context& ctx, const std::string& end, std::vector<std::string>& failures) {
    for (const auto& [master, bridges] : load_bridge_connections(ctx))
        for (const auto& bridge : bridges) {
            const VethPairNames names = generate_veth_names(bridge, master);
            if (names.veth_name == end || names.veth_peer == end) {
                (void)remove_join(ctx, bridge, master, failures);
                return;
            }
        }
    if (link_present(ctx, end)) {
        // Deleting one end of a pair removes its peer too.
        if (!run_succeeded(ctx, {"ip", "link", "delete", end}, RunMode::Change) && link_present(ctx, end)) {
            failures.push_back("Failed to delete veth pair '" + end + "'");
            return;
        }
    }
    untrack_managed_resource(ctx, "veth_pair", end);
}

bool remove_tracked_bond(const Context& ctx, const std::string& name, std::vector<std::string>& failures) {
    auto uuid = read_profile_setting_text(ctx, name, "connection.uuid", {.mode = kCaptured});
    if (!uuid || uuid->empty()) {
        failures.push_back("Could not find UUID for bond '" + name + "'");
        return false;
    }
    auto removed = remove_bond(ctx, {.profile = name,
                                     .controllers = {*uuid, name},
                                     .search = {},
                                     .accept = [](const TerseRecord& f) {
                                         return f.size() == 2 && f[1].find("ethernet") != std::string::npos;
                                     },
                                     .delete_mode = RunMode::Change,
                                     .ledger_name = name,
                                     .on_found = {},
                                     .on_member = {},
                                     .on_bond = {}});
    if (!removed) {
        failures.push_back("Failed to list connections: " + removed.error().message());
        return false;
    }
    if (connection_exists(ctx, name)) failures.push_back("Failed to delete connection '" + name + "'");
    return true;
}

void sweep_ports_left_behind(const Context& ctx, const std::vector<std::string>& controllers) {
    ctx.out << "[+] Cleaning up stale NetworkManager connections...\n";
    const std::set<std::string> tracked = tracked_names(ctx);
    auto without_device = [&](const TerseRecord& f) {
        return f.size() == 3 && (f[2].empty() || f[2] == "--") && !tracked.contains(f[0]);
    };
    std::size_t cleaned = 0;
    std::set<std::string> seen;
    std::vector<std::string> masters = controllers;
    // Each round takes the members of what the round before removed.
    while (!masters.empty()) {
        std::vector<std::pair<std::string, std::string>> found;  // name, UUID
        auto visited = visit_profile_masters(
            ctx, {.fields = "NAME,UUID,DEVICE", .listing_mode = kCaptured, .master_mode = RunMode::Query},
            without_device, [&](const TerseRecord& f, const std::optional<std::string>& master) {
                if (master && std::find(masters.begin(), masters.end(), *master) != masters.end() &&
                    seen.insert(f[1]).second)
                    found.emplace_back(f[0], f[1]);
                return true;
            });
        if (!visited) break;
        masters.clear();
        for (const auto& [name, uuid] : found) {
            ctx.out << "  - Removing stale connection: " << name << "\n";
            (void)delete_connection(ctx, name);
            ++cleaned;
            masters.push_back(name);
            masters.push_back(uuid);
        }
    }
    if (cleaned > 0)
        ctx.out << "[+] Cleaned up " << cleaned << " stale connections\n";
    else
        ctx.out << "[+] No stale connections found\n";
}

}  // namespace qm
