// Name resolution probes. None of them reports an error: a tool that cannot be
// started folds into false or absent, and nmcli's exit status is never looked at,
// because whatever it printed is still the best answer available.
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "utils/host_calls.hpp"
#include "utils/paths.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

bool is_vswitch_name(const std::string& name) { return name.starts_with("vswitch"); }

// "--" is how nmcli prints an unset field.
bool is_unset(const std::string& value) { return value.empty() || value == "--"; }

// A blank line has no first token, so it never matches.
bool first_token_is(const std::string& line, const std::string& name) {
    std::string token = first_token(line);
    return !token.empty() && token == name;
}

}  // namespace

bool device_exists(const Context& ctx, const std::string& name) {
    auto lines = query_lines(ctx, {"nmcli", "device", "status"}, RunMode::Query);
    if (!lines) return false;
    for (const auto& line : *lines)
        if (first_token_is(line, name)) return true;
    return false;
}

// Unlike device_exists, a line with invalid UTF-8 is never compared at all.
bool device_exists_lines(const Context& ctx, const std::string& name) {
    auto out = query_bytes(ctx, {"nmcli", "device", "status"}, RunMode::Query);
    if (!out) return false;
    for (const auto& raw : split_lines(*out)) {
        auto line = decode_utf8_strict(raw);
        if (!line) continue;
        if (first_token_is(*line, name)) return true;
    }
    return false;
}

std::optional<std::string> resolve_vswitch_device(const Context& ctx, const std::string& name) {
    if (is_vswitch_name(name)) return name;
    auto listing = get_all_connection_records(ctx);
    if (!listing) return std::nullopt;
    for (const auto& f : *listing) {
        if (f.size() < 3) continue;
        if (f[0] == name && f[2] == "bridge" && is_vswitch_name(f[1])) return f[1];
    }
    return std::nullopt;
}

std::optional<std::string> resolve_bridge_device(const Context& ctx, const std::string& name) {
    auto profiles = list_profiles(ctx, "NAME,TYPE");
    if (!profiles) return std::nullopt;
    for (const auto& f : *profiles) {
        if (f.size() != 2 || f[1] != "bridge" || f[0] != name) continue;
        auto ifname = read_profile_setting(ctx, f[0], "connection.interface-name");
        if (!ifname) return std::nullopt;
        if (*ifname) return **ifname;
    }
    auto devices = query_text(ctx, {"nmcli", "-t", "-f", "DEVICE,TYPE", "device", "status"}, RunMode::Query);
    if (!devices) return std::nullopt;
    for (const auto& f : terse_records(*devices)) {
        if (f.size() >= 2 && f[1] == "bridge" && f[0] == name) return name;
    }
    return std::nullopt;
}

std::optional<std::string> find_enslaved_profile(const Context& ctx, const std::string& ifname) {
    auto listing = list_profiles(ctx, "NAME,DEVICE,TYPE");
    if (!listing) return std::nullopt;
    for (const auto& f : *listing) {
        if (f.size() != 3 || f[1] != ifname || f[2].find("ethernet") == std::string::npos) continue;
        // "--" is nmcli's way of printing an unset master; it names no master.
        auto master = get_connection_master(ctx, f[0]);
        if (master && *master != "--") return master;
    }
    return std::nullopt;
}

std::optional<std::string> find_available_bond_name(const Context& ctx) {
    auto listing = list_profiles(ctx, "NAME,DEVICE,TYPE");
    if (!listing) return std::nullopt;
    std::set<std::string> used;
    for (const auto& f : *listing) {
        if (f.size() == 3 && f[2] == "bond" && f[1].starts_with("bond")) used.insert(f[1]);
    }
    for (int i = 0; i <= 99; ++i) {
        std::string candidate = "bond" + std::to_string(i);
        if (!used.count(candidate)) return candidate;
    }
    return std::nullopt;
}

std::string profile_for_device(const Context& ctx, const std::string& device) {
    auto listing = list_profiles(ctx, "NAME,UUID,TYPE,DEVICE");
    if (!listing) return device;

    struct Listed {
        std::string name, uuid, type, device;
    };
    std::vector<Listed> listed;
    for (const auto& f : *listing) {
        if (f.size() == 4) listed.push_back({f[0], f[1], f[2], is_unset(f[3]) ? std::string() : f[3]});
    }
    auto is_master_type = [](const Listed& p) { return p.type == "bridge" || p.type == "bond"; };

    // A bridge or bond profile named like the device counts unless it is active on another device.
    const Listed* named = nullptr;
    for (const auto& p : listed)
        if (p.name == device && is_master_type(p) && (p.device.empty() || p.device == device)) {
            named = &p;
            break;
        }

    // The other bridge and bond profiles bound to the device, active or not, in listing order.
    std::vector<const Listed*> bound;
    for (const auto& p : listed) {
        if (&p == named || !is_master_type(p) || p.uuid.empty()) continue;
        if (p.device == device) {
            bound.push_back(&p);
        } else if (p.device.empty()) {
            auto ifname = read_profile_setting_text(ctx, p.uuid, "connection.interface-name");
            if (ifname && *ifname == device) bound.push_back(&p);
        }
    }
    if (bound.empty()) return device;
    if (!named) return bound.front()->uuid;

    // Both: the named one yields only when it lives in memory (as the profile NetworkManager makes
    // up for a bridge it found already configured) and another one is stored on disk.
    auto files = query_lines(ctx, {"nmcli", "-t", "-f", "UUID,FILENAME", "connection", "show"}, RunMode::Query);
    if (!files) return device;
    auto in_memory = [&](const std::string& uuid) -> std::optional<bool> {
        for (const auto& line : *files) {
            auto colon = line.find(':');
            if (colon == std::string::npos || line.substr(0, colon) != uuid) continue;
            std::string_view file = std::string_view(line).substr(colon + 1);
            if (file.empty() || file == "--") return std::nullopt;
            return file.starts_with(kInMemoryProfileDir);
        }
        return std::nullopt;
    };
    if (in_memory(named->uuid) != true) return device;
    for (const auto* p : bound)
        if (in_memory(p->uuid) == false) return p->uuid;
    return device;
}

}  // namespace qm
