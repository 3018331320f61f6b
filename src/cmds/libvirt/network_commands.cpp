#include "cmds/libvirt/network_commands.hpp"

#include <ostream>

#include "cmds/libvirt/libvirt.hpp"
#include "cmds/vm/vm.hpp"
#include "utils/report.hpp"

namespace qm {

namespace {

// Exactly one of --vswitch and --vlan-id.
template <class NetworkOptions>
bool bridge_options_ok(const Context& ctx, const NetworkOptions& command) {
    if (!command.vswitch && !command.vlan_id) {
        ctx.err << "Error: Either --vswitch or --vlan-id must be specified.\n";
        return false;
    }
    if (command.vswitch && command.vlan_id) {
        ctx.err << "Error: --vswitch and --vlan-id are mutually exclusive. Use only one.\n";
        return false;
    }
    return true;
}

}  // namespace

void run_network_create(const Context& ctx, const NetworkCreate& command) {
    if (!bridge_options_ok(ctx, command)) return;
    report_error(ctx, create_libvirt_network(ctx, command.name, command.vswitch.value_or(""), command.vlan_id));
}

void run_network_change(const Context& ctx, const NetworkChange& command) {
    if (!bridge_options_ok(ctx, command)) return;
    report_error(ctx, change_network_bridge(ctx, command.name, command.vswitch.value_or(""), command.vlan_id));
}

void run_network_delete(const Context& ctx, const NetworkDelete& command) {
    report_error(ctx, command.force ? force_delete_libvirt_network(ctx, command.name)
                                    : delete_libvirt_network(ctx, command.name));
}

void run_network_list(const Context& ctx) { print_libvirt_networks(ctx, list_libvirt_networks(ctx)); }

void run_network_attach(const Context& ctx, const NetworkAttach& command) {
    report_error(ctx, attach_vm_to_network(ctx, command.network, command.vm));
}

void run_network_detach(const Context& ctx, const NetworkDetach& command) {
    report_error(ctx, detach_vm_from_network(ctx, command.network, command.vm));
}

void run_network_move(const Context& ctx, const NetworkMove& command) {
    report_error(ctx, move_vm_between_networks(ctx, command.vm, command.from, command.to));
}

}  // namespace qm
