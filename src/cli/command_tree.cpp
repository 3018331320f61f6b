#include "cli/command_tree.hpp"

#include <ostream>
#include <string>

#include "build_id.hpp"
#include "cli/command_rows.hpp"
#include "cli/install.hpp"
#include "cli/usage_texts.hpp"
#include "cmds/bond/bond.hpp"
#include "cmds/bridge/veth.hpp"
#include "cmds/bridge/vswitch_list.hpp"
#include "cmds/config/lookup.hpp"
#include "cmds/config/maintenance.hpp"
#include "cmds/list/list.hpp"
#include "cmds/vlan/vlan.hpp"
#include "cmds/vm/sync_vm_interfaces.hpp"
#include "cmds/vm/vm.hpp"
#include "utils/managed_resources/managed_resources.hpp"

namespace qm::cli {

OptionDef::OptionDef() = default;
OptionDef::OptionDef(const OptionDef&) = default;
OptionDef::OptionDef(OptionDef&&) noexcept = default;
OptionDef& OptionDef::operator=(const OptionDef&) = default;
OptionDef& OptionDef::operator=(OptionDef&&) noexcept = default;
OptionDef::~OptionDef() = default;

CommandDef::CommandDef() = default;
CommandDef::CommandDef(const CommandDef&) = default;
CommandDef::CommandDef(CommandDef&&) noexcept = default;
CommandDef& CommandDef::operator=(const CommandDef&) = default;
CommandDef& CommandDef::operator=(CommandDef&&) noexcept = default;
CommandDef::~CommandDef() = default;

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

const CommandDef* CommandDef::find_case(std::size_t wanted) const {
    for (const auto& c : subcommands)
        if (c.case_index == wanted) return &c;
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

// The handler of the usage commands: prints the stored page as it stands.
template <const std::string_view& Page>
void print_page(const Context& ctx) {
    ctx.out << Page;
}

auto bond_group() {
    return group<BondCommands>(
        "bond", "Manage bonded network interfaces",
        with_usage(leaf<BondCreate, run_bond_create>(
                       "create", "Create a new bonded interface",
                       optional_text<&BondCreate::name>("name", "NAME", "").hidden(),
                       text<&BondCreate::members>("members", "MEMBERS", "Comma-separated list of interface members"),
                       text<&BondCreate::mode>("mode", "MODE", "Bonding mode (active-backup, balance-rr, etc.)")
                           .default_value("active-backup")),
                   "quillmar bond create --name <NAME> --members <MEMBERS> [--mode (default: active-backup)]"),
        with_usage(
            leaf<BondChange, run_bond_change>(
                "change", "Modify an existing bonded interface",
                text<&BondChange::name>("name", "NAME", "Name of the bonded interface"),
                optional_text<&BondChange::members>("members", "MEMBERS",
                                                    "New comma-separated list of interface members"),
                optional_text<&BondChange::mode>("mode", "MODE", "New bonding mode")),
            "quillmar bond change --name <NAME> --members <MEMBERS> | --mode <MODE> (see 'bond usage' for all modes)"),
        leaf<BondDelete, run_bond_delete>(
            "delete", "Delete a bonded interface",
            text<&BondDelete::name>("name", "NAME", "Name of the bonded interface to delete")),
        leaf<BondList, list_bonds>("list", "List all bonded interfaces"),
        leaf<BondFixBootPriorities, fix_boot_priorities>(
            "fix-boot-priorities",
            "Fix autoconnect priorities for existing bonds to prevent boot-time race conditions"),
        leaf<BondUsage, print_page<kBondUsage>>("usage", "Show usage examples and help"));
}

auto vlan_group() {
    return group<VlanCommands>(
        "vlan", "Manage VLAN interfaces and bridges",
        leaf<VlanCreate, run_vlan_create>(
            "create", "Create a new VLAN interface and bridge",
            number<&VlanCreate::vlan_id>("vlan_id", "VLAN_ID", "VLAN ID (e.g., 3008)"),
            text<&VlanCreate::vswitch>("vswitch", "VSWITCH", "Parent vswitch (e.g. 'Trunk vSwitch' or 'vswitch0')")),
        leaf<VlanDelete, run_vlan_delete>("delete", "Delete a VLAN interface and bridge",
                                          number<&VlanDelete::vlan_id>("vlan_id", "VLAN_ID", "VLAN ID to delete"),
                                          flag<&VlanDelete::force>("force", "Force deletion even if VLAN is in use")),
        leaf<VlanList, list_vlans>("list", "List all VLAN interfaces and bridges"),
        leaf<VlanUsage, print_page<kVlanUsage>>("usage", "Show usage examples and help"));
}

auto vswitch_group() {
    return group<VswitchCommands>(
        "vswitch", "Manage virtual switch bridges",
        leaf<VswitchCreate, run_vswitch_create>(
            "create", "Create a new virtual switch bridge",
            text<&VswitchCreate::name>("name", "NAME", "Name of the bridge to create"),
            text<&VswitchCreate::uplink>("uplink", "UPLINK", "Uplink interface (or 'none' for isolated bridge)"),
            flag<&VswitchCreate::master>("master", "Mark this bridge as a master bridge")),
        leaf<VswitchDelete, run_vswitch_delete>(
            "delete", "Delete a virtual switch bridge",
            text<&VswitchDelete::name>("name", "NAME", "Name of the bridge to delete")),
        leaf<VswitchChange, run_vswitch_change>(
            "change", "Change uplink interface for a bridge",
            text<&VswitchChange::name>("name", "NAME", "Name of the bridge to modify"),
            text<&VswitchChange::uplink>("uplink", "UPLINK", "New uplink interface"),
            flag<&VswitchChange::master>("master", "Mark this bridge as a master bridge")),
        leaf<VswitchSetMaster, run_vswitch_set_master>(
            "set-master", "Mark an existing virtual switch as a master without reconfiguring it",
            text<&VswitchSetMaster::name>("name", "NAME", "Name of the bridge to mark as master")),
        leaf<VswitchConnect, run_vswitch_connect>(
            "connect", "Connect a bridge to a master bridge",
            text<&VswitchConnect::bridge>("bridge", "BRIDGE", "Bridge to connect"),
            text<&VswitchConnect::to>("to", "TO", "Master bridge to connect to")),
        leaf<VswitchDisconnect, run_vswitch_disconnect>(
            "disconnect", "Disconnect a bridge from its master",
            text<&VswitchDisconnect::bridge>("bridge", "BRIDGE", "Bridge to disconnect"),
            text<&VswitchDisconnect::from>("from", "FROM", "Master bridge to disconnect from")),
        leaf<VswitchIsolate, run_vswitch_isolate>(
            "isolate", "Isolate a bridge from other bridges",
            text<&VswitchIsolate::bridge>("bridge", "BRIDGE", "Bridge to isolate")),
        leaf<VswitchQuarantine, run_vswitch_quarantine>(
            "quarantine", "Quarantine a bridge (isolate and restrict access)",
            text<&VswitchQuarantine::bridge>("bridge", "BRIDGE", "Bridge to quarantine")),
        leaf<VswitchTopology, show_bridge_topology>("topology", "Show bridge topology and connections"),
        leaf<VswitchList, list_vswitches>("list", "List all virtual switch bridges"),
        leaf<VswitchUsage, print_page<kVswitchUsage>>("usage", "Show usage examples and help"),
        group<VswitchCommands, VswitchVeth>(
            "veth", "Restore veth pairs from stored bridge connections",
            leaf<VethRestore, restore_veth_pairs>(
                "restore", "Restore all veth pairs from stored bridge connections and fix missing masters")));
}

auto network_group() {
    return group<NetworkCommands>(
        "network", "Manage libvirt networks",
        with_usage(leaf<NetworkCreate, run_network_create>(
                       "create", "Create a new libvirt network",
                       text<&NetworkCreate::name>("name", "NAME", "Libvirt network name"),
                       optional_text<&NetworkCreate::vswitch>("vswitch", "VSWITCH",
                                                              "vSwitch to attach to (e.g., 'vswitch0', 'Trunk')"),
                       optional_number<&NetworkCreate::vlan_id>(
                           "vlan_id", "VLAN_ID", "VLAN ID to search for corresponding vlan<ID>br device")),
                   "quillmar network create --name <NAME> (--vswitch <VSWITCH> | --vlan-id <VLAN_ID>)"),
        leaf<NetworkDelete, run_network_delete>(
            "delete", "Delete a libvirt network",
            text<&NetworkDelete::name>("name", "NAME", "Libvirt network name"),
            flag<&NetworkDelete::force>("force", "Force deletion even if network is in use")),
        leaf<NetworkChange, run_network_change>(
            "change", "Change vSwitch or VLAN for a libvirt network",
            text<&NetworkChange::name>("name", "NAME", "Libvirt network name"),
            optional_text<&NetworkChange::vswitch>("vswitch", "VSWITCH", "New vSwitch to attach to"),
            optional_number<&NetworkChange::vlan_id>("vlan_id", "VLAN_ID",
                                                     "New VLAN ID to search for corresponding vlan<ID>br device")),
        leaf<NetworkList, run_network_list>("list", "List all libvirt networks"),
        leaf<NetworkAttach, run_network_attach>(
            "attach", "Attach a VM to a libvirt network",
            text<&NetworkAttach::network>("network", "NETWORK", "Libvirt network name"),
            text<&NetworkAttach::vm>("vm", "VM", "VM name to attach")),
        leaf<NetworkDetach, run_network_detach>(
            "detach", "Detach a VM from a libvirt network",
            text<&NetworkDetach::network>("network", "NETWORK", "Libvirt network name"),
            text<&NetworkDetach::vm>("vm", "VM", "VM name to detach")),
        leaf<NetworkMove, run_network_move>("move", "Move a VM between libvirt networks",
                                            text<&NetworkMove::vm>("vm", "VM", "VM name to move"),
                                            text<&NetworkMove::from>("from", "FROM", "Source network name"),
                                            text<&NetworkMove::to>("to", "TO", "Target network name")),
        leaf<NetworkUsage, print_page<kNetworkUsage>>("usage", "Show usage examples and help"));
}

auto vm_group() {
    return group<VmCommands>("vm", "Manage and list VMs",
                             leaf<VmList, list_vms>("list", "List all VMs with their network information"),
                             leaf<VmUsage, print_page<kVmUsage>>("usage", "Show usage examples and help"));
}

auto list_group() {
    return group<ListCommands>(
        "list", "Show network interfaces and connections",
        leaf<ListPhysical, list_physical_interfaces>("physical", "List physical network interfaces"),
        leaf<ListInterfaces, list_interfaces>("interfaces", "List all network interfaces (physical and virtual)"),
        leaf<ListConnections, list_connections>("connections", "List NetworkManager connections"),
        leaf<ListUsage, print_page<kListUsage>>("usage", "Show usage examples and help"));
}

auto config_group() {
    return group<ConfigCommands>(
        "config", "Manage network configuration and backups",
        leaf<ConfigBackup, run_config_backup>(
            "backup", "Create a backup of current network configuration",
            optional_text<&ConfigBackup::name>("name", "NAME", "Name for the backup (default: timestamp-based)")
                .short_name('n'),
            optional_text<&ConfigBackup::description>("description", "DESCRIPTION", "Description for the backup")
                .short_name('d')),
        leaf<ConfigRestore, run_config_restore>(
            "restore", "Restore network configuration from backup",
            optional_text<&ConfigRestore::name>("name", "NAME", "Name of the backup to restore (default: latest)")
                .short_name('n')),
        leaf<ConfigList, list_backups>("list", "List available backups"),
        leaf<ConfigInfo, run_config_info>(
            "info", "Show information about a specific backup",
            optional_text<&ConfigInfo::name>("name", "NAME", "Name of the backup to show info for (default: latest)")
                .short_name('n')),
        leaf<ConfigCleanup, run_config_cleanup>("cleanup", "Clean up stale NetworkManager connections"),
        leaf<ConfigSmartCleanup, smart_cleanup>("smart-cleanup", "Smart cleanup of only our managed resources"),
        leaf<ConfigSync, run_config_sync>("sync", "Sync configuration files with current network state"),
        leaf<ConfigRestoreVeth, run_config_restore_veth>("restore-veth", "Restore only veth connections from backup"),
        leaf<ConfigUsage, print_page<kConfigUsage>>("usage", "Show usage examples and help"));
}

}  // namespace

CommandDef build_command_tree() {
    return root(
        kProgramName, "Ostrel NetworkManager control utility",
        ordered(bond_group(), 1),
        ordered(vlan_group(), 2),
        ordered(vswitch_group(), 3),
        ordered(network_group(), 4),
        ordered(vm_group(), 5),
        ordered(list_group(), 6),
        ordered(leaf<Commands::SyncVmInterfaces, sync_vm_interfaces>(
                    "sync-vm-interfaces", "Reconnect VM interfaces to their expected bridges"),
                7),
        ordered(leaf<Commands::SyncVmInterfacesUsage, print_page<kSyncVmInterfacesUsage>>(
                    "sync-vm-interfaces-usage", "Show usage for sync-vm-interfaces"),
                7),
        ordered(leaf<Commands::FixBootPriorities, fix_boot_priorities>(
                    "fix-boot-priorities",
                    "Fix autoconnect priorities for all bonds to prevent boot-time race conditions"),
                8),
        ordered(leaf<Commands::EnableService, enable_service>(
                    "enable-service", "Create systemd service for veth persistence from managed resources"),
                9),
        ordered(config_group(), 10),
        ordered(leaf<Commands::Baseline, run_baseline_command>(
                    "baseline", "Configure baseline network setup for Ostrel appliances",
                    flag<&Commands::Baseline::auto_>(
                        "auto", "Boot-time mode: minimal setup, respects existing vswitch0 configuration"),
                    flag<&Commands::Baseline::force>(
                        "force", "Manual mode: full reset to baseline configuration (requires confirmation)")),
                11),
        ordered(leaf<Commands::InstallSelf, install_self>("install-self", "Install quillmar to system"), 98),
        ordered(leaf<Commands::PostInstall, post_install>("post-install", "Install bash completion"), 99),
        ordered(leaf<Commands::Completion, run_completion>(
                    "completion", "Generate shell completions",
                    text<&Commands::Completion::shell>("shell", "SHELL", "Shell type (bash, zsh, fish)")),
                100),
        ordered(leaf<Commands::Usage, print_page<kUsageOverview>>("usage", "Show comprehensive usage and command list"),
                101));
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
