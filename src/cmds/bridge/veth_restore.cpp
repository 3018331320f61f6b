// `vswitch veth restore`: pairs made with `ip` do not survive a reboot, so the boot units run
// this to make the host match the recorded joins again. It changes only the host.
#include <optional>
#include <ostream>
#include <string>

#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/veth.hpp"
#include "utils/host_calls.hpp"
#include "utils/links.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

namespace qm {
namespace {

enum class PairOutcome { AlreadyRight, Restored, Failed };

// Both ends exist: re-enslaves each end whose master is wrong or missing.
PairOutcome fix_masters(const Context& ctx, const VethPairNames& names, const std::string& bridge_device,
                        const std::string& master_device) {
    const bool bridge_side = on_bridge(ctx, names.veth_name, bridge_device);
    const bool master_side = on_bridge(ctx, names.veth_peer, master_device);
    const std::string pair = "'" + names.veth_name + "' <-> '" + names.veth_peer + "'";
    if (bridge_side && master_side) {
        ctx.out << "[+] Veth pair " << pair << " already exists with correct masters, skipping\n";
        return PairOutcome::AlreadyRight;
    }
    ctx.out << "[+] Veth pair " << pair << " exists but has incorrect masters, fixing...\n";
    bool all_fixed = true;
    auto fix = [&](const std::string& end, bool in_place, const std::string& expected) {
        if (in_place) return;
        if (auto put = put_on_bridge(ctx, end, expected); put && *put) {
            ctx.out << "[+] Fixed master for '" << end << "' -> '" << expected << "'\n";
        } else {
            ctx.err << "[-] Failed to set master for '" << end << "'\n";
            all_fixed = false;
        }
    };
    fix(names.veth_name, bridge_side, bridge_device);
    fix(names.veth_peer, master_side, master_device);
    // A pair whose end is still in the wrong bridge is not restored, and the count says so.
    return all_fixed ? PairOutcome::Restored : PairOutcome::Failed;
}

// Neither end, or only one, exists: makes the pair as connect does, without its pauses.
PairOutcome create_pair(const Context& ctx, const VethPairNames& names, const std::string& bridge_device,
                        const std::string& master_device) {
    if (!veth_steps::create_pair(ctx, names) || !veth_steps::enslave_end(ctx, names.veth_name, bridge_device, false) ||
        !veth_steps::enslave_end(ctx, names.veth_peer, master_device, true))
        return PairOutcome::Failed;
    veth_steps::set_ends_up(ctx, names);
    // Profiles of these names exist only after a backup restore; the restore does not wait
    // for their activation, nor look at how it ends.
    (void)ctx.run(connection_up_argv(names.connection_name), RunMode::Detached);
    (void)ctx.run(connection_up_argv(names.peer_connection_name), RunMode::Detached);
    ctx.out << "[+] Successfully restored veth pair '" << names.veth_name << "' <-> '" << names.veth_peer << "'\n";
    return PairOutcome::Restored;
}

PairOutcome restore_pair(const Context& ctx, const std::string& bridge, const std::string& master) {
    ctx.out << "[+] Restoring veth pair between '" << bridge << "' and '" << master << "'\n";
    auto master_device = resolve_bridge_device(ctx, master);
    if (!master_device) {
        ctx.err << "[-] Master bridge '" << master << "' not found, skipping\n";
        return PairOutcome::Failed;
    }
    auto bridge_device = resolve_bridge_device(ctx, bridge);
    if (!bridge_device) {
        ctx.err << "[-] Bridge '" << bridge << "' not found, skipping\n";
        return PairOutcome::Failed;
    }
    const VethPairNames names = generate_veth_names(*bridge_device, *master_device);
    if (device_exists_lines(ctx, names.veth_name) && device_exists_lines(ctx, names.veth_peer))
        return fix_masters(ctx, names, *bridge_device, *master_device);
    return create_pair(ctx, names, *bridge_device, *master_device);
}

}  // namespace

void restore_veth_pairs(const Context& ctx) {
    ctx.out << "[+] Restoring veth pairs from stored bridge connections...\n";
    const BridgeConnectionMap joins = load_bridge_connections(ctx);
    if (joins.empty()) {
        ctx.out << "[+] No bridge connections found to restore\n";
        return;
    }
    unsigned long restored = 0;
    for (const auto& [master, bridges] : joins)
        for (const auto& bridge : bridges)
            if (restore_pair(ctx, bridge, master) == PairOutcome::Restored) ++restored;
    if (restored > 0)
        ctx.out << "[+] Successfully restored " << restored << " veth pairs\n";
    else
        ctx.out << "[+] No veth pairs needed to be restored\n";
}

void put_joins_back_on_bridge(const Context& ctx, const std::string& bridge_device) {
    for (const auto& [master, bridges] : load_bridge_connections(ctx)) {
        for (const auto& bridge : bridges) {
            if (master != bridge_device && bridge != bridge_device) continue;
            const VethPairNames names = generate_veth_names(bridge, master);
            const std::string& end = master == bridge_device ? names.veth_peer : names.veth_name;
            // A pair that is gone is the boot-time restore's to make.
            if (!link_present(ctx, end) || on_bridge(ctx, end, bridge_device)) continue;
            if (auto put = put_on_bridge(ctx, end, bridge_device); put && *put)
                ctx.out << "[+] Put veth end '" << end << "' back on bridge '" << bridge_device << "'\n";
            else
                ctx.err << "[-] Failed to put veth end '" << end << "' back on bridge '" << bridge_device << "'\n";
        }
    }
}

}  // namespace qm
