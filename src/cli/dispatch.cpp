#include "cli/dispatch.hpp"

#include <ostream>

#include "cli/usage_texts.hpp"
#include "cmds/baseline/baseline_unit.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "cmds/libvirt/libvirt.hpp"
#include "cmds/vlan/vlan.hpp"
#include "cmds/vm/sync_vm_interfaces.hpp"
#include "cmds/vm/vm.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/text.hpp"

namespace qm::cli {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

void print_usage(const Context& ctx, std::string_view text) { ctx.out << text; }

// Commands whose handlers this build does not have yet.
void not_available(const Context& ctx, std::string_view command) {
    ctx.err << "[-] The command 'quillmar " << command << "' is not available in this build\n";
}

[[maybe_unused]] void error_line(const Context& ctx, const std::string& text) { ctx.err << "Error: " << text << "\n"; }

// network create and network change take exactly one of --vswitch and --vlan-id.
template <class NetworkArgs>
bool network_options_ok(const Context& ctx, const NetworkArgs& a) {
    if (!a.vswitch && !a.vlan_id) {
        ctx.err << "Error: Either --vswitch or --vlan-id must be specified.\n";
        return false;
    }
    if (a.vswitch && a.vlan_id) {
        ctx.err << "Error: --vswitch and --vlan-id are mutually exclusive. Use only one.\n";
        return false;
    }
    return true;
}

void dispatch_bond(const Context& ctx, const BondCommands& cmd) {
    std::visit(Overloaded{
                   [&](const BondCommands::Create& a) {
                       if (trim(a.members).empty()) {
                           print_bond_types(ctx);
                           return;
                       }
                       not_available(ctx, "bond create");
                   },
                   [&](const BondCommands::Change&) { not_available(ctx, "bond change"); },
                   [&](const BondCommands::Delete&) { not_available(ctx, "bond delete"); },
                   [&](const BondCommands::List&) { not_available(ctx, "bond list"); },
                   [&](const BondCommands::FixBootPriorities&) { not_available(ctx, "bond fix-boot-priorities"); },
                   [&](const BondCommands::Usage&) { print_usage(ctx, kBondUsage); },
               },
               cmd.value);
}

void dispatch_vlan(const Context& ctx, const VlanCommands& cmd) {
    std::visit(Overloaded{
                   [&](const VlanCommands::Create& a) {
                       if (auto r = create_vlan(ctx, a.vlan_id, a.vswitch); !r) error_line(ctx, r.error().display());
                   },
                   [&](const VlanCommands::Delete& a) {
                       if (auto r = delete_vlan(ctx, a.vlan_id, a.force); !r) error_line(ctx, r.error().display());
                   },
                   [&](const VlanCommands::List&) { list_vlans(ctx); },
                   [&](const VlanCommands::Usage&) { print_usage(ctx, kVlanUsage); },
               },
               cmd.value);
}

// vswitch create and change first make sure the baseline boot unit is in place.
void ensure_baseline_service(const Context& ctx) {
    if (auto s = setup_baseline_service(ctx); !s)
        ctx.err << "[!] Warning: Failed to setup baseline service: " << s.error().message << "\n";
}

void dispatch_vswitch(const Context& ctx, const VswitchCommands& cmd) {
    std::visit(Overloaded{
                   [&](const VswitchCommands::Create& a) {
                       ensure_baseline_service(ctx);
                       create_vswitch(ctx, a.name, a.uplink, a.master);
                   },
                   [&](const VswitchCommands::Delete&) { not_available(ctx, "vswitch delete"); },
                   [&](const VswitchCommands::Change& a) {
                       ensure_baseline_service(ctx);
                       if (auto s = configure_bridge_uplink(ctx, a.name, a.uplink, a.master); !s)
                           ctx.err << "[-] Failed to change bridge: " << s.error().message << "\n";
                   },
                   [&](const VswitchCommands::SetMaster&) { not_available(ctx, "vswitch set-master"); },
                   [&](const VswitchCommands::Connect&) { not_available(ctx, "vswitch connect"); },
                   [&](const VswitchCommands::Disconnect&) { not_available(ctx, "vswitch disconnect"); },
                   [&](const VswitchCommands::Isolate&) { not_available(ctx, "vswitch isolate"); },
                   [&](const VswitchCommands::Quarantine&) { not_available(ctx, "vswitch quarantine"); },
                   [&](const VswitchCommands::Topology&) { not_available(ctx, "vswitch topology"); },
                   [&](const VswitchCommands::List&) { not_available(ctx, "vswitch list"); },
                   [&](const VswitchCommands::Usage&) { print_usage(ctx, kVswitchUsage); },
                   [&](const VswitchCommands::Veth&) { not_available(ctx, "vswitch veth restore"); },
               },
               cmd.value);
}

void dispatch_network(const Context& ctx, const NetworkCommands& cmd) {
    auto report = [&](const LibvirtStatus& r) {
        if (!r) error_line(ctx, r.error().display());
    };
    std::visit(Overloaded{
                   [&](const NetworkCommands::Create& a) {
                       if (!network_options_ok(ctx, a)) return;
                       report(create_libvirt_network(ctx, a.name, a.vswitch.value_or(""), a.vlan_id));
                   },
                   [&](const NetworkCommands::Delete& a) {
                       report(a.force ? force_delete_libvirt_network(ctx, a.name)
                                      : delete_libvirt_network(ctx, a.name));
                   },
                   [&](const NetworkCommands::Change& a) {
                       if (!network_options_ok(ctx, a)) return;
                       report(change_network_bridge(ctx, a.name, a.vswitch.value_or(""), a.vlan_id));
                   },
                   [&](const NetworkCommands::List&) { print_libvirt_networks(ctx, list_libvirt_networks(ctx)); },
                   [&](const NetworkCommands::Attach& a) { report(attach_vm_to_network(ctx, a.network, a.vm)); },
                   [&](const NetworkCommands::Detach& a) { report(detach_vm_from_network(ctx, a.network, a.vm)); },
                   [&](const NetworkCommands::Move& a) {
                       report(move_vm_between_networks(ctx, a.vm, a.from, a.to));
                   },
                   [&](const NetworkCommands::Usage&) { print_usage(ctx, kNetworkUsage); },
               },
               cmd.value);
}

void dispatch_vm(const Context& ctx, const VmCommands& cmd) {
    std::visit(Overloaded{
                   [&](const VmCommands::List&) { list_vms(ctx); },
                   [&](const VmCommands::Usage&) { print_usage(ctx, kVmUsage); },
               },
               cmd.value);
}

void dispatch_list(const Context& ctx, const ListCommands& cmd) {
    std::visit(Overloaded{
                   [&](const ListCommands::Physical&) { not_available(ctx, "list physical"); },
                   [&](const ListCommands::Interfaces&) { not_available(ctx, "list interfaces"); },
                   [&](const ListCommands::Connections&) { not_available(ctx, "list connections"); },
                   [&](const ListCommands::Usage&) { print_usage(ctx, kListUsage); },
               },
               cmd.value);
}

void dispatch_config(const Context& ctx, const ConfigCommands& cmd) {
    std::visit(Overloaded{
                   [&](const ConfigCommands::Backup&) { not_available(ctx, "config backup"); },
                   [&](const ConfigCommands::Restore&) { not_available(ctx, "config restore"); },
                   [&](const ConfigCommands::List&) { not_available(ctx, "config list"); },
                   [&](const ConfigCommands::Info&) { not_available(ctx, "config info"); },
                   [&](const ConfigCommands::Cleanup&) { not_available(ctx, "config cleanup"); },
                   [&](const ConfigCommands::SmartCleanup&) { smart_cleanup(ctx); },
                   [&](const ConfigCommands::Sync&) { not_available(ctx, "config sync"); },
                   [&](const ConfigCommands::RestoreVeth&) { not_available(ctx, "config restore-veth"); },
                   [&](const ConfigCommands::Usage&) { print_usage(ctx, kConfigUsage); },
               },
               cmd.value);
}

void dispatch_baseline(const Context& ctx, const Commands::Baseline& a) {
    if (a.auto_ && a.force) {
        ctx.err << "Error: --auto and --force are mutually exclusive\n";
        return;
    }
    if (!a.auto_ && !a.force) {
        print_usage(ctx, kBaselineUsage);
        return;
    }
    not_available(ctx, a.auto_ ? "baseline --auto" : "baseline --force");
}

}  // namespace

