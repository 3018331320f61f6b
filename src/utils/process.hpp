// The real host: child processes through posix_spawn, the system clock and real sleeps.
#pragma once

#include <ostream>
#include <vector>

#include "utils/context.hpp"

namespace qm {

class PosixRunner final : public Runner {
public:
    // Streams flushed before each child starts, so inherited output keeps its order.
    explicit PosixRunner(std::vector<std::ostream*> flush_before_spawn = {});
    RunResult run(const std::vector<std::string>& argv, RunMode mode) override;

private:
    std::vector<std::ostream*> flush_;
};

class SystemClock final : public Clock {
public:
    std::chrono::system_clock::time_point now() override;
};

class RealSleeper final : public Sleeper {
public:
    void sleep(std::chrono::milliseconds duration) override;
};

}  // namespace qm
