// How the baseline runs the children that change the host.
#pragma once

#include <string>
#include <vector>

#include "utils/context.hpp"

namespace qm::baseline {

// The changes of one baseline run. Output is captured and dropped. A child that cannot be
// started is an error, with the operating system's message. A child that runs and fails is a
// warning on standard output naming the command, what it acts on, how it ended and what it
// said on standard error; the run goes on, and the count keeps its last line from claiming
// success.
class Changes {
public:
    explicit Changes(const Context& ctx) : ctx_(ctx) {}
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;

    // `object` names what the command acts on (a profile, a device) in the warning.
    Status run(const std::string& object, const std::vector<std::string>& argv);
    // The same, telling whether the child succeeded: what failed was not made, so it is not
    // to be tracked.
    Result<bool> attempt(const std::string& object, const std::vector<std::string>& argv);
    // How many changes ran and failed.
    int failed() const { return failed_; }

private:
    const Context& ctx_;
    int failed_ = 0;
};

}  // namespace qm::baseline
