#include <gtest/gtest.h>

#include <filesystem>

#include "cmds/bridge/veth_units.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Call;
using test::FakeHost;

constexpr const char* kRestore = "/etc/systemd/system/quillmar-veth-restore.service";
constexpr const char* kCheck = "/etc/systemd/system/quillmar-veth-check.service";
constexpr const char* kTimer = "/etc/systemd/system/quillmar-veth-check.timer";

const std::vector<std::vector<std::string>> kAllSystemctl = {
    {"systemctl", "daemon-reload"},
    {"systemctl", "enable", "quillmar-veth-restore"},
    {"systemctl", "daemon-reload"},
    {"systemctl", "enable", "quillmar-veth-check.timer"},
    {"systemctl", "start", "quillmar-veth-check.timer"},
};

void make_unit_dir(const FakeHost& host) {
    std::filesystem::create_directories(host.file("/etc/systemd/system"));
}

TEST(VethUnits, FreshHostWritesAllThreeUnitsAndEnablesThem) {
    FakeHost host;
    make_unit_dir(host);
    ASSERT_TRUE(setup_veth_persistence_service(host.ctx));

    EXPECT_EQ(host.read_file(kRestore),
              "[Unit]\n"
              "Description=Restore quillmar veth pairs on boot\n"
              "After=network-online.target NetworkManager.service quillmar-baseline.service\n"
              "Before=NetworkManager-wait-online.service\n"
              "Wants=NetworkManager.service quillmar-baseline.service\n"
              "Requires=quillmar-baseline.service\n"
              "\n"
              "[Service]\n"
              "Type=oneshot\n"
              "ExecStart=/usr/sbin/quillmar vswitch veth restore\n"
              "RemainAfterExit=yes\n"
              "StandardOutput=journal\n"
              "StandardError=journal\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    EXPECT_EQ(host.read_file(kCheck),
              "[Unit]\n"
              "Description=Check and restore quillmar veth pairs and masters\n"
              "After=network-online.target NetworkManager.service quillmar-baseline.service "
              "quillmar-veth-restore.service\n"
              "Wants=NetworkManager.service\n"
              "\n"
              "[Service]\n"
              "Type=oneshot\n"
              "ExecStart=/usr/sbin/quillmar vswitch veth restore\n"
              "StandardOutput=journal\n"
              "StandardError=journal\n");
    EXPECT_EQ(host.read_file(kTimer),
              "[Unit]\n"
              "Description=Periodic check for quillmar veth pairs and masters\n"
              "Requires=quillmar-veth-check.service\n"
              "\n"
              "[Timer]\n"
              "OnBootSec=5min\n"
              "OnUnitActiveSec=3min\n"
              "AccuracySec=1min\n"
              "\n"
              "[Install]\n"
              "WantedBy=timers.target\n");

    EXPECT_EQ(host.runner.argvs(), kAllSystemctl);
    for (const auto& c : host.runner.calls) EXPECT_EQ(c.mode, RunMode::QueryWithStderr);
    EXPECT_EQ(host.out.str(),
              "[+] Creating systemd service for veth persistence...\n"
              "[+] Systemd service 'quillmar-veth-restore' created and enabled\n"
              "[+] Veth pairs will be automatically restored on boot\n"
              "[+] Creating systemd timer for periodic veth pair checking...\n"
              "[+] Systemd timer 'quillmar-veth-check' created and started\n"
              "[+] Veth pairs will be checked and restored every 3 minutes if needed\n");
    EXPECT_EQ(host.err.str(), "");
}

TEST(VethUnits, AllUnitsPresentWritesNothingAndOnlyReenablesRestore) {
    FakeHost host;
    host.write_file(kRestore, "mine-restore");
    host.write_file(kCheck, "mine-check");
    host.write_file(kTimer, "mine-timer");
    ASSERT_TRUE(setup_veth_persistence_service(host.ctx));

    EXPECT_EQ(host.read_file(kRestore), "mine-restore");
    EXPECT_EQ(host.read_file(kCheck), "mine-check");
    EXPECT_EQ(host.read_file(kTimer), "mine-timer");
    EXPECT_EQ(host.runner.argvs(),
              (std::vector<std::vector<std::string>>{kAllSystemctl.begin(), kAllSystemctl.begin() + 2}));
    EXPECT_EQ(host.out.str(),
              "[+] Systemd service 'quillmar-veth-restore' created and enabled\n"
              "[+] Veth pairs will be automatically restored on boot\n");
}

TEST(VethUnits, MissingTimerRewritesCheckServiceButKeepsRestoreUnit) {
    FakeHost host;
    host.write_file(kRestore, "mine-restore");
    host.write_file(kCheck, "stale");
    ASSERT_TRUE(setup_veth_persistence_service(host.ctx));

    EXPECT_EQ(host.read_file(kRestore), "mine-restore");
    EXPECT_NE(host.read_file(kCheck), "stale");
    EXPECT_TRUE(host.read_file(kTimer).has_value());
    EXPECT_EQ(host.runner.argvs(), kAllSystemctl);
}

