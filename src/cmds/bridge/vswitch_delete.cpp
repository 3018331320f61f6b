// `vswitch delete`: the bridge with its ports, joins and ledger entry, then what that left
// without a device.
// `vswitch set-master`: marks a bridge as a master in the topology file only.
#include <ostream>
#include <string>
#include <vector>

#include "cmds/bridge/bridge_removal.hpp"
#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "utils/host_calls.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

namespace qm {

void delete_vswitch(const Context& ctx, const std::string& name) {
    std::vector<std::string> failures;
    const auto controllers = remove_bridge(ctx, name, "vswitch", true, failures);
    for (const auto& failure : failures) ctx.err << failure << "\n";
    // Takes only what the removal left without a device; it prints its own lines.
    if (controllers) sweep_ports_left_behind(ctx, *controllers);
}

void set_master_bridge(const Context& ctx, const std::string& name) {
    const std::string device = resolve_bridge_device(ctx, name).value_or(name);
    if (!device_exists_lines(ctx, device)) {
        ctx.err << "[-] Bridge '" << name << "' not found\n";
        return;
    }
    ctx.out << "[+] Marking bridge '" << device << "' as master (metadata only)\n";
    add_master_bridge(ctx, device);
}

}  // namespace qm
