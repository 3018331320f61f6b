#include "cmds/config/backup_document.hpp"

namespace qm {

std::string network_config_to_json_pretty(const NetworkConfig& config) { return to_json_pretty(config); }

Result<NetworkConfig> network_config_from_json(std::string_view text) { return from_json<NetworkConfig>(text); }

Status check_network_config_json(std::string_view text) { return check_json<NetworkConfig>(text); }

std::string backup_index_to_json_pretty(const BackupIndex& index) { return to_json_pretty(index); }

Result<BackupIndex> backup_index_from_json(std::string_view text) { return from_json<BackupIndex>(text); }

}  // namespace qm
