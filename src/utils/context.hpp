// The one object through which every command reaches the host: child processes,
// console streams, the clock, the fixed pauses, the few direct system calls, the
// file-system root and the current directory.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "utils/expected.hpp"

namespace qm {

enum class RunMode {
    // Change run: stdin inherited, stdout and stderr to the null device, waited for.
    Change,
    // Query run: stdin from the null device, stdout captured, stderr to the null device.
    Query,
    // Query run that also captures stderr (stdin from the null device).
    QueryWithStderr,
    // Change run whose error text is wanted: stdin from the null device, stdout to the null
    // device, stderr captured.
    ChangeWithStderr,
    // Change run whose complaints reach the user: stdin inherited, stdout to the null device,
    // stderr inherited.
    ChangeShowingStderr,
    // Shown run: all three streams inherited, waited for.
    Shown,
    // Started and not waited for: stdin inherited, stdout and stderr to the null device, so a
    // child that outlives the program holds none of its output streams.
    Detached,
};

// A failure to start (or wait for) a child: the operating system's error number.
struct OsError {
    int code = 0;
    // "No such file or directory (os error 2)"
    std::string message() const;
    bool operator==(const OsError&) const = default;
};

struct ProcessResult {
    // Raw wait status as returned by waitpid (0 for a detached start).
    int wait_status = 0;
    // Exit code when the child exited normally; -1 when it was ended by a signal.
    int exit_code = 0;
    // Signal number that ended the child, 0 when it exited.
    int signal = 0;
    std::string out;  // captured standard output (raw bytes)
    std::string err;  // captured standard error (QueryWithStderr and ChangeWithStderr only)

    bool success() const { return signal == 0 && exit_code == 0; }
};

using RunResult = Expected<ProcessResult, OsError>;

class Runner {
public:
    virtual ~Runner() = default;
    // argv[0] is looked up on PATH; the child is started directly, never through a shell.
    virtual RunResult run(const std::vector<std::string>& argv, RunMode mode) = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::system_clock::time_point now() = 0;
};

class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleep(std::chrono::milliseconds duration) = 0;
};

// What the program asks of the operating system directly, besides children and files.
class Platform {
public:
    virtual ~Platform() = default;
    // The effective user ID of the process (0 for root).
    virtual std::uint32_t effective_user_id() = 0;
    // The path of the running program's own file.
    virtual Expected<std::filesystem::path, OsError> own_executable() = 0;
    // The link speed in Mb/s that the kernel's ethtool interface reports for an interface
    // (ETHTOOL_GSET): the 16-bit speed field as it stands, 65535 included. An error when the
    // socket cannot be opened, the request fails or the name does not fit a request.
    virtual Expected<std::uint16_t, OsError> link_speed(const std::string& interface) = 0;
};

struct Context {
    Runner& runner;
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    Clock& clock;
    Sleeper& sleeper;
    Platform& platform;
    // Root under which the fixed absolute paths live ("/" in the program).
    std::filesystem::path root = "/";
    // The process's current directory as an absolute path, or why it could not be found.
    Expected<std::filesystem::path, OsError> cwd;

    // A fixed absolute path such as "/var/lib/quillmar" maps below the root; a relative one
    // such as "./default_network_config.json" is taken in the current directory (as it
    // stands when the current directory is unknown), never below the root.
    std::filesystem::path path(std::string_view fixed) const;

    RunResult run(const std::vector<std::string>& argv, RunMode mode) const { return runner.run(argv, mode); }
    void pause(std::chrono::milliseconds duration) const { sleeper.sleep(duration); }
};

}  // namespace qm
