#include "cmds/config/restore.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <ostream>
#include <set>
#include <string_view>

#include "cmds/config/lookup.hpp"
#include "cmds/config/restore_steps.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {

namespace {

using namespace std::chrono_literals;

// A property modified after an add, and where its value comes from.
struct Property {
    const char* name;
    std::optional<std::string> (*value)(const ConnectionInfo&);
};

std::optional<std::string> master_of(const ConnectionInfo& c) { return c.master; }
std::optional<std::string> slave_type_of(const ConnectionInfo& c) { return c.slave_type; }
std::optional<std::string> mac_of(const ConnectionInfo& c) { return c.mac_address; }
std::optional<std::string> bridge_mac_of(const ConnectionInfo& c) { return c.bridge_mac_address; }
std::optional<std::string> bond_options_of(const ConnectionInfo& c) { return c.bond_options; }
std::optional<std::string> ipv4_of(const ConnectionInfo& c) { return c.ipv4_method; }
std::optional<std::string> ipv6_of(const ConnectionInfo& c) { return c.ipv6_method; }
std::optional<std::string> autoconnect_of(const ConnectionInfo& c) {
    if (!c.autoconnect) return std::nullopt;
    return *c.autoconnect ? "yes" : "no";
}

enum class AddKind { Vlan, Bridge, Ethernet, Bond };

// How one profile type is re-created: the add, the pause that lets NetworkManager settle the
// new profile, and the properties set afterwards, in order.
struct AddPlan {
    AddKind kind;
    const char* word;  // in the progress lines
    std::chrono::milliseconds pause;
    std::vector<Property> properties;
};

const AddPlan* plan_for(const std::string& type) {
    static const AddPlan kVlan{AddKind::Vlan,
                               "VLAN",
                               0ms,
                               {{"master", master_of},
                                {"slave-type", slave_type_of},
                                {"ipv4.method", ipv4_of},
                                {"ipv6.method", ipv6_of},
                                {"connection.autoconnect", autoconnect_of}}};
    static const AddPlan kBridge{AddKind::Bridge,
                                 "bridge",
                                 300ms,
                                 {{"bridge.mac-address", bridge_mac_of},
                                  {"ipv4.method", ipv4_of},
                                  {"ipv6.method", ipv6_of},
                                  {"connection.autoconnect", autoconnect_of}}};
    static const AddPlan kEthernet{AddKind::Ethernet,
                                   "ethernet",
                                   200ms,
                                   {{"802-3-ethernet.mac-address", mac_of},
                                    {"master", master_of},
                                    {"slave-type", slave_type_of},
                                    {"ipv4.method", ipv4_of},
                                    {"ipv6.method", ipv6_of},
                                    {"connection.autoconnect", autoconnect_of}}};
    static const AddPlan kBond{AddKind::Bond,
                               "bond",
                               300ms,
                               {{"bond.options", bond_options_of},
                                {"ipv4.method", ipv4_of},
                                {"ipv6.method", ipv6_of},
                                {"connection.autoconnect", autoconnect_of}}};
    if (type == "vlan") return &kVlan;
    if (type == "bridge") return &kBridge;
    if (type == "ethernet" || type == "802-3-ethernet") return &kEthernet;
    if (type == "bond") return &kBond;
    return nullptr;
}

Status add_profile(const Context& ctx, const AddPlan& plan, const ConnectionInfo& c) {
    const std::string ifname = c.interface_name.value_or("");
    switch (plan.kind) {
        case AddKind::Vlan:
            // The parent and the id are not in the backup.
            return create_vlan_connection(ctx, c.name, ifname, "unknown", 0);
        case AddKind::Bridge:
            return add_connection(ctx, "bridge", c.name, ifname);
        case AddKind::Ethernet:
            return add_connection(ctx, "ethernet", c.name, ifname);
        case AddKind::Bond:
            // Created as active-backup; the saved options follow as a modification.
            return add_connection(ctx, "bond", c.name, ifname, {"bond.options", "mode=active-backup"});
    }
    return {};
}

void restore_profile(const Context& ctx, const ConnectionInfo& c) {
    if (connection_exists(ctx, c.name)) {
        ctx.out << "  - Connection '" << c.name << "' already exists, skipping\n";
        return;
    }
    const AddPlan* plan = plan_for(c.type_);
    if (!plan) {
        ctx.out << "  - Unknown connection type '" << c.type_ << "' for '" << c.name << "', skipping\n";
        return;
    }
    if (auto added = add_profile(ctx, *plan, c); !added) {
        ctx.out << "  - Failed to restore " << plan->word << " connection '" << c.name
                << "': " << added.error().message << "\n";
        return;
    }
    ctx.out << "  + Restored " << plan->word << " connection '" << c.name
            << (plan->kind == AddKind::Vlan ? "' (note: may need manual VLAN ID configuration)\n" : "'\n");
    if (plan->pause.count() > 0) ctx.pause(plan->pause);
    for (const auto& property : plan->properties) {
        auto value = property.value(c);
        if (!value) continue;
        const std::string_view name = property.name;
        // A port's master and slave type go in one call: nmcli takes a master alone only when it
        // names a profile the host has now (not a bridge restored after the port, nor the UUID of
        // a profile made anew since the backup), and never a slave type alone.
        if (name == "master" && c.slave_type) {
            (void)modify_connection_settings(ctx, c.name, {{"master", *value}, {"slave-type", *c.slave_type}});
            continue;
        }
        if (name == "slave-type" && c.master) continue;
        (void)modify_connection(ctx, c.name, property.name, *value);
    }
}

// Every name of the ledger's four lists; an unreadable or damaged ledger tracks nothing.
std::set<std::string> tracked_names(const Context& ctx) {
    std::set<std::string> names;
    auto ledger = load_managed_resources(ctx);
    if (ledger.state != LedgerFile::State::Loaded) return names;
    for (const auto* list : {&ledger.value.vswitches, &ledger.value.vlan_bridges, &ledger.value.veth_pairs,
                             &ledger.value.bonds})
        names.insert(list->begin(), list->end());
    return names;
}

// The profile names of a terse listing, in listing order, each once.
std::vector<std::string> current_names(const std::string& listing) {
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const auto& line : split_lines(listing)) {
        std::string name = trim(std::string_view(line).substr(0, line.find(':')));
        if (name.empty() || !seen.insert(name).second) continue;
        names.push_back(std::move(name));
    }
    return names;
}

}  // namespace

