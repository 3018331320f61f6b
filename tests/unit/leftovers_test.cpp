// Temporary files that runs killed in the middle of a write leave behind go with the next
// successful run of the same write, and nothing else goes with them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cli/install.hpp"
#include "cmds/baseline/baseline_unit.hpp"
#include "cmds/bridge/veth_units.hpp"
#include "cmds/config/restore_steps.hpp"
#include "cmds/libvirt/libvirt.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::Answer;
using test::FakeHost;

constexpr const char* kHex = "0123456789abcdef";

TEST(Leftovers, TheNextRunOfTheSameWriteRemovesThem) {
    struct Case {
        const char* what;
        std::vector<std::string> dirs;
        std::vector<std::string> leftovers;  // what killed runs of this write left
        std::vector<std::string> kept;       // look alike, but are not this write's own
        std::function<void(FakeHost&)> run;
    };
    const std::string hex = kHex;
    const std::vector<Case> cases = {
        {"install-self",
         {"/sbin"},
         {"/sbin/.quillmar.tmp." + hex, "/sbin/.quillmar.tmp.fedcba9876543210"},
         {"/sbin/.quillmar.tmp.partial", "/sbin/.quillmar.tmp." + hex + ".old", "/sbin/.quillmarx.tmp." + hex,
          "/sbin/quillmar.tmp." + hex},
         [](FakeHost& h) {
             const auto self = h.cwd.path() / "quillmar";
             std::ofstream(self) << "the program";
             h.platform.executable = self;
             EXPECT_EQ(cli::install_self(h.ctx), 0);
         }},
        {"post-install",
         {"/etc/bash_completion.d"},
         {"/etc/bash_completion.d/quillmar.bash.tmp." + hex},
         {"/etc/bash_completion.d/git.tmp." + hex, "/etc/bash_completion.d/quillmar.bash.tmp.0123456789ABCDEF"},
         [](FakeHost& h) { EXPECT_EQ(cli::post_install(h.ctx), 0); }},
        {"baseline unit",
         {"/usr/lib/systemd/system"},
         {"/usr/lib/systemd/system/quillmar-baseline.service.tmp." + hex},
         {"/usr/lib/systemd/system/quillmar-baseline.service.tmp"},
         [](FakeHost& h) { EXPECT_TRUE(setup_baseline_service(h.ctx)); }},
        {"veth units",
         {"/etc/systemd/system"},
         {"/etc/systemd/system/quillmar-veth-restore.service.tmp." + hex,
          "/etc/systemd/system/quillmar-veth-check.timer.tmp." + hex},
         {"/etc/systemd/system/sshd.service.tmp." + hex},
         [](FakeHost& h) { EXPECT_TRUE(setup_veth_persistence_service(h.ctx)); }},
        {"network create",
         {"/tmp"},
         {"/tmp/network-create_lab_vswitch3." + hex + ".xml"},
         {"/tmp/lab.xml", "/tmp/network-create_labs_vswitch3." + hex + ".xml", "/tmp/network-create_lab." + hex + ".xml",
          "/tmp/config-restore_lab." + hex + ".xml", "/tmp/lab." + hex + ".xml"},
         [](FakeHost& h) { EXPECT_TRUE(create_libvirt_network(h.ctx, "lab", "vswitch3", std::nullopt)); }},
        {"restore of a libvirt network",
         {"/tmp"},
         {"/tmp/config-restore_lab." + hex + ".xml"},
         {"/tmp/network-create_lab_vswitch3." + hex + ".xml", "/tmp/config-restore_lab_." + hex + ".xml"},
         [](FakeHost& h) {
             h.runner.on_prefix({"virsh", "net-info"}, Answer::exit(1));
             LibvirtNetwork lab;
             lab.name = "lab";
             lab.xml_config = "<network><name>lab</name></network>";
             EXPECT_TRUE(restore_libvirt_networks(h.ctx, {lab}));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHost host;
        for (const auto& d : c.dirs) fs::create_directories(host.file(d));
        for (const auto& f : c.leftovers) host.write_file(f, "cut sh");
        for (const auto& f : c.kept) host.write_file(f, "someone else's");

        c.run(host);

        for (const auto& f : c.leftovers) EXPECT_FALSE(fs::exists(host.file(f))) << f;
        for (const auto& f : c.kept) EXPECT_EQ(host.read_file(f), "someone else's") << f;
    }
}

}  // namespace
}  // namespace qm
