// The `list` group: physical interfaces from sysfs and the kernel, and NetworkManager's
// device and profile listings as they come. Every line, failures included, goes to
// standard output.
#pragma once

#include <string>

#include "utils/context.hpp"

namespace qm {

// `list physical`: each physical interface with its MAC address, link state and speed.
void list_physical_interfaces(const Context& ctx);
// `list interfaces`: the lines of `nmcli device status`.
void list_interfaces(const Context& ctx);
// `list connections`: the lines of the terse NAME:DEVICE:TYPE:STATE profile listing.
void list_connections(const Context& ctx);

// The link speed text of one interface: "Ethernet 1000baseT" and the like, "Ethernet
// (unknown speed)" for a speed without a name, "unknown" when the kernel gives none.
std::string query_link_speed(const Context& ctx, const std::string& name);

}  // namespace qm
