#include "utils/paths.hpp"

namespace qm {

std::string original_mac_path(std::string_view bridge) {
    return path_in(kStateDir, std::string(bridge) + std::string(kOriginalMacSuffix));
}

std::string network_identity_path(std::string_view bridge) {
    return path_in(kStateDir, std::string(bridge) + std::string(kNetworkIdentitySuffix));
}

std::string path_in(std::string_view dir, std::string_view name) {
    std::string path(dir);
    path += '/';
    path += name;
    return path;
}

}  // namespace qm
