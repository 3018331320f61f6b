// Giving a virtual switch its uplink: one interface, an existing bond profile, or an
// active-backup bond built from several interfaces, replacing whatever uplink it had.
#include <chrono>
#include <string>
#include <vector>

#include "cmds/bond/bond_building.hpp"
#include "cmds/bridge/mac_preservation.hpp"
#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/veth.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "cmds/vm/sync_vm_interfaces.hpp"
#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/nmcli_tools/log.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/state_file.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

using std::chrono::milliseconds;

bool contains(const std::vector<std::string>& list, const std::string& name) {
    for (const auto& item : list)
        if (item == name) return true;
    return false;
}

// Listing and masters captured; a master that cannot be asked ends the search.
const PortSearch kCapturedPorts{.fields = "NAME,TYPE",
                                .listing_mode = kCaptured,
                                .master_mode = kCaptured,
                                .stop_on_master_failure = true};

bool is_bond_profile(const Context& ctx, const std::string& name) {
    auto type = read_profile_setting_text(ctx, name, "connection.type", {.mode = kCaptured});
    return type && *type == "bond";
}

// The bond profile that is the bridge's current uplink: the first bond profile, in listing
// order, whose master is the bridge.
std::optional<std::string> find_current_bond(const Context& ctx, const std::string& device) {
    auto bridge = controller_identities(ctx, {device}, kCapturedPorts);
    if (!bridge) return std::nullopt;
    std::optional<std::string> bond;
    auto is_bond = [](const TerseRecord& f) { return f.size() >= 2 && f[1] == "bond"; };
    auto searched = visit_profile_masters(ctx, kCapturedPorts, is_bond, [&](const TerseRecord& f, const auto& master) {
        if (master && bridge->count(*master)) bond = f[0];
        return !bond;
    });
    if (!searched) return std::nullopt;
    return bond;
}

// Enslaves an existing bond profile to the bridge as its uplink.
void use_existing_bond(const Context& ctx, const std::string& bond, const std::string& device,
                       const std::string& uplink_profile) {
    ctx.out << "[+] Configuring existing bond '" << bond << "' as bridge uplink\n";
    if (uplink_profile != bond && connection_exists(ctx, uplink_profile, kCaptured))
        (void)delete_connection(ctx, uplink_profile);
    (void)up_connection(ctx, profile_for_device(ctx, device));
    ctx.out << "[+] Allowing NetworkManager to process bridge state changes...\n";
    ctx.pause(milliseconds(500));
    // The activation released the bridge's joins' ends.
    put_joins_back_on_bridge(ctx, device);
    auto r = ctx.run(connection_modify_argv(bond, {"master", device, "slave-type", "bridge"}),
                     RunMode::ChangeWithStderr);
    if (!r) {
        ctx.err << "[-] Failed to execute nmcli modify: " << r.error().message() << "\n";
    } else if (!r->success()) {
        ctx.err << "[-] Failed to configure bond '" << bond << "' as bridge uplink\n";
        ctx.err << "[-] Error: " << decode_utf8_lossy(r->err) << "\n";
    } else {
        ctx.out << "[+] Successfully configured bond '" << bond << "' as bridge uplink\n";
        ctx.out << "[+] Allowing NetworkManager to process bond modification...\n";
        ctx.pause(milliseconds(300));
        (void)up_connection(ctx, bond);
    }
}

