#include "utils/host_calls.hpp"

#include <sys/wait.h>

#include <cstring>
#include <ostream>

#include "utils/text.hpp"

namespace qm {

Expected<std::string, OsError> query_bytes(const Context& ctx, const std::vector<std::string>& argv, RunMode mode) {
    auto r = ctx.run(argv, mode);
    if (!r) return unexpected(r.error());
    return std::move(r->out);
}

Expected<std::string, OsError> query_text(const Context& ctx, const std::vector<std::string>& argv, RunMode mode) {
    auto out = query_bytes(ctx, argv, mode);
    if (!out) return unexpected(out.error());
    return decode_utf8_lossy(*out);
}

Expected<std::vector<std::string>, OsError> query_lines(const Context& ctx, const std::vector<std::string>& argv,
                                                        RunMode mode) {
    auto text = query_text(ctx, argv, mode);
    if (!text) return unexpected(text.error());
    return split_lines(*text);
}

Expected<std::vector<std::string>, OsError> query_valid_lines(const Context& ctx, const std::vector<std::string>& argv,
                                                              RunMode mode) {
    auto out = query_bytes(ctx, argv, mode);
    if (!out) return unexpected(out.error());
    std::vector<std::string> lines;
    for (auto& line : split_lines(*out))
        if (is_valid_utf8(line)) lines.push_back(std::move(line));
    return lines;
}

bool run_succeeded(const Context& ctx, const std::vector<std::string>& argv, RunMode mode) {
    auto r = ctx.run(argv, mode);
    return r && r->success();
}

void change_quietly(const Context& ctx, const std::vector<std::string>& argv) { (void)ctx.run(argv, RunMode::Change); }

Expected<void, OsError> run_ignoring_status(const Context& ctx, const std::vector<std::string>& argv, RunMode mode) {
    auto r = ctx.run(argv, mode);
    if (!r) return unexpected(r.error());
    return {};
}

RunResult change_showing_stderr(const Context& ctx, const std::vector<std::string>& argv) {
    return ctx.run(argv, RunMode::ChangeShowingStderr);
}

std::string exit_status_text(const ProcessResult& result) {
    if (result.signal == 0) return "exit status: " + std::to_string(result.exit_code);
    std::string text = "signal: " + std::to_string(result.signal);
    if (const char* name = ::sigabbrev_np(result.signal)) text += std::string(" (SIG") + name + ")";
    if (WIFSIGNALED(result.wait_status) && WCOREDUMP(result.wait_status)) text += " (core dumped)";
    return text;
}

}  // namespace qm
