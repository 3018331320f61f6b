// The profile listing as records, the ports of a controller, and the removal of a bond with
// its members.
#include <algorithm>
#include <string_view>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

// The form nmcli gives a profile's UUID: 8-4-4-4-12 hexadecimal digits.
bool looks_like_uuid(std::string_view text) { return is_hex_groups(text, {8, 4, 4, 4, 12}, '-'); }

}  // namespace

Expected<std::vector<TerseRecord>, OsError> list_profiles(const Context& ctx, const std::string& fields, RunMode mode,
                                                          ListingText text) {
    const std::vector<std::string> argv{"nmcli", "-t", "-f", fields, "connection", "show"};
    auto out = query_bytes(ctx, argv, mode);
    if (!out) return unexpected(out.error());
    switch (text) {
        case ListingText::Lossy:
            return terse_records(decode_utf8_lossy(*out));
        case ListingText::ValidLines: {
            std::vector<TerseRecord> records;
            for (const auto& line : split_lines(*out))
                if (is_valid_utf8(line)) records.push_back(split_terse(line));
            return records;
        }
        case ListingText::ValidOrNone:
            if (!is_valid_utf8(*out)) return std::vector<TerseRecord>();
            return terse_records(*out);
    }
    return std::vector<TerseRecord>();
}

Expected<std::vector<TerseRecord>, OsError> list_profile_values(const Context& ctx, const std::string& fields,
                                                                RunMode mode) {
    auto out = query_text(ctx, {"nmcli", "-g", fields, "connection", "show"}, mode);
    if (!out) return unexpected(out.error());
    return terse_records(*out);
}

Result<std::vector<TerseRecord>> get_all_connection_records(const Context& ctx) {
    auto listing = get_all_connections(ctx);
    if (!listing) return unexpected(listing.error());
    return terse_records(*listing);
}

Expected<void, OsError> visit_profile_masters(
    const Context& ctx, const PortSearch& search, const ProfileFilter& accept,
    const std::function<bool(const TerseRecord&, const std::optional<std::string>&)>& visit) {
    auto listing = list_profiles(ctx, search.fields, search.listing_mode);
    if (!listing) return unexpected(listing.error());
    for (const auto& record : *listing) {
        if (!accept(record)) continue;
        auto master = read_profile_setting_text(ctx, record.front(), "connection.master", {.mode = search.master_mode});
        if (!master && search.stop_on_master_failure) return unexpected(master.error());
        std::optional<std::string> named;
        if (master && !master->empty()) named = std::move(*master);
        if (!visit(record, named)) break;
    }
    return {};
}

std::set<std::string> controller_identities(const std::vector<ControllerProfile>& profiles,
                                            const std::vector<std::string>& controllers) {
    std::set<std::string> named(controllers.begin(), controllers.end());
    // The interfaces the controllers stand for: given as such, or bound to a profile they name.
    std::set<std::string> interfaces;
    for (const auto& c : controllers) interfaces.insert(c);
    for (const auto& p : profiles)
        if (named.count(p.name) || named.count(p.uuid)) interfaces.insert(p.interface);
    interfaces.erase(std::string());
    std::set<std::string> identities = named;
    for (const auto& p : profiles) {
        const bool bound = !p.interface.empty() && interfaces.count(p.interface);
        if (!bound && !named.count(p.name) && !named.count(p.uuid)) continue;
        identities.insert(p.interface);
        identities.insert(p.name);
        identities.insert(p.uuid);
    }
    identities.erase(std::string());
    return identities;
}

Expected<std::set<std::string>, OsError> controller_identities(const Context& ctx,
                                                               const std::vector<std::string>& controllers,
                                                               const PortSearch& search) {
    auto listing = list_profiles(ctx, "NAME,UUID,DEVICE,TYPE", search.listing_mode);
    if (!listing) return unexpected(listing.error());
    std::vector<ControllerProfile> profiles;
    for (const auto& f : *listing) {
        if (f.size() != 4 || (f[3] != "bridge" && f[3] != "bond") || f[1].empty()) continue;
        ControllerProfile p{f[0], f[1], f[2] == "--" ? std::string() : f[2]};
        // An inactive profile shows no device; its own setting says which interface it is for.
        if (p.interface.empty()) {
            auto ifname = read_profile_setting(ctx, p.uuid, "connection.interface-name", {.mode = search.master_mode});
            if (ifname && *ifname) p.interface = **ifname;
        }
        profiles.push_back(std::move(p));
    }
    return controller_identities(profiles, controllers);
}

std::string master_display_name(const Context& ctx, const std::string& master, RunMode mode) {
    if (!looks_like_uuid(master)) return master;
    auto name = read_profile_setting(ctx, master, "connection.id", {.mode = mode, .success_only = true});
    if (name && *name) return **name;
    return master;
}

Expected<std::vector<std::string>, OsError> ports_of(const Context& ctx, const PortSearch& search,
                                                     const std::vector<std::string>& controllers,
                                                     const ProfileFilter& accept) {
    auto identities = controller_identities(ctx, controllers, search);
    if (!identities) return unexpected(identities.error());
    std::vector<std::string> ports;
    auto visited = visit_profile_masters(ctx, search, accept, [&](const TerseRecord& r, const auto& master) {
        if (master && identities->count(*master)) ports.push_back(r.front());
        return true;
    });
    if (!visited) return unexpected(visited.error());
    return ports;
}

Expected<void, OsError> remove_bond(const Context& ctx, const BondRemoval& removal) {
    auto members = ports_of(ctx, removal.search, removal.controllers, removal.accept);
    if (!members) return unexpected(members.error());
    if (removal.on_found) removal.on_found(members->size());
    for (const auto& member : *members) {
        if (removal.on_member) removal.on_member(member);
        (void)ctx.run(connection_delete_argv(member), removal.delete_mode);
    }
    if (removal.on_bond) removal.on_bond();
    (void)ctx.run(connection_delete_argv(removal.profile), removal.delete_mode);
    untrack_managed_resource(ctx, "bond", removal.ledger_name);
    return {};
}

}  // namespace qm