std::string classify_interface(std::string_view name) {
    if (name.empty()) return "physical";
    if (name.starts_with("veth-")) return "veth";
    if (name.starts_with("vlan-")) return "vlan";
    if (name.find('.') != std::string_view::npos) return "vlan";
    if (name.size() < 4) return "physical";
    if (name.starts_with("bond")) return "bond";
    if (name.starts_with("vswitch") || name.starts_with("bridge")) return "bridge";
    if (name.starts_with("libvirt-")) return "libvirt";
    return "physical";
}

std::uint32_t interface_priority(std::string_view kind) {
    if (kind == "physical") return 900;
    if (kind == "bond") return 800;
    if (kind == "bridge") return 600;
    if (kind == "veth") return 400;
    if (kind == "vlan") return 200;
    return 0;
}

Status restore_nm_connections(const Context& ctx, const std::vector<ConnectionInfo>& connections,
                              const std::vector<std::string>& veth_ends) {
    ctx.out << "[+] Restoring NetworkManager connections...\n";
    auto listing = get_all_connections(ctx);
    if (!listing) return unexpected(listing.error());

    std::set<std::string> in_backup;
    for (const auto& c : connections) in_backup.insert(c.name);
    in_backup.insert(veth_ends.begin(), veth_ends.end());
    const std::set<std::string> tracked = tracked_names(ctx);
    for (const auto& name : current_names(*listing)) {
        if (!tracked.contains(name) || in_backup.contains(name)) continue;
        ctx.out << "[-] Removing managed connection '" << name << "' (not in backup)\n";
        if (auto deleted = delete_connection(ctx, name); !deleted)
            ctx.err << "[!] Warning: Failed to delete connection '" << name << "': " << deleted.error().message
                    << "\n";
    }

    struct Entry {
        const ConnectionInfo* connection;
        std::string kind;
        std::uint32_t priority;
    };
    std::vector<Entry> order;
    order.reserve(connections.size());
    for (const auto& c : connections) {
        std::string kind = classify_interface(c.name);
        const std::uint32_t priority = interface_priority(kind);
        order.push_back({&c, std::move(kind), priority});
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const Entry& a, const Entry& b) { return a.priority > b.priority; });

    ctx.out << "[+] Connection restoration order:\n";
    for (const auto& e : order)
        ctx.out << "  - " << e.connection->name << " (type: " << e.kind << ", priority: " << e.priority << ")\n";
    for (const auto& e : order) restore_profile(ctx, *e.connection);
    return {};
}

Status restore_backup(const Context& ctx, const std::string& name) {
    ctx.out << "[+] Restoring network configuration from backup '" << name << "'...\n";
    auto config = load_backup(ctx, name);
    if (!config) return unexpected(config.error());
    return run_restore_steps(ctx, *config);
}

Status restore_default_backup(const Context& ctx) {
    ctx.out << "[+] Restoring network configuration from backup...\n";
    auto config = load_default_config(ctx);
    if (!config) return unexpected(config.error());
    return run_restore_steps(ctx, *config);
}

Status restore_veth_from_backup(const Context& ctx) {
    ctx.out << "[+] Restoring veth connections from backup...\n";
    auto config = load_default_config(ctx);
    if (!config) return unexpected(config.error());
    if (auto s = restore_veth_connections(ctx, config->veth_connections); !s) return s;
    ctx.out << "[+] Veth connections restore completed successfully\n";
    return {};
}

Status run_restore_steps(const Context& ctx, const NetworkConfig& config) {
    if (auto s = restore_nm_connections(ctx, config.network_manager.connections,
                                        veth_interface_names(config.veth_connections));
        !s)
        return s;
    if (auto s = restore_libvirt_networks(ctx, config.libvirt_networks); !s) return s;
    if (auto s = restore_bridge_macs(ctx, config.bridge_mac_addresses); !s) return s;
    if (auto s = restore_veth_connections(ctx, config.veth_connections); !s) return s;
    restore_bridge_topology(ctx, config.bridge_topology);
    if (auto s = restore_managed_resources(ctx, config.managed_resources); !s) return s;
    ctx.out << "[+] Configuration restore completed successfully\n";
    return {};
}

}  // namespace qm
