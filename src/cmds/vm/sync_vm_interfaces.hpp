#pragma once

#include "utils/context.hpp"

namespace qm {

// `sync-vm-interfaces`: puts virtual-machine tap devices back on their expected bridges.
void sync_vm_interfaces(const Context& ctx);

}  // namespace qm
