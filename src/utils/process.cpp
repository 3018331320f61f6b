#include "utils/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

// Start failures are read from posix_spawn's return value. glibc reports a failed exec there
// only since 2.24, when it began to start children with clone(CLONE_VM | CLONE_VFORK); before,
// the child merely exited 127.
#if defined(__GLIBC__) && (__GLIBC__ < 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ < 24))
#error "glibc 2.24 or newer is needed: older posix_spawn does not report exec failures"
#endif

extern char** environ;

namespace qm {

namespace {

// Owns one file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Keeps our descriptors off 0, 1 and 2 (possible when the program was started with a
// standard stream closed), so that the child's dup2 actions can never clobber one another.
int lift(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

Expected<std::pair<Fd, Fd>, OsError> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return unexpected(OsError{errno});
    Fd r(lift(fds[0]));
    Fd w(lift(fds[1]));
    if (!r.valid() || !w.valid()) return unexpected(OsError{errno});
    return std::pair<Fd, Fd>{std::move(r), std::move(w)};
}

Expected<Fd, OsError> open_null() {
    Fd fd(lift(::open("/dev/null", O_RDWR | O_CLOEXEC)));
    if (!fd.valid()) return unexpected(OsError{errno});
    return fd;
}

// The places to try for a program name, in order. A name with a '/' is used as it stands.
std::vector<std::string> candidates(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return {name};
    const char* env = std::getenv("PATH");
    std::string path = env ? env : "/bin:/usr/bin";
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        out.push_back(dir.empty() ? name : dir + "/" + name);  // an empty entry means the current directory
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return out;
}

// The posix_spawn settings of one start.
class SpawnSetup {
public:
    SpawnSetup() {
        actions_ok_ = ::posix_spawn_file_actions_init(&actions) == 0;
        attr_ok_ = ::posix_spawnattr_init(&attr) == 0;
    }
    ~SpawnSetup() {
        if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions);
        if (attr_ok_) ::posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // `child_fd` becomes the child's standard stream `target`; -1 leaves ours in place.
    int redirect(int child_fd, int target) {
        return child_fd < 0 ? 0 : ::posix_spawn_file_actions_adddup2(&actions, child_fd, target);
    }
    bool ok() const { return actions_ok_ && attr_ok_; }
    // An ignored SIGPIPE would survive exec; host tools expect the default.
    int default_sigpipe() {
        sigset_t pipe_default;
        ::sigemptyset(&pipe_default);
        ::sigaddset(&pipe_default, SIGPIPE);
        int e = ::posix_spawnattr_setsigdefault(&attr, &pipe_default);
        if (e == 0) e = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
        return e;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;

private:
    bool actions_ok_ = false;
    bool attr_ok_ = false;
};

// Everything a start needs, fixed before the first attempt: the detached start runs the
// search in a child that shares our memory, where nothing may allocate.
struct StartPlan {
    const char* const* paths;
    std::size_t path_count;
    char* const* argv;
    const SpawnSetup* setup;
};

// Errors that only say the program is not at this place on the search path.
bool not_here(int e) { return e == ENOENT || e == ENOTDIR || e == ESTALE || e == ENODEV || e == ETIMEDOUT; }

// Starts the first candidate that can be run, each with execve semantics (posix_spawn, not
// posix_spawnp: a file that is not a program is never handed to a shell). Returns 0 with the
// pid, or the errno worth reporting: search goes on past places that do not hold the
// program, and permission denied wins over "not found" the way a shell's lookup reports it.
// A place that does not exist is passed over with a stat, which fails with the errno execve
// would give, sparing a child per missing entry. Only system calls: see StartPlan.
int start_first(const StartPlan& plan, pid_t* pid) {
    bool denied = false;
    int last = ENOENT;
    for (std::size_t i = 0; i < plan.path_count; ++i) {
        struct stat st;
        int e = ::stat(plan.paths[i], &st) == 0
                    ? ::posix_spawn(pid, plan.paths[i], &plan.setup->actions, &plan.setup->attr, plan.argv, environ)
                    : errno;
        if (e == 0) return 0;
        last = e;
        if (e == EACCES) denied = true;
        else if (!not_here(e)) return e;
    }
    return denied ? EACCES : last;
}

// Runs in the intermediate child of a detached start (see start_detached).
struct DetachJob {
    const StartPlan* plan;
    int error;
};

int detach_trampoline(void* arg) {
    auto* job = static_cast<DetachJob*>(arg);
    pid_t grandchild;
    job->error = start_first(*job->plan, &grandchild);
    return 0;  // the intermediate ends; the grandchild, if started, passes to init
}

// A start that is never waited for and leaves no zombie. An intermediate child is cloned with
// CLONE_VM | CLONE_VFORK, the way posix_spawn itself starts children: it shares our memory, so
// no page table is copied whatever our size, and we stay suspended until it has ended. It
// makes the real start with posix_spawn, writes the outcome into our memory and exits; we reap
// it at once, and its child is adopted by init. Unlike a double fork this costs two cheap
// clones, and unlike ignoring SIGCHLD it changes no process-wide setting.
//
// While the intermediate runs on our memory, a signal handler of ours must not run in it:
// every signal is blocked across the clone, and the real child is given our own mask back.
int start_detached(StartPlan plan, SpawnSetup& setup) {
    sigset_t all, ours;
    ::sigfillset(&all);
    if (int e = ::pthread_sigmask(SIG_SETMASK, &all, &ours); e != 0) return e;
    short flags = 0;
    ::posix_spawnattr_getflags(&setup.attr, &flags);
    int e = ::posix_spawnattr_setsigmask(&setup.attr, &ours);
    if (e == 0) e = ::posix_spawnattr_setflags(&setup.attr, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK));

