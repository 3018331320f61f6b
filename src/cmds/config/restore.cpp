#include "cmds/config/restore.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string_view>

#include "cmds/bridge/veth.hpp"
#include "cmds/config/lookup.hpp"
#include "cmds/config/restore_check.hpp"
#include "cmds/config/restore_removal.hpp"
#include "cmds/config/restore_steps.hpp"
#include "cmds/config/restore_validation.hpp"
#include "utils/links.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {

namespace {

enum class AddKind { Vlan, Bridge, Ethernet, Bond };

// How one profile type is re-created: the add, with the saved settings it is born with (in
// order), and the word in the progress lines. Everything goes on the add itself: NetworkManager
// activates a profile as soon as it exists, so a setting made afterwards is stored but does not
// reach the running connection (a port would run on its own, a bridge with the wrong IP).
struct AddPlan {
    AddKind kind;
    const char* word;
    bool master;      // the type can be a port: master and slave type go on the add
    bool mac;         // 802-3-ethernet.mac-address
    bool bridge_mac;  // bridge.mac-address
    bool bond_options;
};

const AddPlan* plan_for(const std::string& type) {
    static const AddPlan kVlan{AddKind::Vlan, "VLAN", true, false, false, false};
    static const AddPlan kBridge{AddKind::Bridge, "bridge", false, false, true, false};
    static const AddPlan kEthernet{AddKind::Ethernet, "ethernet", true, true, false, false};
    static const AddPlan kBond{AddKind::Bond, "bond", true, false, false, true};
    if (type == "vlan") return &kVlan;
    if (type == "bridge") return &kBridge;
    if (type == "ethernet" || type == "802-3-ethernet") return &kEthernet;
    if (type == "bond") return &kBond;
    return nullptr;
}

// A VLAN that `vlan create` made sits on "<parent>.<id>"; the parent and the id come back from
// that name. Nothing for any other name.
struct VlanLink {
    std::string parent;
    std::uint16_t id = 0;
};
std::optional<VlanLink> vlan_link_of(const std::string& ifname) {
    const auto dot = ifname.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == ifname.size() || ifname.size() - dot - 1 > 5)
        return std::nullopt;
    unsigned id = 0;
    for (std::size_t i = dot + 1; i < ifname.size(); ++i) {
        if (ifname[i] < '0' || ifname[i] > '9') return std::nullopt;
        id = id * 10 + static_cast<unsigned>(ifname[i] - '0');
    }
    if (id > 0xffff) return std::nullopt;  // what `vlan create` takes
    return VlanLink{ifname.substr(0, dot), static_cast<std::uint16_t>(id)};
}

// The setting and value words the add carries. A port (a profile with a master) has no IP
// settings of its own, and nmcli refuses them on one; nor does it take a master without its
// slave type unless it can tell the type from the master, or a slave type without a master.
// A "manual" IP method needs addresses the backup does not hold, so nmcli would refuse the whole
// add: it is left to NetworkManager's default and reported by the check afterwards.
std::vector<std::string> settings_of(const AddPlan& plan, const ConnectionInfo& c) {
    std::vector<std::string> words;
    auto put = [&](const char* setting, const std::optional<std::string>& value) {
        if (!value) return;
        words.push_back(setting);
        words.push_back(*value);
    };
    if (plan.mac) put("802-3-ethernet.mac-address", c.mac_address);
    if (plan.bridge_mac) put("bridge.mac-address", c.bridge_mac_address);
    // Created as active-backup unless the saved options say otherwise.
    if (plan.bond_options) put("bond.options", c.bond_options.value_or("mode=active-backup"));
    const bool port = plan.master && c.master.has_value();
    if (port) {
        put("master", c.master);
        put("slave-type", c.slave_type);
    } else {
        for (const auto& [setting, value] : {std::pair{"ipv4.method", &c.ipv4_method}, {"ipv6.method", &c.ipv6_method}})
            if (*value != "manual") put(setting, *value);
    }
    if (c.autoconnect) put("connection.autoconnect", *c.autoconnect ? "yes" : "no");
    return words;
}

