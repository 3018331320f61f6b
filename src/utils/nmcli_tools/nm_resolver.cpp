#include "utils/nmcli_tools/nm_resolver.hpp"

#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

bool is_unset(const std::string& value) { return value.empty() || value == "--"; }

std::optional<std::string> optional_value(std::string value) {
    if (is_unset(value)) return std::nullopt;
    return value;
}

// One "-g" property of a profile: the first line of the trimmed answer, trimmed again.
// A query that cannot be started reads as empty.
std::string profile_property(const Context& ctx, const std::string& property, const std::string& name) {
    auto out = read_profile_setting_text(ctx, name, property);
    if (!out) return {};
    auto lines = split_lines(*out);
    if (lines.empty()) return {};
    return trim(lines.front());
}

}  // namespace

Result<NmResolver> NmResolver::create(const Context& ctx) {
    auto listing = list_profiles(ctx, "UUID,NAME,DEVICE,TYPE");
    if (!listing) return fail(listing.error().message());

    NmResolver resolver;
    for (const auto& f : *listing) {
        if (f.size() < 4) continue;
        NmConnection c;
        c.uuid = trim(f[0]);
        c.name = trim(f[1]);
        c.device = trim(f[2]);
        c.conn_type = trim(f[3]);
        std::string master = profile_property(ctx, "connection.master", c.name);
        std::string slave_type = profile_property(ctx, "connection.slave-type", c.name);
        if (is_unset(c.uuid) || is_unset(c.name)) continue;
        if (is_unset(c.device)) c.device.clear();
        if (is_unset(c.conn_type)) c.conn_type.clear();
        c.master = optional_value(std::move(master));
        // Not asked: this NetworkManager refuses connection.controller ("invalid field"), the
        // newer name of the master read above, so the controller stays unset.
        c.slave_type = optional_value(std::move(slave_type));
        std::string key = c.name;
        resolver.by_name.insert_or_assign(std::move(key), std::move(c));
    }
    return resolver;
}

std::vector<std::pair<std::string, std::vector<std::string>>> NmResolver::bonds_with_members() const {
    std::vector<std::pair<std::string, std::vector<std::string>>> bonds;
    std::vector<ControllerProfile> controllers;
    for (const auto& [_, c] : by_name)
        if (c.conn_type == "bond") controllers.push_back({c.name, c.uuid, c.device});
    for (const auto& [_, bond] : by_name) {
        if (bond.conn_type != "bond") continue;
        // A member may name its bond by the bond's device, profile name or UUID.
        const auto identities = controller_identities(controllers, {bond.name});
        std::vector<std::string> members;
        for (const auto& [__, c] : by_name) {
            if (c.slave_type != "bond" || !c.master) continue;
            if (identities.count(*c.master)) members.push_back(c.device + " (" + c.name + ")");
        }
        bonds.emplace_back(bond.name, std::move(members));
    }
    return bonds;
}

}  // namespace qm
