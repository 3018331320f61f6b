#pragma once

#include <string>
#include <string_view>

#include "utils/context.hpp"

namespace qm {

// The boot-time restore unit, and its file in the systemd unit directory.
inline constexpr std::string_view kVethRestoreUnit = "quillmar-veth-restore";
std::string veth_restore_unit_path();

// Writes the veth restore and check units when missing and enables them.
Status setup_veth_persistence_service(const Context& ctx);

}  // namespace qm