Status add_profile(const Context& ctx, const AddPlan& plan, const ConnectionInfo& c,
                   const std::optional<VlanLink>& vlan) {
    const std::string ifname = c.interface_name.value_or("");
    const auto settings = settings_of(plan, c);
    switch (plan.kind) {
        case AddKind::Vlan:
            if (vlan) return create_vlan_connection(ctx, c.name, ifname, vlan->parent, vlan->id, settings);
            // Made otherwise: the parent and the id are not in the backup.
            return create_vlan_connection(ctx, c.name, ifname, "unknown", 0, settings);
        case AddKind::Bridge:
            return add_connection(ctx, "bridge", c.name, ifname, settings);
        case AddKind::Ethernet:
            return add_connection(ctx, "ethernet", c.name, ifname, settings);
        case AddKind::Bond:
            return add_connection(ctx, "bond", c.name, ifname, settings);
    }
    return {};
}

// Where a master named in the backup can be found: a profile or interface of the backup, or a
// profile or link on the host now.
class MasterLookup {
public:
    MasterLookup(const Context& ctx, const std::vector<ConnectionInfo>& connections,
                 const std::vector<TerseRecord>& listing)
        : ctx_(ctx) {
        for (const auto& c : connections) {
            known_.insert(c.name);
            if (c.interface_name) known_.insert(*c.interface_name);
        }
        for (const auto& f : listing) {
            if (!f.empty()) known_.insert(f[0]);
            if (f.size() > 1 && f[1] != "--") known_.insert(f[1]);
        }
    }
    bool found(const std::string& master) {
        if (known_.contains(master)) return true;
        if (unknown_.contains(master)) return false;  // several ports of one missing master ask once
        if (link_present(ctx_, master) || connection_exists(ctx_, master)) {  // a profile's UUID, say
            known_.insert(master);
            return true;
        }
        unknown_.insert(master);
        return false;
    }

private:
    const Context& ctx_;
    std::set<std::string> known_;
    std::set<std::string> unknown_;
};

bool is_up(const std::string& state) { return state == "activated" || state == "activating"; }

// A bridge of the backup whose profile is still here but down (taken down by hand, say) is
// what the rest of the restore builds on: its MAC address, its ports and joins need the link.
// One that is to come up is brought up; one that will not is left to the check to report.
void bring_up_if_down(const Context& ctx, const ConnectionInfo& c, const std::map<std::string, std::string>& states) {
    if (c.type_ != "bridge" || !c.autoconnect.value_or(true)) return;
    auto state = states.find(c.name);
    if (state == states.end() || is_up(state->second)) return;
    auto up = up_connection(ctx, c.name);
    if (!up) {
        ctx.out << "  - Failed to bring up bridge connection '" << c.name << "': " << up.error().message << "\n";
        return;
    }
    ctx.out << "  + Brought up bridge connection '" << c.name << "'\n";
    if (c.interface_name) put_joins_back_on_bridge(ctx, *c.interface_name);
}

void restore_profile(const Context& ctx, const ConnectionInfo& c, MasterLookup& masters,
                     const std::map<std::string, std::string>& states, ProfileStepOutcome& done) {
    if (connection_exists(ctx, c.name)) {
        ctx.out << "  - Connection '" << c.name << "' already exists, skipping\n";
        bring_up_if_down(ctx, c, states);
        return;
    }
    const AddPlan* plan = plan_for(c.type_);
    if (!plan) {
        ctx.out << "  - Unknown connection type '" << c.type_ << "' for '" << c.name << "', skipping\n";
        return;
    }
    // Such a profile is one NetworkManager held in memory for a port whose bridge has gone
    // since; stored, it would wait for that bridge forever and outlive every reboot.
    if (plan->master && c.master && !masters.found(*c.master)) {
        ctx.out << "  - Skipping '" << c.name << "': its master '" << *c.master
                << "' is neither on this host nor in the backup\n";
        done.passed_over.insert(c.name);
        return;
    }
    const std::optional<VlanLink> vlan =
        plan->kind == AddKind::Vlan ? vlan_link_of(c.interface_name.value_or("")) : std::nullopt;
    if (auto added = add_profile(ctx, *plan, c, vlan); !added) {
        ctx.out << "  - Failed to restore " << plan->word << " connection '" << c.name
                << "': " << added.error().message << "\n";
        return;
    }
    const bool vlan_unknown = plan->kind == AddKind::Vlan && !vlan;
    ctx.out << "  + Restored " << plan->word << " connection '" << c.name
            << (vlan_unknown ? "' (note: may need manual VLAN ID configuration)\n" : "'\n");
    done.added.push_back(c.name);
    if (!(plan->master && c.master))
        for (const auto& [setting, value] :
             {std::pair{"ipv4.method", &c.ipv4_method}, {"ipv6.method", &c.ipv6_method}})
            if (*value == "manual") done.default_methods.push_back({c.name, setting});
}

