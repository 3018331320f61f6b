// The stored usage pages of `usage`, each group's `usage` and `sync-vm-interfaces-usage`.
// Printed byte for byte; nothing in them is computed. The page `baseline` prints without a
// mode lives with that command (cmds/baseline/baseline_commands).
#pragma once

#include <string_view>

namespace qm::cli {

extern const std::string_view kUsageOverview;
extern const std::string_view kBondUsage;
extern const std::string_view kVlanUsage;
extern const std::string_view kVswitchUsage;
extern const std::string_view kNetworkUsage;
extern const std::string_view kVmUsage;
extern const std::string_view kListUsage;
extern const std::string_view kConfigUsage;
extern const std::string_view kSyncVmInterfacesUsage;

}  // namespace qm::cli
