// The ledger of network objects this program created.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "utils/context.hpp"
#include "utils/expected.hpp"
#include "utils/json.hpp"
#include "utils/state_file.hpp"
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

// An empty ledger created now: created_at in RFC 3339 with "+00:00".
ManagedResources new_managed_resources(SystemTime now);

// Removes from each list of `ledger` every name that the same list of `entries` holds; the
// rest keep their order. For runs that decide what goes without the lock and then apply it
// to the ledger read afresh under it, so entries tracked meanwhile stay.
void remove_entries(ManagedResources& ledger, const ManagedResources& entries);
// True when all four lists are empty.
bool has_no_entries(const ManagedResources& ledger);

// The record in JSON, also as nested in a backup: read as an object in any key order or as
// the array of the five values ("struct ManagedResources" in refusals); a missing `bonds`
// reads as empty. Written in the pretty layout, keys in field order.
constexpr auto describe_json(JsonTag<ManagedResources>) {
    using R = ManagedResources;
    return json_record("ManagedResources",
                       required_field("vswitches", &R::vswitches),
                       required_field("vlan_bridges", &R::vlan_bridges),
                       required_field("veth_pairs", &R::veth_pairs),
                       defaulted_field("bonds", &R::bonds),
                       required_field("created_at", &R::created_at));
}
// A whole ledger text, only white space after it.
Result<ManagedResources> parse_managed_resources(std::string_view json);
std::string managed_resources_to_json(const ManagedResources& value);

// The ledger file as found on disk: Missing, Damaged (exists but cannot be read, is not
// UTF-8 or does not parse; `error` says why) or Loaded (`value`).
using LedgerFile = LoadedStateFile<ManagedResources>;
LedgerFile load_managed_resources(const Context& ctx);

// Writes the ledger file through a temporary file and a rename (the directory is not
// created). A load, change and save of the ledger happen under one StateLock.
Status save_managed_resources(const Context& ctx, const ManagedResources& value);

}  // namespace qm
