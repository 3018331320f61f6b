#include "cmds/config/backup.hpp"

#include <algorithm>
#include <cerrno>
#include <ostream>

#include "cmds/config/snapshot.hpp"
#include "utils/fs.hpp"
#include "utils/paths.hpp"
#include "utils/state_file.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"

namespace qm {
namespace {

// The text after the last '.' of a file name; none when the only '.' is the first character.
std::string_view extension_of(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

// Whether a JSON file that `counts` says is a backup is listed in the directory (symbolic
// links and directories never count). A directory that cannot be listed has none.
template <class Counts>
bool has_backup_file(const std::filesystem::path& dir, Counts counts) {
    auto names = list_directory(dir);
    if (!names) return false;
    for (const auto& name : *names) {
        if (extension_of(name) == "json" && counts(name) && is_regular_file_itself(dir / name)) return true;
    }
    return false;
}

// No backup can be found: no JSON file in the backup directory (the index and the latest copy
// count too), and no fallback file in the current directory.
bool is_first_backup(const Context& ctx) {
    if (has_backup_file(ctx.path(kBackupsDir), [](const std::string&) { return true; })) return false;
    auto is_fallback_file = [](const std::string& name) {
        const std::string shown = "./" + decode_utf8_lossy(name);
        return shown.find("network_config_") != std::string::npos ||
               shown.find("default_network_config") != std::string::npos;
    };
    return !has_backup_file(ctx.path("."), is_fallback_file);
}

// "2024-03-05 07:08:09.120 UTC": seconds, the fraction as in the document, "UTC".
std::string summary_time(SystemTime t) { return format_utc(t, "%Y-%m-%d %H:%M:%S") + format_fraction(t) + " UTC"; }

void print_kind_line(const Context& ctx, bool first, SystemTime created_at) {
    if (first) {
        ctx.out << "  - Type: Default backup (first run)\n";
    } else {
        ctx.out << "  - Timestamp: " << summary_time(created_at) << "\n";
    }
}

// Adds the entry to the index, replacing any of the same name, newest first. An index that
// cannot be read is kept under another name first, so that its entries are not lost.
Status add_to_index(const Context& ctx, const BackupMetadata& entry) {
    const auto file = ctx.path(kBackupIndexPath);
    auto index = load_state_file<BackupIndex>(file);
    if (index.state == StateFileState::Damaged) {
        auto moved = set_aside_damaged(ctx, file);
        if (!moved)
            return fail("Could not move the unreadable backup index " + std::string(kBackupIndexPath) +
                        " aside: " + moved.error().message());
        ctx.err << "[-] Warning: Backup index " << kBackupIndexPath << " could not be read (" << index.error
                << "); kept it as " << path_in(kBackupsDir, moved->filename().string())
                << " and started a new index\n";
        index.value = BackupIndex{};
    }
    auto& backups = index.value.backups;
    backups.erase(std::remove_if(backups.begin(), backups.end(),
                                 [&](const BackupMetadata& b) { return b.name == entry.name; }),
                  backups.end());
    backups.push_back(entry);
    if (entry.is_default) index.value.default_backup = entry.name;
    std::stable_sort(backups.begin(), backups.end(),
                     [](const BackupMetadata& a, const BackupMetadata& b) { return a.created_at > b.created_at; });
    return write_state_file(file, backup_index_to_json_pretty(index.value));
}

}  // namespace

Status check_backup_name(const std::string& name) {
    if (is_single_path_component(name)) return {};
    return fail("Invalid backup name '" + name +
                "': a backup name is one file name (not empty, without '/', and not '.' or '..')");
}

Result<BackupIndex> load_backup_index(const Context& ctx) {
    auto index = load_state_file<BackupIndex>(ctx.path(kBackupIndexPath));
    switch (index.state) {
        case StateFileState::Missing: return fail(OsError{ENOENT}.message());
        case StateFileState::Damaged: return fail(std::move(index.error));
        case StateFileState::Loaded: break;
    }
    return std::move(index.value);
}

Status create_backup(const Context& ctx, const std::optional<std::string>& name,
                     const std::optional<std::string>& description) {
    const std::string backup_name = name ? *name : "backup_" + format_name_stamp(ctx.clock.now());
    if (auto ok = check_backup_name(backup_name); !ok) return ok;
    const bool first = is_first_backup(ctx);
    const bool is_default = first || backup_name == "default";

    ctx.out << "[+] Creating network configuration backup '" << backup_name << "'...\n";
    if (auto made = make_directories(ctx.path(kBackupsDir)); !made) {
        ctx.err << "[-] Warning: Could not create backup directory " << kBackupsDir << ": " << made.error().message()
                << "\n[-] Trying to use current directory for backup...\n";
        return fallback_backup(ctx, first);
    }
    if (auto made = make_directories(ctx.path(kSavedConfigDir)); !made) {
        ctx.err << "[-] Warning: Could not create config directory " << kSavedConfigDir << ": "
                << made.error().message() << "\n[-] Config file will not be saved\n";
    }

    // Taken before the lock: nmcli, virsh and ip may take their time, and a run waiting to
    // change a state file must not wait for them.
    auto config = collect_network_config(ctx, backup_name, description, is_default);
    if (!config) return unexpected(config.error());
    const std::string text = network_config_to_json_pretty(*config);

    const std::string file = backup_file_path(backup_name);
    Status written;
    {
        // The backup, the index and the copies are written as one change of the state directory.
        StateLock lock(ctx);
        written = write_state_file(ctx.path(file), text);
        if (written) {
            if (auto indexed = add_to_index(ctx, config->metadata); !indexed) return indexed;
            if (auto latest = write_state_file(ctx.path(kLatestBackupPath), text); !latest)
                ctx.err << "[-] Warning: Could not write latest backup: " << latest.error().message << "\n";
            if (auto saved = write_state_file(ctx.path(kSavedConfigPath), text); !saved)
                ctx.err << "[-] Warning: Could not write to config file " << kSavedConfigPath << ": "
                        << saved.error().message << "\n[-] This is normal if running without root privileges\n";
            // A backup killed before its rename left a temporary file under a name that is
            // never written again (a time-stamped one), so its own cleanup never comes.
            remove_own_temporaries_of_targets(ctx.path(kBackupsDir), ".json");
        }
    }
    if (!written) {
        // The fallback takes a snapshot of its own, so it runs after the lock is let go.
        ctx.err << "[-] Warning: Could not write to " << file << ": " << written.error().message
                << "\n[-] Trying to use current directory for backup...\n";
        return fallback_backup(ctx, first);
    }

    ctx.out << "[+] Backup completed successfully:\n  - JSON backup: " << file << "\n";
    print_kind_line(ctx, first, config->metadata.created_at);
    return {};
}

Status complete_saved_config(const Context& ctx) {
    if (exists_following_links(ctx.path(kSavedConfigPath)) || !exists_following_links(ctx.path(kLatestBackupPath)))
        return {};
    // Under the lock a backup holds while it writes both copies: the copy is taken from a whole
    // latest_network_config.json, and not over a config.json a backup has just written.
    StateLock lock(ctx);
    if (exists_following_links(ctx.path(kSavedConfigPath))) return {};
    auto failed = [](const std::string& why) {
        return fail("Could not restore config file " + std::string(kSavedConfigPath) + " from " +
                    std::string(kLatestBackupPath) + ": " + why);
    };
    // Only the program's own copy is taken: a link or a second name there may lead to any
    // document of the host, which config.json would then show to everyone.
    auto text = read_file_itself(ctx.path(kLatestBackupPath));
    if (!text) return failed(text.error().message());
    if (auto made = make_directories(ctx.path(kSavedConfigDir)); !made) return failed(made.error().message());
    if (auto written = write_state_file(ctx.path(kSavedConfigPath), *text); !written)
        return failed(written.error().message);
    return {};
}

Status fallback_backup(const Context& ctx, bool first) {
    const std::string name = "backup_" + format_name_stamp(ctx.clock.now());
    auto config = collect_network_config(ctx, name, std::nullopt, false);
    if (!config) return unexpected(config.error());
    const std::string file = first ? std::string(kDefaultFallbackPath)
                                   : std::string(kFallbackPrefix) + format_name_stamp(config->metadata.created_at) +
                                         ".json";
    if (auto written = write_state_file(ctx.path(file), network_config_to_json_pretty(*config)); !written)
        return written;
    ctx.out << "[+] Fallback backup completed successfully:\n  - JSON backup: " << file << "\n";
    print_kind_line(ctx, first, config->metadata.created_at);
    ctx.out << "  - Note: Running in fallback mode due to permission restrictions\n";
    return {};
}

}  // namespace qm
