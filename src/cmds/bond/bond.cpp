#include "cmds/bond/bond.hpp"
#include "cmds/bridge/bridge_removal.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cmds/config/maintenance.hpp"
#include "utils/colours.hpp"
#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nm_resolver.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {

namespace {

constexpr std::string_view kDefaultMode = "active-backup";
constexpr std::uint32_t kBondPriority = 100;
constexpr std::uint32_t kMemberPriority = 200;

std::vector<std::string> member_add(const std::string& member, const std::string& bond) {
    return connection_add_argv(
        {"type", "ethernet", "con-name", member, "ifname", member, "master", bond, "slave-type", "bond"}, "con");
}

// A tool that cannot be started where the command cannot go on without it: the message with
// the system's reason, and the command ends.
void print_stop(const Context& ctx, std::string_view message, const OsError& why) {
    ctx.err << message << ": " << why.message() << "\n";
}

// Whether the profile is a bond's (and not a bridge's, an ethernet port's, ...).
bool is_bond_profile(const Context& ctx, const std::string& profile) {
    auto type = read_profile_setting_text(ctx, profile, "connection.type");
    return type && *type == "bond";
}

// The bond a user's name addresses: its profile and UUID. The user may give the bond's device
// while its profile is named otherwise; another device's profile (a bridge's) is never taken for
// the bond's, so the name is kept then. The UUID is empty when no profile has the name or the
// profile is not a bond: the commands then find no bond and change nothing.
struct BondRef {
    std::string profile;
    std::string uuid;
};
Expected<BondRef, OsError> find_bond(const Context& ctx, const std::string& name) {
    BondRef bond{profile_for_device(ctx, name), {}};
    const bool by_device = bond.profile != name && is_bond_profile(ctx, bond.profile);
    if (!by_device) bond.profile = name;
    auto uuid = read_profile_setting_text(ctx, bond.profile, "connection.uuid");
    if (!uuid) return unexpected(uuid.error());
    bond.uuid = std::move(*uuid);
    if (!bond.uuid.empty() && !by_device && !is_bond_profile(ctx, bond.profile)) bond.uuid.clear();
    return bond;
}

// The members of a bond: ethernet profiles whose master is the bond, by its UUID or its name.
bool is_ethernet(const TerseRecord& f) { return f.size() == 2 && (f[1] == "802-3-ethernet" || f[1] == "ethernet"); }

// The member profiles of the bond, in listing order.
Expected<std::vector<std::string>, OsError> bond_member_profiles(const Context& ctx, const std::string& bond,
                                                                 const std::string& uuid) {
    return ports_of(ctx, {}, {uuid, bond}, is_ethernet);
}

// The mode of a bond's options text ("mode=802.3ad,miimon=100"); active-backup when none is set.
std::string mode_of(const Expected<std::string, OsError>& options) {
    if (!options) return std::string(kDefaultMode);
    std::string text = trim(*options);
    if (text.empty() || text == "--") return std::string(kDefaultMode);
    for (const auto& line : split_lines(text)) {
        if (!line.starts_with("mode=")) continue;
        std::string_view mode(line);
        mode.remove_prefix(5);
        return std::string(mode.substr(0, mode.find(',')));
    }
    return std::string(kDefaultMode);
}

}  // namespace

std::optional<std::string> member_profile_name(std::string_view member_text) {
    auto open = member_text.find(" (");
    if (open == std::string_view::npos) return std::nullopt;
    std::string_view piece = member_text.substr(open + 2);
    piece = piece.substr(0, piece.find(" ("));
    if (piece.empty() || piece.back() != ')') return std::nullopt;
    piece.remove_suffix(1);
    return std::string(piece);
}

