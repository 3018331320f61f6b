// The restore's first change: what the ledger tracks and the backup does not hold goes.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "utils/context.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

namespace qm {

// Removes each tracked vswitch, VLAN bridge and bond that has a profile in `listing`, and each
// tracked veth end whose link exists, when `in_backup` does not name it: each the way the
// command that deletes it does (a bridge with its ports and joins, a bond with its members, a
// pair with its links and records). One text per thing that stayed goes to `failures`. True when
// it removed anything, so the host is no longer as `listing` shows it.
bool remove_tracked_not_in_backup(const Context& ctx, const std::vector<TerseRecord>& listing,
                                  const std::set<std::string>& in_backup, std::vector<std::string>& failures);

}  // namespace qm
