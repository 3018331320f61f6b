// The bridge topology files: which bridges are masters, and which bridges are joined to each.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "utils/context.hpp"
#include "utils/paths.hpp"

namespace qm {

using MasterBridgeList = std::vector<std::string>;
// Master bridge device -> bridge devices joined to it by veth pairs.
using BridgeConnectionMap = std::map<std::string, std::vector<std::string>>;

void add_master_bridge(const Context& ctx, const std::string& device);
MasterBridgeList load_master_bridges(const Context& ctx);
void record_bridge_connection(const Context& ctx, const std::string& bridge, const std::string& master);
void remove_bridge_connection(const Context& ctx, const std::string& bridge, const std::string& master);
BridgeConnectionMap load_bridge_connections(const Context& ctx);

}  // namespace qm
