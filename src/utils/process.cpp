#include "utils/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

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
// standard stream closed), so that the child's dup2 calls can never clobber one another.
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

// The places to try for a program name, in order, worked out before the fork so the
// child only has to call execve. A name with a '/' is used as it stands.
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

// Runs in the child: tries each candidate and returns the errno worth reporting.
// Search goes on past entries that do not hold the program; permission denied wins
// over "not found" the way a shell's lookup reports it.
int exec_candidates(const std::vector<const char*>& paths, char* const* argv) {
    bool denied = false;
    int last = ENOENT;
    for (const char* p : paths) {
        ::execve(p, argv, environ);
        last = errno;
        switch (last) {
            case EACCES: denied = true; break;
            case ENOENT:
            case ENOTDIR:
            case ESTALE:
            case ENODEV:
            case ETIMEDOUT: break;
            default: return last;
        }
    }
    return denied ? EACCES : last;
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void child_exec(int in_fd, int out_fd, int err_fd, int report_fd, const std::vector<const char*>& paths,
                             char* const* argv) {
    // An ignored SIGPIPE would survive exec; host tools expect the default.
    ::signal(SIGPIPE, SIG_DFL);
    if ((in_fd >= 0 && ::dup2(in_fd, 0) < 0) || (out_fd >= 0 && ::dup2(out_fd, 1) < 0) ||
        (err_fd >= 0 && ::dup2(err_fd, 2) < 0)) {
        int e = errno;
        (void)!::write(report_fd, &e, sizeof e);
        ::_exit(127);
    }
    int e = exec_candidates(paths, argv);
    (void)!::write(report_fd, &e, sizeof e);
    ::_exit(127);
}

// Reads the start report: nothing (EOF at exec) means the child is running.
int read_start_report(int fd) {
    int code = 0;
    std::size_t got = 0;
    char* p = reinterpret_cast<char*>(&code);
    while (got < sizeof code) {
        ssize_t n = ::read(fd, p + got, sizeof code - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got == sizeof code ? code : 0;
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

}  // namespace

PosixRunner::PosixRunner(std::vector<std::ostream*> flush_before_spawn) : flush_(std::move(flush_before_spawn)) {}

RunResult PosixRunner::run(const std::vector<std::string>& argv, RunMode mode) {
    if (argv.empty()) return unexpected(OsError{EINVAL});

    // Everything the child needs is prepared here; after fork it only calls dup2 and execve.
    const std::vector<std::string> paths_owned = candidates(argv[0]);
    if (paths_owned.empty()) return unexpected(OsError{ENOENT});
    std::vector<const char*> paths;
    for (const auto& p : paths_owned) paths.push_back(p.c_str());
    std::vector<char*> cargv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);

    Fd null_fd, out_r, out_w, err_r, err_w;
    const bool needs_null = mode == RunMode::Change || mode == RunMode::Query || mode == RunMode::QueryWithStderr ||
                            mode == RunMode::ChangeWithStderr || mode == RunMode::Detached;
    if (needs_null) {
        auto n = open_null();
        if (!n) return unexpected(n.error());
        null_fd = std::move(*n);
    }
    if (mode == RunMode::Query || mode == RunMode::QueryWithStderr) {
        auto p = make_pipe();
        if (!p) return unexpected(p.error());
        out_r = std::move(p->first);
        out_w = std::move(p->second);
    }
    if (mode == RunMode::QueryWithStderr || mode == RunMode::ChangeWithStderr) {
        auto p = make_pipe();
        if (!p) return unexpected(p.error());
        err_r = std::move(p->first);
        err_w = std::move(p->second);
    }
    auto report = make_pipe();
    if (!report) return unexpected(report.error());
    Fd report_r = std::move(report->first);
    Fd report_w = std::move(report->second);

    int in_fd = -1, child_out = -1, child_err = -1;
    switch (mode) {
        case RunMode::Change:
        case RunMode::Detached: child_out = child_err = null_fd.get(); break;
        case RunMode::Query: in_fd = null_fd.get(); child_out = out_w.get(); child_err = null_fd.get(); break;
        case RunMode::QueryWithStderr: in_fd = null_fd.get(); child_out = out_w.get(); child_err = err_w.get(); break;
        case RunMode::ChangeWithStderr: in_fd = null_fd.get(); child_out = null_fd.get(); child_err = err_w.get(); break;
        case RunMode::Shown: break;
    }

    // Output already written by us must reach the terminal before the child's.
    for (std::ostream* s : flush_) if (s) s->flush();
    std::fflush(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) return unexpected(OsError{errno});
    if (pid == 0) {
        if (mode == RunMode::Detached) {
            // A second fork hands the program to init, so no zombie lingers while we run.
            pid_t grandchild = ::fork();
            if (grandchild < 0) {
                int e = errno;
                (void)!::write(report_w.get(), &e, sizeof e);
                ::_exit(127);
            }
            if (grandchild > 0) ::_exit(0);
        }
        child_exec(in_fd, child_out, child_err, report_w.get(), paths, cargv.data());
    }

    // The child holds its own copies; ours must go so the pipes can reach their end.
    report_w.reset();
    out_w.reset();
    err_w.reset();
    null_fd.reset();

    if (mode == RunMode::Detached) {
        const int code = read_start_report(report_r.get());  // the grandchild's exec, or its failure
        auto st = wait_for(pid);
        if (code != 0) return unexpected(OsError{code});
        if (!st) return unexpected(st.error());
        return ProcessResult{};
    }

    const int code = read_start_report(report_r.get());
    if (code != 0) {
        (void)wait_for(pid);
        return unexpected(OsError{code});
    }

    std::string out, err;
    const int drain_error = drain(out_r, out, err_r, err);
    // Closing our ends lets a child still writing end (on SIGPIPE), so the wait cannot hang.
    out_r.reset();
    err_r.reset();
    auto st = wait_for(pid);
    if (drain_error != 0) return unexpected(OsError{drain_error});
    if (!st) return unexpected(st.error());
    ProcessResult result = decode_status(*st);
    result.out = std::move(out);
    result.err = std::move(err);
    return result;
}

std::chrono::system_clock::time_point SystemClock::now() { return std::chrono::system_clock::now(); }

void RealSleeper::sleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace qm
