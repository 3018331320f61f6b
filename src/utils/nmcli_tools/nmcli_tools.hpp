// The NetworkManager toolkit: every profile and device operation the commands use, and the only
// place that builds an nmcli argument vector. Each operation runs nmcli once (probes, searches and
// the bond removal run it a few times) and prints nothing of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/context.hpp"

namespace qm {

// --- nmcli's terse output (`-t`, and `-g` with several fields) ---

// One line of a terse listing cut into its fields, in the order of the listing's columns.
using TerseRecord = std::vector<std::string>;

// Cuts a terse line into its values at each ':' that separates. nmcli writes a ':' inside a
// value as "\:" and a '\' as "\\" (even when the listing has one column); those are undone
// here, so a name holding a ':' is one field and compares with the name itself. Any other
// backslash stays.
std::vector<std::string> split_terse(std::string_view line);
// One value as nmcli's terse and "-g" output escapes it, unescaped: "\:" is ':' and "\\" is '\'
// ("52\:54\:00\:5E\:00\:01" is 52:54:00:5E:00:01). Any other backslash stays.
std::string unescape_terse(std::string_view value);
// The lines of a terse listing (split_lines), each cut by split_terse; an empty text gives none.
std::vector<TerseRecord> terse_records(std::string_view listing);

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

// The argument vectors of the operations on one profile, for callers that run them their own
// way (run mode, what they make of the outcome). The profile is named by profile_selector.
std::vector<std::string> connection_up_argv(const std::string& profile);
std::vector<std::string> connection_down_argv(const std::string& profile);
std::vector<std::string> connection_delete_argv(const std::string& profile);
// "connection delete uuid UUID": the UUID after nmcli's own selector word.
std::vector<std::string> connection_delete_uuid_argv(const std::string& uuid);
// "connection modify PROFILE settings…"; `verb` may be nmcli's short form "mod".
std::vector<std::string> connection_modify_argv(const std::string& profile, const std::vector<std::string>& settings,
                                                std::string_view verb = "modify");
// "connection add settings…" (type, names and settings, in the caller's order); `object` may
// be nmcli's short form "con".
std::vector<std::string> connection_add_argv(const std::vector<std::string>& settings,
                                             std::string_view object = "connection");

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
// `nmcli connection show NAME` started and exited 0 (by default a change run: no output kept).
bool connection_exists(const Context& ctx, const std::string& name, RunMode mode = RunMode::Change);
// Strict queries: the whole standard output, unchanged.
Result<std::string> get_connection_info(const Context& ctx, const std::string& name);
Result<std::string> get_all_connections(const Context& ctx);
Result<std::string> get_all_devices(const Context& ctx);
// The names of the profiles that live only in NetworkManager's memory (their file is under
// /run/NetworkManager/), such as the ones it makes up for devices it did not create; a name that
// a stored profile also carries is not among them. Empty when nmcli cannot say.
std::set<std::string> in_memory_profile_names(const Context& ctx);
// Lenient query: trimmed output, absent when empty or when nmcli cannot start ("--" is kept).
std::optional<std::string> get_connection_master(const Context& ctx, const std::string& name);

// --- Settings of one profile: `nmcli -g SETTINGS connection show PROFILE` ---

// How the answer is read. nmcli's exit status is not looked at unless asked.
struct SettingRead {
    RunMode mode = RunMode::Query;
    // Output that is not valid UTF-8 reads as empty (otherwise invalid sequences are replaced).
    bool valid_utf8_only = false;
    // A run that exits other than 0 reads as empty.
    bool success_only = false;
};
// The answer for one or more settings (comma-separated; nmcli prints one line each), with
// nmcli's escapes undone ("\:" is ':', "\\" is '\'; unescape_terse).
// An error only when nmcli cannot be started.
Expected<std::string, OsError> read_profile_settings(const Context& ctx, const std::string& profile,
                                                     const std::string& settings, SettingRead how = {});
// One setting, trimmed; an unset one reads as nmcli printed it (empty, or "--").
Expected<std::string, OsError> read_profile_setting_text(const Context& ctx, const std::string& profile,
                                                         const std::string& setting, SettingRead how = {});
// One setting, trimmed; absent when unset (empty or "--").
Expected<std::optional<std::string>, OsError> read_profile_setting(const Context& ctx, const std::string& profile,
                                                                   const std::string& setting, SettingRead how = {});

// --- The profile listing: `nmcli -t -f FIELDS connection show` ---

// How the listing's output is decoded.
enum class ListingText {
    Lossy,        // invalid UTF-8 replaced
    ValidLines,   // a line that is not valid UTF-8 is left out
    ValidOrNone,  // output that is not valid UTF-8 as a whole gives no records
};
// One record per line, fields as named. An error only when nmcli cannot be started; the exit
// status is not looked at.
Expected<std::vector<TerseRecord>, OsError> list_profiles(const Context& ctx, const std::string& fields,
                                                          RunMode mode = RunMode::Query,
                                                          ListingText text = ListingText::Lossy);
// The same listing as `nmcli -g FIELDS connection show` gives it (decoded with replacement).
Expected<std::vector<TerseRecord>, OsError> list_profile_values(const Context& ctx, const std::string& fields,
                                                                RunMode mode);
// get_all_connections (NAME,DEVICE,TYPE,STATE, exit status and UTF-8 checked), one record per line.
Result<std::vector<TerseRecord>> get_all_connection_records(const Context& ctx);

// --- Ports: profiles whose connection.master names a controller ---

// How the search runs. The listing has no master column (nmcli refuses "MASTER"), so each
// profile it accepts is asked for its own connection.master.
struct PortSearch {
    std::string fields = "NAME,TYPE";     // the listing's columns; the profile's name comes first
    RunMode listing_mode = RunMode::Query;
    RunMode master_mode = RunMode::Query;
    // A master query that cannot be started ends the search with its error; otherwise that
    // profile's master reads as absent.
    bool stop_on_master_failure = false;
};
// Which listed profiles are asked for their master.
using ProfileFilter = std::function<bool(const TerseRecord&)>;
// Lists the profiles, then, in listing order, asks each one `accept` takes for its master
// (trimmed; absent when empty or when nmcli could not be started, "--" kept as printed) and
// hands both to `visit` at once, so that
// what `visit` does comes before the next question. Stops early when `visit` returns false. An
// error when the listing, or under stop_on_master_failure a master query, cannot be started.
Expected<void, OsError> visit_profile_masters(
    const Context& ctx, const PortSearch& search, const ProfileFilter& accept,
    const std::function<bool(const TerseRecord&, const std::optional<std::string>&)>& visit);
// A bridge or bond profile as the port matching sees it; `interface` empty when unknown.
struct ControllerProfile {
    std::string name, uuid, interface;
};
// Every text a port's connection.master may name a controller by: a controller given as its
// interface, its profile's name or its profile's UUID expands into the interface and the names
// and UUIDs of every profile in `profiles` bound to that interface (nmcli stores a master named by
// profile as that profile's UUID). The controllers themselves are kept; empty texts are not.
std::set<std::string> controller_identities(const std::vector<ControllerProfile>& profiles,
                                            const std::vector<std::string>& controllers);
// The same, against the host's bridge and bond profiles: one listing in search.listing_mode and,
// for each profile that is not active, its connection.interface-name in search.master_mode. An
// error only when the listing cannot be started.
Expected<std::set<std::string>, OsError> controller_identities(const Context& ctx,
                                                               const std::vector<std::string>& controllers,
                                                               const PortSearch& search = {});
// What to show for a master: the name of the profile when it is a profile's UUID, otherwise
// the master as stored.
std::string master_display_name(const Context& ctx, const std::string& master, RunMode mode = RunMode::Query);
// The names of the accepted profiles whose master names one of `controllers` (each a device, a
// profile name or a UUID, expanded by controller_identities), in listing order.
Expected<std::vector<std::string>, OsError> ports_of(const Context& ctx, const PortSearch& search,
                                                     const std::vector<std::string>& controllers,
                                                     const ProfileFilter& accept);

// --- Removing a bond with its member profiles ---

struct BondRemoval {
    std::string profile;                   // the bond's profile, deleted after its members
    std::vector<std::string> controllers;  // what its members name as master (ports_of)
    PortSearch search;                     // how its members are found
    ProfileFilter accept;                  // which listed profiles may be members
    RunMode delete_mode = RunMode::Change; // each deletion's run; its outcome is not looked at
    std::string ledger_name;               // its entry of kind "bond" in the ledger, dropped at the end
    // The caller's own lines, each told before what it announces: the number of members found,
    // each member's deletion, the bond's deletion. Any may be left empty.
    std::function<void(std::size_t)> on_found;
    std::function<void(const std::string&)> on_member;
    std::function<void()> on_bond;
};
// Finds the members, deletes each, deletes the bond's profile and drops its ledger entry. An
// error, before anything is deleted, when the members cannot be searched for.
Expected<void, OsError> remove_bond(const Context& ctx, const BondRemoval& removal);

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
