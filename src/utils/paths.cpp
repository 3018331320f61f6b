#include "utils/paths.hpp"

namespace qm {

bool is_single_path_component(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::optional<std::string> original_mac_path(std::string_view bridge) {
    if (!is_single_path_component(bridge)) return std::nullopt;
    return path_in(kStateDir, std::string(bridge) + std::string(kOriginalMacSuffix));
}

std::optional<std::string> network_identity_path(std::string_view bridge) {
    if (!is_single_path_component(bridge)) return std::nullopt;
    return path_in(kStateDir, std::string(bridge) + std::string(kNetworkIdentitySuffix));
}

std::string path_in(std::string_view dir, std::string_view name) {
    std::string path(dir);
    path += '/';
    path += name;
    return path;
}

std::string backup_file_path(std::string_view name) { return path_in(kBackupsDir, std::string(name) + ".json"); }

}  // namespace qm
