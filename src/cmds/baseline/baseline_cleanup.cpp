// Clearing the ground before the baseline is laid down: the boot-time removal of stale
// profiles, and the forced reset that removes everything this program made.
//
// The deletions here run as plain change runs whose outcome is not looked at: a profile or
// device that is already gone, or a tool that cannot be started, must not stop the rest.
#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cmds/baseline/baseline.hpp"
#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/log.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/state_file.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

bool is_baseline_name(std::string_view name) {
    for (auto baseline : kBaselineConnectionNames)
        if (name == baseline) return true;
    return false;
}

bool contains_any(std::string_view text, std::initializer_list<std::string_view> parts) {
    for (auto part : parts)
        if (contains_text(text, part)) return true;
    return false;
}

bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
    for (auto prefix : prefixes)
        if (text.starts_with(prefix)) return true;
    return false;
}

// "bond" followed by at most two bytes: bond0 .. bond99 and the like.
bool is_short_bond_name(std::string_view name) { return name.starts_with("bond") && name.size() <= 6; }

// An interface-named profile that carries one of the baseline roles ("enp3s0 Management").
bool is_interface_role_name(std::string_view name) {
    return starts_with_any(name, {"em", "enp", "ens"}) &&
           contains_any(name, {"Uplink", "Management", "Control", "Hypervisor"});
}

bool is_vswitch_uplink_name(std::string_view name) {
    return name.starts_with("vswitch") && contains_text(name, "Uplink");
}

// --- comprehensive cleanup ---

struct ProfileRow {
    std::string name, uuid, type, device, slave;
};

bool names_our_controller(std::string_view text) {
    return text.starts_with("vswitch") ||
           contains_any(text, {"Management Network", "Hypervisor Network", "Internal Control Network"});
}

// Held by one of our bridges: the controller is a vswitch or a baseline network. The listing's
// SLAVE column shows only the port type ("bridge", "bond"), so a port's controller is read from
// its profile; NetworkManager keeps it as a device name or as the controller profile's UUID,
// and a listed UUID stands for that profile's name and device.
bool controller_hit(const Context& ctx, const ProfileRow& r, const std::vector<ProfileRow>& rows) {
    if (r.slave.empty() || r.slave == "--") return false;
    const auto master = get_connection_master(ctx, r.uuid);
    if (!master) return false;
    if (names_our_controller(*master)) return true;
    for (const auto& other : rows)
        if (other.uuid == *master && (names_our_controller(other.name) || names_our_controller(other.device)))
            return true;
    return false;
}

// The controller is asked last, so only a row that no name or device selects costs a query.
bool looks_like_ours(const Context& ctx, const ProfileRow& r, const std::vector<ProfileRow>& rows) {
    const std::string lower_name = to_lower_ascii(r.name);
    if (r.type == "bridge")
        return starts_with_any(r.device, {"vswitch", "vlan"}) ||
               contains_any(r.name, {"Management Network", "Hypervisor Network", "Internal Control Network"}) ||
               contains_text(lower_name, "vlan") || is_vswitch_uplink_name(r.name);
    if (r.type == "bond")
        return is_short_bond_name(r.name) || is_short_bond_name(r.device) || controller_hit(ctx, r, rows);
    if (r.type == "vlan")
        return starts_with_any(r.device, {"vswitch", "vlan"}) || contains_text(lower_name, "vlan") ||
               controller_hit(ctx, r, rows);
    if (r.type == "ethernet" || r.type == "802-3-ethernet")
        return contains_any(r.name, {"Management Uplink", "Hypervisor Network", "Internal Control Network"}) ||
               is_vswitch_uplink_name(r.name) ||
               (r.name.ends_with("Uplink") && r.name.starts_with("Management")) ||
               is_interface_role_name(r.name) || controller_hit(ctx, r, rows);
    return false;
}

// The text from the first occurrence of `word` up to the next of the `ends` (or the end of
// the line).
std::string name_from(const std::string& line, std::string_view word, const char* ends) {
    const std::size_t start = line.find(word);
    const std::size_t end = line.find_first_of(ends, start + word.size());
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// --- stale cleanup ---

struct StaleRow {
    std::string name, uuid, type, device, active;
    bool inactive() const { return (device.empty() || device == "--") && active == "no"; }
};

// An inactive profile named the way this program names what it creates.
bool has_our_naming(std::string_view name) {
    return is_vswitch_uplink_name(name) || is_short_bond_name(name) ||
           (name.starts_with("vlan") && contains_text(name, "br")) ||
           (name.ends_with("Uplink") && starts_with_any(name, {"Management", "test"})) ||
           is_interface_role_name(name);
}

void delete_uuid(const Context& ctx, const std::string& uuid) {
    change_quietly(ctx, connection_delete_uuid_argv(uuid));
}

}  // namespace

