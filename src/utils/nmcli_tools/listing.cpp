// The profile listing as records, the ports of a controller, and the removal of a bond with
// its members.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {

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

Expected<std::vector<std::string>, OsError> ports_of(const Context& ctx, const PortSearch& search,
                                                     const std::vector<std::string>& controllers,
                                                     const ProfileFilter& accept) {
    std::vector<std::string> ports;
    auto visited = visit_profile_masters(ctx, search, accept, [&](const TerseRecord& r, const auto& master) {
        if (master && std::find(controllers.begin(), controllers.end(), *master) != controllers.end())
            ports.push_back(r.front());
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
