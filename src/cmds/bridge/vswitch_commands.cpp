#include "cmds/bridge/vswitch_commands.hpp"

#include <ostream>

#include "cmds/baseline/baseline_unit.hpp"
#include "cmds/bridge/veth.hpp"
#include "cmds/bridge/vswitch.hpp"

namespace qm {

namespace {

void ensure_baseline_service(const Context& ctx) {
    if (auto s = setup_baseline_service(ctx); !s)
        ctx.err << "[!] Warning: Failed to setup baseline service: " << s.error().message << "\n";
}

}  // namespace

void run_vswitch_create(const Context& ctx, const VswitchCreate& command) {
    if (!accept_vswitch_name(ctx, command.name)) return;
    ensure_baseline_service(ctx);
    create_vswitch(ctx, command.name, command.uplink, command.master);
}

void run_vswitch_change(const Context& ctx, const VswitchChange& command) {
    if (!accept_vswitch_name(ctx, command.name)) return;
    ensure_baseline_service(ctx);
    if (auto s = configure_bridge_uplink(ctx, command.name, command.uplink, command.master); !s)
        ctx.err << "[-] Failed to change bridge: " << s.error().message << "\n";
}

void run_vswitch_delete(const Context& ctx, const VswitchDelete& command) { delete_vswitch(ctx, command.name); }

void run_vswitch_set_master(const Context& ctx, const VswitchSetMaster& command) {
    set_master_bridge(ctx, command.name);
}

void run_vswitch_connect(const Context& ctx, const VswitchConnect& command) {
    connect_bridge_to_master(ctx, command.bridge, command.to);
}

void run_vswitch_disconnect(const Context& ctx, const VswitchDisconnect& command) {
    disconnect_bridge_from_master(ctx, command.bridge, command.from);
}

void run_vswitch_isolate(const Context& ctx, const VswitchIsolate& command) { isolate_bridge(ctx, command.bridge); }

void run_vswitch_quarantine(const Context& ctx, const VswitchQuarantine& command) {
    quarantine_bridge(ctx, command.bridge);
}

}  // namespace qm
