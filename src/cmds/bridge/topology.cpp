#include "cmds/bridge/topology.hpp"

#include <algorithm>
#include <ostream>

#include "cmds/bridge/veth_units.hpp"
#include "utils/fs.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/state_file.hpp"

namespace qm {
namespace {

std::string bridge_device_of(const Context& ctx, const std::string& name) {
    return resolve_bridge_device(ctx, name).value_or(name);
}

}  // namespace

void add_master_bridge(const Context& ctx, const std::string& device) {
    create_directories_quietly(ctx.path(kStateDir));
    StateLock lock(ctx);
    const auto file = ctx.path(kMasterBridgesPath);
    auto masters = load_state_file<MasterBridgeList>(file);
    if (std::find(masters.value.begin(), masters.value.end(), device) != masters.value.end()) return;
    if (!set_aside_if_damaged(ctx, masters.state, file)) return;
    masters.value.push_back(device);
    (void)save_state_file(file, masters.value);
}

MasterBridgeList load_master_bridges(const Context& ctx) {
    return load_state_file<MasterBridgeList>(ctx.path(kMasterBridgesPath)).value;
}

void record_bridge_connection(const Context& ctx, const std::string& bridge, const std::string& master) {
    create_directories_quietly(ctx.path(kStateDir));
    const std::string bridge_device = bridge_device_of(ctx, bridge);
    const std::string master_device = bridge_device_of(ctx, master);

    const auto file = ctx.path(kBridgeConnectionsPath);
    StateLock lock(ctx);
    auto joins = load_state_file<BridgeConnectionMap>(file);
    if (joins.state == StateFileState::Missing) {
        // The first join of a host installs the units that re-create veth pairs at boot.
        if (auto st = setup_veth_persistence_service(ctx); !st)
            ctx.err << "[-] Warning: Failed to create systemd service: " << st.error().message << "\n";
    }
    // A damaged file is not a first join: joins were recorded before, so the units are not
    // installed again.
    if (!set_aside_if_damaged(ctx, joins.state, file)) return;
    joins.value[master_device].push_back(bridge_device);
    (void)save_state_file(file, joins.value);
}

void remove_bridge_connection(const Context& ctx, const std::string& bridge, const std::string& master) {
    const std::string bridge_device = bridge_device_of(ctx, bridge);
    const std::string master_device = bridge_device_of(ctx, master);

    const auto file = ctx.path(kBridgeConnectionsPath);
    StateLock lock(ctx);
    auto joins = load_state_file<BridgeConnectionMap>(file);
    if (joins.state == StateFileState::Missing) return;
    if (!set_aside_if_damaged(ctx, joins.state, file)) return;
    if (auto it = joins.value.find(master_device); it != joins.value.end()) {
        std::erase(it->second, bridge_device);
        if (it->second.empty()) joins.value.erase(it);
    }
    (void)save_state_file(file, joins.value);
}

BridgeConnectionMap load_bridge_connections(const Context& ctx) {
    return load_state_file<BridgeConnectionMap>(ctx.path(kBridgeConnectionsPath)).value;
}

}  // namespace qm
