#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <fstream>
#include <ostream>
#include <streambuf>
#include <string>

#include "utils/process.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

using Argv = std::vector<std::string>;

ProcessResult run_ok(const Argv& argv, RunMode mode) {
    PosixRunner runner;
    auto r = runner.run(argv, mode);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    return r ? *r : ProcessResult{};
}

TEST(PosixRunner, ReportsTheExitStatus) {
    auto r = run_ok({"/bin/sh", "-c", "exit 3"}, RunMode::Change);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(WIFEXITED(r.wait_status));
    EXPECT_FALSE(r.success());
    EXPECT_TRUE(run_ok({"true"}, RunMode::Change).success());
}

TEST(PosixRunner, ASignalledChildIsNotASuccess) {
    auto r = run_ok({"sh", "-c", "kill -9 $$"}, RunMode::Query);
    EXPECT_EQ(r.signal, 9);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_TRUE(WIFSIGNALED(r.wait_status));
    EXPECT_FALSE(r.success());
}

TEST(PosixRunner, StartFailuresCarryTheSystemsErrorNumber) {
    const auto dir = std::filesystem::path("/dev/shm") / ("qm-process-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto plain = dir / "not-executable";
    std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
    ::chmod(plain.c_str(), 0644);

    struct Case {
        Argv argv;
        RunMode mode;
        int code;
    };
    const Case cases[] = {
        {{"quillmar-test-no-such-program"}, RunMode::Change, ENOENT},
        {{"quillmar-test-no-such-program"}, RunMode::Query, ENOENT},
        {{"quillmar-test-no-such-program"}, RunMode::QueryWithStderr, ENOENT},
        {{"quillmar-test-no-such-program"}, RunMode::ChangeWithStderr, ENOENT},
        {{"quillmar-test-no-such-program"}, RunMode::Shown, ENOENT},
        {{"quillmar-test-no-such-program"}, RunMode::Detached, ENOENT},
        {{(dir / "absent").string()}, RunMode::Query, ENOENT},
        {{plain.string()}, RunMode::Query, EACCES},
        {{plain.string()}, RunMode::Detached, EACCES},
    };
    PosixRunner runner;
    for (const auto& c : cases) {
        auto r = runner.run(c.argv, c.mode);
        ASSERT_FALSE(r.has_value()) << c.argv[0];
        EXPECT_EQ(r.error().code, c.code) << c.argv[0] << " mode " << static_cast<int>(c.mode);
    }
    auto missing = runner.run({"quillmar-test-no-such-program", "x"}, RunMode::Query);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
    std::filesystem::remove_all(dir);
}

TEST(PosixRunner, SearchesThePathItselfAndNeverHandsAFileToAShell) {
    const auto dir = std::filesystem::path("/dev/shm") / ("qm-path-test-" + std::to_string(::getpid()));
    const auto empty = dir / "empty", denied = dir / "denied", good = dir / "good", plain = dir / "plain";
    for (const auto& d : {empty, denied, good, plain}) std::filesystem::create_directories(d);
    auto script = [](const std::filesystem::path& p, const std::string& text, mode_t mode) {
        std::ofstream(p) << text;
        ::chmod(p.c_str(), mode);
    };
    script(denied / "qm-tool", "#!/bin/sh\necho denied\n", 0644);
    script(good / "qm-tool", "#!/bin/sh\necho good\n", 0755);
    script(good / "qm-plain", "#!/bin/sh\necho good\n", 0755);
    const auto marker = dir / "ran";
    script(plain / "qm-plain", "touch " + marker.string() + "\n", 0755);  // no "#!": not a program

    const char* old = std::getenv("PATH");
    const std::string saved = old ? old : "";
    struct Case {
        std::string path;
        std::string program;
        int code;  // 0: runs and prints "good"
    };
    const Case cases[] = {
        {empty.string() + ":" + denied.string() + ":" + good.string(), "qm-tool", 0},  // search goes past both
        {empty.string() + ":" + denied.string(), "qm-tool", EACCES},  // permission denied wins over not found
        {denied.string() + ":" + empty.string(), "qm-tool", EACCES},
        {empty.string(), "qm-tool", ENOENT},
        {plain.string() + ":" + good.string(), "qm-plain", ENOEXEC},  // never run through /bin/sh
    };
    PosixRunner runner;
    for (const auto& c : cases) {
        ::setenv("PATH", c.path.c_str(), 1);
        if (c.code == 0) {
            auto r = runner.run({c.program}, RunMode::Query);
            ASSERT_TRUE(r.has_value()) << c.path << ": " << r.error().message();
            EXPECT_EQ(r->out, "good\n") << c.path;
            continue;
        }
        for (RunMode mode : {RunMode::Query, RunMode::Detached}) {
            auto r = runner.run({c.program}, mode);
            ASSERT_FALSE(r.has_value()) << c.path;
            EXPECT_EQ(r.error().code, c.code) << c.path << " mode " << static_cast<int>(mode);
        }
    }
    ::setenv("PATH", saved.c_str(), 1);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a file without \"#!\" was run by a shell";
    std::filesystem::remove_all(dir);
}

TEST(PosixRunner, QueryKeepsRawBytesAndPassesArgumentsAsWords) {
    auto r = run_ok({"printf", "\\377%s|%s\\n", "a b", "c:d"}, RunMode::Query);
    EXPECT_EQ(r.out, "\xFF" "a b|c:d\n");
    EXPECT_FALSE(is_valid_utf8(r.out));
    EXPECT_TRUE(r.success());

    // Nothing is read through a shell: metacharacters arrive as they stand.
    EXPECT_EQ(run_ok({"printf", "%s", "$HOME;`x`"}, RunMode::Query).out, "$HOME;`x`");
}

TEST(PosixRunner, QueryGivesTheChildAnEmptyStdinAndDropsStderr) {
    auto r = run_ok({"cat"}, RunMode::Query);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.success());

    auto e = run_ok({"sh", "-c", "echo out; echo err >&2"}, RunMode::Query);
    EXPECT_EQ(e.out, "out\n");
    EXPECT_EQ(e.err, "");
}