// Deletes a bond uplink with its member profiles and drops it from the ledger.
Status clean_up_bond(const Context& ctx, const std::string& bond) {
    ctx.out << "[+] Cleaning up bond '" << bond << "' and its slaves...\n";
    auto ifname = read_profile_setting_text(ctx, bond, "connection.interface-name", {.mode = kCaptured});
    if (!ifname) return fail(ifname.error().message());
    const std::string bond_device = *ifname;
    ctx.out << "[+] Bond device name: " << bond_device << "\n";

    auto removed = remove_bond(
        ctx, {.profile = bond,
              .controllers = {bond_device},
              .search = kCapturedPorts,
              // Without a device name every profile lacking a master would look like a member.
              .accept = [&](const TerseRecord& f) { return !bond_device.empty() && f.size() >= 2; },
              .delete_mode = RunMode::Change,
              .ledger_name = bond,
              .on_found = [&](std::size_t n) { ctx.out << "[+] Found " << n << " slave connections to clean up\n"; },
              .on_member = [&](const std::string& s) { ctx.out << "  - Deleting slave connection: " << s << "\n"; },
              .on_bond = [&] { ctx.out << "  - Deleting bond connection: " << bond << "\n"; }});
    if (!removed) return fail(removed.error().message());
    return {};
}

// Writes the empty marker that tells the baseline the management uplink was changed.
Status write_control_file(const Context& ctx) {
    create_directories_quietly(ctx.path(kStateDir));
    StateLock lock(ctx);
    return write_state_file(ctx.path(kControlFilePath), "");
}

void record_management_uplink(const Context& ctx, const std::vector<std::string>& list) {
    auto physical = physical_interfaces_pci_order(ctx);
    if (list.size() == 1 && !physical.empty() && list[0] == physical.front()) {
        log_info(ctx, "vswitch0 change: returning to baseline uplink " + list[0] + " (keeping control file)");
        return;
    }
    if (auto written = write_control_file(ctx); !written) {
        ctx.out << "[!] Warning: Failed to create control file: " << written.error().message << "\n";
    } else {
        log_info(ctx, "Control file created: quillmar is managing network configuration");
        ctx.out << "[+] Control file created: quillmar is managing network configuration\n";
    }
    log_info(ctx, "vswitch0 change: uplink changed to " + list_notation(list));
}

// Removes what is left of the old uplink: the uplink profile itself, every other profile
// enslaved to the bridge, and bond devices whose profiles are enslaved to it. False when the
// profile listing cannot be had, after printing why: the command then has to stop.
bool remove_old_uplink(const Context& ctx, const std::string& device, const std::string& uplink_profile,
                       const std::vector<std::string>& list) {
    if (connection_exists(ctx, uplink_profile, kCaptured)) (void)delete_connection(ctx, uplink_profile);

    const PortSearch search{.fields = "NAME,DEVICE", .listing_mode = kCaptured, .master_mode = RunMode::Query};
    // A port may name the bridge by its device, its profile's name or its profile's UUID.
    auto bridge = controller_identities(ctx, {device}, search);
    if (!bridge) {
        ctx.err << "Failed to list connections: " << bridge.error().message() << "\n";
        return false;
    }
    auto names_bridge = [&](const std::optional<std::string>& master) { return master && bridge->count(*master) > 0; };
    // Member profiles are named after their interface; the new uplink reuses them.
    auto not_listed = [&](const TerseRecord& f) { return f.size() == 2 && !contains(list, f[0]); };
    auto removed = visit_profile_masters(
        ctx, search, not_listed,
        [&](const TerseRecord& f, const auto& master) {
            const std::string& profile = f[0];
            const std::string& profile_device = f[1];
            if (names_bridge(master)) (void)delete_connection(ctx, profile);
            if (profile_device.starts_with("bond") && !contains(list, profile_device) &&
                names_bridge(get_connection_master(ctx, profile)))
                (void)delete_connection(ctx, profile_device);
            return true;
        });
    if (!removed) {
        ctx.err << "Failed to list connections: " << removed.error().message() << "\n";
        return false;
    }
    return true;
}

// One interface enslaved to the bridge through the uplink profile; `bridge_profile` is what
// names the bridge's own profile.
void make_direct_uplink(const Context& ctx, const std::string& device, const std::string& bridge_profile,
                        const std::string& uplink_profile, const std::string& uplink) {
    ctx.out << "[+] Configuring '" << uplink << "' as direct bridge uplink\n";
    change_quietly(ctx, connection_add_argv({"type", "ethernet", "ifname", uplink, "con-name", uplink_profile, "master",
                                             device, "connection.autoconnect", "yes"}));
    (void)modify_connection(ctx, bridge_profile, "connection.autoconnect-slaves", "1");
}

