// `vswitch create`: a bridge profile on a "vswitch" device, isolated, as an internal hub,
// or with an uplink whose first interface lends the bridge its MAC address.
#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "cmds/bridge/mac_preservation.hpp"
#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/veth.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "utils/host_calls.hpp"
#include "utils/links.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

constexpr std::uint32_t kBridgeAutoconnectPriority = 600;

std::string wait_status_text(const ProcessResult& r) { return "wait status " + std::to_string(r.wait_status); }

std::optional<std::uint32_t> parse_u32(std::string_view text) {
    auto value = parse_unsigned(text, 0xffffffffull);
    if (!value) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

// The profile already bound to the device in `nmcli -g NAME,DEVICE connection show`.
std::optional<std::string> profile_on_device(const Context& ctx, const std::string& device) {
    auto listing = list_profile_values(ctx, "NAME,DEVICE", kCaptured);
    if (!listing) return std::nullopt;
    // The device is the last field and the name the first: a ':' in a name cuts it short.
    for (const auto& f : *listing)
        if (f.size() >= 2 && f.back() == device) return trim(f.front());
    return std::nullopt;
}

void modify_existing_profile(const Context& ctx, const std::string& profile, const std::string& device) {
    ctx.out << "[+] Connection '" << profile << "' already exists for device '" << device << "', modifying it\n";
    std::string method = get_bridge_ipv4_method(ctx, device);
    auto r = ctx.run(connection_modify_argv(profile, {"ipv4.method", method, "ipv6.method", "ignore"}), RunMode::Shown);
    if (!r)
        ctx.err << "[-] Error modifying connection: " << r.error().message() << "\n";
    else if (!r->success())
        ctx.err << "[-] Failed to modify existing connection: " << wait_status_text(*r) << "\n";
    else
        ctx.out << "[+] Successfully modified existing connection with ipv4.method=" << method << "\n";
}

void add_bridge_profile(const Context& ctx, const std::string& name, const std::string& device, bool has_uplink) {
    std::string method = get_bridge_ipv4_method(ctx, device);
    auto r = ctx.run(connection_add_argv({"type", "bridge", "ifname", device, "con-name", name, "forward-delay", "2",
                                          "ipv4.method", method, "ipv6.method", "ignore", "connection.autoconnect",
                                          "yes", "connection.autoconnect-priority",
                                          std::to_string(kBridgeAutoconnectPriority)}),
                     has_uplink ? RunMode::Shown : RunMode::Change);
    if (!r)
        ctx.err << "[-] Error executing nmcli: " << r.error().message() << "\n";
    else if (!r->success())
        ctx.err << "[-] Failed to create bridge connection: " << wait_status_text(*r) << "\n";
    else
        ctx.out << "[+] Successfully created bridge connection with ipv4.method=" << method << "\n";
}

// Gives the bridge the MAC of the first uplink interface, so it keeps that interface's address.
void pin_first_uplink_mac(const Context& ctx, const std::string& name, const std::string& device,
                          const std::string& uplink, KnownBridge& known) {
    std::string first = trim(std::string_view(uplink).substr(0, uplink.find(',')));
    if (first.empty()) return;
    auto mac = read_link_mac(ctx, first, RunMode::QueryWithStderr, EtherLine::First);
    if (!mac || !*mac) return;
    ctx.out << "[+] Setting " << device << " to use persistent MAC address: " << **mac << "\n";
    store_original_mac(ctx, device, **mac);
    pin_bridge_mac(ctx, device, name, **mac, known);
}

}  // namespace

bool is_no_uplink(const std::string& uplink) {
    std::string t = trim(uplink);
    if (t.empty()) return true;
    if (t.size() != 4) return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (std::tolower(static_cast<unsigned char>(t[i])) != "none"[i]) return false;
    return true;
}

bool accept_device_name(const Context& ctx, const std::string& device) {
    if (is_single_path_component(device)) return true;
    ctx.err << "[-] Invalid device name '" << device
            << "': a device name must not contain '/' or NUL, nor be '.' or '..'\n";
    return false;
}

