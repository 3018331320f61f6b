#pragma once

#include "utils/context.hpp"

namespace qm {

// Writes the veth restore and check units when missing and enables them.
Status setup_veth_persistence_service(const Context& ctx);

}  // namespace qm