// A new active-backup bond of the interfaces under the uplink profile, enslaved to the bridge.
// False when no bond name is free (the line is printed): no uplink was made.
bool make_bond_uplink(const Context& ctx, const std::string& device, const std::string& uplink_profile,
                      const std::vector<std::string>& list, const std::string& ipv4_method) {
    auto bond = find_available_bond_name(ctx);
    if (!bond) {
        ctx.err << "[-] Failed to find available bond name\n";
        return false;
    }
    ctx.out << "[+] Creating " << *bond << " with: " << join(list, ",") << "\n";
    build_active_backup_bond(ctx, {*bond, uplink_profile, ipv4_method, list});
    change_quietly(ctx, connection_modify_argv(uplink_profile,
                                               {"connection.master", device, "connection.slave-type", "bridge"}, "mod"));
    return true;
}

// Brings the new uplink up, keeps the bridge's MAC and puts the machines' taps back.
void finish_uplink(const Context& ctx, const std::string& device, const std::string& bridge_profile,
                   const std::string& uplink_profile, const std::vector<std::string>& list, KnownBridge& known) {
    (void)up_connection(ctx, bridge_profile);
    (void)up_connection(ctx, uplink_profile);
    // The activation released the bridge's joins' ends.
    put_joins_back_on_bridge(ctx, device);
    if (auto kept = preserve_bridge_network_identity(ctx, device, join(list, ","), known); !kept) {
        ctx.out << "[!] Warning: Enhanced MAC preservation failed, falling back to legacy method: "
                << kept.error().message << "\n";
        ensure_mac_persistence(ctx, device, known);
    }
    sync_vm_interfaces(ctx);
}

// The last of every uplink change: the master mark when asked for, and the management bridge's
// uplinks as they are now.
UplinkOutcome record_bridge_role(const Context& ctx, const std::string& name, const std::string& device, bool master,
                                 const std::vector<std::string>& list) {
    if (master) {
        ctx.out << "[+] Marking bridge '" << name << "' as master bridge\n";
        add_master_bridge(ctx, device);
    }
    if (device == "vswitch0" || name == "Management Network") record_management_uplink(ctx, list);
    return UplinkOutcome::Done;
}

// Replaces the bridge's uplink profiles with a direct or a bonded uplink and finishes the change.
Result<UplinkOutcome> apply_uplink(const Context& ctx, const std::string& name, const std::string& device,
                                   const std::string& uplink_profile, const std::vector<std::string>& list,
                                   bool master, KnownBridge& known) {
    const std::string method = get_bridge_ipv4_method(ctx, device);
    if (!remove_old_uplink(ctx, device, uplink_profile, list)) return UplinkOutcome::Stopped;

    const bool direct = list.size() == 1;
    if (direct || make_bond_uplink(ctx, device, uplink_profile, list, method)) {
        known.profile = profile_for_device(ctx, device);
        const std::string bridge_profile = *known.profile;
        if (direct) make_direct_uplink(ctx, device, bridge_profile, uplink_profile, list.front());
        finish_uplink(ctx, device, bridge_profile, uplink_profile, list, known);
    }
    return record_bridge_role(ctx, name, device, master, list);
}

// Leaves the bridge without an uplink: a bond uplink goes with its members, then the uplink
// profile and every other port.
Result<UplinkOutcome> remove_uplink(const Context& ctx, const std::string& name, const std::string& device,
                                    const std::string& uplink_profile, bool master) {
    if (auto current_bond = find_current_bond(ctx, device)) {
        ctx.out << "[+] Found existing bond uplink: " << *current_bond << "\n";
        if (auto cleaned = clean_up_bond(ctx, *current_bond); !cleaned) return unexpected(cleaned.error());
    }
    ctx.out << "[+] Removing the uplink of '" << device << "': no uplink\n";
    if (!remove_old_uplink(ctx, device, uplink_profile, {})) return UplinkOutcome::Stopped;
    return record_bridge_role(ctx, name, device, master, {});
}

}  // namespace

