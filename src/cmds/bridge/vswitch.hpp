// Virtual switch creation and uplink change.
#pragma once

#include <optional>
#include <string>

#include "utils/context.hpp"

namespace qm {

struct KnownBridge;  // cmds/bridge/mac_preservation.hpp

// Whether the name can be a bridge device name, which names the bridge's files in the state
// directory (is_single_path_component). When not, prints "[-] Invalid device name '", the
// name, "': a device name must not contain '/' or NUL, nor be '.' or '..'" on standard error.
bool accept_device_name(const Context& ctx, const std::string& device);
// The check at the start of `vswitch create` and `vswitch change`, before anything is run or
// written: a name that begins with "vswitch" is a device name and must pass accept_device_name.
bool accept_vswitch_name(const Context& ctx, const std::string& name);
// `vswitch delete`: the bridge profile named, its ethernet ports, its veth joins, its uplink
// profile and ledger entry, then every profile without a device. Prints its own lines.
void delete_vswitch(const Context& ctx, const std::string& name);
// `vswitch set-master`: records a bridge (profile or device name) as a master; the host is
// left as it is.
void set_master_bridge(const Context& ctx, const std::string& name);

// Whether an --uplink value asks for no uplink: empty (after trimming) or "none" in any case.
bool is_no_uplink(const std::string& uplink);
// `vswitch create`; prints its own messages.
void create_vswitch(const Context& ctx, const std::string& name, const std::string& uplink, bool master);
// `vswitch change`; the error is printed by the front end after "[-] Failed to change bridge: ".
Status configure_bridge_uplink(const Context& ctx, const std::string& name, const std::string& uplink, bool master);

// How an uplink change ended when it returned no error.
enum class UplinkOutcome {
    Done,
    // The command must end here: a listing it cannot do without failed, its line is printed.
    Stopped,
};
// configure_bridge_uplink, telling the caller whether the whole command has to stop.
Result<UplinkOutcome> change_bridge_uplink(const Context& ctx, const std::string& name, const std::string& uplink,
                                           bool master);
// The same within a run that already knows something of the bridge; `known` gets what it learns.
Result<UplinkOutcome> change_bridge_uplink(const Context& ctx, const std::string& name, const std::string& uplink,
                                           bool master, KnownBridge& known);

// The IPv4 method for the bridge profile of a device: the one a bridge profile on it already
// has, else "auto" for vswitch0 and "disabled" for any other device. May print one line.
std::string get_bridge_ipv4_method(const Context& ctx, const std::string& device);

// "vswitch" and the lowest number from 1 to 99 not used by an entry of /sys/class/net.
std::optional<std::string> find_available_vswitch_name(const Context& ctx);

}  // namespace qm