void list_bonds(const Context& ctx) {
    ctx.out << "=== Bond Interfaces ===\n";
    auto resolver = NmResolver::create(ctx);
    if (!resolver) {
        ctx.err << "Error initializing NetworkManager resolver: " << resolver.error().message << "\n";
        return;
    }
    auto bonds = resolver->bonds_with_members();
    if (bonds.empty()) {
        ctx.out << "No bond interfaces found.\n";
        return;
    }
    for (const auto& [bond, members] : bonds) {
        std::string mode = mode_of(read_profile_setting_text(ctx, bond, "bond.options"));
        auto record = resolver->by_name.find(bond);
        std::string device = record == resolver->by_name.end() ? std::string() : record->second.device;
        auto state_out = read_profile_setting_text(ctx, bond, "GENERAL.STATE");
        std::string state = state_out ? *state_out : "unknown";
        const std::string_view colour = state.find("activated") != std::string::npos ? kGreen : kRed;
        ctx.out << colour << pad_right(bond, 25) << ' ' << pad_right(device, 12) << ' ' << pad_right("bond", 8) << ' '
                << state << " [mode: " << mode << "]" << kReset << "\n";
        if (members.empty()) ctx.out << "  └─ (no members)\n";
        for (const auto& member : members) ctx.out << "  └─ " << member << "\n";
    }
}

void create_bond(const Context& ctx, const std::optional<std::string>& name, const std::string& members_text,
                 const std::string& mode) {
    const std::vector<std::string> members = split_list(members_text, ',');
    // Every member is checked before anything is created, so a refusal leaves the host as it was.
    for (const auto& member : members) {
        if (auto master = find_enslaved_profile(ctx, member)) {
            ctx.err << "Error: Cannot add interface '" << member << "' to bond. Already member of '"
                    << master_display_name(ctx, *master) << "'. Aborting.\n";
            return;
        }
    }
    std::string bond;
    if (name) {
        bond = *name;
    } else if (auto free_name = find_available_bond_name(ctx)) {
        bond = *free_name;
    } else {
        ctx.err << "Failed to find available bond name\n";
        return;
    }

    ctx.out << "Creating bond '" << bond << "' with members '" << members_text << "'\n";
    auto added = ctx.run(connection_add_argv({"type", "bond", "con-name", bond, "ifname", bond, "mode", mode,
                                              "bond.options", "mode=" + mode + ",miimon=100",
                                              "connection.autoconnect-slaves", "1", "ipv4.method", "disabled",
                                              "ipv6.method", "ignore"},
                                             "con"),
                         RunMode::Change);
    if (!added) return print_stop(ctx, "Failed to execute nmcli bond creation", added.error());
    if (!added->success()) {
        ctx.err << "Failed to create bond '" << bond << "'\n";
        return;
    }

    for (const auto& member : members) {
        ctx.out << "Adding '" << member << "' as member to '" << bond << "'\n";
        auto r = ctx.run(member_add(member, bond), RunMode::Change);
        if (!r) return print_stop(ctx, "Failed to execute nmcli member creation", r.error());
        if (!r->success()) ctx.err << "Failed to add '" << member << "' as a member to '" << bond << "'.\n";
    }

    ctx.out << "[+] Activating bond '" << bond << "'\n";
    auto up = ctx.run(connection_up_argv(bond), RunMode::Change);
    if (!up) return print_stop(ctx, "Failed to execute nmcli bond activation", up.error());
    if (!up->success()) {
        ctx.err << "Failed to activate bond '" << bond << "'\n";
        return;
    }
    for (const auto& member : members) {
        ctx.out << "[+] Activating member interface '" << member << "'\n";
        auto r = ctx.run(connection_up_argv(member), RunMode::Change);
        if (!r) return print_stop(ctx, "Failed to execute nmcli member activation", r.error());
        if (!r->success()) ctx.err << "Warning: Failed to activate member interface '" << member << "'\n";
    }

    track_managed_resource(ctx, "bond", bond);
    ctx.out << "[+] Bond '" << bond << "' created and activated successfully\n";
}

