#include "cmds/config/maintenance.hpp"

#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "cmds/bridge/bridge_removal.hpp"
#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/links.hpp"
#include "utils/text.hpp"

namespace qm {

namespace {

// The ledger as sync sees it, with the lines that tell how it was read: an unreadable or
// unparsable file stands for an empty ledger, which has nothing to drop, so such a file is
// never rewritten.
struct SyncLedger {
    ManagedResources value;
    std::string report;
};

SyncLedger read_ledger_for_sync(const Context& ctx) {
    auto file = read_state_file(ctx.path(kManagedResourcesPath));
    if (file.state != StateFileState::Loaded || !is_valid_utf8(file.value))
        return {new_managed_resources(ctx.clock.now()), "[+] No managed resources file found, creating new one\n"};
    std::string report = "[+] Reading managed resources file...\n";
    auto parsed = parse_managed_resources(file.value);
    if (!parsed) {
        report += "[!] Failed to parse managed resources file: " + parsed.error().message + "\n";
        report += "[+] Using default resources\n";
        return {new_managed_resources(ctx.clock.now()), std::move(report)};
    }
    report += "[+] Successfully parsed managed resources file\n";
    return {std::move(*parsed), std::move(report)};
}

// The entries `exists` denies, in order, each announced as dropped.
template <class Exists>
std::vector<std::string> stale_entries(const Context& ctx, const std::vector<std::string>& entries,
                                       std::string_view what, Exists exists) {
    std::vector<std::string> stale;
    for (const auto& entry : entries) {
        if (exists(entry)) continue;
        ctx.out << "  - Removing stale " << what << ": " << entry << "\n";
        stale.push_back(entry);
    }
    return stale;
}

}  // namespace

bool terse_list_contains(std::string_view listing, std::string_view name) {
    for (const auto& fields : terse_records(listing))
        if (fields.front() == name) return true;
    return false;
}

Status sync_config_files(const Context& ctx) {
    ctx.out << "[+] Syncing configuration files with current network state...\n";
    // Read before the host is asked: only an entry that was there before the listing and the
    // probes can be judged by them. One tracked later, its object made after the listing was
    // taken, would look stale.
    SyncLedger ledger = read_ledger_for_sync(ctx);
    auto listing = get_all_connections(ctx);
    if (!listing) return unexpected(listing.error());
    ctx.out << ledger.report;

    // The listing's names once, so each entry costs a look-up and not a pass over the listing.
    std::unordered_set<std::string> profiles;
    for (auto& fields : terse_records(*listing)) profiles.insert(std::move(fields.front()));
    auto is_profile = [&](const std::string& name) { return profiles.contains(name); };
    auto is_link = [&](const std::string& name) {
        return run_succeeded(ctx, {"ip", "link", "show", name}, RunMode::Change);
    };
    const ManagedResources& read = ledger.value;
    ManagedResources stale;
    ctx.out << "  - Checking " << read.vswitches.size() << " vswitches\n";
    stale.vswitches = stale_entries(ctx, read.vswitches, "vswitch", is_profile);
    ctx.out << "  - Checking " << read.vlan_bridges.size() << " VLAN bridges\n";
    stale.vlan_bridges = stale_entries(ctx, read.vlan_bridges, "VLAN bridge", is_profile);
    stale.bonds = stale_entries(ctx, read.bonds, "bond", is_profile);
    ctx.out << "  - Checking " << read.veth_pairs.size() << " veth pairs\n";
    stale.veth_pairs = stale_entries(ctx, read.veth_pairs, "veth pair", is_link);

    if (has_no_entries(stale)) {
        ctx.out << "[+] Configuration files are already in sync\n";
        return {};
    }
    {
        // Only now, with the host asked: the stale entries leave the ledger as it is at this
        // moment, so what other runs tracked or untracked meanwhile stays as they left it. A
        // ledger that is gone holds nothing to drop, and a damaged one is never rewritten.
        StateLock lock(ctx);
        LedgerFile now = load_managed_resources(ctx);
        if (now.state == LedgerFile::State::Loaded) {
            remove_entries(now.value, stale);
            // Through the temporary file and a rename, so a failed write leaves the old ledger whole.
            if (!save_managed_resources(ctx, now.value)) return fail("Failed to write updated resources file");
        }
    }
    ctx.out << "[+] Configuration files synced successfully\n";
    return {};
}

void smart_cleanup(const Context& ctx) {
    // Read without the lock: the removals below run host tools, and one that stalls must not
    // keep every other run from the state files.
    LedgerFile file = load_managed_resources(ctx);
    // A damaged ledger is kept as it is: deleting nothing and then removing it would
    // lose the only record of what this program created.
    if (file.state != LedgerFile::State::Loaded) return;
    const ManagedResources& m = file.value;

    ctx.out << "[+] Smart cleanup: Cleaning up only our managed resources...\n";
    std::vector<std::string> failures;
    // A tracked profile that is gone already has nothing left to remove (nmcli would refuse
    // every question about it); without a listing, each is tried.
    std::optional<std::set<std::string>> listed;
    if (auto listing = get_all_connection_records(ctx)) {
        listed.emplace();
        for (const auto& f : *listing) listed->insert(trim(f[0]));
    }
    auto exists = [&](const std::string& name) { return !listed || listed->contains(name); };
    // The pairs first, each with its join's record; a bridge then takes the joins left, and its
    // ports, with it.
    for (const auto& veth : m.veth_pairs) {
        // Gone with its peer already.
        if (!link_present(ctx, veth)) continue;
        const std::size_t before = failures.size();
        remove_veth_end(ctx, veth, failures);
        if (failures.size() == before) ctx.out << "  - Cleaned up veth pair: " << veth << "\n";
    }
    for (const auto& bridge : m.vlan_bridges) {
        if (!exists(bridge)) continue;
        const std::size_t before = failures.size();
        if (remove_bridge(ctx, bridge, "vlan_bridge", false, failures) && failures.size() == before)
            ctx.out << "  - Cleaned up VLAN bridge: " << bridge << "\n";
    }
    for (const auto& vswitch : m.vswitches) {
        if (!exists(vswitch)) continue;
        const std::size_t before = failures.size();
        if (remove_bridge(ctx, vswitch, "vswitch", false, failures) && failures.size() == before)
            ctx.out << "  - Cleaned up vswitch: " << vswitch << "\n";
    }
    for (const auto& bond : m.bonds) {
        if (!exists(bond)) continue;
        const std::size_t before = failures.size();
        if (remove_tracked_bond(ctx, bond, failures) && failures.size() == before)
            ctx.out << "  - Cleaned up bond: " << bond << "\n";
    }
    for (const auto& failure : failures) ctx.err << "[!] Warning: " << failure << "\n";
    {
        // Everything read above leaves the ledger, removed or not; what was tracked while the
        // tools ran was not cleaned up here and stays. A ledger gone or damaged meanwhile is
        // not ours to change.
        StateLock lock(ctx);
        LedgerFile now = load_managed_resources(ctx);
        if (now.state == LedgerFile::State::Loaded) {
            remove_entries(now.value, m);
            if (has_no_entries(now.value))
                (void)remove_file(ctx.path(kManagedResourcesPath));
            else
                (void)save_managed_resources(ctx, now.value);
        }
    }
    ctx.out << "[+] Smart cleanup completed. Tracking file cleared.\n";
}

Status cleanup_stale_connections(const Context& ctx) {
    ctx.out << "[+] Cleaning up stale NetworkManager connections...\n";
    auto listing = get_all_connection_records(ctx);
    if (!listing) return unexpected(listing.error());

    std::size_t cleaned = 0;
    for (const auto& fields : *listing) {
        if (fields.size() < 2) continue;
        const std::string& name = fields[0];
        const std::string& device = fields[1];
        // The libvirt default network's bridge and loopback are never ours to remove.
        if (name == "virbr0" || name == "lo") continue;
        if (!device.empty() && device != "--") continue;
        ctx.out << "  - Removing stale connection: " << name << "\n";
        // Counted whether or not nmcli managed it.
        (void)delete_connection(ctx, name);
        ++cleaned;
    }
    if (cleaned > 0)
        ctx.out << "[+] Cleaned up " << cleaned << " stale connections\n";
    else
        ctx.out << "[+] No stale connections found\n";
    return {};
}

}  // namespace qm
