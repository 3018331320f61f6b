// The building blocks of the baseline: the vswitch0 probe and MAC restore, the checks that
// tell whether a profile is already as the baseline wants it, and the internal networks.
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "cmds/baseline/baseline.hpp"
#include "cmds/baseline/baseline_runs.hpp"
#include "cmds/bridge/veth.hpp"
#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/links.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/log.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {

using std::chrono::milliseconds;

namespace {

constexpr const char* kControlNetwork = "Internal Control Network";
constexpr const char* kHypervisorNetwork = "Hypervisor Network";
constexpr const char* kControlAddress = "172.16.254.2/24";
constexpr const char* kHypervisorAddress = "172.16.254.1/24";
constexpr milliseconds kSettlePause{300};

// nmcli reports an ethernet profile's type by its setting name, "802-3-ethernet".
bool same_profile_type(const std::string& reported, const std::string& expected) {
    return reported == expected || (expected == "ethernet" && reported == "802-3-ethernet");
}

// Settings of a profile as nmcli printed them; empty when nmcli cannot be started or its answer
// is not UTF-8.
constexpr SettingRead kStrict{.mode = RunMode::Query, .valid_utf8_only = true};

// One setting of a profile, trimmed.
std::string profile_setting(const Context& ctx, const std::string& field, const std::string& name) {
    return read_profile_setting_text(ctx, name, field, kStrict).value_or("");
}

}  // namespace

bool vswitch0_exists(const Context& ctx) { return run_succeeded(ctx, {"ip", "link", "show", "vswitch0"}, RunMode::Query); }

Status restore_vswitch0_mac(const Context& ctx, baseline::Changes& changes) {
    const auto file = ctx.path(*original_mac_path("vswitch0"));  // a fixed, valid name
    if (!exists_following_links(file)) {
        ctx.out << "[+] No stored MAC address for vswitch0, using default\n";
        return {};
    }
    auto bytes = read_file(file);
    if (!bytes) return fail(bytes.error().message());
    auto text = decode_utf8_strict(*bytes);
    if (!text) return fail(text.error().message);
    const std::string stored = trim(*text);
    if (stored.empty()) {
        ctx.out << "[+] Stored MAC address file is empty, using default\n";
        return {};
    }

    auto mac = read_link_mac(ctx, "vswitch0", RunMode::Query, EtherLine::First);
    if (!mac) return fail(mac.error().message());
    const std::string current = mac->value_or("");
    if (current == stored) {
        ctx.out << "[+] vswitch0 already has correct MAC address: " << stored << "\n";
        return {};
    }

    ctx.out << "[+] Restoring original MAC address for vswitch0: " << stored << " (was: " << current << ")\n";
    log_info(ctx, "MAC restoration for vswitch0: " + stored + " (was: " + current + ")");
    if (auto s = changes.run("Management Network",
                             connection_modify_argv("Management Network", {"bridge.mac-address", stored}));
        !s)
        return s;
    // The running bridge takes the MAC too. NetworkManager brings a bridge profile with a MAC
    // up only on a device of that MAC, and a vswitch0 made by `ip link add` outlives the "down"
    // below: without this the "up" is refused and the management network stays down.
    if (auto r = set_link_address(ctx, "vswitch0", stored); !r) return fail(r.error().message());
    if (auto s = changes.run("Management Network", connection_down_argv("Management Network")); !s) return s;
    ctx.pause(milliseconds(500));
    if (auto s = changes.run("Management Network", connection_up_argv("Management Network")); !s) return s;
    put_joins_back_on_bridge(ctx, "vswitch0");
    ctx.out << "[+] vswitch0 MAC address restored successfully\n";
    return {};
}

bool connection_matches(const Context& ctx, const std::string& name, const std::string& type,
                        const std::string& interface, const std::string& ipv4_method) {
    // `-g NAME` is a listing column; for one profile nmcli refuses it ("invalid field").
    auto found = read_profile_setting_text(ctx, name, "connection.id", {.mode = RunMode::Query, .success_only = true});
    if (!found || found->empty()) return false;
    if (!same_profile_type(profile_setting(ctx, "connection.type", name), type) ||
        profile_setting(ctx, "connection.interface-name", name) != interface)
        return false;
    const std::string ipv4 = profile_setting(ctx, "ipv4.method", name);
    // A port (the uplink on vswitch0) has no IP settings of its own: nmcli shows them empty and
    // refuses to set them. It carries no address, which is what "disabled" and "ignore" ask.
    if (ipv4.empty() && get_connection_master(ctx, name)) return ipv4_method == "disabled";
    return ipv4 == ipv4_method && profile_setting(ctx, "ipv6.method", name) == "ignore";
}

