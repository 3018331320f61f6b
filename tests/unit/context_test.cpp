#include <gtest/gtest.h>

#include <cerrno>

#include "support/fake_host.hpp"
#include "utils/paths.hpp"

namespace qm {
namespace {

TEST(Context, MapsFixedPathsBelowRoot) {
    test::FakeHost host;
    EXPECT_EQ(host.ctx.path("/var/lib/quillmar/x.json"), host.root.path() / "var/lib/quillmar/x.json");
    EXPECT_EQ(host.ctx.path(kSavedConfigPath), host.root.path() / "etc/quillmar/config.json");
}

TEST(Context, TakesRelativePathsInTheCurrentDirectoryNotBelowRoot) {
    test::FakeHost host;
    EXPECT_EQ(host.ctx.path(kDefaultFallbackPath), host.cwd.path() / "./default_network_config.json");
    EXPECT_EQ(host.ctx.path("network_config_20240101_000000.json"),
              host.cwd.path() / "network_config_20240101_000000.json");
    host.write_file(kDefaultFallbackPath, "{}");
    EXPECT_TRUE(std::filesystem::exists(host.cwd.path() / "default_network_config.json"));
    EXPECT_FALSE(std::filesystem::exists(host.root.path() / "default_network_config.json"));

    // Without a known current directory a relative path is left to the system to resolve.
    Context lost{host.runner,   host.in,          host.out, host.err, host.clock, host.sleeper,
                 host.platform, host.root.path(), unexpected(OsError{ENOENT})};
    EXPECT_EQ(lost.path(kDefaultFallbackPath), std::filesystem::path("./default_network_config.json"));
    EXPECT_EQ(lost.path("/var/log/quillmar.log"), host.root.path() / "var/log/quillmar.log");
}

TEST(Context, OsErrorReadsLikeTheSystem) {
    EXPECT_EQ(OsError{ENOENT}.message(), "No such file or directory (os error 2)");
}

TEST(Paths, PerBridgeFilesLiveInTheStateDirectory) {
    EXPECT_EQ(original_mac_path("vswitch0"), "/var/lib/quillmar/vswitch0_original_mac");
    EXPECT_EQ(network_identity_path("vswitch2"), "/var/lib/quillmar/vswitch2_network_identity.json");
    EXPECT_EQ(path_in(kBashCompletionDir, "quillmar.bash"), "/etc/bash_completion.d/quillmar.bash");
}

TEST(Paths, ANameThatIsNotOnePathComponentNamesNoFile) {
    using namespace std::string_literals;
    for (const std::string& bad : {""s, "."s, ".."s, "vswitch9/../../../../tmp/pwned"s, "/"s, "vswitch1/"s,
                                  "/vswitch1"s, "vswitch\0x"s}) {
        EXPECT_FALSE(is_single_path_component(bad)) << bad;
        EXPECT_EQ(original_mac_path(bad), std::nullopt) << bad;
        EXPECT_EQ(network_identity_path(bad), std::nullopt) << bad;
    }
    for (const std::string& good : {"vswitch1"s, "..."s, ".hidden"s, "a..b"s, "br-lan"s, "Storage Network"s})
        EXPECT_TRUE(is_single_path_component(good)) << good;
}

}  // namespace
}  // namespace qm
