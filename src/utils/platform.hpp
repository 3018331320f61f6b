// The real operating system behind Context::platform, and the current directory for main.
#pragma once

#include <filesystem>

#include "utils/context.hpp"

namespace qm {

class LinuxPlatform final : public Platform {
public:
    std::uint32_t effective_user_id() override;
    // Read from /proc/self/exe.
    Expected<std::filesystem::path, OsError> own_executable() override;
    // SIOCETHTOOL with ETHTOOL_GSET on an AF_INET datagram socket. A name longer than the 15
    // bytes a request holds is refused (ENAMETOOLONG) rather than cut to another interface's.
    Expected<std::uint16_t, OsError> link_speed(const std::string& interface) override;
};

// The process's current directory, absolute, for Context::cwd.
Expected<std::filesystem::path, OsError> process_current_directory();

}  // namespace qm