std::string get_bridge_ipv4_method(const Context& ctx, const std::string& device) {
    // Output that is not UTF-8, like a listing or a query that cannot be run, tells nothing.
    auto listing = list_profiles(ctx, "NAME,TYPE,DEVICE", kCaptured, ListingText::ValidOrNone);
    for (const auto& f : listing ? *listing : std::vector<TerseRecord>()) {
        if (f.size() < 3 || f[1] != "bridge" || f[2] != device) continue;
        auto method = read_profile_setting(ctx, f[0], "ipv4.method", {.mode = kCaptured, .valid_utf8_only = true});
        if (method && *method) {
            ctx.out << "[+] Preserving existing IPv4 method for " << device << ": " << **method << "\n";
            return **method;
        }
    }
    return device == "vswitch0" ? "auto" : "disabled";
}

Result<UplinkOutcome> change_bridge_uplink(const Context& ctx, const std::string& name, const std::string& uplinks,
                                           bool master) {
    KnownBridge known;
    return change_bridge_uplink(ctx, name, uplinks, master, known);
}

Result<UplinkOutcome> change_bridge_uplink(const Context& ctx, const std::string& name, const std::string& uplinks,
                                           bool master, KnownBridge& known) {
    auto resolved = resolve_bridge_device(ctx, name);
    if (!resolved) {
        ctx.err << "[-] Bridge '" << name << "' not found\n";
        return UplinkOutcome::Done;
    }
    const std::string device = *resolved;
    if (!accept_device_name(ctx, device)) return UplinkOutcome::Done;
    ctx.out << "[+] Found bridge device: '" << device << "'\n";

    if (load_original_mac(ctx, device))
        ctx.out << "[+] Using original " << device << " MAC address for stability\n";
    else
        ctx.out << "[!] Warning: No original MAC address found for " << device << ", using current MAC\n";

    const std::string uplink_profile =
        (name == "Management Network" || device == "vswitch0") ? "Management Uplink" : name + " Uplink";
    if (is_no_uplink(uplinks)) return remove_uplink(ctx, name, device, uplink_profile, master);
    const std::vector<std::string> list = split_list(uplinks, ',');
    if (list.empty()) {
        ctx.err << "[-] No uplink interfaces specified.\n";
        return UplinkOutcome::Done;
    }
    if (list.size() > 1) return apply_uplink(ctx, name, device, uplink_profile, list, master, known);

    const std::string& uplink = list.front();
    const bool uplink_is_bond = is_bond_profile(ctx, uplink);
    auto current_bond = find_current_bond(ctx, device);
    if (current_bond) ctx.out << "[+] Found existing bond uplink: " << *current_bond << "\n";
    if (uplink_is_bond) {
        use_existing_bond(ctx, uplink, device, uplink_profile);
        return UplinkOutcome::Done;
    }
    if (current_bond) {
        ctx.out << "[+] Changing from bond '" << *current_bond << "' to single interface '" << uplink << "'\n";
        if (auto cleaned = clean_up_bond(ctx, *current_bond); !cleaned) return unexpected(cleaned.error());
        (void)delete_connection(ctx, uplink_profile);
    }
    return apply_uplink(ctx, name, device, uplink_profile, list, master, known);
}

Status configure_bridge_uplink(const Context& ctx, const std::string& name, const std::string& uplink, bool master) {
    auto outcome = change_bridge_uplink(ctx, name, uplink, master);
    if (!outcome) return unexpected(outcome.error());
    return {};
}

}  // namespace qm