void print_bond_types(const Context& ctx) {
    ctx.out << "Available bond types:\n"
               "  - balance-rr\n"
               "  - active-backup\n"
               "  - balance-xor\n"
               "  - broadcast\n"
               "  - 802.3ad\n"
               "  - balance-tlb\n"
               "  - balance-alb\n";
}

void check_first_run(const Context&) {
    // The first-run backup needs the configuration backups, which this build does not have yet.
}

int dispatch_command(const Context& ctx, const Cli& cli) {
    int status = 0;
    std::visit(Overloaded{
                   [&](const BondCommands& c) { dispatch_bond(ctx, c); },
                   [&](const VlanCommands& c) { dispatch_vlan(ctx, c); },
                   [&](const VswitchCommands& c) { dispatch_vswitch(ctx, c); },
                   [&](const NetworkCommands& c) { dispatch_network(ctx, c); },
                   [&](const VmCommands& c) { dispatch_vm(ctx, c); },
                   [&](const ListCommands& c) { dispatch_list(ctx, c); },
                   [&](const Commands::SyncVmInterfaces&) { sync_vm_interfaces(ctx); },
                   [&](const Commands::SyncVmInterfacesUsage&) { print_usage(ctx, kSyncVmInterfacesUsage); },
                   [&](const Commands::FixBootPriorities&) { not_available(ctx, "fix-boot-priorities"); },
                   [&](const Commands::EnableService&) { not_available(ctx, "enable-service"); },
                   [&](const ConfigCommands& c) { dispatch_config(ctx, c); },
                   [&](const Commands::Baseline& a) { dispatch_baseline(ctx, a); },
                   [&](const Commands::InstallSelf&) { not_available(ctx, "install-self"); },
                   [&](const Commands::PostInstall&) { not_available(ctx, "post-install"); },
                   [&](const Commands::Completion&) { not_available(ctx, "completion"); },
                   [&](const Commands::Usage&) { print_usage(ctx, kUsageOverview); },
               },
               cli.command.value);
    return status;
}

}  // namespace qm::cli
