#include "utils/systemd.hpp"

#include "utils/fs.hpp"

namespace qm {

RunResult systemctl(const Context& ctx, std::vector<std::string> args) {
    args.insert(args.begin(), "systemctl");
    return ctx.run(args, RunMode::QueryWithStderr);
}

Status write_unit_file(const std::filesystem::path& path, std::string_view text) {
    if (auto written = write_new_file_whole(path, text); !written) return fail(written.error().message());
    return {};
}

}  // namespace qm
