#include "cmds/vlan/vlan.hpp"

#include <chrono>
#include <map>
#include <ostream>

#include "cmds/bridge/veth.hpp"
#include "cmds/libvirt/libvirt.hpp"
#include "utils/links.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {

namespace {

using std::chrono::milliseconds;

constexpr std::string_view kProfilePrefix = "Vlan ";
constexpr int kDeviceProbes = 10;

std::string profile_name(std::uint16_t id) { return std::string(kProfilePrefix) + std::to_string(id); }
std::string bridge_name(std::uint16_t id) { return "vlan" + std::to_string(id) + "br"; }
std::string network_name(std::uint16_t id) { return "VLAN " + std::to_string(id); }

std::optional<std::uint16_t> parse_id(std::string_view text) {
    auto value = parse_unsigned(text, 65535);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

struct VlanLine {
    std::string name;
    std::string device;
    std::string state;
};

// A listing line of type "vlan"; with only three fields there is no device column.
std::optional<VlanLine> vlan_line(const TerseRecord& fields) {
    if (fields.size() < 3 || fields[2] != "vlan") return std::nullopt;
    if (fields.size() == 3) return VlanLine{fields[0], "", fields[2]};
    return VlanLine{fields[0], fields[1], fields[3]};
}

}  // namespace

std::string VlanError::display() const {
    switch (kind) {
        case Kind::NotFound: return "VLAN " + std::to_string(vlan_id) + " not found";
        case Kind::AlreadyExists: return "VLAN " + std::to_string(vlan_id) + " already exists";
        case Kind::InvalidVswitch: return "Invalid vswitch: " + message;
        case Kind::CommandFailed: return "Command failed: " + message;
        case Kind::InUse: return "VLAN " + std::to_string(vlan_id) + " is in use by: " + join(dependencies, ", ");
    }
    return message;
}

std::vector<VlanInfo> parse_vlan_listing(const std::string& listing) {
    std::vector<VlanInfo> vlans;
    for (const auto& fields : terse_records(listing)) {
        auto entry = vlan_line(fields);
        if (!entry || !entry->name.starts_with(kProfilePrefix)) continue;
        auto id = parse_id(std::string_view(entry->name).substr(kProfilePrefix.size()));
        if (!id) continue;
        VlanInfo info;
        info.device = entry->device;
        info.bridge = bridge_name(*id);
        // A profile without a device names no parent in the listing, so its trunk stays empty.
        info.trunk = info.device.substr(0, info.device.find('.'));
        info.state = entry->state;
        info.id = *id;
        vlans.push_back(std::move(info));
    }
    return vlans;
}

void list_vlans(const Context& ctx) {
    auto listing = get_all_connections(ctx);
    if (!listing) {
        ctx.err << "Failed to list NM connections: " << listing.error().message << "\n";
        return;
    }
    // std::string orders by unsigned bytes; each group keeps listing order.
    std::map<std::string, std::vector<VlanInfo>> by_trunk;
    for (auto& vlan : parse_vlan_listing(*listing)) by_trunk[vlan.trunk].push_back(std::move(vlan));

    if (by_trunk.empty()) {
        ctx.out << "\n=== VLANs ===\n  (no VLANs configured)\n\n";
        return;
    }
    ctx.out << "\n=== VLANs ===\n";
    for (const auto& [trunk, vlans] : by_trunk) {
        ctx.out << "\n[Trunk: " << trunk << "]\n";
        for (const auto& v : vlans) {
            ctx.out << "  VLAN " << pad_right(std::to_string(v.id), 5) << " Interface: " << pad_right(v.device, 18)
                    << " Bridge: " << pad_right(v.bridge, 14) << " State: " << pad_right(v.state, 8) << "\n";
        }
    }
    ctx.out << "\n";
}

VlanStatus create_vlan(const Context& ctx, std::uint16_t vlan_id, const std::string& vswitch) {
    const std::string n = std::to_string(vlan_id);
    const std::string vlan = profile_name(vlan_id);
    const std::string bridge = bridge_name(vlan_id);

    ctx.out << "[+] Creating VLAN " << n << "\n";
    if (connection_exists(ctx, vlan)) return unexpected(VlanError::already_exists(vlan_id));

    auto parent = resolve_vswitch_device(ctx, vswitch);
    if (!parent) return unexpected(VlanError::invalid_vswitch("vSwitch '" + vswitch + "' does not exist"));

    const std::string iface = *parent + "." + n;
    ctx.out << "[+] Creating VLAN interface " << iface << "\n";
    if (auto r = create_vlan_connection(ctx, vlan, iface, *parent, vlan_id); !r)
        return unexpected(VlanError::command_failed("Failed to create VLAN interface: " + r.error().message));
    (void)modify_connection(ctx, vlan, "ipv4.method", "disabled");
    (void)modify_connection(ctx, vlan, "ipv6.method", "ignore");

    // NetworkManager brings the VLAN device up asynchronously; give it about 3 s, then go on.
    for (int probe = 0; probe < kDeviceProbes; ++probe) {
        if (device_exists(ctx, iface)) break;
        ctx.pause(milliseconds(300));
    }

    ctx.out << "[+] Creating VLAN bridge " << bridge << "\n";
    if (auto r = add_connection(ctx, "bridge", bridge, bridge); !r) {
        (void)delete_connection(ctx, vlan);
        return unexpected(VlanError::command_failed("Failed to create VLAN " + n + " bridge: " + r.error().message));
    }
    (void)modify_connection(ctx, bridge, "ipv4.method", "disabled");
    (void)modify_connection(ctx, bridge, "ipv6.method", "ignore");

    Status attached = modify_connection(ctx, vlan, "master", bridge);
    if (attached) attached = modify_connection(ctx, vlan, "slave-type", "bridge");
    if (!attached) {
        (void)delete_connection(ctx, vlan);
        (void)delete_connection(ctx, bridge);
        return unexpected(
            VlanError::command_failed("Failed to attach VLAN " + n + " to bridge: " + attached.error().message));
    }

    // Re-activating the parent bridge can change its MAC; put the old one back afterwards.
    auto mac = get_mac_address(ctx, *parent);
    if (mac) ctx.out << "[+] Preserving " << *parent << " MAC address for stability\n";

    // A vswitch named by its device is brought up by its profile, which is often named otherwise.
    (void)up_connection(ctx, vswitch == *parent ? profile_for_device(ctx, vswitch) : vswitch);
    (void)up_connection(ctx, vlan);
    (void)up_connection(ctx, bridge);

    ctx.out << "[+] Allowing NetworkManager to process bridge state changes...\n";
    ctx.pause(milliseconds(500));
    if (mac) set_mac_address(ctx, *parent, *mac);
    ctx.out << "[+] Allowing NetworkManager to stabilize...\n";
    ctx.pause(milliseconds(1000));
    put_joins_back_on_bridge(ctx, *parent);

    track_managed_resource(ctx, "vlan_bridge", bridge);

    ctx.out << "[+] Activating VLAN interface...\n";
    if (auto r = up_connection(ctx, vlan); r) {
        ctx.out << "[+] Activated VLAN interface '" << iface << "'\n";
    } else {
        ctx.out << "[!] Warning: Could not activate VLAN interface '" << iface << "': " << r.error().message << "\n";
        ctx.out << "[+] Retrying VLAN activation after additional delay...\n";
        ctx.pause(milliseconds(1000));
        if (auto again = up_connection(ctx, vlan); again)
            ctx.out << "[+] VLAN interface '" << iface << "' activated on retry\n";
        else
            ctx.out << "[!] Warning: VLAN interface activation failed after retry: " << again.error().message << "\n";
    }

    ctx.out << "[+] VLAN " << n << " created successfully\n";
    return {};
}

VlanStatus delete_vlan(const Context& ctx, std::uint16_t vlan_id, bool force) {
    const std::string n = std::to_string(vlan_id);
    const std::string vlan = profile_name(vlan_id);

    ctx.out << "[+] Deleting VLAN " << n << "\n";
    auto listing = get_all_connection_records(ctx);
    if (!listing) return unexpected(VlanError::not_found(vlan_id));
    bool found = false;
    for (const auto& fields : *listing) {
        auto entry = vlan_line(fields);
        if (entry && entry->name == vlan) {
            found = true;
            break;
        }
    }
    if (!found) return unexpected(VlanError::not_found(vlan_id));
    const std::string bridge = bridge_name(vlan_id);

    std::vector<std::string> dependencies;
    for (const auto& vm : vms_using_bridge(ctx, bridge)) dependencies.push_back("VM: " + vm + " (direct bridge)");
    if (!dependencies.empty()) {
        if (!force) return unexpected(VlanError::in_use(vlan_id, std::move(dependencies)));
        ctx.out << "[!] Force deleting VLAN " << n << " (ignoring " << dependencies.size() << " dependencies)\n";
    }

    const std::string network = network_name(vlan_id);
    if (libvirt_network_exists(ctx, network)) {
        if (auto r = delete_libvirt_network(ctx, network); r) {
            ctx.out << "[+] Deleted libvirt network '" << network << "'\n";
        } else if (force) {
            ctx.out << "[!] Force deleting libvirt network\n";
            (void)force_delete_libvirt_network(ctx, network);
        } else {
            return unexpected(VlanError::command_failed("Cannot delete libvirt network: " + r.error().display()));
        }
    }

    if (auto r = delete_connection(ctx, vlan); !r)
        return unexpected(VlanError::command_failed("Failed to delete VLAN " + n + " connection: " + r.error().message));
    if (auto r = delete_connection(ctx, bridge); !r)
        return unexpected(VlanError::command_failed("Failed to delete VLAN " + n + " bridge: " + r.error().message));
    untrack_managed_resource(ctx, "vlan_bridge", bridge);

    ctx.out << "[+] VLAN " << n << " deleted successfully\n";
    return {};
}

}  // namespace qm
