// `vm list`, `network list` and `network create` against the real virsh on its built-in test
// hypervisor (LIBVIRT_DEFAULT_URI=test:///default): every virsh process sees a fresh host with
// the running domain "test" on network "default" (bridge virbr0), and nothing persists between
// two virsh processes. So these cases show what one call can: that the real output formats
// are read right, and that the definition the program writes is one virsh accepts.

#include <string>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;
using testing::EndsWith;
using testing::Not;

class Libvirt : public realnm::RealNmTest {};

TEST_F(Libvirt, VmListReadsTheTestHypervisor) {
    auto r = nm.run_quillmar({"vm", "list"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "\n=== VMs ===\n"
              "\x1b[32mtest                 running      autostart:no\n"
              "  └─ Network: default\n"
              "  └─ Interface: testnet0 (network) -> default [-] aa:bb:cc:dd:ee:ff\n"
              "\x1b[0m\n")
        << r;
    EXPECT_THAT(r.refusals({}, "virsh"), IsEmpty()) << r;
}

TEST_F(Libvirt, NetworkListReadsTheTestHypervisor) {
    auto r = nm.run_quillmar({"network", "list"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "\n=== Libvirt Networks ===\n"
              "\x1b[32mdefault              virbr0       active   autostart:no persistent:yes\x1b[0m\n"
              "\n")
        << r;
    EXPECT_THAT(r.refusals({}, "virsh"), IsEmpty()) << r;
}

TEST_F(Libvirt, NetworkCreateWritesADefinitionVirshAccepts) {
    ASSERT_EQ(nm.run_quillmar({"vswitch", "create", "--name", "Storage", "--uplink", "none"}).status, 0);

    auto r = nm.run_quillmar({"network", "create", "--name", "lab", "--vswitch", "Storage"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_THAT(r.out, HasSubstr("[+] Creating libvirt network 'lab' on bridge 'Storage'\n"));
    EXPECT_THAT(r.out, HasSubstr("[+] Libvirt network 'lab' created on bridge 'vswitch1'\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("Error:"))) << r;

    auto virsh = r.calls_of("virsh");
    ASSERT_FALSE(virsh.empty()) << r;
    const auto& define = virsh.front();
    ASSERT_EQ(define.argv.size(), 3u) << define;
    EXPECT_EQ(define.argv[1], "net-define");
    EXPECT_EQ(define.status, 0) << define;
    const std::string& file = define.argv[2];
    EXPECT_THAT(file, StartsWith("/tmp/network-create_lab_vswitch1."));
    EXPECT_THAT(file, EndsWith(".xml"));
    EXPECT_EQ(define.files.at(file),
              "<network>\n  <name>lab</name>\n  <forward mode='bridge'/>\n  <bridge name='vswitch1'/>\n</network>");
    EXPECT_THAT(r.out, HasSubstr("Network lab defined from " + file + "\n"));
    EXPECT_FALSE(nm.exists(file));
    // The next virsh process has a fresh test host without "lab": autostart and start find
    // nothing, and the program does not look at them.
    ASSERT_EQ(virsh.size(), 3u) << r;
    EXPECT_EQ(virsh[1].argv, (realnm::Args{"virsh", "net-autostart", "lab"}));
    EXPECT_EQ(virsh[2].argv, (realnm::Args{"virsh", "net-start", "lab"}));
    EXPECT_THAT(r.refusals_except({{"no network with matching name 'lab'"}}, "virsh"), IsEmpty()) << r;
    EXPECT_THAT(r.refusals(), IsEmpty()) << r;
}

TEST_F(Libvirt, NetworkCreateReportsADefinitionVirshRefuses) {
    ASSERT_EQ(nm.run_quillmar({"vswitch", "create", "--name", "Storage", "--uplink", "none"}).status, 0);

    // The test hypervisor already has a network named "default", under another UUID.
    auto r = nm.run_quillmar({"network", "create", "--name", "default", "--vswitch", "Storage"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_THAT(r.err, HasSubstr("error: operation failed: network 'default' already exists with uuid"));
    EXPECT_THAT(r.err, EndsWith("Error: Libvirt command failed: Failed to define network\n")) << r;
    auto virsh = r.calls_of("virsh");
    ASSERT_EQ(virsh.size(), 1u) << r;
    EXPECT_NE(virsh[0].status, 0);
    EXPECT_THAT(r.refusals(), IsEmpty()) << r;
    // The refused definition stays for inspection.
    EXPECT_TRUE(nm.exists(virsh[0].argv.at(2))) << r;
}

}  // namespace
