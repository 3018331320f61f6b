// The NetworkManager toolkit: every profile and device operation the commands use.
// Each operation runs nmcli once (probes may run it a few times) and prints nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "utils/context.hpp"

namespace qm {

// How a profile is named to `nmcli connection show|up|down|delete|modify`: the name alone, or
// after the keyword "id" when it begins with "-" or is one of nmcli's own words there ("id",
// "uuid", "path", "apath", "filename", "ifname", "help" and its abbreviations "h" to "hel").
// There nmcli reads such a word as an option or keyword ("connection up --help" and
// "connection up help" print help and exit 0); after "id" it takes it literally. A UUID is none
// of these, so "id" loses nothing. Every such vector is built with these.
std::vector<std::string> profile_selector(const std::string& name);
// "nmcli", `words`, the profile as profile_selector names it, then `rest`.
std::vector<std::string> nmcli_profile_argv(std::vector<std::string> words, const std::string& profile,
                                            const std::vector<std::string>& rest = {});

// Profile operations (change runs unless noted).
Status add_connection(const Context& ctx, const std::string& conn_type, const std::string& con_name,
                      const std::string& ifname, const std::vector<std::string>& extra = {});
Status delete_connection(const Context& ctx, const std::string& name);
Status up_connection(const Context& ctx, const std::string& name);
Status modify_connection(const Context& ctx, const std::string& name, const std::string& property,
                         const std::string& value);
// Several properties in one `nmcli connection modify`, for those nmcli only takes together.
Status modify_connection_settings(const Context& ctx, const std::string& name,
                                  const std::vector<std::pair<std::string, std::string>>& settings);
Status set_autoconnect_priority(const Context& ctx, const std::string& con_name, std::uint32_t priority);
// `extra`: further setting and value words, after the parent and the id.
Status create_vlan_connection(const Context& ctx, const std::string& con_name, const std::string& ifname,
                              const std::string& parent, std::uint16_t vlan_id,
                              const std::vector<std::string>& extra = {});
bool connection_exists(const Context& ctx, const std::string& name);
// Strict queries: the whole standard output, unchanged.
Result<std::string> get_connection_info(const Context& ctx, const std::string& name);
Result<std::string> get_all_connections(const Context& ctx);
Result<std::string> get_all_devices(const Context& ctx);
// The names of the profiles that live only in NetworkManager's memory (their file is under
// /run/NetworkManager/), such as the ones it makes up for devices it did not create; a name that
// a stored profile also carries is not among them. Empty when nmcli cannot say.
std::set<std::string> in_memory_profile_names(const Context& ctx);
// Lenient query: trimmed output, absent when empty or when nmcli cannot start.
std::optional<std::string> get_connection_master(const Context& ctx, const std::string& name);

// Name resolution probes: never an error, failures fold into false or absent.
bool device_exists(const Context& ctx, const std::string& name);
bool device_exists_lines(const Context& ctx, const std::string& name);
std::optional<std::string> resolve_vswitch_device(const Context& ctx, const std::string& name);
std::optional<std::string> resolve_bridge_device(const Context& ctx, const std::string& name);
std::optional<std::string> find_enslaved_profile(const Context& ctx, const std::string& ifname);
std::optional<std::string> find_available_bond_name(const Context& ctx);

// What to name in `nmcli connection show|modify|up|down` for a bridge or bond device. A step
// that holds only the device name cannot pass it as a profile: the profile is often named
// otherwise ("Management Network" on vswitch0). The answer, in this order:
//  1. the device name, when a bridge or bond profile of exactly that name exists and is not active
//     on another device; except when that profile lives only in memory (its file is under
//     /run/NetworkManager, as for the profile NetworkManager makes up for a bridge it finds
//     already configured, e.g. after its restart) and another bridge or bond profile bound to the
//     device is stored on disk: then the UUID of that one;
//  2. the UUID of the first bridge or bond profile bound to the device, active or not (an inactive
//     profile shows no DEVICE, so its connection.interface-name is asked);
//  3. the device name, so the step fails with nmcli's own answer.
// A profile of another type named like the device does not count.
std::string profile_for_device(const Context& ctx, const std::string& device);

// Entries of /sys/class/net with a device link, ordered by PCI address (stable).
std::vector<std::string> physical_interfaces_pci_order(const Context& ctx);

}  // namespace qm
