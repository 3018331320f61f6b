// The stored usage pages of `usage`, each group's `usage`, `sync-vm-interfaces-usage`
// and `baseline` without a mode. Printed byte for byte; nothing in them is computed.
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
extern const std::string_view kBaselineUsage;

}  // namespace qm::cli
