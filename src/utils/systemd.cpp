#include "utils/systemd.hpp"

#include <sys/stat.h>

#include "utils/fs.hpp"

namespace qm {

RunResult systemctl(const Context& ctx, std::vector<std::string> args) {
    args.insert(args.begin(), "systemctl");
    return ctx.run(args, RunMode::QueryWithStderr);
}

bool unit_file_present(const std::filesystem::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    return !(S_ISREG(st.st_mode) && st.st_size == 0);
}

Status write_unit_file(const std::filesystem::path& path, std::string_view text) {
    if (auto written = write_file_atomic(path, text); !written) return fail(written.error().message());
    return {};
}

}  // namespace qm
