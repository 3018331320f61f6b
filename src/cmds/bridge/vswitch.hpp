// Virtual switch creation and uplink change.
#pragma once

#include <string>

#include "utils/context.hpp"

namespace qm {

// `vswitch create`; prints its own messages.
void create_vswitch(const Context& ctx, const std::string& name, const std::string& uplink, bool master);
// `vswitch change`; the error is printed by the front end after "[-] Failed to change bridge: ".
Status configure_bridge_uplink(const Context& ctx, const std::string& name, const std::string& uplink, bool master);

}  // namespace qm
