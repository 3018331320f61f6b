// The `baseline` command as the command line gives it, its handler and its stored usage page.
#pragma once

#include <string_view>

namespace qm {

struct Context;

struct BaselineCommand {
    bool auto_ = false;  // --auto ("auto" is a keyword)
    bool force = false;
    bool operator==(const BaselineCommand&) const = default;
};

// `baseline`: exactly one of --auto and --force runs the baseline in that mode; both are
// refused on standard error, neither prints the usage page. A failed run is shown after
// "Error: " on standard error.
void run_baseline_command(const Context& ctx, const BaselineCommand& command);

// What `baseline` without a mode prints, byte for byte.
extern const std::string_view kBaselineUsage;

}  // namespace qm
