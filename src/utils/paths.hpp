// Every fixed path of the program, named once. Absolute paths are mapped below the
// context's root (Context::path); the backup fallbacks are relative to the current directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm {

// --- The program's own state ---
inline constexpr std::string_view kStateDir = "/var/lib/quillmar";
inline constexpr std::string_view kManagedResourcesPath = "/var/lib/quillmar/managed_resources.json";
inline constexpr std::string_view kMasterBridgesPath = "/var/lib/quillmar/master_bridges.json";
inline constexpr std::string_view kBridgeConnectionsPath = "/var/lib/quillmar/bridge_connections.json";
inline constexpr std::string_view kControlFilePath = "/var/lib/quillmar/control-file";
// Per-bridge files in the state directory: the bridge device name followed by these.
inline constexpr std::string_view kOriginalMacSuffix = "_original_mac";
inline constexpr std::string_view kNetworkIdentitySuffix = "_network_identity.json";
inline constexpr std::string_view kLogPath = "/var/log/quillmar.log";

// --- Backups ---
inline constexpr std::string_view kBackupsDir = "/var/lib/quillmar/backups";
inline constexpr std::string_view kBackupIndexPath = "/var/lib/quillmar/backups/backup-index.json";
inline constexpr std::string_view kLatestBackupPath = "/var/lib/quillmar/backups/latest_network_config.json";
inline constexpr std::string_view kSavedConfigDir = "/etc/quillmar";
inline constexpr std::string_view kSavedConfigPath = "/etc/quillmar/config.json";
// Fallbacks in the current directory, when the backup directory cannot be written.
inline constexpr std::string_view kDefaultFallbackPath = "./default_network_config.json";
inline constexpr std::string_view kFallbackPrefix = "./network_config_";

// --- The host ---
inline constexpr std::string_view kSysClassNet = "/sys/class/net";
// Where NetworkManager keeps the files of the profiles it holds only in memory (as nmcli names
// them; never read by the program).
inline constexpr std::string_view kInMemoryProfileDir = "/run/NetworkManager/";
inline constexpr std::string_view kDhcpLeasesPath = "/var/lib/dhcp/dhclient.leases";
inline constexpr std::string_view kTempDir = "/tmp";
inline constexpr std::string_view kSystemdUnitDir = "/etc/systemd/system";
inline constexpr std::string_view kSystemdLibUnitDir = "/usr/lib/systemd/system";
inline constexpr std::string_view kBashCompletionDir = "/etc/bash_completion.d";
// Where install-self puts the program, and the path the boot units start it by.
inline constexpr std::string_view kInstallTarget = "/sbin/quillmar";
inline constexpr std::string_view kUnitProgramPath = "/usr/sbin/quillmar";

static_assert(kManagedResourcesPath.starts_with(kStateDir) && kMasterBridgesPath.starts_with(kStateDir) &&
              kBridgeConnectionsPath.starts_with(kStateDir) && kControlFilePath.starts_with(kStateDir) &&
              kBackupsDir.starts_with(kStateDir));
static_assert(kBackupIndexPath.starts_with(kBackupsDir) && kLatestBackupPath.starts_with(kBackupsDir));
static_assert(kSavedConfigPath.starts_with(kSavedConfigDir));

// Whether a name can stand as one component of a path: not empty, not "." or "..", and
// without '/' or NUL. Every name that becomes part of a file name (a device in the bridge
// files below, a backup name) is checked with this, so that no name reaches outside its
// directory.
bool is_single_path_component(std::string_view name);

// "/var/lib/quillmar/<bridge>_original_mac" and "/var/lib/quillmar/<bridge>_network_identity.json";
// nothing when the bridge is not a single path component.
std::optional<std::string> original_mac_path(std::string_view bridge);
std::optional<std::string> network_identity_path(std::string_view bridge);
// "<dir>/<name>", for files of the unit and completion directories.
std::string path_in(std::string_view dir, std::string_view name);

// "/var/lib/quillmar/backups/<name>.json".
std::string backup_file_path(std::string_view name);

}  // namespace qm
