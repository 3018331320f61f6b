#include "cli/command_tree.hpp"

#include <utility>

namespace qm::cli {

std::string OptionSpec::display() const {
    std::string s = "--" + long_name;
    if (!is_flag()) s += " <" + value_name + ">";
    return s;
}

const CommandSpec* CommandSpec::find_subcommand(std::string_view wanted) const {
    for (const auto& c : subcommands)
        if (c.name == wanted) return &c;
    return nullptr;
}

const OptionSpec* CommandSpec::find_long(std::string_view wanted) const {
    for (const auto& o : options)
        if (o.long_name == wanted) return &o;
    return nullptr;
}

const OptionSpec* CommandSpec::find_short(char wanted) const {
    for (const auto& o : options)
        if (o.short_name != 0 && o.short_name == wanted) return &o;
    return nullptr;
}

namespace {

std::string long_name_of(const std::string& id) {
    std::string s = id;
    for (char& c : s)
        if (c == '_') c = '-';
    return s;
}

// Option builders: the long name follows from the identifier.
OptionSpec text(std::string id, std::string value_name, std::string help, bool required) {
    OptionSpec o;
    o.long_name = long_name_of(id);
    o.id = std::move(id);
    o.value_name = std::move(value_name);
    o.help = std::move(help);
    o.required = required;
    return o;
}
OptionSpec required_text(std::string id, std::string value_name, std::string help) {
    return text(std::move(id), std::move(value_name), std::move(help), true);
}
OptionSpec optional_text(std::string id, std::string value_name, std::string help) {
    return text(std::move(id), std::move(value_name), std::move(help), false);
}
OptionSpec u16(std::string id, std::string value_name, std::string help, bool required) {
    OptionSpec o = text(std::move(id), std::move(value_name), std::move(help), required);
    o.type = ValueType::U16;
    return o;
}
OptionSpec flag(std::string id, std::string help) {
    OptionSpec o = text(std::move(id), "", std::move(help), false);
    o.type = ValueType::Flag;
    return o;
}
OptionSpec with_short(OptionSpec o, char s) {
    o.short_name = s;
    return o;
}

CommandSpec leaf(std::string name, std::string about, std::vector<OptionSpec> options = {}) {
    CommandSpec c;
    c.name = std::move(name);
    c.about = std::move(about);
    c.options = std::move(options);
    return c;
}

CommandSpec group(std::string name, std::string about, std::vector<CommandSpec> subcommands) {
    CommandSpec c;
    c.name = std::move(name);
    c.about = std::move(about);
    c.subcommands = std::move(subcommands);
    c.subcommand_required = true;
    c.help_when_empty = true;
    return c;
}

CommandSpec ordered(CommandSpec c, int order) {
    c.display_order = order;
    return c;
}

CommandSpec with_usage(CommandSpec c, std::string usage) {
    c.override_usage = std::move(usage);
    return c;
}

CommandSpec bond_group() {
    OptionSpec hidden_name = optional_text("name", "NAME", "");
    hidden_name.hidden = true;
    OptionSpec mode = optional_text("mode", "MODE", "Bonding mode (active-backup, balance-rr, etc.)");
    mode.default_value = "active-backup";
    return group("bond", "Manage bonded network interfaces",
                 {
                     with_usage(leaf("create", "Create a new bonded interface",
                                     {hidden_name,
                                      required_text("members", "MEMBERS", "Comma-separated list of interface members"),
                                      mode}),
                                "quillmar bond create --name <NAME> --members <MEMBERS> [--mode (default: active-backup)]"),
                     with_usage(leaf("change", "Modify an existing bonded interface",
                                     {required_text("name", "NAME", "Name of the bonded interface"),
                                      optional_text("members", "MEMBERS", "New comma-separated list of interface members"),
                                      optional_text("mode", "MODE", "New bonding mode")}),
                                "quillmar bond change --name <NAME> --members <MEMBERS> | --mode <MODE> (see 'bond usage' "
                                "for all modes)"),
                     leaf("delete", "Delete a bonded interface",
                          {required_text("name", "NAME", "Name of the bonded interface to delete")}),
                     leaf("list", "List all bonded interfaces"),
                     leaf("fix-boot-priorities",
                          "Fix autoconnect priorities for existing bonds to prevent boot-time race conditions"),
                     leaf("usage", "Show usage examples and help"),
                 });
}

CommandSpec vlan_group() {
    return group("vlan", "Manage VLAN interfaces and bridges",
                 {
                     leaf("create", "Create a new VLAN interface and bridge",
                          {u16("vlan_id", "VLAN_ID", "VLAN ID (e.g., 3008)", true),
                           required_text("vswitch", "VSWITCH", "Parent vswitch (e.g. 'Trunk vSwitch' or 'vswitch0')")}),
                     leaf("delete", "Delete a VLAN interface and bridge",
                          {u16("vlan_id", "VLAN_ID", "VLAN ID to delete", true),
                           flag("force", "Force deletion even if VLAN is in use")}),
                     leaf("list", "List all VLAN interfaces and bridges"),
                     leaf("usage", "Show usage examples and help"),
                 });
}

CommandSpec vswitch_group() {
    return group(
        "vswitch", "Manage virtual switch bridges",
        {
            leaf("create", "Create a new virtual switch bridge",
                 {required_text("name", "NAME", "Name of the bridge to create"),
                  required_text("uplink", "UPLINK", "Uplink interface (or 'none' for isolated bridge)"),
                  flag("master", "Mark this bridge as a master bridge")}),
            leaf("delete", "Delete a virtual switch bridge",
                 {required_text("name", "NAME", "Name of the bridge to delete")}),
            leaf("change", "Change uplink interface for a bridge",
                 {required_text("name", "NAME", "Name of the bridge to modify"),
                  required_text("uplink", "UPLINK", "New uplink interface"),
                  flag("master", "Mark this bridge as a master bridge")}),
            leaf("set-master", "Mark an existing virtual switch as a master without reconfiguring it",
                 {required_text("name", "NAME", "Name of the bridge to mark as master")}),
            leaf("connect", "Connect a bridge to a master bridge",
                 {required_text("bridge", "BRIDGE", "Bridge to connect"),
                  required_text("to", "TO", "Master bridge to connect to")}),
            leaf("disconnect", "Disconnect a bridge from its master",
                 {required_text("bridge", "BRIDGE", "Bridge to disconnect"),
                  required_text("from", "FROM", "Master bridge to disconnect from")}),
            leaf("isolate", "Isolate a bridge from other bridges",
                 {required_text("bridge", "BRIDGE", "Bridge to isolate")}),
            leaf("quarantine", "Quarantine a bridge (isolate and restrict access)",
                 {required_text("bridge", "BRIDGE", "Bridge to quarantine")}),
            leaf("topology", "Show bridge topology and connections"),
            leaf("list", "List all virtual switch bridges"),
            leaf("usage", "Show usage examples and help"),
            group("veth", "Restore veth pairs from stored bridge connections",
                  {leaf("restore", "Restore all veth pairs from stored bridge connections and fix missing masters")}),
        });
}

CommandSpec network_group() {
    return group(
        "network", "Manage libvirt networks",
        {
            with_usage(leaf("create", "Create a new libvirt network",
                            {required_text("name", "NAME", "Libvirt network name"),
                             optional_text("vswitch", "VSWITCH", "vSwitch to attach to (e.g., 'vswitch0', 'Trunk')"),
                             u16("vlan_id", "VLAN_ID", "VLAN ID to search for corresponding vlan<ID>br device", false)}),
                       "quillmar network create --name <NAME> (--vswitch <VSWITCH> | --vlan-id <VLAN_ID>)"),
            leaf("delete", "Delete a libvirt network",
                 {required_text("name", "NAME", "Libvirt network name"),
                  flag("force", "Force deletion even if network is in use")}),
            leaf("change", "Change vSwitch or VLAN for a libvirt network",
                 {required_text("name", "NAME", "Libvirt network name"),
                  optional_text("vswitch", "VSWITCH", "New vSwitch to attach to"),
                  u16("vlan_id", "VLAN_ID", "New VLAN ID to search for corresponding vlan<ID>br device", false)}),
            leaf("list", "List all libvirt networks"),
            leaf("attach", "Attach a VM to a libvirt network",
                 {required_text("network", "NETWORK", "Libvirt network name"),
                  required_text("vm", "VM", "VM name to attach")}),
            leaf("detach", "Detach a VM from a libvirt network",
                 {required_text("network", "NETWORK", "Libvirt network name"),
                  required_text("vm", "VM", "VM name to detach")}),
            leaf("move", "Move a VM between libvirt networks",
                 {required_text("vm", "VM", "VM name to move"), required_text("from", "FROM", "Source network name"),
                  required_text("to", "TO", "Target network name")}),
            leaf("usage", "Show usage examples and help"),
        });
}

CommandSpec config_group() {
    return group(
        "config", "Manage network configuration and backups",
        {
            leaf("backup", "Create a backup of current network configuration",
                 {with_short(optional_text("name", "NAME", "Name for the backup (default: timestamp-based)"), 'n'),
                  with_short(optional_text("description", "DESCRIPTION", "Description for the backup"), 'd')}),
            leaf("restore", "Restore network configuration from backup",
                 {with_short(optional_text("name", "NAME", "Name of the backup to restore (default: latest)"), 'n')}),
            leaf("list", "List available backups"),
            leaf("info", "Show information about a specific backup",
                 {with_short(optional_text("name", "NAME", "Name of the backup to show info for (default: latest)"),
                             'n')}),
            leaf("cleanup", "Clean up stale NetworkManager connections"),
            leaf("smart-cleanup", "Smart cleanup of only our managed resources"),
            leaf("sync", "Sync configuration files with current network state"),
            leaf("restore-veth", "Restore only veth connections from backup"),
            leaf("usage", "Show usage examples and help"),
        });
}

}  // namespace

CommandSpec build_command_tree() {
    CommandSpec root;
    root.name = std::string(kProgramName);
    root.about = "Ostrel NetworkManager control utility";
    root.subcommands = {
        ordered(bond_group(), 1),
        ordered(vlan_group(), 2),
        ordered(vswitch_group(), 3),
        ordered(network_group(), 4),
        ordered(group("vm", "Manage and list VMs",
                      {leaf("list", "List all VMs with their network information"),
                       leaf("usage", "Show usage examples and help")}),
                5),
        ordered(group("list", "Show network interfaces and connections",
                      {leaf("physical", "List physical network interfaces"),
                       leaf("interfaces", "List all network interfaces (physical and virtual)"),
                       leaf("connections", "List NetworkManager connections"),
                       leaf("usage", "Show usage examples and help")}),
                6),
        ordered(leaf("sync-vm-interfaces", "Reconnect VM interfaces to their expected bridges"), 7),
        ordered(leaf("sync-vm-interfaces-usage", "Show usage for sync-vm-interfaces"), 7),
        ordered(leaf("fix-boot-priorities",
                     "Fix autoconnect priorities for all bonds to prevent boot-time race conditions"),
                8),
        ordered(leaf("enable-service", "Create systemd service for veth persistence from managed resources"), 9),
        ordered(config_group(), 10),
        ordered(leaf("baseline", "Configure baseline network setup for Ostrel appliances",
                     {flag("auto", "Boot-time mode: minimal setup, respects existing vswitch0 configuration"),
                      flag("force", "Manual mode: full reset to baseline configuration (requires confirmation)")}),
                11),
        ordered(leaf("install-self", "Install quillmar to system"), 98),
        ordered(leaf("post-install", "Install bash completion"), 99),
        ordered(leaf("completion", "Generate shell completions",
                     {required_text("shell", "SHELL", "Shell type (bash, zsh, fish)")}),
                100),
        ordered(leaf("usage", "Show comprehensive usage and command list"), 101),
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
