#include <gtest/gtest.h>

#include <filesystem>

#include "cmds/baseline/baseline_unit.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;

constexpr const char* kUnit = "/usr/lib/systemd/system/quillmar-baseline.service";
const std::vector<std::string> kIsEnabled = {"systemctl", "is-enabled", "quillmar-baseline"};
const std::vector<std::string> kEnable = {"systemctl", "enable", "quillmar-baseline"};

TEST(BaselineUnit, FirstCallWritesTheUnitThenReloadsAndEnables) {
    FakeHost host;
    std::filesystem::create_directories(host.file("/usr/lib/systemd/system"));
    host.runner.missing("systemctl");  // ignored on this path
    ASSERT_TRUE(setup_baseline_service(host.ctx));

    EXPECT_EQ(host.read_file(kUnit),
              "[Unit]\n"
              "Description=Configure baseline network setup for Ostrel appliances\n"
              "After=network-online.target NetworkManager.service NetworkManager-wait-online.service\n"
              "Wants=network-online.target NetworkManager.service\n"
              "Requires=NetworkManager.service\n"
              "\n"
              "[Service]\n"
              "Type=oneshot\n"
              "ExecStart=/usr/sbin/quillmar baseline --auto\n"
              "RemainAfterExit=yes\n"
              "StandardOutput=journal\n"
              "StandardError=journal\n"
              "TimeoutStartSec=300\n"
              "TimeoutStopSec=60\n"
              "Restart=on-failure\n"
              "RestartSec=10\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    EXPECT_EQ(host.runner.argvs(),
              (std::vector<std::vector<std::string>>{{"systemctl", "daemon-reload"}, kEnable}));
    for (const auto& c : host.runner.calls) EXPECT_EQ(c.mode, RunMode::QueryWithStderr);
    EXPECT_EQ(host.out.str(),
              "[+] Setting up baseline service for vswitch operation...\n"
              "[+] Baseline service created and enabled\n");
}

TEST(BaselineUnit, MissingUnitDirectoryIsTheErrorAndNothingRuns) {
    FakeHost host;
    auto st = setup_baseline_service(host.ctx);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message, "No such file or directory (os error 2)");
    EXPECT_TRUE(host.runner.calls.empty());
    EXPECT_FALSE(std::filesystem::exists(host.file("/usr/lib/systemd/system")));
    EXPECT_EQ(host.out.str(), "[+] Setting up baseline service for vswitch operation...\n");
}

TEST(BaselineUnit, UnitCutShortByAFailedWriteIsRemovedSoTheNextCallWritesItWhole) {
    FakeHost host;
    std::filesystem::create_directories(host.file("/usr/lib/systemd/system"));
    Status st;
    {
        test::FileSizeLimit limit(64);
        ASSERT_TRUE(limit.active());
        st = setup_baseline_service(host.ctx);
    }

    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message, "File too large (os error 27)");
    EXPECT_FALSE(std::filesystem::exists(host.file(kUnit)));
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST(BaselineUnit, AnEmptyUnitLeftByAKilledRunCountsAsAbsentAndIsWritten) {
    FakeHost host;
    // What a kill between creating the file and writing it leaves.
    host.write_file(kUnit, "");
    ASSERT_TRUE(setup_baseline_service(host.ctx));
    EXPECT_NE(host.read_file(kUnit)->find("ExecStart=/usr/sbin/quillmar baseline --auto\n"), std::string::npos);
    EXPECT_EQ(host.runner.argvs(), (std::vector<std::vector<std::string>>{{"systemctl", "daemon-reload"}, kEnable}));
    EXPECT_EQ(host.out.str(),
              "[+] Setting up baseline service for vswitch operation...\n"
              "[+] Baseline service created and enabled\n");
    // Written through a file of its own and a rename: nothing else is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(host.file("/usr/lib/systemd/system")),
                            std::filesystem::directory_iterator()),
              1);
}

struct ExistingCase {
    const char* name;
    std::vector<Answer> is_enabled;  // empty: systemctl cannot be started at all
    std::optional<Answer> enable;
    bool expect_enable_call;
    std::string expected_out;
};

TEST(BaselineUnit, ExistingUnitIsNeverRewrittenAndOnlyEnabledWhenNeeded) {
    Answer enable_failed = Answer::exit(1);
    enable_failed.err = "  Failed to enable unit: Access denied\n";
    const std::vector<ExistingCase> cases = {
        {"already enabled, padded", {Answer::exit(0, " enabled\n")}, std::nullopt, false,
         "[+] Baseline service already enabled and configured to run last\n"},
        {"enabled text with failing status still counts", {Answer::exit(3, "enabled")}, std::nullopt, false,
         "[+] Baseline service already enabled and configured to run last\n"},
        {"disabled", {Answer::exit(1, "disabled\n")}, Answer::ok(), true,
         "[+] Enabling existing baseline service...\n[+] Baseline service enabled\n"},
        {"empty answer", {Answer::ok("")}, Answer::ok(), true,
         "[+] Enabling existing baseline service...\n[+] Baseline service enabled\n"},
        {"enable fails: stderr untrimmed", {Answer::ok("masked\n")}, enable_failed, true,
         "[+] Enabling existing baseline service...\n"
         "[!] Warning: Failed to enable baseline service:   Failed to enable unit: Access denied\n\n"},
        {"enable cannot start", {Answer::ok("disabled\n")}, Answer::missing(), true,
         "[+] Enabling existing baseline service...\n"
         "[!] Warning: Failed to execute systemctl enable: No such file or directory (os error 2)\n"},
        {"is-enabled cannot start", {}, std::nullopt, false,
         "[!] Warning: Could not check baseline service status, continuing...\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost host;
        host.write_file(kUnit, "[Unit]\nDescription=hand-made\n");
        if (c.is_enabled.empty()) host.runner.missing("systemctl");
        else host.runner.on(kIsEnabled, c.is_enabled);
        if (c.enable) host.runner.on(kEnable, *c.enable);

        ASSERT_TRUE(setup_baseline_service(host.ctx));
        EXPECT_EQ(host.read_file(kUnit), "[Unit]\nDescription=hand-made\n");
        std::vector<std::vector<std::string>> expected = {kIsEnabled};
        if (c.expect_enable_call) expected.push_back(kEnable);
        EXPECT_EQ(host.runner.argvs(), expected);
        EXPECT_EQ(host.out.str(), c.expected_out);
        EXPECT_EQ(host.err.str(), "");
    }
}

}  // namespace
}  // namespace qm
