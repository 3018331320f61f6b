// The appliance baseline: the management bridge vswitch0 with its uplink, and the internal
// control and hypervisor networks, laid down at every boot (`baseline --auto`) or as a
// confirmed full reset (`baseline --force`).
//
// Every child runs without showing its output. In the steps that change the host only a
// child that cannot be started is an error (its text the operating system's message); a
// child that runs and fails is a warning and the run goes on (baseline::Changes), so a
// half-working host still gets as much of its baseline as the tools allow.
#pragma once

#include <string>
#include <string_view>

#include "utils/context.hpp"

namespace qm {

namespace baseline {
class Changes;
}

enum class BaselineMode { Auto, Force };
enum class ApplianceType { Physical, Virtual };

// "Auto" / "Force", "Physical" / "Virtual".
std::string_view mode_text(BaselineMode mode);
std::string_view appliance_type_text(ApplianceType type);

// The four profile names the baseline owns, in this order.
inline constexpr std::string_view kBaselineConnectionNames[] = {
    "Management Network", "Management Uplink", "Internal Control Network", "Hypervisor Network"};

// `baseline --auto` / `baseline --force`. The front end prints an error as "Error: " and its text.
Status run_baseline(const Context& ctx, BaselineMode mode);

// Physical when `systemd-detect-virt` prints "none"; an error when it cannot be started.
Result<ApplianceType> detect_appliance_type(const Context& ctx);

// --- Baseline profiles and checks ---

// `ip link show vswitch0` exits 0.
bool vswitch0_exists(const Context& ctx);
// Puts the MAC stored for vswitch0 back on the "Management Network" profile when it differs.
Status restore_vswitch0_mac(const Context& ctx, baseline::Changes& changes);
// A profile of that name exists with this type ("ethernet" also as nmcli reports it,
// "802-3-ethernet"), interface and IPv4 method, and IPv6 "ignore". A port has no IP settings
// of its own; it counts as IPv4 "disabled" and IPv6 "ignore".
bool connection_matches(const Context& ctx, const std::string& name, const std::string& type,
                        const std::string& interface, const std::string& ipv4_method);
// An ethernet profile of that name on that interface has the static address (manual, IPv6 ignore).
bool ip_connection_matches(const Context& ctx, const std::string& name, const std::string& interface,
                           const std::string& address);
// Physical appliance: the veth0/veth1 pair and the "Internal Control Network" on veth0.
Status setup_internal_control_veth(const Context& ctx, baseline::Changes& changes);
// Physical appliance: the "Hypervisor Network" on veth1.
Status setup_hypervisor_network(const Context& ctx, baseline::Changes& changes);
// Virtual appliance: the "Internal Control Network" on the given interface.
Status setup_internal_control_interface(const Context& ctx, const std::string& interface,
                                        baseline::Changes& changes);

// --- Clearing the ground ---

// Deletes every profile, veth device and vswitch bridge device that looks like one of ours,
// whether or not the ledger knows it. An error only when a listing cannot be started.
Status comprehensive_cleanup(const Context& ctx);
// At boot: deletes surplus and inactive copies of the baseline profiles, and inactive
// profiles named the way this program names its objects.
Status cleanup_stale_baseline_connections(const Context& ctx);
// After a confirmed --force: removes the control file, runs the comprehensive cleanup, then
// takes down and deletes everything in the ledger and removes the ledger.
Status reset_managed_resources(const Context& ctx);

}  // namespace qm
