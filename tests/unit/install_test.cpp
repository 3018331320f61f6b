#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/install.hpp"
#include "support/fake_host.hpp"

namespace qm::cli {
namespace {

using test::Call;
using test::FakeHost;

TEST(InstallSelf, WithoutRootNothingIsTouched) {
    FakeHost host;
    host.platform.euid = 1000;
    host.write_file("/sbin/quillmar", "old");
    EXPECT_EQ(install_self(host.ctx), 1);
    EXPECT_EQ(host.err.str(), "❌ Must be run as root to install.\n");
    EXPECT_EQ(host.out.str(), "");
    EXPECT_EQ(host.read_file("/sbin/quillmar"), "old");
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST(InstallSelf, CopiesItselfThenHasTheCopyInstallItsCompletion) {
    FakeHost host;
    const auto self = host.cwd.path() / "quillmar";
    std::ofstream(self, std::ios::binary) << "the program";
    host.platform.executable = self;
    std::filesystem::create_directories(host.file("/sbin"));

    EXPECT_EQ(install_self(host.ctx), 0);
    EXPECT_EQ(host.out.str(), "✅ Installed to /sbin/quillmar\n");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.read_file("/sbin/quillmar"), "the program");
    // The copy just installed, by its absolute path, with the terminal's streams.
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{{{host.file("/sbin/quillmar").string(), "post-install"}, RunMode::Shown}}));
}

TEST(InstallSelf, FailuresStopWithTheirReason) {
    FakeHost host;
    host.platform.executable = unexpected(OsError{ENOENT});
    EXPECT_EQ(install_self(host.ctx), 1);
    EXPECT_EQ(host.err.str(), "❌ Failed to install quillmar: No such file or directory (os error 2)\n");

    FakeHost child_missing;
    const auto self = child_missing.cwd.path() / "quillmar";
    std::ofstream(self) << "the program";
    child_missing.platform.executable = self;
    std::filesystem::create_directories(child_missing.file("/sbin"));
    child_missing.runner.on_prefix({child_missing.file("/sbin/quillmar").string()}, test::Answer::missing());
    EXPECT_EQ(install_self(child_missing.ctx), 1);
    EXPECT_EQ(child_missing.out.str(), "✅ Installed to /sbin/quillmar\n");
    EXPECT_EQ(child_missing.err.str(), "❌ Failed to install quillmar: No such file or directory (os error 2)\n");
}

TEST(EnableService, AsksSystemctlAsAQueryWhenTheUnitIsPresent) {
    FakeHost host;
    host.write_file("/var/lib/quillmar/managed_resources.json", "{}");
    host.write_file("/etc/systemd/system/quillmar-veth-restore.service", "[Unit]\n");
    host.runner.on({"systemctl", "is-enabled", "quillmar-veth-restore"}, test::Answer::ok("  enabled\n"));
    enable_service(host.ctx);
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{{{"systemctl", "is-enabled", "quillmar-veth-restore"}, RunMode::Query}}));
    EXPECT_EQ(host.out.str(),
              "[+] Enabling veth persistence service from managed resources...\n"
              "[+] Service already exists at /etc/systemd/system/quillmar-veth-restore.service\n"
              "[+] Checking service status...\n"
              "[+] Service is already enabled and ready\n");
}

}  // namespace
}  // namespace qm::cli
