#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/fake_host.hpp"
#include "utils/nmcli_tools/log.hpp"

namespace qm {
namespace {

using namespace std::chrono;
using test::FakeHost;

const char* kLog = "/var/log/quillmar.log";

system_clock::time_point at(nanoseconds since_epoch) {
    return system_clock::time_point{} + duration_cast<system_clock::duration>(since_epoch);
}

TEST(EventLog, LineCarriesSecondsAndNineDigitNanos) {
    FakeHost host;
    std::filesystem::create_directories(host.file("/var/log"));
    host.clock.t = at(seconds(5) + nanoseconds(7));
    log_info(host.ctx, "msg");
    EXPECT_EQ(host.read_file(kLog), "5.000000007 [INFO] msg\n");
    EXPECT_TRUE(host.out.str().empty());
    EXPECT_TRUE(host.err.str().empty());
}

TEST(EventLog, TimeStampCases) {
    struct Case {
        system_clock::time_point t;
        std::string line;
    };
    const std::vector<Case> cases = {
        {at(nanoseconds(0)), "0.000000000 [INFO] m\n"},
        {at(seconds(1733829000) + nanoseconds(123456789)), "1733829000.123456789 [INFO] m\n"},
        {at(seconds(-1)), "0.000000000 [INFO] m\n"},
        {at(nanoseconds(-1)), "0.000000000 [INFO] m\n"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        std::filesystem::create_directories(host.file("/var/log"));
        host.clock.t = c.t;
        log_info(host.ctx, "m");
        EXPECT_EQ(host.read_file(kLog), c.line);
    }
}

TEST(EventLog, AppendsToExistingContent) {
    FakeHost host;
    host.write_file(kLog, "old line\n");
    host.clock.t = at(seconds(1));
    log_info(host.ctx, "first\nsecond");
    host.clock.t = at(seconds(2));
    log_info(host.ctx, "again");
    EXPECT_EQ(host.read_file(kLog), "old line\n1.000000000 [INFO] first\nsecond\n2.000000000 [INFO] again\n");
}

TEST(EventLog, NewFileGetsPermissionsLessUmask) {
    FakeHost host;
    std::filesystem::create_directories(host.file("/var/log"));
    mode_t old = ::umask(022);
    log_info(host.ctx, "x");
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(host.file(kLog).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(EventLog, MissingDirectoryIsSilent) {
    FakeHost host;
    log_info(host.ctx, "lost");
    EXPECT_FALSE(std::filesystem::exists(host.file("/var/log")));
    EXPECT_TRUE(host.out.str().empty());
    EXPECT_TRUE(host.err.str().empty());
}

// Anything at the log's path but a regular file is a log that cannot be written: a link is not
// followed (neither to its target nor to create a missing one), and nothing waits on a FIFO.
TEST(EventLog, OnlyARegularFileAtThePathIsWritten) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const FakeHost&)> plant;
    };
    const std::vector<Case> cases = {
        {"link to a file",
         [](const FakeHost& h) {
             h.write_file("/etc/shadow", "secret\n");
             fs::create_symlink(h.file("/etc/shadow"), h.file(kLog));
         }},
        {"dangling link", [](const FakeHost& h) { fs::create_symlink(h.file("/etc/made-by-log"), h.file(kLog)); }},
        {"relative link to a file",
         [](const FakeHost& h) {
             h.write_file("/var/log/other.log", "other\n");
             fs::create_symlink("other.log", h.file(kLog));
         }},
        {"hard link to a file",
         [](const FakeHost& h) {
             h.write_file("/etc/shadow", "secret\n");
             fs::create_hard_link(h.file("/etc/shadow"), h.file(kLog));
         }},
        {"FIFO", [](const FakeHost& h) { ASSERT_EQ(::mkfifo(h.file(kLog).c_str(), 0600), 0); }},
        {"directory", [](const FakeHost& h) { fs::create_directories(h.file(kLog)); }},
    };
    for (const auto& c : cases) {
        FakeHost host;
        fs::create_directories(host.file("/var/log"));
        fs::create_directories(host.file("/etc"));
        c.plant(host);
        const auto type_before = fs::symlink_status(host.file(kLog)).type();

        log_info(host.ctx, "event");

        EXPECT_EQ(fs::symlink_status(host.file(kLog)).type(), type_before) << c.what;
        EXPECT_EQ(host.read_file("/etc/shadow").value_or("secret\n"), "secret\n") << c.what;
        EXPECT_FALSE(fs::exists(host.file("/etc/made-by-log"))) << c.what;
        EXPECT_EQ(host.read_file("/var/log/other.log").value_or("other\n"), "other\n") << c.what;
        EXPECT_TRUE(host.out.str().empty()) << c.what;
        EXPECT_TRUE(host.err.str().empty()) << c.what;
    }
}

}  // namespace
}  // namespace qm