    constexpr std::size_t kStack = 256 * 1024;  // the intermediate only calls stat and posix_spawn
    const std::size_t guard = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* stack = MAP_FAILED;
    if (e == 0) {
        stack = ::mmap(nullptr, kStack + guard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (stack == MAP_FAILED) e = errno;
        else ::mprotect(stack, guard, PROT_NONE);  // an overflow faults instead of writing over our heap
    }
    if (e == 0) {
        DetachJob job{&plan, 0};
        const pid_t pid = ::clone(detach_trampoline, static_cast<char*>(stack) + guard + kStack,
                                  CLONE_VM | CLONE_VFORK | SIGCHLD, &job);
        if (pid < 0) {
            e = errno;
        } else {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
            e = job.error;
        }
    }
    if (stack != MAP_FAILED) ::munmap(stack, kStack + guard);
    ::pthread_sigmask(SIG_SETMASK, &ours, nullptr);
    return e;
}

Expected<int, OsError> wait_for(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, 0);
        if (r == pid) return status;
        if (r < 0 && errno == EINTR) continue;
        return unexpected(OsError{errno});
    }
}

// Drains one or two pipes to their end, polling both so neither can fill and stall the child.
// Returns 0, or the errno of a failed poll.
int drain(Fd& out_r, std::string& out, Fd& err_r, std::string& err) {
    char buf[65536];
    while (out_r.valid() || err_r.valid()) {
        pollfd fds[2];
        nfds_t n = 0;
        Fd* owners[2];
        std::string* sinks[2];
        if (out_r.valid()) { fds[n] = {out_r.get(), POLLIN, 0}; owners[n] = &out_r; sinks[n] = &out; ++n; }
        if (err_r.valid()) { fds[n] = {err_r.get(), POLLIN, 0}; owners[n] = &err_r; sinks[n] = &err; ++n; }
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) owners[i]->reset();  // end of stream (or a read error: nothing more to get)
            else sinks[i]->append(buf, static_cast<std::size_t>(got));
        }
    }
    return 0;
}

ProcessResult decode_status(int status) {
    ProcessResult r;
    r.wait_status = status;
    if (WIFSIGNALED(status)) {
        r.exit_code = -1;
        r.signal = WTERMSIG(status);
    } else {
        r.exit_code = WEXITSTATUS(status);
        r.signal = 0;
    }
    return r;
}

// What becomes of one of the child's standard streams.
enum class StreamUse {
    Inherit,   // ours, as it stands
    Null,      // the null device
    Capture,   // a pipe we read to its end
};

struct StreamPlan {
    StreamUse in, out, err;
};

// The run modes' streams, as documented with RunMode.
StreamPlan stream_plan(RunMode mode) {
    using enum StreamUse;
    switch (mode) {
        case RunMode::Change: return {Inherit, Null, Null};
        case RunMode::Query: return {Null, Capture, Null};
        case RunMode::QueryWithStderr: return {Null, Capture, Capture};
        case RunMode::ChangeWithStderr: return {Null, Null, Capture};
        case RunMode::ChangeShowingStderr: return {Inherit, Null, Inherit};
        case RunMode::Shown: return {Inherit, Inherit, Inherit};
        case RunMode::Detached: return {Inherit, Null, Null};
    }
    return {Inherit, Inherit, Inherit};
}

// The descriptors behind a StreamPlan: the null device when any stream needs it, and a pipe
// for each captured output stream.
class ChildStreams {
public:
    static Expected<ChildStreams, OsError> open(StreamPlan plan) {
        ChildStreams s;
        s.plan_ = plan;
        if (plan.in == StreamUse::Null || plan.out == StreamUse::Null || plan.err == StreamUse::Null) {
            auto n = open_null();
            if (!n) return unexpected(n.error());
            s.null_ = std::move(*n);
        }
        if (auto e = s.capture_if(plan.out, s.out_r_, s.out_w_); e != 0) return unexpected(OsError{e});
        if (auto e = s.capture_if(plan.err, s.err_r_, s.err_w_); e != 0) return unexpected(OsError{e});
        return s;
    }