TEST(PosixRunner, ChangeCapturesNothing) {
    auto r = run_ok({"sh", "-c", "echo out; echo err >&2; exit 1"}, RunMode::Change);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 1);
}

TEST(PosixRunner, ChangeWithStderrKeepsOnlyTheErrorStream) {
    auto r = run_ok({"sh", "-c", "cat; echo out; echo err >&2; exit 2"}, RunMode::ChangeWithStderr);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(r.exit_code, 2);
    // Far more than a pipe holds on the discarded stream must not stall the child either.
    auto big = run_ok({"sh", "-c", "head -c 1200000 /dev/zero; echo done >&2"}, RunMode::ChangeWithStderr);
    EXPECT_EQ(big.out, "");
    EXPECT_EQ(big.err, "done\n");
}

TEST(PosixRunner, QueryWithStderrDrainsBothLargeStreams) {
    // Far more than a pipe holds on either stream: reading one pipe only would stall the child.
    auto r = run_ok({"sh", "-c", "head -c 1500000 /dev/zero >&2; head -c 1200000 /dev/zero; echo tail >&2; exit 4"},
                    RunMode::QueryWithStderr);
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(r.out.size(), 1200000u);
    ASSERT_EQ(r.err.size(), 1500005u);
    EXPECT_TRUE(r.err.ends_with("tail\n"));
}

TEST(PosixRunner, NoDescriptorOfOursLeaksIntoTheChild) {
    // The child's descriptors above the standard three (less the one the shell used to list
    // the directory, closed again by the time the loop looks). Each must be one the test process
    // itself inherited and still holds: the runner's pipes and null device are all closed
    // once run() returns, so any of them reaching the child would show up as a closed number.
    auto r = run_ok({"sh", "-c", "for f in /proc/$$/fd/*; do n=${f##*/}; [ \"$n\" -gt 2 ] && [ -e \"$f\" ] && echo \"$n\"; done; true"},
                    RunMode::QueryWithStderr);
    for (const auto& line : split_lines(r.out)) {
        const int fd = std::stoi(line);
        EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " leaked into the child";
    }
}

TEST(PosixRunner, DetachedReturnsWithoutWaiting) {
    // The child lets go of our streams, or a reader of them (the test driver) would wait for it.
    auto r = run_ok({"sh", "-c", "exec sleep 5 </dev/null >/dev/null 2>&1"}, RunMode::Detached);
    EXPECT_TRUE(r.success());
    EXPECT_EQ(r.wait_status, 0);
}

