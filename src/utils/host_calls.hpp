// Runs of host tools by the way their answer is used. Every call names its run mode, so the
// streams a child gets stay visible where it is started.
#pragma once

#include <string>
#include <vector>

#include "utils/context.hpp"

namespace qm {

// The captured run of a query: standard input from the null device, both output streams
// captured; callers look at standard output only.
inline constexpr RunMode kCaptured = RunMode::QueryWithStderr;

// A query run (mode Query or QueryWithStderr): the standard output as captured bytes, or why
// the child could not be started. The exit status is not looked at.
Expected<std::string, OsError> query_bytes(const Context& ctx, const std::vector<std::string>& argv, RunMode mode);
// The same output decoded as UTF-8, invalid sequences replaced.
Expected<std::string, OsError> query_text(const Context& ctx, const std::vector<std::string>& argv, RunMode mode);
// The decoded output cut into lines (split_lines).
Expected<std::vector<std::string>, OsError> query_lines(const Context& ctx, const std::vector<std::string>& argv,
                                                        RunMode mode);
// The raw output cut into lines (split_lines), each decoded strictly: a line that is not
// valid UTF-8 is dropped, the others are kept in order.
Expected<std::vector<std::string>, OsError> query_valid_lines(const Context& ctx, const std::vector<std::string>& argv,
                                                              RunMode mode);
// A run whose output is not wanted: true when the child started and exited with status 0.
bool run_succeeded(const Context& ctx, const std::vector<std::string>& argv, RunMode mode);
// A change run (both output streams to the null device) whose outcome does not matter.
void change_quietly(const Context& ctx, const std::vector<std::string>& argv);
// A run whose exit status does not matter: an error only when the child could not be started.
Expected<void, OsError> run_ignoring_status(const Context& ctx, const std::vector<std::string>& argv, RunMode mode);
// A change run whose standard output is not wanted but whose complaints are meant for the user:
// standard output to the null device, standard error straight to ours. Gives the run's result.
RunResult change_showing_stderr(const Context& ctx, const std::vector<std::string>& argv);

// How a child ended, for messages: "exit status: 2", or "signal: 9 (SIGKILL)" with
// " (core dumped)" added when it left a core; an unnamed signal shows only its number.
std::string exit_status_text(const ProcessResult& result);

}  // namespace qm
