// The `config` commands as the command line gives them, one value per command with one field
// per option, and the handler each row of the command tree binds.
#pragma once

#include <optional>
#include <string>
#include <variant>

namespace qm {

struct Context;

struct ConfigBackup {
    std::optional<std::string> name;
    std::optional<std::string> description;
    bool operator==(const ConfigBackup&) const = default;
};

struct ConfigRestore {
    std::optional<std::string> name;
    bool operator==(const ConfigRestore&) const = default;
};

struct ConfigList { bool operator==(const ConfigList&) const = default; };
struct ConfigInfo {
    std::optional<std::string> name;
    bool operator==(const ConfigInfo&) const = default;
};

struct ConfigCleanup { bool operator==(const ConfigCleanup&) const = default; };
struct ConfigSmartCleanup { bool operator==(const ConfigSmartCleanup&) const = default; };
struct ConfigSync { bool operator==(const ConfigSync&) const = default; };
struct ConfigRestoreVeth { bool operator==(const ConfigRestoreVeth&) const = default; };
struct ConfigUsage { bool operator==(const ConfigUsage&) const = default; };

struct ConfigCommands {
    using Backup = ConfigBackup;
    using Restore = ConfigRestore;
    using List = ConfigList;
    using Info = ConfigInfo;
    using Cleanup = ConfigCleanup;
    using SmartCleanup = ConfigSmartCleanup;
    using Sync = ConfigSync;
    using RestoreVeth = ConfigRestoreVeth;
    using Usage = ConfigUsage;
    std::variant<Backup, Restore, List, Info, Cleanup, SmartCleanup, Sync, RestoreVeth, Usage> value;
    bool operator==(const ConfigCommands&) const = default;
};

// The handlers of the config commands whose operation returns an error: it is shown after
// "Error: " on standard error. `config restore` without --name restores the saved
// configuration.
void run_config_backup(const Context& ctx, const ConfigBackup& command);
void run_config_restore(const Context& ctx, const ConfigRestore& command);
void run_config_info(const Context& ctx, const ConfigInfo& command);
void run_config_cleanup(const Context& ctx);
void run_config_sync(const Context& ctx);
void run_config_restore_veth(const Context& ctx);

}  // namespace qm