bool ip_connection_matches(const Context& ctx, const std::string& name, const std::string& interface,
                           const std::string& address) {
    auto listing = list_profiles(ctx, "NAME,UUID,TYPE,DEVICE", RunMode::Query, ListingText::ValidOrNone);
    for (const auto& f : listing ? *listing : std::vector<TerseRecord>()) {
        if (f.size() < 4 || f[0] != name || f[2] != "802-3-ethernet" || f[3] != interface) continue;
        // Split at every line feed: the three values come one per line.
        auto values =
            split_at(read_profile_settings(ctx, f[1], "ipv4.method,ipv6.method,ipv4.addresses", kStrict).value_or(""),
                     '\n');
        if (values.size() >= 3 && trim(values[0]) == "manual" && trim(values[1]) == "ignore" &&
            trim(values[2]) == address)
            return true;
    }
    return false;
}

Status setup_internal_control_veth(const Context& ctx, baseline::Changes& changes) {
    if (ip_connection_matches(ctx, kControlNetwork, "veth0", kControlAddress)) {
        ctx.out << "[+] Internal Control Network already exists and is correctly configured\n";
        return {};
    }
    ctx.out << "[+] Creating veth0 for Internal Control Network\n";
    bool pair_there = true;
    if (run_succeeded(ctx, {"ip", "link", "show", "veth0"}, RunMode::Query)) {
        ctx.out << "[+] veth0-veth1 pair already exists\n";
    } else {
        auto made = changes.attempt("veth0", {"ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1"});
        if (!made) return unexpected(made.error());
        pair_there = *made;
    }
    if (auto s = changes.run(kControlNetwork,
                             connection_add_argv({"type", "ethernet", "ifname", "veth0", "con-name", kControlNetwork,
                                                  "connection.autoconnect", "yes", "connection.autoconnect-priority",
                                                  "700"}));
        !s)
        return s;
    if (auto s = changes.run(kControlNetwork,
                             connection_modify_argv(kControlNetwork, {"ipv4.addresses", kControlAddress, "ipv4.method",
                                                                      "manual", "ipv6.method", "ignore"}));
        !s)
        return s;
    if (pair_there) {
        track_managed_resource(ctx, "veth_pair", "veth0");
        track_managed_resource(ctx, "veth_pair", "veth1");
    }
    ctx.pause(kSettlePause);
    if (auto s = changes.run(kControlNetwork, connection_up_argv(kControlNetwork)); !s) return s;
    ctx.out << "[+] Internal Control Network configured on veth0 (" << kControlAddress << ")\n";
    return {};
}

Status setup_hypervisor_network(const Context& ctx, baseline::Changes& changes) {
    if (ip_connection_matches(ctx, kHypervisorNetwork, "veth1", kHypervisorAddress)) {
        ctx.out << "[+] Hypervisor Network already exists and is correctly configured\n";
        return {};
    }
    ctx.out << "[+] Configuring veth1 for Hypervisor Network\n";
    if (auto s = changes.run(kHypervisorNetwork,
                             connection_add_argv({"type", "ethernet", "ifname", "veth1", "con-name", kHypervisorNetwork,
                                                  "connection.autoconnect", "yes", "connection.autoconnect-priority",
                                                  "600"}));
        !s)
        return s;
    if (auto s = changes.run(kHypervisorNetwork,
                             connection_modify_argv(kHypervisorNetwork, {"ipv4.addresses", kHypervisorAddress,
                                                                         "ipv4.method", "manual", "ipv6.method",
                                                                         "ignore"}));
        !s)
        return s;
    ctx.pause(kSettlePause);
    if (auto s = changes.run(kHypervisorNetwork, connection_up_argv(kHypervisorNetwork)); !s) return s;
    ctx.out << "[+] Hypervisor Network configured on veth1 (" << kHypervisorAddress << ")\n";
    return {};
}

Status setup_internal_control_interface(const Context& ctx, const std::string& interface,
                                        baseline::Changes& changes) {
    if (ip_connection_matches(ctx, kControlNetwork, interface, kControlAddress)) {
        ctx.out << "[+] Internal Control Network already exists and is correctly configured on " << interface
                << "\n";
        return {};
    }
    ctx.out << "[+] Configuring " << interface << " as Internal Control Network for virtual appliance\n";
    auto made = changes.attempt(kControlNetwork,
                                connection_add_argv({"type", "ethernet", "ifname", interface, "con-name",
                                                     kControlNetwork, "ipv4.addresses", kControlAddress,
                                                     "ipv4.method", "manual", "ipv6.method", "ignore",
                                                     "connection.autoconnect", "yes",
                                                     "connection.autoconnect-priority", "700"}));
    if (!made) return unexpected(made.error());
    if (*made) track_managed_resource(ctx, "vswitch", kControlNetwork);
    if (auto s = changes.run(kControlNetwork, connection_up_argv(kControlNetwork)); !s) return s;
    ctx.out << "[+] Internal Control Network configured on " << interface << " (" << kControlAddress << ")\n";
    return {};
}

}  // namespace qm
