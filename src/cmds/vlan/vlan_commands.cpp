#include "cmds/vlan/vlan_commands.hpp"

#include "cmds/vlan/vlan.hpp"
#include "utils/report.hpp"

namespace qm {

void run_vlan_create(const Context& ctx, const VlanCreate& command) {
    report_error(ctx, create_vlan(ctx, command.vlan_id, command.vswitch));
}

void run_vlan_delete(const Context& ctx, const VlanDelete& command) {
    report_error(ctx, delete_vlan(ctx, command.vlan_id, command.force));
}

}  // namespace qm
