// In-process stand-ins for the host: a scripted runner, a fixed clock, a recording sleeper,
// a scripted platform, a temporary root and a temporary current directory, bundled into a
// Context for unit tests.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "utils/context.hpp"

namespace qm::test {

struct Answer {
    int exit_code = 0;
    std::string out;
    std::string err;
    int signal = 0;                    // non-zero: the child "died" from this signal
    std::optional<int> spawn_errno;    // set: the child could not be started

    static Answer ok(std::string out = {}) { return exit(0, std::move(out)); }
    static Answer exit(int code, std::string out = {}) {
        Answer a;
        a.exit_code = code;
        a.out = std::move(out);
        return a;
    }
    static Answer missing() { Answer a; a.spawn_errno = ENOENT; return a; }
};

struct Call {
    std::vector<std::string> argv;
    RunMode mode;
    bool operator==(const Call&) const = default;
};

// Answers calls from rules; the newest matching rule wins. A rule with several answers
// gives them in turn and then repeats its last one. Unmatched calls succeed silently.
class FakeRunner final : public Runner {
public:
    // Exact argument vector (argv[0] included).
    FakeRunner& on(std::vector<std::string> argv, std::vector<Answer> answers) {
        rules_.push_back({std::move(argv), false, std::move(answers), 0});
        return *this;
    }
    FakeRunner& on(std::vector<std::string> argv, Answer answer) {
        return on(std::move(argv), std::vector<Answer>{std::move(answer)});
    }
    // Any argument vector that starts with these words.
    FakeRunner& on_prefix(std::vector<std::string> prefix, std::vector<Answer> answers) {
        rules_.push_back({std::move(prefix), true, std::move(answers), 0});
        return *this;
    }
    FakeRunner& on_prefix(std::vector<std::string> prefix, Answer answer) {
        return on_prefix(std::move(prefix), std::vector<Answer>{std::move(answer)});
    }
    // Every call of this program fails to start with ENOENT.
    FakeRunner& missing(const std::string& program) { return on_prefix({program}, Answer::missing()); }

    RunResult run(const std::vector<std::string>& argv, RunMode mode) override {
        calls.push_back({argv, mode});
        if (while_running) while_running(argv);
        Answer a;
        for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
            if (matches(*it, argv)) {
                std::size_t i = std::min(it->next, it->answers.size() - 1);
                a = it->answers[i];
                if (it->next < it->answers.size()) ++it->next;
                break;
            }
        }
        if (a.spawn_errno) return unexpected(OsError{*a.spawn_errno});
        ProcessResult r;
        r.exit_code = a.signal ? -1 : a.exit_code;
        r.signal = a.signal;
        r.wait_status = a.signal ? a.signal : (a.exit_code & 0xff) << 8;
        if (mode == RunMode::Query || mode == RunMode::QueryWithStderr) r.out = a.out;
        if (mode == RunMode::QueryWithStderr || mode == RunMode::ChangeWithStderr) r.err = a.err;
        if (mode == RunMode::Shown) shown += a.out;
        if (mode == RunMode::Shown || mode == RunMode::ChangeShowingStderr) shown_err += a.err;
        return r;
    }

    // Argument vectors only, in call order.
    std::vector<std::vector<std::string>> argvs() const {
        std::vector<std::vector<std::string>> v;
        for (const auto& c : calls) v.push_back(c.argv);
        return v;
    }
    // Argument vectors of one program only.
    std::vector<std::vector<std::string>> argvs_of(const std::string& program) const {
        std::vector<std::vector<std::string>> v;
        for (const auto& c : calls)
            if (!c.argv.empty() && c.argv[0] == program) v.push_back(c.argv);
        return v;
    }

