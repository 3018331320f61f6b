#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "utils/platform.hpp"

namespace qm {
namespace {

TEST(LinuxPlatform, KnowsTheProcessItself) {
    LinuxPlatform platform;
    EXPECT_EQ(platform.effective_user_id(), static_cast<std::uint32_t>(::geteuid()));
    auto exe = platform.own_executable();
    ASSERT_TRUE(exe) << exe.error().message();
    EXPECT_TRUE(exe->is_absolute()) << *exe;
    EXPECT_EQ(std::filesystem::canonical(*exe), std::filesystem::canonical("/proc/self/exe"));
}

TEST(LinuxPlatform, LinkSpeedFailuresAreErrors) {
    LinuxPlatform platform;
    // The loopback device has no ethtool link settings; a name that exists nowhere has no device.
    EXPECT_FALSE(platform.link_speed("lo"));
    auto none = platform.link_speed("qm-no-such0");
    ASSERT_FALSE(none);
    EXPECT_NE(none.error().code, 0);
    // Sixteen bytes do not fit a request with its terminator; no shorter name is asked instead.
    auto too_long = platform.link_speed("abcdefghijklmnop");
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().code, ENAMETOOLONG);
}

TEST(LinuxPlatform, CurrentDirectoryIsTheProcesss) {
    auto cwd = process_current_directory();
    ASSERT_TRUE(cwd) << cwd.error().message();
    EXPECT_EQ(*cwd, std::filesystem::current_path());
}

}  // namespace
}  // namespace qm
