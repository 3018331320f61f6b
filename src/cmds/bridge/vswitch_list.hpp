// The two read-only views of the bridges: `vswitch list` and `vswitch topology`.
#pragma once

#include "utils/context.hpp"

namespace qm {

// Every bridge profile with its state, in a general and a VLAN-dedicated group, with the
// bridges joined to each master and each bridge's ports. Notes on filtered VM taps go to
// standard error.
void list_vswitches(const Context& ctx);

// Each master bridge with the bridges joined to it, from the topology files alone.
void show_bridge_topology(const Context& ctx);

}  // namespace qm