    std::vector<Call> calls;
    // Called at every call before it is answered: what another run does, or could do, while
    // this tool runs.
    std::function<void(const std::vector<std::string>&)> while_running;
    std::string shown;      // stdout of Shown runs, as a terminal would have seen it
    std::string shown_err;  // stderr of the runs that let it through to the terminal

private:
    struct Rule {
        std::vector<std::string> argv;
        bool prefix;
        std::vector<Answer> answers;
        std::size_t next;
    };
    static bool matches(const Rule& r, const std::vector<std::string>& argv) {
        if (r.prefix) {
            if (argv.size() < r.argv.size()) return false;
            return std::equal(r.argv.begin(), r.argv.end(), argv.begin());
        }
        return argv == r.argv;
    }
    std::vector<Rule> rules_;
};

class FixedClock final : public Clock {
public:
    explicit FixedClock(std::chrono::system_clock::time_point t = std::chrono::system_clock::time_point{}) : t(t) {}
    std::chrono::system_clock::time_point now() override { return t; }
    std::chrono::system_clock::time_point t;
};

class RecordingSleeper final : public Sleeper {
public:
    void sleep(std::chrono::milliseconds d) override { pauses.push_back(d); }
    std::vector<std::chrono::milliseconds> pauses;
};

// The process's own facts as a test sets them. Link speeds answer from `speeds`; an
// interface without an entry fails like a device without ethtool support (EOPNOTSUPP).
class FakePlatform final : public Platform {
public:
    std::uint32_t effective_user_id() override { return euid; }
    Expected<std::filesystem::path, OsError> own_executable() override { return executable; }
    Expected<std::uint16_t, OsError> link_speed(const std::string& interface) override {
        speed_queries.push_back(interface);
        auto it = speeds.find(interface);
        if (it == speeds.end()) return unexpected(OsError{EOPNOTSUPP});
        return it->second;
    }

    std::uint32_t euid = 0;
    Expected<std::filesystem::path, OsError> executable = std::filesystem::path("/usr/sbin/quillmar");
    std::map<std::string, Expected<std::uint16_t, OsError>> speeds;
    std::vector<std::string> speed_queries;  // interfaces asked about, in order
};

// While it lives, no write of this process makes a file longer than `bytes`: such a write
// fails with EFBIG. The way to make a file write fail in a test run as root.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        if (getrlimit(RLIMIT_FSIZE, &saved_) != 0) return;
        rlimit small = saved_;
        small.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit() {
        if (active_) setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, saved_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    // Whether the limit holds (the system may refuse it).
    bool active() const { return active_; }

private:
    rlimit saved_{};
    void (*saved_handler_)(int) = SIG_DFL;
    bool active_ = false;
};

// A temporary directory removed with the object.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        auto base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                        : std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("qm-unit-" + std::to_string(rd()) + std::to_string(rd()));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Everything a command needs, faked. `ctx` points at all the members.
struct FakeHost {
    FakeRunner runner;
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    FixedClock clock;
    RecordingSleeper sleeper;
    FakePlatform platform;
    TempDir root;
    // The current directory, apart from the root: relative paths never land below the root.
    TempDir cwd;
    Context ctx{runner, in, out, err, clock, sleeper, platform, root.path(), cwd.path()};

    // Absolute fixed path below the temporary root; a relative one in the current directory.
    std::filesystem::path file(std::string_view absolute) const { return ctx.path(absolute); }
    void write_file(std::string_view absolute, std::string_view content) const {
        auto p = file(absolute);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }
    // A kernel link in /sys/class/net, enslaved to `master` when one is given (its "master" link
    // points at ../<master>, as the kernel's does).
    void add_link(const std::string& name, const std::string& master = {}) const {
        auto dir = file("/sys/class/net") / name;
        std::filesystem::create_directories(dir);
        std::filesystem::remove(dir / "master");
        if (!master.empty()) std::filesystem::create_symlink("../" + master, dir / "master");
    }
    // Whether the state lock is held at this moment (by this process too): another open of
    // the state directory, as another run would make, cannot take its flock.
    bool state_lock_taken() const {
        const auto dir = file("/var/lib/quillmar");
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool taken = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return taken;
    }
    std::optional<std::string> read_file(std::string_view absolute) const {
        std::ifstream f(file(absolute), std::ios::binary);
        if (!f) return std::nullopt;
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

}  // namespace qm::test
