#include "cmds/bridge/vswitch_list.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cmds/bridge/topology.hpp"
#include "utils/colours.hpp"
#include "utils/host_calls.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"
#include "utils/unicode_regex.hpp"

namespace qm {
namespace {

// The devices of VLAN-dedicated bridges: "vlan", three or four decimal digits, "br".
constexpr std::string_view kVlanBridgePattern = R"(^vlan\d{3,4}br$)";

struct BridgeRecord {
    std::string name, device, type, state;
};

// Every profile, to turn a master given as a UUID into the profile's name, and to search for
// the bridge profile of a device, in listing order (nmcli lists active profiles first).
struct ProfileLookup {
    std::map<std::string, std::string> name_by_uuid;
    std::vector<std::string> uuids;  // each once, in listing order

    void add(const std::string& uuid, const std::string& name) {
        if (name_by_uuid.insert_or_assign(uuid, name).second) uuids.push_back(uuid);
    }
};

// Bridge key (a profile name, or a device name) -> "interface (profile)" texts, in the order found.
using PortMap = std::map<std::string, std::vector<std::string>>;

// Files profile P as a port of the bridge `key`, by its interface name. VM taps ("vnet…") are
// left out with a note on standard error.
void file_port(const Context& ctx, PortMap& ports, const std::string& key, const std::string& profile) {
    auto ifname = read_profile_setting_text(ctx, profile, "connection.interface-name");
    if (!ifname || ifname->empty()) return;
    if (ifname->starts_with("vnet")) {
        ctx.err << "DEBUG: Filtering out vnet interface: " << *ifname << " for bridge: " << key << "\n";
        return;
    }
    auto& list = ports[key];
    std::string port = *ifname + " (" + profile + ")";
    // Both searches can find the same port under the same key (a bridge profile named like
    // its device); it is one port all the same.
    if (std::find(list.begin(), list.end(), port) == list.end()) list.push_back(std::move(port));
}

// A port by slave type: the profile names its master and says it is a bridge port.
void find_port_by_slave_type(const Context& ctx, const ProfileLookup& lookup, PortMap& ports,
                             const std::string& profile) {
    auto answer = read_profile_settings(ctx, profile, "connection.master,connection.slave-type");
    if (!answer) return;
    const auto lines = split_lines(*answer);
    if (lines.size() < 2 || lines[0].empty() || lines[1] != "bridge") return;
    // The master is a UUID of a profile, or else an interface name.
    auto named = lookup.name_by_uuid.find(lines[0]);
    const std::string key = named != lookup.name_by_uuid.end() ? named->second : lines[0];
    file_port(ctx, ports, key, profile);
}

// A port by master device: the profile's master is the device of a bridge profile.
void find_port_by_master_device(const Context& ctx, const ProfileLookup& lookup, PortMap& ports,
                                const std::string& profile) {
    auto master = read_profile_setting_text(ctx, profile, "connection.master");
    if (!master) return;
    const bool bridge_device = master->starts_with("vswitch") || master->starts_with("virbr") || *master == "cni0";
    if (!bridge_device || lookup.uuids.empty()) return;
    for (const auto& uuid : lookup.uuids) {
        const std::string& candidate = lookup.name_by_uuid.at(uuid);
        auto type = read_profile_setting_text(ctx, candidate, "connection.type");
        if (!type || *type != "bridge") continue;
        auto ifname = read_profile_setting_text(ctx, candidate, "connection.interface-name");
        if (!ifname || *ifname != *master) continue;
        file_port(ctx, ports, candidate, profile);
        return;
    }
}

void print_bridge(const Context& ctx, const BridgeRecord& b, std::string_view tag) {
    const bool up = b.state.find("activated") != std::string::npos;
    ctx.out << (up ? kGreen : kRed) << pad_right(b.name, 25) << " " << pad_right(b.device, 12) << " "
            << pad_right(b.type, 8) << " " << b.state << tag << kReset << "\n";
}

// The ports filed under any name of the bridge: `first` (its profile, or its device), then the
// other names its ports may give it (controller_identities), each port once.
void print_ports(const Context& ctx, const PortMap& ports, const std::string& first,
                 const std::set<std::string>& names) {
    std::vector<std::string> keys{first};
    for (const auto& name : names)
        if (name != first) keys.push_back(name);
    std::vector<std::string> shown;
    for (const auto& key : keys) {
        auto found = ports.find(key);
        if (found == ports.end()) continue;
        for (const auto& port : found->second) {
            if (std::find(shown.begin(), shown.end(), port) != shown.end()) continue;
            shown.push_back(port);
            ctx.out << "  └─ " << port << "\n";
        }
    }
}

}  // namespace

void list_vswitches(const Context& ctx) {
    ctx.out << "\n=== Virtual Switches ===\n";

    auto listing = list_profiles(ctx, "NAME,DEVICE,TYPE,STATE", RunMode::Query, ListingText::ValidLines);
    if (!listing) {
        ctx.err << "Failed to run nmcli\n";
        return;
    }
    const auto vlan_rule = UnicodeRegex::compile(kVlanBridgePattern);
    std::vector<BridgeRecord> general, vlan;
    for (auto& f : *listing) {
        // The line holds ":bridge:": the device or the type is "bridge".
        if (f.size() != 4 || (f[1] != "bridge" && f[2] != "bridge")) continue;
        BridgeRecord b{std::move(f[0]), std::move(f[1]), std::move(f[2]), std::move(f[3])};
        (vlan_rule && vlan_rule->matches(b.device) ? vlan : general).push_back(std::move(b));
    }

    auto uuids = list_profiles(ctx, "NAME,UUID", RunMode::Query, ListingText::ValidLines);
    if (!uuids) {
        ctx.err << "Failed to list connections\n";
        return;
    }
    ProfileLookup lookup;
    for (const auto& f : *uuids) {
        if (f.size() != 2) continue;
        lookup.add(f[1], f[0]);
    }

    auto names = list_profiles(ctx, "NAME", RunMode::Query, ListingText::ValidLines);
    if (!names) {
        ctx.err << "Failed to list connections\n";
        return;
    }
    PortMap ports;
    for (const auto& f : *names) {
        // The only column: the whole line is the name, ':' and all.
        const std::string profile = trim(join(f, ":"));
        if (profile.empty()) continue;
        find_port_by_slave_type(ctx, lookup, ports, profile);
        find_port_by_master_device(ctx, lookup, ports, profile);
    }

    // The bridges as the port matching knows them, each with its profile's UUID.
    std::vector<ControllerProfile> bridges;
    for (const auto* group : {&general, &vlan})
        for (const auto& b : *group) {
            std::string uuid;
            for (const auto& [u, n] : lookup.name_by_uuid)
                if (n == b.name) uuid = u;
            bridges.push_back({b.name, uuid, b.device == "--" ? std::string() : b.device});
        }
    auto names_of = [&](const BridgeRecord& b) { return controller_identities(bridges, {b.name}); };

    const MasterBridgeList masters = load_master_bridges(ctx);
    const BridgeConnectionMap joins = load_bridge_connections(ctx);

    ctx.out << "--- General purpose Virtual Switches ---\n";
    for (const auto& b : general) {
        const bool master = std::find(masters.begin(), masters.end(), b.device) != masters.end();
        print_bridge(ctx, b, master ? " [MASTER]" : "");
        if (master) {
            if (auto joined = joins.find(b.device); joined != joins.end())
                for (const auto& bridge : joined->second) ctx.out << "  └─ Connected: " << bridge << "\n";
        }
        print_ports(ctx, ports, b.name, names_of(b));
    }

    ctx.out << "\n--- VLAN-Dedicated Virtual Switches ---\n";
    for (const auto& b : vlan) {
        print_bridge(ctx, b, "");
        print_ports(ctx, ports, b.device, names_of(b));
    }
    ctx.out << "\n";
}

void show_bridge_topology(const Context& ctx) {
    ctx.out << "\n=== Bridge Topology ===\n";
    const MasterBridgeList masters = load_master_bridges(ctx);
    const BridgeConnectionMap joins = load_bridge_connections(ctx);
    if (masters.empty()) {
        ctx.out << "  No master bridges configured\n";
        return;
    }
    for (const auto& master : masters) {
        ctx.out << "\n[Master: " << master << "]\n";
        auto joined = joins.find(master);
        if (joined == joins.end() || joined->second.empty()) {
            ctx.out << "  └─ (no connected bridges)\n";
            continue;
        }
        const auto& bridges = joined->second;
        for (std::size_t i = 0; i < bridges.size(); ++i)
            ctx.out << (i + 1 == bridges.size() ? "  └─ " : "  ├─ ") << bridges[i] << "\n";
    }
}

}  // namespace qm
