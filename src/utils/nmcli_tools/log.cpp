#include "utils/nmcli_tools/log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "utils/paths.hpp"

namespace qm {
namespace {

std::string time_stamp(std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    auto since = now.time_since_epoch();
    long long secs = 0;
    long long nanos = 0;
    if (since > system_clock::duration::zero()) {
        auto whole = duration_cast<seconds>(since);
        secs = whole.count();
        nanos = duration_cast<nanoseconds>(since - whole).count();
    }
    char frac[16];
    std::snprintf(frac, sizeof frac, "%09lld", nanos);
    return std::to_string(secs) + "." + frac;
}

}  // namespace

void log_info(const Context& ctx, std::string_view msg) {
    // The whole line goes out in one append so lines of concurrent writers do not mix.
    std::string line = time_stamp(ctx.clock.now());
    line += " [INFO] ";
    line += msg;
    line += '\n';

    // Only a regular file is a log. Without O_NONBLOCK a FIFO there would hold the run until
    // a reader came; with it, the open fails when there is no reader.
    int fd = ::open(ctx.path(kLogPath).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace qm
