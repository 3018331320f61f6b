#include "utils/host_calls.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;
using Argv = std::vector<std::string>;

TEST(HostCalls, QueriesPassTheirModeAndDecodeOnlyWhenAsked) {
    FakeHost host;
    const Argv argv = {"nmcli", "-t", "-f", "NAME", "connection", "show"};
    host.runner.on(argv, Answer::exit(3, "a\xff\r\nb\n"));

    auto bytes = query_bytes(host.ctx, argv, RunMode::Query);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "a\xff\r\nb\n") << "the exit status is not looked at";
    auto text = query_text(host.ctx, argv, RunMode::QueryWithStderr);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "a\xEF\xBF\xBD\r\nb\n");
    auto lines = query_lines(host.ctx, argv, RunMode::Query);
    ASSERT_TRUE(lines);
    EXPECT_EQ(*lines, (Argv{"a\xEF\xBF\xBD", "b"}));
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{{argv, RunMode::Query}, {argv, RunMode::QueryWithStderr}, {argv, RunMode::Query}}));

    host.runner.missing("nmcli");
    for (auto r : {query_bytes(host.ctx, argv, RunMode::Query), query_text(host.ctx, argv, RunMode::Query)}) {
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), OsError{ENOENT});
    }
    EXPECT_FALSE(query_lines(host.ctx, argv, RunMode::Query));
}

TEST(HostCalls, SuccessMeansStartedAndExitStatusZero) {
    FakeHost host;
    host.runner.on({"virsh", "net-info", "up"}, Answer::ok());
    host.runner.on({"virsh", "net-info", "down"}, Answer::exit(1));
    host.runner.on({"virsh", "net-info", "killed"}, [] {
        Answer a;
        a.signal = SIGKILL;
        return a;
    }());
    host.runner.on({"virsh", "net-info", "missing"}, Answer::missing());
    EXPECT_TRUE(run_succeeded(host.ctx, {"virsh", "net-info", "up"}, RunMode::QueryWithStderr));
    EXPECT_FALSE(run_succeeded(host.ctx, {"virsh", "net-info", "down"}, RunMode::QueryWithStderr));
    EXPECT_FALSE(run_succeeded(host.ctx, {"virsh", "net-info", "killed"}, RunMode::Change));
    EXPECT_FALSE(run_succeeded(host.ctx, {"virsh", "net-info", "missing"}, RunMode::Change));
    EXPECT_EQ(host.runner.calls.front().mode, RunMode::QueryWithStderr);

    change_quietly(host.ctx, {"nmcli", "connection", "up", "x"});
    EXPECT_EQ(host.runner.calls.back(), (Call{{"nmcli", "connection", "up", "x"}, RunMode::Change}));
}

TEST(HostCalls, AChangeShowingStderrPassesOnWhatTheChildComplained) {
    FakeHost host;
    const Argv argv = {"nmcli", "connection", "delete", "eth1"};
    Answer refused = Answer::exit(10, "never shown\n");
    refused.err = "Error: unknown connection 'eth1'.\n";
    host.runner.on(argv, refused);

    auto r = change_showing_stderr(host.ctx, argv);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->exit_code, 10);
    EXPECT_EQ(host.runner.shown_err, "Error: unknown connection 'eth1'.\n");
    EXPECT_EQ(host.runner.shown, "");
    EXPECT_EQ(host.runner.calls, (std::vector<Call>{{argv, RunMode::ChangeShowingStderr}}));

    host.runner.missing("nmcli");
    auto missing = change_showing_stderr(host.ctx, argv);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), OsError{ENOENT});
}

TEST(HostCalls, ExitStatusTextNamesTheExitCodeOrTheSignal) {
    struct Case {
        int exit_code, signal, wait_status;
        std::string text;
    };
    const Case cases[] = {
        {2, 0, 2 << 8, "exit status: 2"},
        {0, 0, 0, "exit status: 0"},
        {-1, SIGKILL, SIGKILL, "signal: 9 (SIGKILL)"},
        {-1, SIGSEGV, SIGSEGV | 0x80, "signal: 11 (SIGSEGV) (core dumped)"},
        // A real-time signal has no conventional name.
        {-1, SIGRTMIN + 3, SIGRTMIN + 3, "signal: " + std::to_string(SIGRTMIN + 3)},
    };
    for (const auto& c : cases) {
        ProcessResult r;
        r.exit_code = c.exit_code;
        r.signal = c.signal;
        r.wait_status = c.wait_status;
        EXPECT_EQ(exit_status_text(r), c.text);
    }
}

}  // namespace
}  // namespace qm
