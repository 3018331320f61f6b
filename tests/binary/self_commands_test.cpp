// install-self, post-install, completion and enable-service as a user runs them.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

constexpr const char* kTarget = "/sbin/quillmar";
constexpr const char* kCompletionFile = "/etc/bash_completion.d/quillmar.bash";
constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kRestoreUnit = "/etc/systemd/system/quillmar-veth-restore.service";
constexpr const char* kCheckService = "/etc/systemd/system/quillmar-veth-check.service";
constexpr const char* kCheckTimer = "/etc/systemd/system/quillmar-veth-check.timer";
constexpr unsigned kNobody = 65534;

const char* const kInstalled =
    "✅ Installed to /sbin/quillmar\n"
    "🔧 Installing bash completion...\n"
    "✅ Completion installed at: /etc/bash_completion.d/quillmar.bash\n";

class SelfCommands : public sb::SandboxTest {
protected:
    unsigned mode_of(const std::string& path) const {
        struct stat st {};
        if (::stat(sb.path(path).c_str(), &st) != 0) return 0;
        return st.st_mode & 07777;
    }
    std::string bash_script() {
        auto r = sb.run({"completion", "--shell", "bash"});
        EXPECT_EQ(r.status, 0) << r;
        return r.out;
    }
};

TEST_F(SelfCommands, InstallSelfAsRootReplacesTheProgramAndInstallsItsCompletion) {
    sb.write(kTarget, "an older build");
    auto r = sb.run({"install-self"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, kInstalled);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sb.read(kTarget), sb.read("/qmbin/quillmar"));
    EXPECT_EQ(mode_of(kTarget), 0755u);
    EXPECT_EQ(sb.list("/sbin"), std::vector<std::string>{"quillmar"});
    EXPECT_EQ(sb.read(kCompletionFile), bash_script());
    // The installed copy runs.
    auto version = sb.exec({kTarget, "--version"});
    EXPECT_EQ(version.status, 0) << version;
}

TEST_F(SelfCommands, TheInstalledProgramCanInstallItselfAgain) {
    ASSERT_EQ(sb.run({"install-self"}).status, 0);
    const auto installed = sb.read(kTarget);
    sb.remove(kCompletionFile);

    // The running program is the target itself: it must never be left without one.
    auto again = sb.exec({kTarget, "install-self"});
    EXPECT_EQ(again.status, 0) << again;
    EXPECT_EQ(again.out, kInstalled);
    EXPECT_EQ(sb.read(kTarget), installed);
    EXPECT_EQ(mode_of(kTarget), 0755u);
    EXPECT_EQ(sb.list("/sbin"), std::vector<std::string>{"quillmar"});
    EXPECT_TRUE(sb.exists(kCompletionFile));
}

