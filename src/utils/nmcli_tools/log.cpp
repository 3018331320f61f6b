#include "utils/nmcli_tools/log.hpp"

#include <chrono>
#include <cstdio>
#include <string>

#include "utils/fs.hpp"
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

    // Only a regular file is a log: a link there is not followed (its target may be any file,
    // or none yet), and anything else at the path counts as a log that cannot be written.
    (void)append_to_regular_file(ctx.path(kLogPath), line, 0666);
}

}  // namespace qm