Status change_bond(const Context& ctx, const std::string& name, const std::optional<std::string>& members_text,
                   const std::optional<std::string>& mode) {
    auto bond = find_bond(ctx, name);
    if (!bond) return fail("Failed to check if bond '" + name + "' exists");
    const std::string& profile = bond->profile;
    const std::string& uuid = bond->uuid;
    if (uuid.empty()) return fail("Bond '" + name + "' not found");
    if (!members_text && !mode) return fail("Must specify either --members or --mode (or both)");

    ctx.out << "[+] Changing bond '" << name << "'...\n";
    if (mode) {
        ctx.out << "[+] Changing bond mode to '" << *mode << "'\n";
        auto r = change_showing_stderr(ctx, connection_modify_argv(profile, {"bond.options", "mode=" + *mode}));
        if (!r) return fail("Failed to execute nmcli bond modify");
        if (!r->success()) return fail("Failed to change bond mode to '" + *mode + "'");
    }

    if (members_text) {
        ctx.out << "[+] Changing bond members to '" << *members_text << "'\n";
        const std::vector<std::string> members = split_list(*members_text, ',');
        // A member already in this bond may name it by its device, its name or its UUID.
        const auto own = controller_identities(ctx, {profile, uuid, name})
                             .value_or(std::set<std::string>{profile, uuid, name});
        for (const auto& member : members) {
            auto master = find_enslaved_profile(ctx, member);
            if (master && !own.count(*master))
                return fail("Cannot add interface '" + member + "' to bond. Already member of '" +
                            master_display_name(ctx, *master) + "'");
        }

        ctx.out << "[+] Removing current members...\n";
        auto current = bond_member_profiles(ctx, name, uuid);
        if (!current) return fail("Failed to list NetworkManager connections");
        for (const auto& old : *current) {
            ctx.out << "  - Removing member connection '" << old << "'\n";
            (void)change_showing_stderr(ctx, connection_delete_argv(old));
        }

        ctx.out << "[+] Adding new members...\n";
        for (const auto& member : members) {
            ctx.out << "  + Adding '" << member << "' as member to '" << name << "'\n";
            auto r = change_showing_stderr(ctx, member_add(member, name));
            if (!r) return fail("Failed to add member '" + member + "'");
            if (!r->success()) ctx.err << "Warning: Failed to add '" << member << "' as a member to '" << name << "'\n";
        }
    }

    ctx.out << "[+] Bringing up bond '" << name << "'...\n";
    (void)change_showing_stderr(ctx, connection_up_argv(profile));
    ctx.out << "[+] Bond '" << name << "' changed successfully\n";
    return {};
}

void delete_bond(const Context& ctx, const std::string& name) {
    ctx.out << "Deleting bond '" << name << "' and its members...\n";
    auto bond = find_bond(ctx, name);
    if (!bond) return print_stop(ctx, "Failed to get bond UUID", bond.error());
    const std::string& profile = bond->profile;
    const std::string& uuid = bond->uuid;
    if (uuid.empty()) {
        ctx.err << "Could not find UUID for bond '" << name << "'.\n";
        return;
    }

    auto removed = remove_bond(
        ctx, {.profile = profile,
              .controllers = {uuid, name},
              .search = {},
              .accept = is_ethernet,
              .delete_mode = RunMode::ChangeShowingStderr,
              .ledger_name = name,
              .on_found = {},
              .on_member = [&](const std::string& m) { ctx.out << "Deleting member connection '" << m << "'\n"; },
              .on_bond = {}});
    if (!removed) return print_stop(ctx, "Failed to list NetworkManager connections", removed.error());
    // Only what the removal left without a device; it prints its own lines.
    sweep_ports_left_behind(ctx, {uuid, name, profile});
    ctx.out << "Bond '" << name << "' deleted.\n";
}

void fix_boot_priorities(const Context& ctx) {
    ctx.out << "[+] Fixing autoconnect priorities for all bonds to prevent boot-time race conditions\n";
    auto resolver = NmResolver::create(ctx);
    if (!resolver) {
        ctx.err << "[-] Error initializing NetworkManager resolver: " << resolver.error().message << "\n";
        return;
    }
    ctx.out << "[+] Fixing autoconnect priorities for all bonds...\n";
    for (const auto& [bond, members] : resolver->bonds_with_members()) {
        ctx.out << "  - Processing bond: " << bond << " with " << members.size() << " members\n";
        if (auto set = set_autoconnect_priority(ctx, bond, kBondPriority); !set) {
            ctx.err << "    [-] Failed to set bond priority: " << set.error().message << "\n";
            continue;
        }
        for (const auto& member : members) {
            auto profile = member_profile_name(member);
            if (!profile) continue;
            if (auto set = set_autoconnect_priority(ctx, *profile, kMemberPriority); !set)
                ctx.err << "    [-] Failed to set member priority for " << *profile << ": " << set.error().message
                        << "\n";
            else
                ctx.out << "    [+] Set member " << *profile << " priority to " << kMemberPriority << "\n";
        }
        ctx.out << "    [+] Bond " << bond << " priorities configured\n";
    }
    ctx.out << "[+] Autoconnect priority fix completed\n";
}

}  // namespace qm