TEST_F(SelfCommands, InstallSelfWithoutRootChangesNothing) {
    sb.write(kTarget, "an older build");
    sb.user(kNobody, kNobody);
    auto r = sb.run({"install-self"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "❌ Must be run as root to install.\n");
    EXPECT_EQ(sb.read(kTarget), "an older build");
    EXPECT_EQ(sb.list("/sbin"), std::vector<std::string>{"quillmar"});
    EXPECT_FALSE(sb.exists(kCompletionFile));
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

TEST_F(SelfCommands, AFailedInstallLeavesNothingBehind) {
    // Something in the way that a file cannot be renamed over.
    sb.mkdir("/sbin/quillmar/busy");
    auto r = sb.run({"install-self"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "❌ Failed to install quillmar: Is a directory (os error 21)\n");
    EXPECT_EQ(sb.list("/sbin"), std::vector<std::string>{"quillmar"});
    EXPECT_EQ(sb.list("/sbin/quillmar"), std::vector<std::string>{"busy"});
    EXPECT_FALSE(sb.exists(kCompletionFile));
}

TEST_F(SelfCommands, PostInstallWritesTheBashCompletionFile) {
    auto r = sb.run({"post-install"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out,
              "🔧 Installing bash completion...\n"
              "✅ Completion installed at: /etc/bash_completion.d/quillmar.bash\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sb.read(kCompletionFile), bash_script());
    EXPECT_EQ(sb.list("/etc/bash_completion.d"), std::vector<std::string>{"quillmar.bash"});

    // An older file is replaced whole.
    sb.write(kCompletionFile, "stale");
    EXPECT_EQ(sb.run({"post-install"}).status, 0);
    EXPECT_EQ(sb.read(kCompletionFile), bash_script());
}

TEST_F(SelfCommands, PostInstallWithoutTheCompletionDirectoryFails) {
    sb.remove("/etc/bash_completion.d");
    auto r = sb.run({"post-install"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "🔧 Installing bash completion...\n");
    EXPECT_EQ(r.err, "❌ Failed to install bash completion: No such file or directory (os error 2)\n");
    EXPECT_FALSE(sb.exists("/etc/bash_completion.d"));
}

TEST_F(SelfCommands, CompletionKnowsThreeShellsByTheirExactNames) {
    for (const char* shell : {"Bash", "tcsh", ""}) {
        auto r = sb.run({"completion", "--shell", shell});
        EXPECT_EQ(r.status, 0) << shell << r;
        EXPECT_EQ(r.out, "") << shell;
        EXPECT_EQ(r.err, std::string("Unsupported shell: ") + shell + "\n");
    }
    auto zsh = sb.run({"completion", "--shell", "zsh"});
    EXPECT_EQ(zsh.out.rfind("#compdef quillmar\n", 0), 0u) << zsh;
    auto fish = sb.run({"completion", "--shell", "fish"});
    EXPECT_NE(fish.out.find("\ncomplete -c quillmar -f\n"), std::string::npos) << fish;
    auto bash = sb.run({"completion", "--shell", "bash"});
    EXPECT_NE(bash.out.find("\ncomplete -F _quillmar quillmar\n"), std::string::npos) << bash;
    for (const auto* r : {&zsh, &fish, &bash}) EXPECT_EQ(r->err, "");
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

// ------------------------------------------------------------------ enable-service

const char* const kEnabling = "[+] Enabling veth persistence service from managed resources...\n";
const char* const kUnitPresent =
    "[+] Service already exists at /etc/systemd/system/quillmar-veth-restore.service\n"
    "[+] Checking service status...\n";
const char* const kEnabledNow =
    "[+] Systemd service 'quillmar-veth-restore' created and enabled\n"
    "[+] Veth pairs will be automatically restored on boot\n"
    "[+] Creating systemd timer for periodic veth pair checking...\n"
    "[+] Systemd timer 'quillmar-veth-check' created and started\n"
    "[+] Veth pairs will be checked and restored every 3 minutes if needed\n"
    "[+] Veth persistence service created and enabled successfully\n"
    "[+] Service will automatically restore veth pairs on boot\n"
    "[+] You can test the service with: systemctl start quillmar-veth-restore\n";

const sb::Argvs kSetupCalls = {
    {"systemctl", "daemon-reload"},
    {"systemctl", "enable", "quillmar-veth-restore"},
    {"systemctl", "daemon-reload"},
    {"systemctl", "enable", "quillmar-veth-check.timer"},
    {"systemctl", "start", "quillmar-veth-check.timer"},
};

sb::Argvs with_first(sb::Args first, const sb::Argvs& rest) {
    sb::Argvs v{std::move(first)};
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
}

TEST_F(SelfCommands, EnableServiceWithoutALedgerTouchesNothing) {
    auto r = sb.run({"enable-service"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, kEnabling);
    EXPECT_EQ(r.err,
              "[-] Error: Managed resources file not found at /var/lib/quillmar/managed_resources.json\n"
              "[-] Please create some veth connections first using 'quillmar vswitch connect'\n");
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
    EXPECT_TRUE(sb.list("/etc/systemd/system").empty());
}

TEST_F(SelfCommands, EnableServiceInstallsTheMissingUnits) {
    sb.write(kLedger, "{}");
    auto r = sb.run({"enable-service"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, std::string(kEnabling) + "[+] Creating systemd service for veth persistence...\n" + kEnabledNow);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sb.argvs_of("systemctl"), kSetupCalls) << sb.dump();
    for (const char* unit : {kRestoreUnit, kCheckService, kCheckTimer}) EXPECT_TRUE(sb.exists(unit)) << unit;
    EXPECT_NE(sb.read(kRestoreUnit).value_or("").find("ExecStart=/usr/sbin/quillmar vswitch veth restore\n"),
              std::string::npos);
}

TEST_F(SelfCommands, EnableServiceWithTheUnitEnabledCallsNothingElse) {
    sb.write(kLedger, "{}");
    sb.write(kRestoreUnit, "[Unit]\n");
    sb.tool("systemctl").on({"is-enabled", "quillmar-veth-restore"}, sb::ok("enabled\n"));
    auto r = sb.run({"enable-service"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, std::string(kEnabling) + kUnitPresent + "[+] Service is already enabled and ready\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sb.argvs_of("systemctl"), (sb::Argvs{{"systemctl", "is-enabled", "quillmar-veth-restore"}}));
    EXPECT_EQ(sb.read(kRestoreUnit), "[Unit]\n");
    EXPECT_FALSE(sb.exists(kCheckTimer));
}

TEST_F(SelfCommands, EnableServiceWithTheUnitDisabledEnablesIt) {
    sb.write(kLedger, "{}");
    sb.write(kRestoreUnit, "[Unit]\n");
    // "enabled" with a failing status does not count either.
    for (auto answer : {sb::reply(1, "disabled\n"), sb::reply(1, "enabled\n")}) {
        sb.remove(kCheckTimer);
        sb.clear_calls();
        sb.tool("systemctl").on({"is-enabled", "quillmar-veth-restore"}, answer);
        auto r = sb.run({"enable-service"});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, std::string(kEnabling) + kUnitPresent +
                             "[+] Service exists but is not enabled, enabling now...\n" + kEnabledNow);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(sb.argvs_of("systemctl"),
                  with_first({"systemctl", "is-enabled", "quillmar-veth-restore"}, kSetupCalls))
            << sb.dump();
        // The existing unit is kept as it is.
        EXPECT_EQ(sb.read(kRestoreUnit), "[Unit]\n");
    }
}

TEST_F(SelfCommands, EnableServiceWithoutSystemctlStillWritesTheUnits) {
    sb.write(kLedger, "{}");
    sb.write(kRestoreUnit, "[Unit]\n");
    sb.missing("systemctl");
    auto r = sb.run({"enable-service"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, std::string(kEnabling) + kUnitPresent + "[+] Attempting to enable service...\n" + kEnabledNow);
    EXPECT_EQ(r.err, "[-] Warning: Failed to check service status: No such file or directory (os error 2)\n");
    EXPECT_TRUE(sb.exists(kCheckTimer));
}

TEST_F(SelfCommands, EnableServiceReportsAUnitItCannotWrite) {
    sb.write(kLedger, "{}");
    sb.remove("/etc/systemd/system");
    auto r = sb.run({"enable-service"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, std::string(kEnabling) + "[+] Creating systemd service for veth persistence...\n");
    EXPECT_EQ(r.err,
              "[-] Error: Failed to create veth persistence service: No such file or directory (os error 2)\n"
              "[-] Please check permissions and try again\n");
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

}  // namespace
