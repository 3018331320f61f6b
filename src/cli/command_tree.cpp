#include "cli/command_tree.hpp"

#include <ostream>
#include <utility>

#include "build_id.hpp"
#include "cli/command_rows.hpp"
#include "cli/dispatch.hpp"
#include "cli/install.hpp"
#include "cli/usage_texts.hpp"
#include "cmds/baseline/baseline.hpp"
#include "cmds/baseline/baseline_unit.hpp"
#include "cmds/bond/bond.hpp"
#include "cmds/bridge/veth.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "cmds/bridge/vswitch_list.hpp"
#include "cmds/config/backup.hpp"
#include "cmds/config/lookup.hpp"
#include "cmds/config/maintenance.hpp"
#include "cmds/config/restore.hpp"
#include "cmds/libvirt/libvirt.hpp"
#include "cmds/list/list.hpp"
#include "cmds/vlan/vlan.hpp"
#include "cmds/vm/sync_vm_interfaces.hpp"
#include "cmds/vm/vm.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/text.hpp"

namespace qm::cli {

std::string OptionDef::display() const {
    std::string s = "--" + long_name;
    if (!is_flag()) s += " <" + value_name + ">";
    return s;
}

const CommandDef* CommandDef::find_subcommand(std::string_view wanted) const {
    for (const auto& c : subcommands)
        if (c.name == wanted) return &c;
    return nullptr;
}

const CommandDef* CommandDef::find_case(const std::type_info& wanted) const {
    for (const auto& c : subcommands)
        if (c.value_case && *c.value_case == wanted) return &c;
    return nullptr;
}

const OptionDef* CommandDef::find_long(std::string_view wanted) const {
    for (const auto& o : options)
        if (o.long_name == wanted) return &o;
    return nullptr;
}

const OptionDef* CommandDef::find_short(char wanted) const {
    for (const auto& o : options)
        if (o.short_name != 0 && o.short_name == wanted) return &o;
    return nullptr;
}

namespace {

using namespace rows;

// ------------------------------------------------------------------ what the rows share

// Prints a stored usage text as it stands.
auto usage_text(std::string_view text) {
    return [text](const Context& ctx, const auto&) { ctx.out << text; };
}

// A typed error is shown as "Error: " and its display text; the run still ends normally.
template <class E>
void report(const Context& ctx, const Expected<void, E>& result) {
    if (!result) ctx.err << "Error: " << result.error().display() << "\n";
}

// A general error is shown as "Error: " and its text.
void report(const Context& ctx, const Status& result) {
    if (!result) ctx.err << "Error: " << result.error().message << "\n";
}

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

// vswitch create and change first make sure the baseline boot unit is in place.
void ensure_baseline_service(const Context& ctx) {
    if (auto s = setup_baseline_service(ctx); !s)
        ctx.err << "[!] Warning: Failed to setup baseline service: " << s.error().message << "\n";
}

// ------------------------------------------------------------------ the commands

CommandDef bond_group() {
    return group<BondCommands>(
        "bond", "Manage bonded network interfaces",
        {
            with_usage(leaf<BondCreate>(
                           "create", "Create a new bonded interface",
                           [](const Context& ctx, const BondCreate& a) {
                               if (trim(a.members).empty()) return print_bond_types(ctx);
                               create_bond(ctx, a.name, a.members, a.mode);
                           },
                           opt("name", &BondCreate::name, "NAME", "").hidden(),
                           opt("members", &BondCreate::members, "MEMBERS", "Comma-separated list of interface members"),
                           opt("mode", &BondCreate::mode, "MODE", "Bonding mode (active-backup, balance-rr, etc.)")
                               .default_value("active-backup")),
                       "quillmar bond create --name <NAME> --members <MEMBERS> [--mode (default: active-backup)]"),
            with_usage(leaf<BondChange>("change", "Modify an existing bonded interface",
                                        [](const Context& ctx, const BondChange& a) {
                                            report(ctx, change_bond(ctx, a.name, a.members, a.mode));
                                        },
                                        opt("name", &BondChange::name, "NAME", "Name of the bonded interface"),
                                        opt("members", &BondChange::members, "MEMBERS",
                                            "New comma-separated list of interface members"),
                                        opt("mode", &BondChange::mode, "MODE", "New bonding mode")),
                       "quillmar bond change --name <NAME> --members <MEMBERS> | --mode <MODE> (see 'bond usage' "
                       "for all modes)"),
            leaf<BondDelete>("delete", "Delete a bonded interface",
                             [](const Context& ctx, const BondDelete& a) { delete_bond(ctx, a.name); },
                             opt("name", &BondDelete::name, "NAME", "Name of the bonded interface to delete")),
            leaf<BondList>("list", "List all bonded interfaces",
                           [](const Context& ctx, const BondList&) { list_bonds(ctx); }),
            leaf<BondFixBootPriorities>(
                "fix-boot-priorities",
                "Fix autoconnect priorities for existing bonds to prevent boot-time race conditions",
                [](const Context& ctx, const BondFixBootPriorities&) { fix_boot_priorities(ctx); }),
            leaf<BondUsage>("usage", "Show usage examples and help", usage_text(kBondUsage)),
        });
}

CommandDef vlan_group() {
    return group<VlanCommands>(
        "vlan", "Manage VLAN interfaces and bridges",
        {
            leaf<VlanCreate>(
                "create", "Create a new VLAN interface and bridge",
                [](const Context& ctx, const VlanCreate& a) { report(ctx, create_vlan(ctx, a.vlan_id, a.vswitch)); },
                opt("vlan_id", &VlanCreate::vlan_id, "VLAN_ID", "VLAN ID (e.g., 3008)"),
                opt("vswitch", &VlanCreate::vswitch, "VSWITCH", "Parent vswitch (e.g. 'Trunk vSwitch' or 'vswitch0')")),
            leaf<VlanDelete>(
                "delete", "Delete a VLAN interface and bridge",
                [](const Context& ctx, const VlanDelete& a) { report(ctx, delete_vlan(ctx, a.vlan_id, a.force)); },
                opt("vlan_id", &VlanDelete::vlan_id, "VLAN_ID", "VLAN ID to delete"),
                flag("force", &VlanDelete::force, "Force deletion even if VLAN is in use")),
            leaf<VlanList>("list", "List all VLAN interfaces and bridges",
                           [](const Context& ctx, const VlanList&) { list_vlans(ctx); }),
            leaf<VlanUsage>("usage", "Show usage examples and help", usage_text(kVlanUsage)),
        });
}

CommandDef vswitch_group() {
    return group<VswitchCommands>(
        "vswitch", "Manage virtual switch bridges",
        {
            leaf<VswitchCreate>(
                "create", "Create a new virtual switch bridge",
                [](const Context& ctx, const VswitchCreate& a) {
                    if (!accept_vswitch_name(ctx, a.name)) return;
                    ensure_baseline_service(ctx);
                    create_vswitch(ctx, a.name, a.uplink, a.master);
                },
                opt("name", &VswitchCreate::name, "NAME", "Name of the bridge to create"),
                opt("uplink", &VswitchCreate::uplink, "UPLINK", "Uplink interface (or 'none' for isolated bridge)"),
                flag("master", &VswitchCreate::master, "Mark this bridge as a master bridge")),
            leaf<VswitchDelete>("delete", "Delete a virtual switch bridge",
                                [](const Context& ctx, const VswitchDelete& a) { delete_vswitch(ctx, a.name); },
                                opt("name", &VswitchDelete::name, "NAME", "Name of the bridge to delete")),
            leaf<VswitchChange>(
                "change", "Change uplink interface for a bridge",
                [](const Context& ctx, const VswitchChange& a) {
                    if (!accept_vswitch_name(ctx, a.name)) return;
                    ensure_baseline_service(ctx);
                    if (auto s = configure_bridge_uplink(ctx, a.name, a.uplink, a.master); !s)
                        ctx.err << "[-] Failed to change bridge: " << s.error().message << "\n";
                },
                opt("name", &VswitchChange::name, "NAME", "Name of the bridge to modify"),
                opt("uplink", &VswitchChange::uplink, "UPLINK", "New uplink interface"),
                flag("master", &VswitchChange::master, "Mark this bridge as a master bridge")),
            leaf<VswitchSetMaster>(
                "set-master", "Mark an existing virtual switch as a master without reconfiguring it",
                [](const Context& ctx, const VswitchSetMaster& a) { set_master_bridge(ctx, a.name); },
                opt("name", &VswitchSetMaster::name, "NAME", "Name of the bridge to mark as master")),
            leaf<VswitchConnect>("connect", "Connect a bridge to a master bridge",
                                 [](const Context& ctx, const VswitchConnect& a) {
                                     connect_bridge_to_master(ctx, a.bridge, a.to);
                                 },
                                 opt("bridge", &VswitchConnect::bridge, "BRIDGE", "Bridge to connect"),
                                 opt("to", &VswitchConnect::to, "TO", "Master bridge to connect to")),
            leaf<VswitchDisconnect>("disconnect", "Disconnect a bridge from its master",
                                    [](const Context& ctx, const VswitchDisconnect& a) {
                                        disconnect_bridge_from_master(ctx, a.bridge, a.from);
                                    },
                                    opt("bridge", &VswitchDisconnect::bridge, "BRIDGE", "Bridge to disconnect"),
                                    opt("from", &VswitchDisconnect::from, "FROM", "Master bridge to disconnect from")),
            leaf<VswitchIsolate>("isolate", "Isolate a bridge from other bridges",
                                 [](const Context& ctx, const VswitchIsolate& a) { isolate_bridge(ctx, a.bridge); },
                                 opt("bridge", &VswitchIsolate::bridge, "BRIDGE", "Bridge to isolate")),
            leaf<VswitchQuarantine>("quarantine", "Quarantine a bridge (isolate and restrict access)",
                                    [](const Context& ctx, const VswitchQuarantine& a) {
                                        quarantine_bridge(ctx, a.bridge);
                                    },
                                    opt("bridge", &VswitchQuarantine::bridge, "BRIDGE", "Bridge to quarantine")),
            leaf<VswitchTopology>("topology", "Show bridge topology and connections",
                                  [](const Context& ctx, const VswitchTopology&) { show_bridge_topology(ctx); }),
            leaf<VswitchList>("list", "List all virtual switch bridges",
                              [](const Context& ctx, const VswitchList&) { list_vswitches(ctx); }),
            leaf<VswitchUsage>("usage", "Show usage examples and help", usage_text(kVswitchUsage)),
            group<VswitchVeth>("veth", "Restore veth pairs from stored bridge connections",
                               {leaf<VethRestore>("restore",
                                                  "Restore all veth pairs from stored bridge connections and fix "
                                                  "missing masters",
                                                  [](const Context& ctx, const VethRestore&) {
                                                      restore_veth_pairs(ctx);
                                                  })}),
        });
}

CommandDef network_group() {
    return group<NetworkCommands>(
        "network", "Manage libvirt networks",
        {
            with_usage(leaf<NetworkCreate>(
                           "create", "Create a new libvirt network",
                           [](const Context& ctx, const NetworkCreate& a) {
                               if (!network_options_ok(ctx, a)) return;
                               report(ctx, create_libvirt_network(ctx, a.name, a.vswitch.value_or(""), a.vlan_id));
                           },
                           opt("name", &NetworkCreate::name, "NAME", "Libvirt network name"),
                           opt("vswitch", &NetworkCreate::vswitch, "VSWITCH",
                               "vSwitch to attach to (e.g., 'vswitch0', 'Trunk')"),
                           opt("vlan_id", &NetworkCreate::vlan_id, "VLAN_ID",
                               "VLAN ID to search for corresponding vlan<ID>br device")),
                       "quillmar network create --name <NAME> (--vswitch <VSWITCH> | --vlan-id <VLAN_ID>)"),
            leaf<NetworkDelete>(
                "delete", "Delete a libvirt network",
                [](const Context& ctx, const NetworkDelete& a) {
                    report(ctx,
                           a.force ? force_delete_libvirt_network(ctx, a.name) : delete_libvirt_network(ctx, a.name));
                },
                opt("name", &NetworkDelete::name, "NAME", "Libvirt network name"),
                flag("force", &NetworkDelete::force, "Force deletion even if network is in use")),
            leaf<NetworkChange>(
                "change", "Change vSwitch or VLAN for a libvirt network",
                [](const Context& ctx, const NetworkChange& a) {
                    if (!network_options_ok(ctx, a)) return;
                    report(ctx, change_network_bridge(ctx, a.name, a.vswitch.value_or(""), a.vlan_id));
                },
                opt("name", &NetworkChange::name, "NAME", "Libvirt network name"),
                opt("vswitch", &NetworkChange::vswitch, "VSWITCH", "New vSwitch to attach to"),
                opt("vlan_id", &NetworkChange::vlan_id, "VLAN_ID",
                    "New VLAN ID to search for corresponding vlan<ID>br device")),
            leaf<NetworkList>("list", "List all libvirt networks",
                              [](const Context& ctx, const NetworkList&) {
                                  print_libvirt_networks(ctx, list_libvirt_networks(ctx));
                              }),
            leaf<NetworkAttach>(
                "attach", "Attach a VM to a libvirt network",
                [](const Context& ctx, const NetworkAttach& a) {
                    report(ctx, attach_vm_to_network(ctx, a.network, a.vm));
                },
                opt("network", &NetworkAttach::network, "NETWORK", "Libvirt network name"),
                opt("vm", &NetworkAttach::vm, "VM", "VM name to attach")),
            leaf<NetworkDetach>(
                "detach", "Detach a VM from a libvirt network",
                [](const Context& ctx, const NetworkDetach& a) {
                    report(ctx, detach_vm_from_network(ctx, a.network, a.vm));
                },
                opt("network", &NetworkDetach::network, "NETWORK", "Libvirt network name"),
                opt("vm", &NetworkDetach::vm, "VM", "VM name to detach")),
            leaf<NetworkMove>(
                "move", "Move a VM between libvirt networks",
                [](const Context& ctx, const NetworkMove& a) {
                    report(ctx, move_vm_between_networks(ctx, a.vm, a.from, a.to));
                },
                opt("vm", &NetworkMove::vm, "VM", "VM name to move"),
                opt("from", &NetworkMove::from, "FROM", "Source network name"),
                opt("to", &NetworkMove::to, "TO", "Target network name")),
            leaf<NetworkUsage>("usage", "Show usage examples and help", usage_text(kNetworkUsage)),
        });
}

CommandDef vm_group() {
    return group<VmCommands>("vm", "Manage and list VMs",
                             {
                                 leaf<VmList>("list", "List all VMs with their network information",
                                              [](const Context& ctx, const VmList&) { list_vms(ctx); }),
                                 leaf<VmUsage>("usage", "Show usage examples and help", usage_text(kVmUsage)),
                             });
}

CommandDef list_group() {
    return group<ListCommands>(
        "list", "Show network interfaces and connections",
        {
            leaf<ListPhysical>("physical", "List physical network interfaces",
                               [](const Context& ctx, const ListPhysical&) { list_physical_interfaces(ctx); }),
            leaf<ListInterfaces>("interfaces", "List all network interfaces (physical and virtual)",
                                 [](const Context& ctx, const ListInterfaces&) { list_interfaces(ctx); }),
            leaf<ListConnections>("connections", "List NetworkManager connections",
                                  [](const Context& ctx, const ListConnections&) { list_connections(ctx); }),
            leaf<ListUsage>("usage", "Show usage examples and help", usage_text(kListUsage)),
        });
}

CommandDef config_group() {
    return group<ConfigCommands>(
        "config", "Manage network configuration and backups",
        {
            leaf<ConfigBackup>(
                "backup", "Create a backup of current network configuration",
                [](const Context& ctx, const ConfigBackup& a) {
                    report(ctx, create_backup(ctx, a.name, a.description));
                },
                opt("name", &ConfigBackup::name, "NAME", "Name for the backup (default: timestamp-based)")
                    .short_name('n'),
                opt("description", &ConfigBackup::description, "DESCRIPTION", "Description for the backup")
                    .short_name('d')),
            leaf<ConfigRestore>(
                "restore", "Restore network configuration from backup",
                [](const Context& ctx, const ConfigRestore& a) {
                    report(ctx, a.name ? restore_backup(ctx, *a.name) : restore_default_backup(ctx));
                },
                opt("name", &ConfigRestore::name, "NAME", "Name of the backup to restore (default: latest)")
                    .short_name('n')),
            leaf<ConfigList>("list", "List available backups",
                             [](const Context& ctx, const ConfigList&) { list_backups(ctx); }),
            leaf<ConfigInfo>(
                "info", "Show information about a specific backup",
                [](const Context& ctx, const ConfigInfo& a) { report(ctx, show_backup_info(ctx, a.name)); },
                opt("name", &ConfigInfo::name, "NAME", "Name of the backup to show info for (default: latest)")
                    .short_name('n')),
            leaf<ConfigCleanup>(
                "cleanup", "Clean up stale NetworkManager connections",
                [](const Context& ctx, const ConfigCleanup&) { report(ctx, cleanup_stale_connections(ctx)); }),
            leaf<ConfigSmartCleanup>("smart-cleanup", "Smart cleanup of only our managed resources",
                                     [](const Context& ctx, const ConfigSmartCleanup&) { smart_cleanup(ctx); }),
            leaf<ConfigSync>("sync", "Sync configuration files with current network state",
                             [](const Context& ctx, const ConfigSync&) { report(ctx, sync_config_files(ctx)); }),
            leaf<ConfigRestoreVeth>(
                "restore-veth", "Restore only veth connections from backup",
                [](const Context& ctx, const ConfigRestoreVeth&) { report(ctx, restore_veth_from_backup(ctx)); }),
            leaf<ConfigUsage>("usage", "Show usage examples and help", usage_text(kConfigUsage)),
        });
}

void run_baseline_command(const Context& ctx, const Commands::Baseline& a) {
    if (a.auto_ && a.force) {
        ctx.err << "Error: --auto and --force are mutually exclusive\n";
        return;
    }
    if (!a.auto_ && !a.force) {
        ctx.out << kBaselineUsage;
        return;
    }
    if (auto s = run_baseline(ctx, a.auto_ ? BaselineMode::Auto : BaselineMode::Force); !s)
        ctx.err << "Error: " << s.error().message << "\n";
}

}  // namespace

CommandDef build_command_tree() {
    CommandDef root;
    root.name = std::string(kProgramName);
    root.about = "Ostrel NetworkManager control utility";
    root.subcommands = {
        ordered(bond_group(), 1),
        ordered(vlan_group(), 2),
        ordered(vswitch_group(), 3),
        ordered(network_group(), 4),
        ordered(vm_group(), 5),
        ordered(list_group(), 6),
        ordered(
            leaf<Commands::SyncVmInterfaces>("sync-vm-interfaces", "Reconnect VM interfaces to their expected bridges",
                                             [](const Context& ctx, const auto&) { sync_vm_interfaces(ctx); }),
            7),
        ordered(leaf<Commands::SyncVmInterfacesUsage>("sync-vm-interfaces-usage", "Show usage for sync-vm-interfaces",
                                                      usage_text(kSyncVmInterfacesUsage)),
                7),
        ordered(
            leaf<Commands::FixBootPriorities>(
                "fix-boot-priorities", "Fix autoconnect priorities for all bonds to prevent boot-time race conditions",
                [](const Context& ctx, const auto&) { fix_boot_priorities(ctx); }),
            8),
        ordered(leaf<Commands::EnableService>("enable-service",
                                              "Create systemd service for veth persistence from managed resources",
                                              [](const Context& ctx, const auto&) { enable_service(ctx); }),
                9),
        ordered(config_group(), 10),
        ordered(leaf<Commands::Baseline>(
                    "baseline", "Configure baseline network setup for Ostrel appliances", run_baseline_command,
                    flag("auto", &Commands::Baseline::auto_,
                         "Boot-time mode: minimal setup, respects existing vswitch0 configuration"),
                    flag("force", &Commands::Baseline::force,
                         "Manual mode: full reset to baseline configuration (requires confirmation)")),
                11),
        ordered(
            leaf<Commands::InstallSelf>("install-self", "Install quillmar to system",
                                        [](const Context& ctx, const auto&) { return install_self(ctx); }),
            98),
        ordered(leaf<Commands::PostInstall>("post-install", "Install bash completion",
                                            [](const Context& ctx, const auto&) { return post_install(ctx); }),
                99),
        ordered(leaf<Commands::Completion>(
                    "completion", "Generate shell completions",
                    [](const Context& ctx, const Commands::Completion& a) { print_completion(ctx, a.shell); },
                    opt("shell", &Commands::Completion::shell, "SHELL", "Shell type (bash, zsh, fish)")),
                100),
        ordered(leaf<Commands::Usage>("usage", "Show comprehensive usage and command list", usage_text(kUsageOverview)),
                101),
    };
    root.subcommand_required = true;
    root.help_when_empty = true;
    return root;
}

const std::string_view kRootHelpTemplate =
    "{before-help}\n"
    "Usage: {usage}\n"
    "\n"
    "Main Commands:\n"
    "    bond               Manage bonded interfaces\n"
    "    vswitch            Manage virtual switch bridges\n"
    "    vlan               Manage VLAN interfaces and bridges\n"
    "    network            Manage libvirt networks\n"
    "    vm                 Manage and list VMs\n"
    "    config             Manage network configuration and backups\n"
    "    baseline           Configure baseline network setup for Ostrel appliances\n"
    "    sync-vm-interfaces Reattach vnet interfaces to expected vswitches\n"
    "    list               Show interfaces and connections\n"
    "    fix-boot-priorities Fix autoconnect priorities for all bonds\n"
    "    enable-service     Create systemd service for veth persistence from managed resources\n"
    "\n"
    "Helper Commands:\n"
    "    usage          Show comprehensive command list and usage examples\n"
    "    completion     Generate shell completions\n"
    "    help           Print this message or the help of the given subcommand(s)\n"
    "\n"
    "Options:\n"
    "{after-help}";

}  // namespace qm::cli
