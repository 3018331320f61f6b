// How the baseline runs the children that change the host.
#pragma once

#include <string>
#include <vector>

#include "utils/context.hpp"
#include "utils/host_calls.hpp"

namespace qm::baseline {

// Output captured and dropped, exit status not looked at: only a child that cannot be
// started is an error, with the operating system's message.
inline Status change(const Context& ctx, const std::vector<std::string>& argv) {
    if (auto r = run_ignoring_status(ctx, argv, RunMode::QueryWithStderr); !r) return fail(r.error().message());
    return {};
}

}  // namespace qm::baseline
