#include "cmds/config/snapshot.hpp"

#include <algorithm>
#include <cerrno>
#include <map>
#include <ostream>
#include <set>

#include "build_id.hpp"
#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/veth.hpp"
#include "utils/host_calls.hpp"
#include "utils/json.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/state_file.hpp"
#include "utils/text.hpp"
#include "utils/virsh.hpp"

namespace qm {
namespace {

// ------------------------------------------------------------------ profiles

// The text after the first ':' of a line, trimmed; none when that is empty or "--".
std::optional<std::string> value_after_colon(std::string_view line) {
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string value = trim(line.substr(colon + 1));
    if (value.empty() || value == "--") return std::nullopt;
    return value;
}

// How one property is found in the output of `nmcli connection show <profile>`: the first
// line that contains `key` (with `skip_unset`, the first whose value is set). nmcli itself
// shows the interface name and the slave type only as "connection.interface-name:" and
// "connection.slave-type:"; those lines serve when no line has the key, so that a backup
// keeps what a restore needs to re-create the profile.
struct PropertyKey {
    std::string_view key;
    std::string_view nmcli_key = {};
    bool skip_unset = false;
};

std::optional<std::string> property_value(const std::vector<std::string>& lines, std::string_view key,
                                          bool skip_unset, bool& seen) {
    for (const auto& line : lines) {
        if (line.find(key) == std::string::npos) continue;
        seen = true;
        auto value = value_after_colon(line);
        if (value || !skip_unset) return value;
    }
    return std::nullopt;
}

// One property from its own run; absent when the run fails or no line qualifies.
std::optional<std::string> connection_property(const Context& ctx, const std::string& profile, PropertyKey p) {
    auto shown = get_connection_info(ctx, profile);
    if (!shown) return std::nullopt;
    const auto lines = split_lines(*shown);
    bool seen = false;
    auto value = property_value(lines, p.key, p.skip_unset, seen);
    if (seen || p.nmcli_key.empty()) return value;
    return property_value(lines, p.nmcli_key, p.skip_unset, seen);
}

// nmcli stores a master named by its profile as that profile's UUID, and the backup holds no
// UUIDs: a restore could never find such a master again (the bridge it re-creates gets a new
// one). A master that is the UUID of a saved profile is kept as that profile's interface (or,
// bound to none, its name), which a restore finds and nmcli takes as a master.
void name_masters_by_interface(const Context& ctx, std::vector<ConnectionInfo>& connections) {
    std::set<std::string> names;
    for (const auto& c : connections) {
        names.insert(c.name);
        if (c.interface_name) names.insert(*c.interface_name);
    }
    const bool by_uuid = std::any_of(connections.begin(), connections.end(), [&](const ConnectionInfo& c) {
        return c.master && !names.contains(*c.master);
    });
    if (!by_uuid) return;  // every master is a saved name or interface: nothing to ask
    std::map<std::string, std::size_t> uuids;  // profile UUID -> its record
    for (std::size_t i = 0; i < connections.size(); ++i) {
        auto uuid = read_profile_setting(ctx, connections[i].name, "connection.uuid");
        if (uuid && *uuid) uuids.emplace(**uuid, i);
    }
    for (auto& c : connections) {
        if (!c.master) continue;
        auto owner = uuids.find(*c.master);
        if (owner == uuids.end()) continue;
        const ConnectionInfo& master = connections[owner->second];
        c.master = master.interface_name.value_or(master.name);
    }
}

// The loopback profile and the profiles NetworkManager holds only in memory are not the
// administrator's configuration: restored, the latter would become stored profiles pointing at
// bridges that may no longer exist.
Result<std::vector<ConnectionInfo>> collect_connections(const Context& ctx) {
    auto listing = get_all_connection_records(ctx);
    if (!listing) return unexpected(listing.error());
    const std::set<std::string> in_memory = in_memory_profile_names(ctx);
    std::vector<ConnectionInfo> out;
    for (const auto& fields : *listing) {
        if (fields.size() < 3) continue;
        if (fields[2] == "loopback" || in_memory.contains(fields[0])) continue;
        ConnectionInfo c;
        c.name = fields[0];
        c.uuid = fields[1];  // the listing's DEVICE column
        c.type_ = fields[2];
        c.interface_name = connection_property(ctx, c.name, {"DEVICE:", "connection.interface-name:"});
        c.master = connection_property(ctx, c.name, {"connection.master:", {}, true});
        c.slave_type = connection_property(ctx, c.name, {"SLAVE_TYPE:", "connection.slave-type:"});
        c.mac_address = connection_property(ctx, c.name, {"802-3-ethernet.mac-address:"});
        c.bridge_mac_address = connection_property(ctx, c.name, {"bridge.mac-address:"});
        c.bond_options = connection_property(ctx, c.name, {"bond.options:"});
        c.ipv4_method = connection_property(ctx, c.name, {"ipv4.method:"});
        c.ipv6_method = connection_property(ctx, c.name, {"ipv6.method:"});
        if (auto autoconnect = connection_property(ctx, c.name, {"connection.autoconnect:"}))
            c.autoconnect = *autoconnect == "yes";
        out.push_back(std::move(c));
    }
    name_masters_by_interface(ctx, out);
    return out;
}

// ------------------------------------------------------------------ libvirt networks

void read_net_info(const std::string& info, LibvirtNetwork& net) {
    // When a prefix repeats, the last line decides.
    for (const auto& raw : split_lines(info)) {
        const std::string line = trim(raw);
        if (line.starts_with("UUID:")) {
            std::string_view rest = std::string_view(line).substr(5);
            net.uuid = trim(rest.substr(0, rest.find(':')));
        } else if (line.starts_with("Active:")) {
            net.active = line.find("yes") != std::string::npos;
        } else if (line.starts_with("Persistent:")) {
            net.persistent = line.find("yes") != std::string::npos;
        } else if (line.starts_with("Autostart:")) {
            net.autostart = line.find("yes") != std::string::npos;
        }
    }
}

std::optional<std::string> bridge_of_network_xml(const std::string& xml) {
    constexpr std::string_view prefix = "<bridge name='";
    for (const auto& raw : split_lines(xml)) {
        const std::string line = trim(raw);
        if (!line.starts_with(prefix)) continue;
        std::string_view rest = std::string_view(line).substr(prefix.size());
        return std::string(rest.substr(0, rest.find('\'')));
    }
    return std::nullopt;
}

Result<std::vector<LibvirtNetwork>> collect_libvirt_networks(const Context& ctx) {
    auto listing = query_lines(ctx, {"virsh", "net-list", "--all", "--name"}, RunMode::Query);
    if (!listing) {
        if (listing.error().code == ENOENT) return std::vector<LibvirtNetwork>{};  // no libvirt on this host
        return fail(listing.error().message());
    }
    std::vector<LibvirtNetwork> out;
    for (const auto& raw : *listing) {
        const std::string name = trim(raw);
        if (name.empty() || name == "Name") continue;
        auto info = query_text(ctx, virsh_network_argv("net-info", name), RunMode::Query);
        if (!info) return fail(info.error().message());
        auto xml = query_text(ctx, virsh_network_argv("net-dumpxml", name), RunMode::Query);
        if (!xml) return fail(xml.error().message());
        LibvirtNetwork net;
        net.name = name;
        read_net_info(*info, net);
        net.bridge = bridge_of_network_xml(*xml);
        net.xml_config = std::move(*xml);
        out.push_back(std::move(net));
    }
    return out;
}

// ------------------------------------------------------------------ bridge MAC addresses

bool is_bridge_name_we_keep(std::string_view name) {
    return name.starts_with("brd") || name.starts_with("vswitch") || name.starts_with("virbr") ||
           name.starts_with("cni");
}

// The interface name of an `ip link` header line ("5: vswitch0: <BROADCAST,...> mtu ..."),
// without an "@peer" part; none for any other line.
std::optional<std::string> link_header_name(std::string_view line) {
    std::size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    if (digits == 0 || digits >= line.size() || line[digits] != ':') return std::nullopt;
    std::string_view rest = line.substr(digits + 1);
    std::string name = trim(rest.substr(0, rest.find(':')));
    if (auto at = name.find('@'); at != std::string::npos) name.resize(at);
    if (name.empty()) return std::nullopt;
    return name;
}

// Which bridge each "link/ether <mac>" line belongs to: a line that begins with one of the
// kept name prefixes names it (the text before its first ':'). A numbered header line of
// `ip link` names its interface too; it becomes the current bridge when its name is one we
// keep and otherwise clears it, so that one bridge's address is never filed under another.
BridgeMacMap parse_bridge_macs(const std::string& output) {
    BridgeMacMap macs;
    std::optional<std::string> current;
    for (const auto& raw : split_lines(output)) {
        const std::string line = trim(raw);
        if (is_bridge_name_we_keep(line)) {
            current = line.substr(0, line.find(':'));
        } else if (auto header = link_header_name(line)) {
            current = is_bridge_name_we_keep(*header) ? header : std::nullopt;
        }
        if (!current || line.find("link/ether") == std::string::npos) continue;
        auto words = split_whitespace(line);
        if (words.size() >= 2) macs.insert_or_assign(*current, words[1]);
    }
    return macs;
}

Result<BridgeMacMap> collect_bridge_macs(const Context& ctx) {
    auto out = query_text(ctx, {"ip", "link", "show", "type", "bridge"}, RunMode::Query);
    if (!out) return fail(out.error().message());
    return parse_bridge_macs(*out);
}

// ------------------------------------------------------------------ the ledger

// A ledger that cannot be read gives none silently; one that does not parse, with a warning.
std::optional<ManagedResources> collect_ledger(const Context& ctx) {
    auto file = read_state_file(ctx.path(kManagedResourcesPath));
    if (file.state != StateFileState::Loaded || !is_valid_utf8(file.value)) return std::nullopt;
    auto ledger = parse_managed_resources(file.value);
    if (!ledger) {
        ctx.err << "[!] Warning: Failed to parse managed resources file: " << ledger.error().message << "\n";
        return std::nullopt;
    }
    return std::move(*ledger);
}

VethConnection veth_record(const Context& ctx, std::string veth_name, std::string veth_peer, std::string bridge1,
                           std::string bridge2) {
    VethConnection v;
    v.veth_name = std::move(veth_name);
    v.veth_peer = std::move(veth_peer);
    v.connection_id = bridge1 + "_" + bridge2;
    v.bridge1 = std::move(bridge1);
    v.bridge2 = std::move(bridge2);
    v.created_at = ctx.clock.now();
    return v;
}

// "veth_<bridge1>_<bridge2>[_...]": the bridges are in the name.
std::optional<VethConnection> record_of_named_pair(const Context& ctx, std::string_view entry) {
    constexpr std::string_view prefix = "veth_";
    if (!entry.starts_with(prefix)) return std::nullopt;
    auto pieces = split_at(entry.substr(prefix.size()), '_');
    if (pieces.size() < 2) return std::nullopt;
    return veth_record(ctx, std::string(entry), "veth_" + pieces[1] + "_" + pieces[0], pieces[0], pieces[1]);
}

// The bridge end of a join that `vswitch connect` made: the join is the one recorded in
// bridge_connections.json whose pair names give that end. The master's end gives no record
// of its own; it is the record's peer.
std::optional<VethConnection> record_of_join(const Context& ctx, const std::string& entry,
                                             const BridgeConnectionMap& joins) {
    for (const auto& [master, bridges] : joins) {
        for (const auto& bridge : bridges) {
            VethPairNames names = generate_veth_names(bridge, master);
            if (names.veth_name == entry)
                return veth_record(ctx, entry, std::move(names.veth_peer), bridge, master);
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<VethConnection> veth_connections_from_tracking(const Context& ctx) {
    auto file = read_state_file(ctx.path(kManagedResourcesPath));
    if (file.state != StateFileState::Loaded) return {};
    auto json = parse_json(file.value);
    if (!json || !json->is_object()) return {};
    const JsonValue* pairs = json->find("veth_pairs");
    if (!pairs || !pairs->is_array()) return {};
    std::optional<BridgeConnectionMap> joins;  // read when first needed
    std::vector<VethConnection> out;
    for (const auto& item : pairs->items) {
        if (!item.is_string()) continue;
        auto v = record_of_named_pair(ctx, item.text);
        if (!v && !item.text.starts_with("veth_")) {
            if (!joins) joins = load_bridge_connections(ctx);
            v = record_of_join(ctx, item.text, *joins);
        }
        if (v) out.push_back(std::move(*v));
    }
    return out;
}

Result<NetworkConfig> collect_network_config(const Context& ctx, const std::string& name,
                                             const std::optional<std::string>& description, bool is_default) {
    NetworkConfig c;
    c.metadata = {name, description, ctx.clock.now(), std::string(kVersion), is_default};

    auto connections = collect_connections(ctx);
    if (!connections) return unexpected(connections.error());
    c.network_manager.connections = std::move(*connections);

    auto networks = collect_libvirt_networks(ctx);
    if (!networks) return unexpected(networks.error());
    c.libvirt_networks = std::move(*networks);

    auto macs = collect_bridge_macs(ctx);
    if (!macs) return unexpected(macs.error());
    c.bridge_mac_addresses = std::move(*macs);

    c.veth_connections = veth_connections_from_tracking(ctx);
    c.bridge_topology.master_bridges = load_master_bridges(ctx);
    c.bridge_topology.bridge_connections = load_bridge_connections(ctx);
    // Derived afresh: each record carries the time of its own derivation.
    c.bridge_topology.veth_pairs = veth_connections_from_tracking(ctx);
    c.managed_resources = collect_ledger(ctx);
    return c;
}

}  // namespace qm