// The completion line only when nothing is left over; otherwise one warning per item and the
// incomplete line, which counts them in `unit`s.
void report_outcome(const Context& ctx, const std::vector<std::string>& left_over, std::string_view run,
                    std::string_view unit, std::string_view left_as) {
    if (left_over.empty()) {
        ctx.out << "[+] " << run << " completed successfully\n";
        return;
    }
    for (const auto& what : left_over) ctx.err << "[!] Warning: " << what << "\n";
    ctx.out << "[!] " << run << " incomplete: " << left_over.size() << " " << unit << (left_over.size() == 1 ? "" : "s")
            << " " << left_as << " (see the warnings above)\n";
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

Result<ProfileStepOutcome> restore_nm_connections(const Context& ctx, const std::vector<ConnectionInfo>& connections,
                                                  const std::vector<std::string>& veth_ends,
                                                  std::vector<std::string>* failures) {
    ctx.out << "[+] Restoring NetworkManager connections...\n";
    auto listing = get_all_connection_records(ctx);
    if (!listing) return unexpected(listing.error());

    std::set<std::string> in_backup;
    for (const auto& c : connections) in_backup.insert(c.name);
    in_backup.insert(veth_ends.begin(), veth_ends.end());
    std::vector<std::string> ignored;
    const bool removed = remove_tracked_not_in_backup(ctx, *listing, in_backup, failures ? *failures : ignored);

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
    ProfileStepOutcome done;
    // What is on the host now that the removals are done: a master just removed is not there.
    if (removed) {
        auto remaining = get_all_connection_records(ctx);
        if (!remaining) return unexpected(remaining.error());
        listing = std::move(remaining);
    }
    std::map<std::string, std::string> states;
    for (const auto& f : *listing)
        if (f.size() >= 4) states.emplace(f[0], f[3]);
    MasterLookup masters(ctx, connections, *listing);
    for (const auto& e : order) restore_profile(ctx, *e.connection, masters, states, done);
    return done;
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
    if (auto s = check_veth_names(config->veth_connections); !s) return s;
    std::vector<std::string> not_in_place;
    if (auto s = restore_veth_connections(ctx, config->veth_connections, not_in_place); !s) return s;
    report_outcome(ctx, not_in_place, "Veth connections restore", "pair", "not in place");
    return {};
}

Status run_restore_steps(const Context& ctx, const NetworkConfig& config) {
    // A name that cannot reach a tool would otherwise stop the restore after it has removed
    // profiles, with nothing of the rest put back.
    if (auto s = check_backup_names(config); !s) return s;
    std::vector<std::string> step_failures;
    auto profiles = restore_nm_connections(ctx, config.network_manager.connections,
                                           veth_interface_names(config.veth_connections), &step_failures);
    if (!profiles) return unexpected(profiles.error());
    std::vector<std::string> networks_not_restored;
    if (auto s = restore_libvirt_networks(ctx, config.libvirt_networks, &networks_not_restored); !s) return s;
    if (auto s = restore_bridge_macs(ctx, config.bridge_mac_addresses, &step_failures); !s) return s;
    if (auto s = restore_veth_connections(ctx, config.veth_connections, step_failures); !s) return s;
    restore_bridge_topology(ctx, config.bridge_topology, &step_failures);
    if (auto s = restore_managed_resources(ctx, config.managed_resources); !s) return s;
    // Every step can report success while the daemon leaves the host broken: the completion
    // line is earned by what is actually there.
    report_outcome(ctx, check_restored(ctx, config, *profiles, networks_not_restored, step_failures),
                   "Configuration restore", "item", "did not come back");
    return {};
}

}  // namespace qm
