// Finding saved backup documents and showing them: one backup by name, the host's one saved
// configuration, the first-run check before every command, `config list` and `config info`.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "cmds/config/backup_document.hpp"
#include "utils/context.hpp"
#include "utils/expected.hpp"

namespace qm {

// The backup "/var/lib/quillmar/backups/<name>.json": "Backup '<name>' not found at <path>"
// when it does not exist, else the read error or the reader's refusal.
Result<NetworkConfig> load_backup(const Context& ctx, const std::string& name);

// The host's saved configuration, from the first of these that exists:
//   1. /etc/quillmar/config.json
//   2. /var/lib/quillmar/backups/latest_network_config.json
//   3. the backup named "default" (any error of it is passed over)
//   4. the most recently modified "network_config_*.json" in the current directory
// A source that exists but cannot be read or parsed ends the lookup with its error; later
// sources are not tried. Nothing found: "No backup configuration found".
Result<NetworkConfig> load_default_config(const Context& ctx);

// True when a was modified later than b (links followed; an unreadable time counts as the epoch).
bool newer_mtime_first(const std::filesystem::path& a, const std::filesystem::path& b);

// Before every command: when no saved configuration can be loaded, announce a first run and
// take a backup. A failed backup is only a warning. The configuration found is only checked
// to read (as load_default_config would read it), not kept. When one is found, a missing
// /etc/quillmar/config.json is written from latest_network_config.json
// (complete_saved_config), silently unless that fails, which is a warning.
void check_first_run(const Context& ctx);

// `config list`: the index as a table, newest first. Every failure reads as no backups.
void list_backups(const Context& ctx);

// `config info`: the summary of the backup of that name, or of the saved configuration when
// the name is absent or "latest". An error is returned before anything is printed.
Status show_backup_info(const Context& ctx, const std::optional<std::string>& name);

}  // namespace qm
