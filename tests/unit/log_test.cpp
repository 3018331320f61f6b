#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

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

}  // namespace
}  // namespace qm
