#include "utils/managed_resources/managed_resources.hpp"

#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_set>

#include "utils/fs.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

namespace qm {

namespace {

std::vector<std::string>* list_of_kind(ManagedResources& m, std::string_view kind) {
    if (kind == "vswitch") return &m.vswitches;
    if (kind == "vlan_bridge") return &m.vlan_bridges;
    if (kind == "veth_pair") return &m.veth_pairs;
    if (kind == "bond") return &m.bonds;
    return nullptr;
}

}  // namespace

ManagedResources new_managed_resources(SystemTime now) {
    ManagedResources m;
    m.created_at = format_rfc3339(now, UtcSuffix::NumericOffset);
    return m;
}

void remove_entries(ManagedResources& ledger, const ManagedResources& entries) {
    // A set of the names that go, so the cost follows the ledger's size and not its square.
    auto remove = [](std::vector<std::string>& list, const std::vector<std::string>& gone) {
        if (gone.empty()) return;
        const std::unordered_set<std::string_view> going(gone.begin(), gone.end());
        std::erase_if(list, [&](const std::string& name) { return going.contains(name); });
    };
    remove(ledger.vswitches, entries.vswitches);
    remove(ledger.vlan_bridges, entries.vlan_bridges);
    remove(ledger.veth_pairs, entries.veth_pairs);
    remove(ledger.bonds, entries.bonds);
}

bool has_no_entries(const ManagedResources& ledger) {
    return ledger.vswitches.empty() && ledger.vlan_bridges.empty() && ledger.veth_pairs.empty() &&
           ledger.bonds.empty();
}

Result<ManagedResources> parse_managed_resources(std::string_view json) { return from_json<ManagedResources>(json); }

std::string managed_resources_to_json(const ManagedResources& value) { return to_json_pretty(value); }

LedgerFile load_managed_resources(const Context& ctx) {
    return load_state_file<ManagedResources>(ctx.path(kManagedResourcesPath));
}

Status save_managed_resources(const Context& ctx, const ManagedResources& value) {
    return save_state_file(ctx.path(kManagedResourcesPath), value);
}

void track_managed_resource(const Context& ctx, std::string_view kind, std::string_view name) {
    create_directories_quietly(ctx.path(kStateDir));
    StateLock lock(ctx);
    LedgerFile file = load_managed_resources(ctx);
    ManagedResources m;
    if (file.state == LedgerFile::State::Loaded) {
        m = std::move(file.value);
    } else {
        // A damaged ledger's entries must survive: keep the file under another name, or change nothing.
        if (!set_aside_if_damaged(ctx, file.state, ctx.path(kManagedResourcesPath))) return;
        m = new_managed_resources(ctx.clock.now());
    }
    if (auto* list = list_of_kind(m, kind)) {
        if (std::find(list->begin(), list->end(), name) == list->end()) list->emplace_back(name);
    }
    (void)save_managed_resources(ctx, m);
}

void untrack_managed_resource(const Context& ctx, std::string_view kind, std::string_view name) {
    StateLock lock(ctx);
    LedgerFile file = load_managed_resources(ctx);
    if (file.state == LedgerFile::State::Missing) return;
    if (file.state == LedgerFile::State::Damaged) {
        // Nothing to remove from; keep its entries under another name.
        (void)set_aside_if_damaged(ctx, file.state, ctx.path(kManagedResourcesPath));
        return;
    }
    ManagedResources& m = file.value;
    if (auto* list = list_of_kind(m, kind)) {
        list->erase(std::remove(list->begin(), list->end(), name), list->end());
    }
    (void)save_managed_resources(ctx, m);
}

}  // namespace qm
