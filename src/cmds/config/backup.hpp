// Taking a backup: the snapshot stored as "/var/lib/quillmar/backups/<name>.json", an entry in
// the backup index, and the two copies of the newest backup that the lookup of the saved
// configuration reads first (lookup.hpp). When the backup directory cannot be used, the
// snapshot goes into the current directory instead.
#pragma once

#include <optional>
#include <string>

#include "cmds/config/backup_document.hpp"
#include "utils/context.hpp"
#include "utils/expected.hpp"

namespace qm {

// `config backup` and the first-run backup. Without a name the backup is called "backup_"
// and the time stamp; a name that is not one file name is refused before anything happens.
// The first backup of a host (no JSON file in the backup directory and no fallback file in the
// current directory) and a backup named "default" are default backups. Warnings go to
// standard error; the error returned is the snapshot's, or the index's when it cannot be
// written (the backup file then stays).
Status create_backup(const Context& ctx, const std::optional<std::string>& name,
                     const std::optional<std::string>& description);

// The snapshot written into the current directory: "./default_network_config.json" for the
// first backup, otherwise "./network_config_<time stamp>.json". Neither the index nor the
// copies are written.
Status fallback_backup(const Context& ctx, bool first);

// Finishes the copies of a backup that a run killed before it wrote /etc/quillmar/config.json:
// when that copy is missing and latest_network_config.json is there, the latter's text is
// written to it, whole (through a temporary file and a rename). Otherwise nothing happens. The
// error says what could not be done.
Status complete_saved_config(const Context& ctx);

// The backup index, or why it cannot be had (a missing file included).
Result<BackupIndex> load_backup_index(const Context& ctx);

// The error for a backup name that cannot be a file name of the backup directory, or nothing.
Status check_backup_name(const std::string& name);

}  // namespace qm
