#include "cmds/config/config_commands.hpp"

#include "cmds/config/backup.hpp"
#include "cmds/config/lookup.hpp"
#include "cmds/config/maintenance.hpp"
#include "cmds/config/restore.hpp"
#include "utils/report.hpp"

namespace qm {

void run_config_backup(const Context& ctx, const ConfigBackup& command) {
    report_error(ctx, create_backup(ctx, command.name, command.description));
}

void run_config_restore(const Context& ctx, const ConfigRestore& command) {
    report_error(ctx, command.name ? restore_backup(ctx, *command.name) : restore_default_backup(ctx));
}

void run_config_info(const Context& ctx, const ConfigInfo& command) {
    report_error(ctx, show_backup_info(ctx, command.name));
}

void run_config_cleanup(const Context& ctx) { report_error(ctx, cleanup_stale_connections(ctx)); }

void run_config_sync(const Context& ctx) { report_error(ctx, sync_config_files(ctx)); }

void run_config_restore_veth(const Context& ctx) { report_error(ctx, restore_veth_from_backup(ctx)); }

}  // namespace qm
