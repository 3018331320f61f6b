// The ledger of network objects this program created.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "utils/context.hpp"
#include "utils/expected.hpp"
#include "utils/json.hpp"
#include "utils/paths.hpp"
#include "utils/time.hpp"

namespace qm {

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

// An empty ledger created now: created_at in RFC 3339 with "+00:00".
ManagedResources new_managed_resources(SystemTime now);

// The record in JSON: reading refuses with "struct ManagedResources" messages (a missing
// `bonds` reads as empty; the array form of five values is accepted); writing gives the
// pretty layout, keys in field order. These also serve a ledger nested in a backup.
Status read_value(JsonReader& r, ManagedResources& out);
void write_value(JsonWriter& w, const ManagedResources& value);
// A whole ledger text, only white space after it.
Result<ManagedResources> parse_managed_resources(std::string_view json);
std::string managed_resources_to_json(const ManagedResources& value);

// The ledger file as found on disk.
struct LedgerFile {
    enum class State {
        Missing,  // no file
        Damaged,  // exists but cannot be read, is not UTF-8 or does not parse
        Loaded,
    };
    State state = State::Missing;
    ManagedResources resources;  // Loaded only
    std::string error;           // Damaged only: why
};
LedgerFile load_managed_resources(const Context& ctx);

// Writes the ledger file through its ".tmp" file and a rename (the directory is not created).
Status save_managed_resources(const Context& ctx, const ManagedResources& value);

}  // namespace qm