Status comprehensive_cleanup(const Context& ctx) {
    ctx.out << "[+] Performing comprehensive cleanup of quillmar resources...\n";
    auto listing = list_profiles(ctx, "NAME,UUID,TYPE,DEVICE,SLAVE");
    if (!listing) return fail(listing.error().message());
    std::vector<ProfileRow> rows;
    for (const auto& f : *listing) {
        if (f.size() < 5) continue;
        rows.push_back({f[0], f[1], f[2], f[3], f[4]});
    }
    std::vector<std::string> doomed;
    for (const auto& row : rows)
        if (looks_like_ours(ctx, row, rows)) doomed.push_back(row.name);
    for (const auto& name : doomed) {
        ctx.out << "  - Deleting quillmar connection: " << name << "\n";
        change_quietly(ctx, connection_delete_argv(name));
    }

    ctx.out << "[+] Cleaning up orphaned veth pairs...\n";
    auto links = query_lines(ctx, {"ip", "link", "show"}, RunMode::Query);
    if (!links) return fail(links.error().message());
    for (const auto& line : *links) {
        if (!contains_text(line, "veth")) continue;
        // `ip link show` names a veth with its peer, "veth0@veth1:"; the device is "veth0".
        const std::string veth = name_from(line, "veth", ":@");
        if (veth.size() > 6) continue;  // "veth" and at most two more bytes
        ctx.out << "  - Deleting veth pair: " << veth << "\n";
        change_quietly(ctx, {"ip", "link", "delete", veth});
    }

    ctx.out << "[+] Cleaning up orphaned bridge devices...\n";
    // Bridges only: plain `ip link show` never names a device's kind, so none of its lines says
    // "bridge". NetworkManager removes the bridges it made along with their profiles; one made
    // by `ip link add` (as vswitch0 is when it is missing) or left by a run that died stays.
    links = query_lines(ctx, {"ip", "link", "show", "type", "bridge"}, RunMode::Query);
    if (!links) return fail(links.error().message());
    for (const auto& line : *links) {
        if (!contains_text(line, "vswitch")) continue;
        const std::string bridge = name_from(line, "vswitch", ":");
        ctx.out << "  - Deleting bridge device: " << bridge << "\n";
        change_quietly(ctx, {"ip", "link", "delete", bridge});
    }
    return {};
}

Status cleanup_stale_baseline_connections(const Context& ctx) {
    ctx.out << "[+] Cleaning up stale baseline connections...\n";
    auto listing = list_profiles(ctx, "NAME,UUID,TYPE,DEVICE,ACTIVE");
    if (!listing) return fail(listing.error().message());

    // The profile kept so far for each baseline name.
    std::map<std::string, std::string> kept;
    for (const auto& f : *listing) {
        if (f.size() < 5) continue;
        const StaleRow row{f[0], f[1], f[2], f[3], f[4]};

        if (is_baseline_name(row.name)) {
            const bool uplink_bond = row.name == "Management Uplink" && row.type == "bond";
            if (auto it = kept.find(row.name); it != kept.end()) {
                // A second profile of this name: the inactive one goes, or else the earlier one.
                const std::string& doomed = row.inactive() ? row.uuid : it->second;
                ctx.out << "  - Deleting stale duplicate baseline connection: " << row.name << " (UUID: " << doomed
                        << ")\n";
                delete_uuid(ctx, doomed);
                if (!row.inactive()) it->second = row.uuid;
                continue;
            }
            kept[row.name] = row.uuid;
            if (row.inactive() && !uplink_bond) {
                ctx.out << "  - Deleting stale baseline connection: " << row.name << " (UUID: " << row.uuid << ")\n";
                delete_uuid(ctx, row.uuid);
                kept.erase(row.name);
            } else if (uplink_bond) {
                // The management uplink was changed to a bond; that choice stays.
                ctx.out << "  - Preserving Management Uplink bond connection (UUID: " << row.uuid << ")\n";
            }
            continue;
        }
        if (row.inactive() && has_our_naming(row.name)) {
            ctx.out << "  - Deleting stale quillmar connection: " << row.name << " (UUID: " << row.uuid << ")\n";
            delete_uuid(ctx, row.uuid);
        }
    }
    return {};
}

Status reset_managed_resources(const Context& ctx) {
    const auto control = ctx.path(kControlFilePath);
    if (exists_following_links(control)) {
        if (auto removed = remove_file(control); !removed) return fail(removed.error().message());
        log_info(ctx, "Control file removed: returning to baseline state");
        ctx.out << "[+] Control file removed: returning to baseline state\n";
    }
    ctx.out << "[+] Resetting all managed resources to baseline\n";

    const auto ledger_path = ctx.path(kManagedResourcesPath);
    auto text = read_state_file(ledger_path);
    if (text.state != StateFileState::Loaded || !is_valid_utf8(text.value)) {
        ctx.out << "[!] No managed resources file found, performing comprehensive cleanup\n";
        return comprehensive_cleanup(ctx);
    }
    auto parsed = parse_managed_resources(text.value);
    const ManagedResources ledger = parsed ? *parsed : ManagedResources{};

    if (auto s = comprehensive_cleanup(ctx); !s) return s;

    ctx.out << "[+] Cleaning up tracked resources...\n";
    for (const auto* list : {&ledger.vswitches, &ledger.vlan_bridges, &ledger.bonds})
        for (const auto& name : *list) change_quietly(ctx, connection_down_argv(name));
    for (const auto& veth : ledger.veth_pairs) change_quietly(ctx, {"ip", "link", "delete", veth});
    for (const auto* list : {&ledger.vswitches, &ledger.vlan_bridges, &ledger.bonds})
        for (const auto& name : *list) change_quietly(ctx, connection_delete_argv(name));

    if (parsed) {
        (void)remove_file(ledger_path);
    } else {
        // Nothing in it could be deleted: keep its entries under another name rather than lose them.
        (void)set_aside_damaged(ctx, ledger_path);
    }
    ctx.out << "[+] All managed resources reset\n";
    return {};
}

}  // namespace qm