TEST(VethUnits, UnwritableRestoreUnitIsTheOnlyErrorAndStopsEverything) {
    FakeHost host;  // no /etc/systemd/system below the root
    auto st = setup_veth_persistence_service(host.ctx);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message, "No such file or directory (os error 2)");
    EXPECT_TRUE(host.runner.calls.empty());
    EXPECT_EQ(host.out.str(), "[+] Creating systemd service for veth persistence...\n");
}

TEST(VethUnits, ADanglingLinkAtTheTimerCountsAsAbsentAndIsReplacedNotWrittenThrough) {
    FakeHost host;
    make_unit_dir(host);
    const auto target = host.root.path() / "elsewhere-timer";
    std::filesystem::create_symlink(target, host.file(kTimer));
    ASSERT_TRUE(setup_veth_persistence_service(host.ctx));

    EXPECT_TRUE(host.read_file(kRestore).has_value());
    EXPECT_TRUE(host.read_file(kCheck).has_value());
    EXPECT_FALSE(std::filesystem::is_symlink(host.file(kTimer)));
    EXPECT_NE(host.read_file(kTimer)->find("OnUnitActiveSec=3min\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.runner.argvs(), kAllSystemctl);
}

TEST(VethUnits, EmptyUnitsLeftByAKilledRunCountAsAbsentAndAreWritten) {
    // Each on its own: the restore unit, then the timer (whose absence rewrites the check service).
    for (const char* empty : {kRestore, kTimer}) {
        SCOPED_TRACE(empty);
        FakeHost host;
        host.write_file(kRestore, "mine-restore");
        host.write_file(kCheck, "mine-check");
        host.write_file(kTimer, "mine-timer");
        host.write_file(empty, "");
        ASSERT_TRUE(setup_veth_persistence_service(host.ctx));
        if (empty == kRestore) {
            EXPECT_NE(host.read_file(kRestore)->find("WantedBy=multi-user.target\n"), std::string::npos);
            EXPECT_EQ(host.read_file(kTimer), "mine-timer");
            EXPECT_EQ(host.out.str(),
                      "[+] Creating systemd service for veth persistence...\n"
                      "[+] Systemd service 'quillmar-veth-restore' created and enabled\n"
                      "[+] Veth pairs will be automatically restored on boot\n");
        } else {
            EXPECT_EQ(host.read_file(kRestore), "mine-restore");
            EXPECT_NE(host.read_file(kCheck), "mine-check");
            EXPECT_NE(host.read_file(kTimer)->find("WantedBy=timers.target\n"), std::string::npos);
            EXPECT_EQ(host.runner.argvs(), kAllSystemctl);
        }
    }
}

TEST(VethUnits, FailedCheckServiceWriteWarnsAndSkipsTheTimer) {
    FakeHost host;
    make_unit_dir(host);
    std::filesystem::create_directories(host.file(kCheck));  // a directory cannot be opened for writing
    ASSERT_TRUE(setup_veth_persistence_service(host.ctx));
    EXPECT_FALSE(host.read_file(kTimer).has_value());
    EXPECT_NE(host.err.str().find("[-] Warning: Failed to create veth check timer: Is a directory (os error 21)"),
              std::string::npos);
}

TEST(VethUnits, UnitCutShortByAFailedWriteIsNotLeftBehind) {
    FakeHost host;
    make_unit_dir(host);
    // The first bytes go through, then the write fails with EFBIG.
    Status st;
    {
        test::FileSizeLimit limit(64);
        ASSERT_TRUE(limit.active());
        st = setup_veth_persistence_service(host.ctx);
    }

    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message, "File too large (os error 27)");
    EXPECT_FALSE(std::filesystem::exists(host.file(kRestore)));
    // So the next run writes it whole.
    ASSERT_TRUE(setup_veth_persistence_service(host.ctx));
    EXPECT_NE(host.read_file(kRestore)->find("WantedBy=multi-user.target\n"), std::string::npos);
}

TEST(VethUnits, SystemctlMissingOrFailingIsNotNoticed) {
    for (bool missing : {true, false}) {
        FakeHost host;
        make_unit_dir(host);
        if (missing)
            host.runner.missing("systemctl");
        else
            host.runner.on_prefix({"systemctl"}, test::Answer::exit(1, "boom"));
        ASSERT_TRUE(setup_veth_persistence_service(host.ctx));
        EXPECT_EQ(host.runner.argvs(), kAllSystemctl);
        EXPECT_EQ(host.err.str(), "");
        EXPECT_NE(host.out.str().find("created and started"), std::string::npos);
    }
}

}  // namespace
}  // namespace qm
