#include "utils/managed_resources/managed_resources.hpp"

#include <algorithm>
#include <ostream>

#include "utils/fs.hpp"

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

Status read_value(JsonReader& r, ManagedResources& out) {
    return read_record(r, "ManagedResources",
                       {
                           field("vswitches", out.vswitches),
                           field("vlan_bridges", out.vlan_bridges),
                           field("veth_pairs", out.veth_pairs),
                           field_or_default("bonds", out.bonds),
                           field("created_at", out.created_at),
                       });
}

void write_value(JsonWriter& w, const ManagedResources& value) {
    w.begin_object();
    w.member("vswitches", value.vswitches);
    w.member("vlan_bridges", value.vlan_bridges);
    w.member("veth_pairs", value.veth_pairs);
    w.member("bonds", value.bonds);
    w.member("created_at", value.created_at);
    w.end_object();
}

Result<ManagedResources> parse_managed_resources(std::string_view json) { return from_json<ManagedResources>(json); }

std::string managed_resources_to_json(const ManagedResources& value) { return to_json_pretty(value); }

LedgerFile load_managed_resources(const Context& ctx) {
    LedgerFile file;
    auto text = read_file(ctx.path(kManagedResourcesPath));
    if (!text) {
        if (text.error().not_found()) return file;
        file.state = LedgerFile::State::Damaged;
        file.error = text.error().message();
        return file;
    }
    // The reader refuses bytes that are not UTF-8, so this also covers such files.
    auto parsed = parse_managed_resources(*text);
    if (!parsed) {
        file.state = LedgerFile::State::Damaged;
        file.error = parsed.error().message;
        return file;
    }
    file.state = LedgerFile::State::Loaded;
    file.resources = std::move(*parsed);
    return file;
}

Status save_managed_resources(const Context& ctx, const ManagedResources& value) {
    auto written = write_file_atomic(ctx.path(kManagedResourcesPath), managed_resources_to_json(value));
    if (!written) return fail(written.error().message());
    return {};
}

void track_managed_resource(const Context& ctx, std::string_view kind, std::string_view name) {
    create_directories_quietly(ctx.path(kStateDir));
    LedgerFile file = load_managed_resources(ctx);
    ManagedResources m;
    switch (file.state) {
        case LedgerFile::State::Loaded:
            m = std::move(file.resources);
            break;
        case LedgerFile::State::Damaged:
            // Its entries must survive: keep the file under another name, or change nothing.
            if (!set_aside_damaged(ctx, ctx.path(kManagedResourcesPath))) return;
            m = new_managed_resources(ctx.clock.now());
            break;
        case LedgerFile::State::Missing:
            m = new_managed_resources(ctx.clock.now());
            break;
    }
    if (auto* list = list_of_kind(m, kind)) {
        if (std::find(list->begin(), list->end(), name) == list->end()) list->emplace_back(name);
    }
    (void)save_managed_resources(ctx, m);
}

void untrack_managed_resource(const Context& ctx, std::string_view kind, std::string_view name) {
    LedgerFile file = load_managed_resources(ctx);
    if (file.state == LedgerFile::State::Missing) return;
    if (file.state == LedgerFile::State::Damaged) {
        // Nothing to remove from; keep its entries under another name.
        (void)set_aside_damaged(ctx, ctx.path(kManagedResourcesPath));
        return;
    }
    ManagedResources& m = file.resources;
    if (auto* list = list_of_kind(m, kind)) {
        list->erase(std::remove(list->begin(), list->end(), name), list->end());
    }
    (void)save_managed_resources(ctx, m);
}

void smart_cleanup(const Context& ctx) {
    LedgerFile file = load_managed_resources(ctx);
    // A damaged ledger is kept as it is: deleting nothing and then removing it would
    // lose the only record of what this program created.
    if (file.state != LedgerFile::State::Loaded) return;
    const ManagedResources& m = file.resources;

    ctx.out << "[+] Smart cleanup: Cleaning up only our managed resources...\n";
    auto run_ok = [&](std::vector<std::string> argv) {
        auto r = ctx.run(argv, RunMode::Change);
        return r.has_value() && r->success();
    };
    for (const auto& veth : m.veth_pairs)
        if (run_ok({"ip", "link", "delete", veth})) ctx.out << "  - Cleaned up veth pair: " << veth << "\n";
    for (const auto& bridge : m.vlan_bridges)
        if (run_ok({"nmcli", "connection", "delete", bridge})) ctx.out << "  - Cleaned up VLAN bridge: " << bridge << "\n";
    for (const auto& vswitch : m.vswitches)
        if (run_ok({"nmcli", "connection", "delete", vswitch})) ctx.out << "  - Cleaned up vswitch: " << vswitch << "\n";
    for (const auto& bond : m.bonds)
        if (run_ok({"nmcli", "connection", "delete", bond})) ctx.out << "  - Cleaned up bond: " << bond << "\n";
    (void)remove_file(ctx.path(kManagedResourcesPath));
    ctx.out << "[+] Smart cleanup completed. Tracking file cleared.\n";
}

}  // namespace qm