bool accept_vswitch_name(const Context& ctx, const std::string& name) {
    return !name.starts_with("vswitch") || accept_device_name(ctx, name);
}

std::optional<std::string> find_available_vswitch_name(const Context& ctx) {
    std::error_code ec;
    std::filesystem::directory_iterator it(ctx.path(kSysClassNet), ec);
    if (ec) return std::nullopt;
    std::set<std::uint32_t> used;
    for (auto end = std::filesystem::directory_iterator(); it != end; it.increment(ec)) {
        if (ec) break;
        std::string entry = it->path().filename().string();
        if (!is_valid_utf8(entry) || !entry.starts_with("vswitch") || entry.size() <= 7) continue;
        if (auto n = parse_u32(std::string_view(entry).substr(7))) used.insert(*n);
    }
    for (std::uint32_t n = 1; n <= 99; ++n)
        if (!used.count(n)) return "vswitch" + std::to_string(n);
    return std::nullopt;
}

void create_vswitch(const Context& ctx, const std::string& name, const std::string& uplink, bool master) {
    std::string device;
    if (name.starts_with("vswitch")) {
        if (!accept_device_name(ctx, name)) return;
        if (device_exists_lines(ctx, name)) {
            ctx.err << "[-] Bridge device '" << name << "' already exists\n";
            return;
        }
        device = name;
    } else if (name == "Management Network" || name == "Network Management") {
        if (device_exists_lines(ctx, "vswitch0")) {
            ctx.err << "[-] Bridge device 'vswitch0' already exists\n";
            return;
        }
        device = "vswitch0";
    } else if (auto free = find_available_vswitch_name(ctx)) {
        device = *free;
    } else {
        ctx.err << "[-] Failed to auto-generate bridge name\n";
        return;
    }

    const bool has_uplink = !is_no_uplink(uplink);
    if (has_uplink)
        ctx.out << (master ? "[+] Creating master bridge '" : "[+] Creating bridge '") << device << "' with label '"
                << name << "' and uplink '" << uplink << "'\n";
    else if (master)
        ctx.out << "[+] Creating master bridge '" << device << "' with label '" << name
                << "' (no uplink, internal hub)\n";
    else
        ctx.out << "[+] Creating isolated bridge '" << device << "' with label '" << name << "' (no uplink)\n";

    if (auto existing = profile_on_device(ctx, device))
        modify_existing_profile(ctx, *existing, device);
    else
        add_bridge_profile(ctx, name, device, has_uplink);

    if (master) add_master_bridge(ctx, device);
    track_managed_resource(ctx, "vswitch", name);

    if (!has_uplink) {
        auto r = ctx.run(connection_up_argv(name), RunMode::Change);
        if (!r)
            ctx.err << "[-] Error bringing up connection: " << r.error().message() << "\n";
        else if (!r->success())
            ctx.err << "[-] Failed to bring up bridge connection: " << wait_status_text(*r) << "\n";
        else
            ctx.out << "[+] Successfully brought up bridge connection\n";
        // Made again on a device that had joins: the activation released their ends.
        put_joins_back_on_bridge(ctx, device);
        return;
    }

    // What the steps below find out about the bridge, so that none asks it again.
    KnownBridge known;
    pin_first_uplink_mac(ctx, name, device, uplink, known);
    // Its own lines already tell what went wrong.
    auto changed = change_bridge_uplink(ctx, name, uplink, master, known);
    if (changed && *changed == UplinkOutcome::Stopped) return;
    ctx.pause(std::chrono::milliseconds(1000));
    if (auto kept = preserve_bridge_network_identity(ctx, device, uplink, known); !kept) {
        ctx.out << "[!] Warning: Enhanced MAC preservation failed, falling back to legacy method: "
                << kept.error().message << "\n";
        ensure_mac_persistence(ctx, device, known);
    }
}

}  // namespace qm