TEST(PosixRunner, DetachedChildHoldsNoneOfOurOutputStreams) {
    // Our stdout and stderr become pipes for the start; once our write ends are closed, a
    // child that still held either would keep its pipe from reaching its end.
    int out_pipe[2], err_pipe[2];
    ASSERT_EQ(::pipe2(out_pipe, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(err_pipe, O_CLOEXEC), 0);
    std::fflush(nullptr);
    const int saved_out = ::fcntl(1, F_DUPFD_CLOEXEC, 3), saved_err = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    PosixRunner runner;
    auto r = runner.run({"sh", "-c", "echo out; echo err >&2; exec sleep 5"}, RunMode::Detached);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    for (int fd : {out_pipe[0], err_pipe[0]}) {
        // Blocks only while some process holds the write end; the child's echo never arrives.
        char c;
        EXPECT_EQ(::read(fd, &c, 1), 0);
        ::close(fd);
    }
}

// The "SigBlk" and "SigIgn" masks of /proc/<pid>/status text.
struct SignalMasks {
    std::uint64_t blocked = ~0ull, ignored = ~0ull;
};
SignalMasks signal_masks(const std::string& status) {
    SignalMasks m;
    for (const auto& line : split_lines(status)) {
        if (line.starts_with("SigBlk:")) m.blocked = std::stoull(trim(line.substr(7)), nullptr, 16);
        if (line.starts_with("SigIgn:")) m.ignored = std::stoull(trim(line.substr(7)), nullptr, 16);
    }
    return m;
}
constexpr std::uint64_t kSigpipeBit = 1ull << (SIGPIPE - 1);

// /proc/self/status as seen by `cat` started in `mode` while SIGPIPE is ignored here.
std::optional<std::string> child_status(RunMode mode, const std::filesystem::path& file) {
    PosixRunner runner;
    auto old_pipe = ::signal(SIGPIPE, SIG_IGN);
    if (mode != RunMode::Detached) {
        auto r = runner.run({"cat", "/proc/self/status"}, mode);
        ::signal(SIGPIPE, old_pipe);
        if (!r) return std::nullopt;
        return r->out;
    }
    // A detached child's own streams go to the null device, so it writes the file itself.
    auto r = runner.run({"sh", "-c", "exec cat /proc/self/status > '" + file.string() + "'"}, mode);
    ::signal(SIGPIPE, old_pipe);
    if (!r) return std::nullopt;
    // Neither a zombie nor a running child is left to wait for.
    int status = 0;
    errno = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    for (int i = 0; i < 500; ++i) {  // the detached child has up to five seconds to finish
        std::ifstream f(file);
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (text.find("nonvoluntary_ctxt_switches") != std::string::npos && text.ends_with("\n")) return text;
        ::usleep(10000);
    }
    return std::nullopt;
}

TEST(PosixRunner, ChildrenGetOurSignalMaskAndTheDefaultSigpipe) {
    const auto dir = std::filesystem::path("/dev/shm") / ("qm-signal-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    for (RunMode mode : {RunMode::Query, RunMode::Detached}) {
        auto text = child_status(mode, dir / "status");
        ASSERT_TRUE(text.has_value()) << "mode " << static_cast<int>(mode);
        const SignalMasks masks = signal_masks(*text);
        EXPECT_EQ(masks.blocked, 0u) << *text;
        EXPECT_EQ(masks.ignored & kSigpipeBit, 0u) << *text;
    }
    std::filesystem::remove_all(dir);
}

TEST(PosixRunner, RefusesAnArgumentHoldingANul) {
    const auto marker = std::filesystem::path("/dev/shm") / ("qm-nul-test-" + std::to_string(::getpid()));
    std::filesystem::remove(marker);
    // Cut at its NUL, the script would still create the marker.
    const std::string script = "touch " + marker.string() + std::string("\0; exit 1", 9);
    const Argv argvs[] = {
        {"sh", "-c", script},
        {std::string("sh\0", 3), "-c", "touch " + marker.string()},
        {"sh", "-c", "touch " + marker.string(), std::string("\0", 1)},
    };
    PosixRunner runner;
    for (const auto& argv : argvs) {
        for (RunMode mode : {RunMode::Change, RunMode::Query, RunMode::QueryWithStderr, RunMode::Shown, RunMode::Detached}) {
            auto r = runner.run(argv, mode);
            ASSERT_FALSE(r.has_value()) << testing::PrintToString(argv) << " mode " << static_cast<int>(mode);
            EXPECT_EQ(r.error().code, EINVAL);
            EXPECT_EQ(r.error().message(), "Invalid argument (os error 22)");
        }
    }
    ::usleep(100000);  // a wrongly detached child would have had time to run
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a cut argument vector was run";
    std::filesystem::remove(marker);
}

// Counts flushes, to see that our output is pushed out before a child writes its own.
class CountingBuf : public std::streambuf {
public:
    int syncs = 0;

protected:
    int sync() override {
        ++syncs;
        return 0;
    }
    int_type overflow(int_type c) override { return c; }
};

TEST(PosixRunner, FlushesItsStreamsBeforeEachStart) {
    CountingBuf a, b;
    std::ostream out(&a), err(&b);
    PosixRunner runner({&out, &err});
    ASSERT_TRUE(runner.run({"true"}, RunMode::Shown).has_value());
    ASSERT_FALSE(runner.run({"quillmar-test-no-such-program"}, RunMode::Change).has_value());
    EXPECT_EQ(a.syncs, 2);
    EXPECT_EQ(b.syncs, 2);
}

}  // namespace
}  // namespace qm
