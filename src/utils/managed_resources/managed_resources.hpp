// The ledger of network objects this program created.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "utils/context.hpp"

namespace qm {

inline constexpr std::string_view kManagedResourcesPath = "/var/lib/quillmar/managed_resources.json";

struct ManagedResources {
    std::vector<std::string> vswitches;
    std::vector<std::string> vlan_bridges;
    std::vector<std::string> veth_pairs;
    std::vector<std::string> bonds;
    std::string created_at;
    bool operator==(const ManagedResources&) const = default;
};

// kind: "vswitch", "vlan_bridge", "veth_pair" or "bond"; any other kind changes no list.
void track_managed_resource(const Context& ctx, std::string_view kind, std::string_view name);
void untrack_managed_resource(const Context& ctx, std::string_view kind, std::string_view name);
// `config smart-cleanup`.
void smart_cleanup(const Context& ctx);

}  // namespace qm