    // Adds the child's redirections; 0 or the errno of a failed action.
    int apply(SpawnSetup& setup) const {
        int e = setup.redirect(child_fd(plan_.in, -1), 0);  // stdin is never captured
        if (e == 0) e = setup.redirect(child_fd(plan_.out, out_w_.get()), 1);
        if (e == 0) e = setup.redirect(child_fd(plan_.err, err_w_.get()), 2);
        return e;
    }

    // Once the child holds its own copies, ours must go so the pipes can reach their end.
    void close_child_ends() {
        out_w_.reset();
        err_w_.reset();
        null_.reset();
    }
    // Reads both captured streams to their end; 0 or the errno of a failed poll. Our read
    // ends are closed afterwards, which lets a child still writing end (on SIGPIPE).
    int drain_into(std::string& out, std::string& err) {
        const int e = drain(out_r_, out, err_r_, err);
        out_r_.reset();
        err_r_.reset();
        return e;
    }

private:
    // A pipe for a captured stream; 0 or the errno of the failure.
    static int capture_if(StreamUse use, Fd& read_end, Fd& write_end) {
        if (use != StreamUse::Capture) return 0;
        auto p = make_pipe();
        if (!p) return p.error().code;
        read_end = std::move(p->first);
        write_end = std::move(p->second);
        return 0;
    }
    // The descriptor that becomes the child's stream; -1 leaves ours in place.
    int child_fd(StreamUse use, int pipe_write_end) const {
        switch (use) {
            case StreamUse::Inherit: return -1;
            case StreamUse::Null: return null_.get();
            case StreamUse::Capture: return pipe_write_end;
        }
        return -1;
    }

    StreamPlan plan_{};
    Fd null_, out_r_, out_w_, err_r_, err_w_;
};

// A command ready to start: the places to try for its program and its argument vector.
class PreparedCommand {
public:
    PreparedCommand(std::vector<std::string> paths, const std::vector<std::string>& argv)
        : paths_(std::move(paths)), argv_(&argv) {}

    // The pointers lead into this object, so they are taken where it stays until the start.
    StartPlan plan(const SpawnSetup& setup) {
        path_ptrs_.clear();
        for (const auto& p : paths_) path_ptrs_.push_back(p.c_str());
        argv_ptrs_.clear();
        for (const auto& a : *argv_) argv_ptrs_.push_back(const_cast<char*>(a.c_str()));
        argv_ptrs_.push_back(nullptr);
        return {path_ptrs_.data(), path_ptrs_.size(), argv_ptrs_.data(), &setup};
    }

private:
    std::vector<std::string> paths_;
    const std::vector<std::string>* argv_;
    std::vector<const char*> path_ptrs_;
    std::vector<char*> argv_ptrs_;
};

Expected<PreparedCommand, OsError> prepare_command(const std::vector<std::string>& argv) {
    if (argv.empty()) return unexpected(OsError{EINVAL});
    // The kernel would see each argument only up to its first NUL: never run a cut command.
    for (const auto& a : argv)
        if (a.find('\0') != std::string::npos) return unexpected(OsError{EINVAL});
    std::vector<std::string> paths = candidates(argv[0]);
    if (paths.empty()) return unexpected(OsError{ENOENT});
    return PreparedCommand(std::move(paths), argv);
}

// Waits for a started child, reading its captured streams first.
RunResult collect(pid_t pid, ChildStreams& streams) {
    streams.close_child_ends();
    std::string out, err;
    const int drain_error = streams.drain_into(out, err);
    auto st = wait_for(pid);
    if (drain_error != 0) return unexpected(OsError{drain_error});
    if (!st) return unexpected(st.error());
    ProcessResult result = decode_status(*st);
    result.out = std::move(out);
    result.err = std::move(err);
    return result;
}

}  // namespace

PosixRunner::PosixRunner(std::vector<std::ostream*> flush_before_spawn) : flush_(std::move(flush_before_spawn)) {}

RunResult PosixRunner::run(const std::vector<std::string>& argv, RunMode mode) {
    auto command = prepare_command(argv);
    if (!command) return unexpected(command.error());
    auto streams = ChildStreams::open(stream_plan(mode));
    if (!streams) return unexpected(streams.error());

    // The child gets the standard streams of its mode; every descriptor of ours is close-on-exec.
    SpawnSetup setup;
    if (!setup.ok()) return unexpected(OsError{ENOMEM});
    if (int e = streams->apply(setup); e != 0) return unexpected(OsError{e});
    if (int e = setup.default_sigpipe(); e != 0) return unexpected(OsError{e});
    const StartPlan plan = command->plan(setup);

    // Output already written by us must reach the terminal before the child's.
    for (std::ostream* s : flush_) if (s) s->flush();
    std::fflush(nullptr);

    if (mode == RunMode::Detached) {
        if (int code = start_detached(plan, setup); code != 0) return unexpected(OsError{code});
        return ProcessResult{};
    }
    pid_t pid = -1;
    if (int code = start_first(plan, &pid); code != 0) return unexpected(OsError{code});
    return collect(pid, *streams);
}

std::chrono::system_clock::time_point SystemClock::now() { return std::chrono::system_clock::now(); }

void RealSleeper::sleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace qm
