#include "cmds/config/maintenance.hpp"

#include <ostream>
#include <string>
#include <vector>

#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {

namespace {

// The ledger as sync sees it: an unreadable or unparsable file stands for an empty ledger,
// which has nothing to drop, so such a file is never rewritten.
ManagedResources read_ledger_for_sync(const Context& ctx) {
    auto file = read_state_file(ctx.path(kManagedResourcesPath));
    if (file.state != StateFileState::Loaded || !is_valid_utf8(file.value)) {
        ctx.out << "[+] No managed resources file found, creating new one\n";
        return new_managed_resources(ctx.clock.now());
    }
    ctx.out << "[+] Reading managed resources file...\n";
    auto parsed = parse_managed_resources(file.value);
    if (!parsed) {
        ctx.out << "[!] Failed to parse managed resources file: " << parsed.error().message << "\n";
        ctx.out << "[+] Using default resources\n";
        return new_managed_resources(ctx.clock.now());
    }
    ctx.out << "[+] Successfully parsed managed resources file\n";
    return std::move(*parsed);
}

// Keeps the entries `exists` accepts, in order, announcing each dropped one. The number dropped.
template <class Exists>
std::size_t prune(const Context& ctx, std::vector<std::string>& entries, std::string_view what, Exists exists) {
    std::vector<std::string> kept;
    std::size_t dropped = 0;
    for (auto& entry : entries) {
        if (exists(entry)) {
            kept.push_back(std::move(entry));
        } else {
            ctx.out << "  - Removing stale " << what << ": " << entry << "\n";
            ++dropped;
        }
    }
    entries = std::move(kept);
    return dropped;
}

}  // namespace

bool terse_list_contains(std::string_view listing, std::string_view name) {
    for (const auto& line : split_lines(listing)) {
        std::string_view first(line);
        first = first.substr(0, first.find(':'));
        if (first == name) return true;
    }
    return false;
}

Status sync_config_files(const Context& ctx) {
    ctx.out << "[+] Syncing configuration files with current network state...\n";
    auto listing = get_all_connections(ctx);
    if (!listing) return unexpected(listing.error());

    // From the read of the ledger to its rewrite, so no entry tracked meanwhile is lost.
    StateLock lock(ctx);
    ManagedResources ledger = read_ledger_for_sync(ctx);
    auto is_profile = [&](const std::string& name) { return terse_list_contains(*listing, name); };
    auto is_link = [&](const std::string& name) {
        return run_succeeded(ctx, {"ip", "link", "show", name}, RunMode::Change);
    };

    std::size_t dropped = 0;
    ctx.out << "  - Checking " << ledger.vswitches.size() << " vswitches\n";
    dropped += prune(ctx, ledger.vswitches, "vswitch", is_profile);
    ctx.out << "  - Checking " << ledger.vlan_bridges.size() << " VLAN bridges\n";
    dropped += prune(ctx, ledger.vlan_bridges, "VLAN bridge", is_profile);
    dropped += prune(ctx, ledger.bonds, "bond", is_profile);
    ctx.out << "  - Checking " << ledger.veth_pairs.size() << " veth pairs\n";
    dropped += prune(ctx, ledger.veth_pairs, "veth pair", is_link);

    if (dropped == 0) {
        ctx.out << "[+] Configuration files are already in sync\n";
        return {};
    }
    // Through the temporary file and a rename, so a failed write leaves the old ledger whole.
    if (!save_managed_resources(ctx, ledger)) return fail("Failed to write updated resources file");
    ctx.out << "[+] Configuration files synced successfully\n";
    return {};
}

Status cleanup_stale_connections(const Context& ctx) {
    ctx.out << "[+] Cleaning up stale NetworkManager connections...\n";
    auto listing = get_all_connections(ctx);
    if (!listing) return unexpected(listing.error());

    std::size_t cleaned = 0;
    for (const auto& line : split_lines(*listing)) {
        auto fields = split_terse(line);
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
