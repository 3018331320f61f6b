// Links and their MAC addresses through `ip link`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "utils/context.hpp"

namespace qm {

// Which "link/ether" line of `ip link show` output gives the address: the first such line
// (no address when it lacks a second word), or the first such line that has a second word.
enum class EtherLine { First, FirstWithAddress };

// The second whitespace-separated word of the chosen "link/ether" line.
std::optional<std::string> link_ether_mac(std::string_view ip_link_output, EtherLine rule);

// Runs `ip link show <interface>` in the given query mode and reads its MAC address.
Expected<std::optional<std::string>, OsError> read_link_mac(const Context& ctx, const std::string& interface,
                                                            RunMode mode, EtherLine rule);

// The MAC of an interface for the bridge MAC preservation (stderr captured, the first
// "link/ether" line with an address); an error when `ip` cannot be started.
Result<std::optional<std::string>> get_interface_mac(const Context& ctx, const std::string& interface);

// The MAC address of a link (a plain query, the first "link/ether" line); absent when there
// is none or `ip` cannot be started.
std::optional<std::string> get_mac_address(const Context& ctx, const std::string& device);

// Two MAC texts name the same address: equal but for the case of their hex digits (ip prints
// lower case, nmcli upper case).
bool same_mac(std::string_view a, std::string_view b);

// `ip link set <device> address <mac>` as a change run.
RunResult set_link_address(const Context& ctx, const std::string& device, const std::string& mac);

// Announces and sets a link's MAC address; failures are not reported.
void set_mac_address(const Context& ctx, const std::string& device, const std::string& mac);

// The device an interface is enslaved to: the last component of the target of
// /sys/class/net/<interface>/master. Absent when the link cannot be read, its target is not
// valid UTF-8, or the name is no single path component (no interface is named so).
std::optional<std::string> interface_master(const Context& ctx, const std::string& interface);

// Whether the kernel has a link of this name: /sys/class/net/<name> exists. False for a name
// that is no single path component.
bool link_present(const Context& ctx, const std::string& name);

// Whether the link is enslaved to this bridge device now (its /sys master names it).
bool on_bridge(const Context& ctx, const std::string& end, const std::string& bridge);

// `ip link set <end> master <bridge>` as a change run: whether it succeeded, or the error
// when `ip` cannot be started.
Expected<bool, OsError> put_on_bridge(const Context& ctx, const std::string& end, const std::string& bridge);

}  // namespace qm
