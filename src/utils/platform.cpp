#include "utils/platform.hpp"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace qm {
namespace {

// Target of a symbolic link, however long.
Expected<std::string, OsError> read_link(const char* path) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path, buf.data(), buf.size());
        if (n < 0) return unexpected(OsError{errno});
        if (static_cast<std::size_t>(n) < buf.size()) {
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

std::uint32_t LinuxPlatform::effective_user_id() { return static_cast<std::uint32_t>(::geteuid()); }

Expected<std::filesystem::path, OsError> LinuxPlatform::own_executable() {
    auto target = read_link("/proc/self/exe");
    if (!target) return unexpected(target.error());
    return std::filesystem::path(*target);
}

Expected<std::uint16_t, OsError> LinuxPlatform::link_speed(const std::string& interface) {
    ethtool_cmd cmd;
    std::memset(&cmd, 0, sizeof cmd);
    cmd.cmd = ETHTOOL_GSET;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    if (interface.size() >= sizeof request.ifr_name) return unexpected(OsError{ENAMETOOLONG});
    std::memcpy(request.ifr_name, interface.data(), interface.size());
    request.ifr_data = reinterpret_cast<char*>(&cmd);

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return unexpected(OsError{errno});
    const int r = ::ioctl(fd, SIOCETHTOOL, &request);
    const int error = errno;
    ::close(fd);
    if (r == -1) return unexpected(OsError{error});
    return static_cast<std::uint16_t>(cmd.speed);
}

Expected<std::filesystem::path, OsError> process_current_directory() {
    std::string buf(256, '\0');
    for (;;) {
        if (::getcwd(buf.data(), buf.size()) != nullptr) {
            buf.resize(std::strlen(buf.c_str()));
            return std::filesystem::path(buf);
        }
        if (errno != ERANGE) return unexpected(OsError{errno});
        buf.resize(buf.size() * 2);
    }
}

}  // namespace qm
