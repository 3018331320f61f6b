#include "cmds/bridge/topology.hpp"

#include <algorithm>
#include <ostream>

#include "cmds/bridge/veth_units.hpp"
#include "utils/fs.hpp"
#include "utils/json.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

enum class FileState { Missing, Damaged, Ok };

template <class T>
struct Loaded {
    FileState state = FileState::Missing;
    T value{};
};

// A file that exists but cannot be read, is not UTF-8, does not parse or has the wrong
// shape is Damaged; its value is then empty.
template <class T>
Loaded<T> load(const Context& ctx, std::string_view fixed_path) {
    auto bytes = read_file(ctx.path(fixed_path));
    if (!bytes) return {bytes.error().not_found() ? FileState::Missing : FileState::Damaged, {}};
    if (!is_valid_utf8(*bytes)) return {FileState::Damaged, {}};
    auto parsed = from_json<T>(*bytes);
    if (!parsed) return {FileState::Damaged, {}};
    return {FileState::Ok, std::move(*parsed)};
}

// Before an update starts afresh over a damaged file, the file is moved aside so that its
// entries survive. False when that fails: the caller then leaves the file alone.
bool set_aside_if_damaged(const Context& ctx, FileState state, std::string_view fixed_path) {
    if (state != FileState::Damaged) return true;
    return set_aside_damaged(ctx, ctx.path(fixed_path)).has_value();
}

template <class T>
void store(const Context& ctx, std::string_view fixed_path, const T& value) {
    (void)write_file_atomic(ctx.path(fixed_path), to_json_pretty(value));
}

std::string bridge_device_of(const Context& ctx, const std::string& name) {
    return resolve_bridge_device(ctx, name).value_or(name);
}

}  // namespace

void add_master_bridge(const Context& ctx, const std::string& device) {
    create_directories_quietly(ctx.path(kStateDir));
    auto masters = load<MasterBridgeList>(ctx, kMasterBridgesPath);
    if (std::find(masters.value.begin(), masters.value.end(), device) != masters.value.end()) return;
    if (!set_aside_if_damaged(ctx, masters.state, kMasterBridgesPath)) return;
    masters.value.push_back(device);
    store(ctx, kMasterBridgesPath, masters.value);
}

MasterBridgeList load_master_bridges(const Context& ctx) {
    return load<MasterBridgeList>(ctx, kMasterBridgesPath).value;
}

void record_bridge_connection(const Context& ctx, const std::string& bridge, const std::string& master) {
    create_directories_quietly(ctx.path(kStateDir));
    const std::string bridge_device = bridge_device_of(ctx, bridge);
    const std::string master_device = bridge_device_of(ctx, master);

    auto joins = load<BridgeConnectionMap>(ctx, kBridgeConnectionsPath);
    if (joins.state == FileState::Missing) {
        // The first join of a host installs the units that re-create veth pairs at boot.
        if (auto st = setup_veth_persistence_service(ctx); !st)
            ctx.err << "[-] Warning: Failed to create systemd service: " << st.error().message << "\n";
    }
    // A damaged file is not a first join: joins were recorded before, so the units are not
    // installed again.
    if (!set_aside_if_damaged(ctx, joins.state, kBridgeConnectionsPath)) return;
    joins.value[master_device].push_back(bridge_device);
    store(ctx, kBridgeConnectionsPath, joins.value);
}

void remove_bridge_connection(const Context& ctx, const std::string& bridge, const std::string& master) {
    const std::string bridge_device = bridge_device_of(ctx, bridge);
    const std::string master_device = bridge_device_of(ctx, master);

    auto joins = load<BridgeConnectionMap>(ctx, kBridgeConnectionsPath);
    if (joins.state == FileState::Missing) return;
    if (!set_aside_if_damaged(ctx, joins.state, kBridgeConnectionsPath)) return;
    if (auto it = joins.value.find(master_device); it != joins.value.end()) {
        std::erase(it->second, bridge_device);
        if (it->second.empty()) joins.value.erase(it);
    }
    store(ctx, kBridgeConnectionsPath, joins.value);
}

BridgeConnectionMap load_bridge_connections(const Context& ctx) {
    return load<BridgeConnectionMap>(ctx, kBridgeConnectionsPath).value;
}

}  // namespace qm
