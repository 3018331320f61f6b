// The baseline run: clear the ground (by mode), find out what kind of appliance this is and
// which interfaces it has, then lay down the management network and the internal networks.
#include "cmds/baseline/baseline.hpp"

#include <chrono>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cmds/baseline/baseline_runs.hpp"
#include "cmds/bridge/veth.hpp"
#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/log.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {

namespace {

constexpr const char* kCancelled = "[+] Baseline configuration cancelled by user\n";

// The administrator's go-ahead for --force: "y" or "yes" in any case, blanks around allowed.
// Anything else, end of input or an unreadable answer declines.
bool confirmed(const Context& ctx) {
    ctx.out << "[?] This will reset all managed network resources to baseline. Continue? [y/N]: ";
    ctx.out.flush();
    std::string line;
    if (!std::getline(ctx.in, line) || !is_valid_utf8(line)) return false;
    const std::string answer = to_lower_ascii(trim(line));
    return answer == "y" || answer == "yes";
}

// vswitch0 with "Management Network" and "Management Uplink" on the first physical interface.
Status setup_management_network(const Context& ctx, const std::string& uplink, baseline::Changes& changes) {
    if (connection_matches(ctx, "Management Network", "bridge", "vswitch0", "auto")) {
        ctx.out << "[+] Management Network already exists and is correctly configured\n";
    } else {
        ctx.out << "[+] Creating vswitch0 as Management Network\n";
        if (run_succeeded(ctx, {"ip", "link", "show", "vswitch0"}, RunMode::Query)) {
            ctx.out << "[+] vswitch0 bridge device already exists\n";
        } else if (auto s = changes.run("vswitch0", {"ip", "link", "add", "name", "vswitch0", "type", "bridge"}); !s) {
            return s;
        }
        auto made = changes.attempt("Management Network",
                                    connection_add_argv({"type", "bridge", "ifname", "vswitch0", "con-name",
                                                         "Management Network", "forward-delay", "2", "ipv4.method",
                                                         "auto", "ipv6.method", "ignore", "connection.autoconnect",
                                                         "yes", "connection.autoconnect-priority", "900"}));
        if (!made) return unexpected(made.error());
        if (*made) track_managed_resource(ctx, "vswitch", "Management Network");
    }

    if (connection_matches(ctx, "Management Uplink", "ethernet", uplink, "disabled")) {
        ctx.out << "[+] Management Uplink already exists and is correctly configured\n";
    } else {
        ctx.out << "[+] Creating Management Uplink connection\n";
        auto made = changes.attempt("Management Uplink",
                                    connection_add_argv({"type", "ethernet", "ifname", uplink, "con-name",
                                                         "Management Uplink", "master", "vswitch0",
                                                         "connection.autoconnect", "yes",
                                                         "connection.autoconnect-priority", "800"}));
        if (!made) return unexpected(made.error());
        // No IP settings follow: as a port of vswitch0 the profile has none, carries no address
        // (what "disabled" and "ignore" ask), and nmcli refuses to be given any.
        if (*made) track_managed_resource(ctx, "vswitch", "Management Uplink");
    }

    if (auto s = changes.run("Management Network", connection_up_argv("Management Network")); !s) return s;
    ctx.pause(std::chrono::milliseconds(500));
    put_joins_back_on_bridge(ctx, "vswitch0");
    if (auto s = changes.run("Management Uplink", connection_up_argv("Management Uplink")); !s) return s;
    ctx.out << "[+] Management Network configured with uplink: " << uplink << "\n";
    return {};
}

}  // namespace

std::string_view mode_text(BaselineMode mode) { return mode == BaselineMode::Auto ? "Auto" : "Force"; }

std::string_view appliance_type_text(ApplianceType type) {
    return type == ApplianceType::Physical ? "Physical" : "Virtual";
}

Result<ApplianceType> detect_appliance_type(const Context& ctx) {
    auto out = query_text(ctx, {"systemd-detect-virt"}, RunMode::Query);
    if (!out) return fail(out.error().message());
    return trim(*out) == "none" ? ApplianceType::Physical : ApplianceType::Virtual;
}

Status run_baseline(const Context& ctx, BaselineMode mode) {
    const std::string mode_name(mode_text(mode));
    ctx.out << "[+] Starting baseline configuration (mode: " << mode_name << ")\n";
    log_info(ctx, "Starting baseline configuration (mode: " + mode_name + ")");
    if (exists_following_links(ctx.path(kControlFilePath))) {
        log_info(ctx, "Control file exists: quillmar is managing network configuration");
        ctx.out << "[+] Control file exists: quillmar is managing network configuration\n";
    }

    if (mode == BaselineMode::Auto) {
        if (auto s = cleanup_stale_baseline_connections(ctx); !s) return s;
    } else {
        if (!confirmed(ctx)) {
            ctx.out << kCancelled;
            return {};
        }
        if (auto s = reset_managed_resources(ctx); !s) return s;
    }

    auto type = detect_appliance_type(ctx);
    if (!type) return fail(type.error().message);
    ctx.out << "[+] Detected appliance type: " << appliance_type_text(*type) << "\n";

    const std::vector<std::string> interfaces = physical_interfaces_pci_order(ctx);
    if (interfaces.empty()) return fail("No physical network interfaces found");
    ctx.out << "[+] Physical interfaces (PCI order): " << list_notation(interfaces) << "\n";

    baseline::Changes changes(ctx);
    if (mode == BaselineMode::Auto && vswitch0_exists(ctx)) {
        ctx.out << "[+] vswitch0 already exists, checking MAC address restoration\n";
        if (auto s = restore_vswitch0_mac(ctx, changes); !s)
            ctx.out << "[!] Warning: Failed to restore vswitch0 MAC address: " << s.error().message << "\n";
        ctx.out << "[+] Preserving existing vswitch0 configuration\n";
    } else if (auto s = setup_management_network(ctx, interfaces.front(), changes); !s) {
        return s;
    }

    if (*type == ApplianceType::Physical) {
        if (auto s = setup_internal_control_veth(ctx, changes); !s) return s;
        if (auto s = setup_hypervisor_network(ctx, changes); !s) return s;
    } else if (interfaces.size() >= 2) {
        if (auto s = setup_internal_control_interface(ctx, interfaces[1], changes); !s) return s;
    } else {
        ctx.out << "[!] Warning: Only one physical interface found, cannot configure ICN for virtual appliance\n";
    }

    if (const int failed = changes.failed(); failed > 0) {
        ctx.out << "[!] Baseline configuration finished with " << failed << " failed change"
                << (failed == 1 ? "" : "s") << "; see the warnings above\n";
        return {};
    }
    ctx.out << "[+] Baseline configuration completed successfully\n";
    return {};
}

}  // namespace qm
