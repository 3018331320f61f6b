#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
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
    EXPECT_TRUE(ends_with(r.err, "tail\n"));
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
