// Bringing the program's records in line with the host: the ledger pruned of objects that
// are gone, and NetworkManager profiles without a device deleted.
#pragma once

#include <string_view>

#include "utils/context.hpp"

namespace qm {

// `config sync`: drops every ledger entry whose object no longer exists. The ledger file is
// rewritten only when an entry was dropped. The error is printed by the front end after "Error: ".
Status sync_config_files(const Context& ctx);

// `config smart-cleanup`: removes every object the ledger tracks, each the way its own delete
// does (a bridge with its ports and joins, a bond with its members), and clears the ledger.
void smart_cleanup(const Context& ctx);

// `config cleanup`: deletes every
// profile the listing shows without a device, "virbr0" and "lo" excepted. Fails only when the
// profile listing fails; failed deletions still count as cleaned up.
Status cleanup_stale_connections(const Context& ctx);

// Whether some line of a terse profile listing has `name` as its first ':'-separated field
// (exact, untrimmed).
bool terse_list_contains(std::string_view listing, std::string_view name);

}  // namespace qm
