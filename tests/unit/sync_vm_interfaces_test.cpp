#include <gtest/gtest.h>

#include "cmds/vm/sync_vm_interfaces.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;
using Argvs = std::vector<std::vector<std::string>>;

// A running machine's definition as virsh prints it (trimmed to the interesting parts).
std::string domain_xml(const std::string& name, const std::string& interfaces) {
    return "<domain type='kvm' id='3'>\n"
           "  <name>" + name + "</name>\n"
           "  <devices>\n"
           "    <disk type='file' device='disk'>\n"
           "      <target dev='vda' bus='virtio'/>\n"
           "    </disk>\n" +
           interfaces +
           "  </devices>\n"
           "</domain>\n";
}

std::string bridge_interface(const std::string& mac, const std::string& bridge, const std::string& tap) {
    return "    <interface type='bridge'>\n"
           "      <mac address='" + mac + "'/>\n"
           "      <source bridge='" + bridge + "'/>\n"
           "      <target dev='" + tap + "'/>\n"
           "      <model type='virtio'/>\n"
           "    </interface>\n";
}

const std::string kIpShowUnattached =
    "12: vnet0: <BROADCAST,MULTICAST> mtu 1500 qdisc noop state DOWN mode DEFAULT group default qlen 1000\n"
    "    link/ether fe:54:00:12:34:56 brd ff:ff:ff:ff:ff:ff\n";

std::string ip_show_under(const std::string& tap, const std::string& master) {
    return "12: " + tap + ": <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue master " + master +
           " state UNKNOWN mode DEFAULT group default qlen 1000\n"
           "    link/ether fe:54:00:12:34:56 brd ff:ff:ff:ff:ff:ff\n";
}

TEST(SyncVmInterfaces, ReattachesADetachedTapWithTheExactCommandsAndModes) {
    FakeHost host;
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("web01\n\n"));
    host.runner.on({"virsh", "dumpxml", "web01"},
                   Answer::ok(domain_xml("web01", bridge_interface("52:54:00:12:34:56", "vswitch1", "vnet0"))));
    host.runner.on({"ip", "link", "show", "vnet0"}, Answer::ok(kIpShowUnattached));

    sync_vm_interfaces(host.ctx);

    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{
                  {{"virsh", "list", "--all", "--name"}, RunMode::QueryWithStderr},
                  {{"virsh", "dumpxml", "web01"}, RunMode::Query},
                  {{"ip", "link", "show", "vnet0"}, RunMode::Query},
                  {{"ip", "link", "set", "vnet0", "master", "vswitch1"}, RunMode::Shown},
                  {{"ip", "link", "set", "vnet0", "up"}, RunMode::Shown},
              }));
    EXPECT_EQ(host.out.str(), "[+] Reattaching vnet0 to vswitch1\n");
    EXPECT_EQ(host.err.str(), "");
}

TEST(SyncVmInterfaces, HandlesEachListedMachineAndSkipsThoseWithoutAVnetTarget) {
    FakeHost host;
    // Names padded with blanks and CRLF line ends; the empty line is not a machine.
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("  db01 \r\n\r\nshut-off\r\nweb01\n"));
    host.runner.on({"virsh", "dumpxml", "db01"},
                   Answer::ok(domain_xml("db01", bridge_interface("52:54:00:aa:aa:aa", "vswitch2", "vnet3"))));
    // A shut-off machine has no target line, only its bridge.
    host.runner.on({"virsh", "dumpxml", "shut-off"},
                   Answer::ok(domain_xml("shut-off",
                                         "    <interface type='bridge'>\n"
                                         "      <source bridge='vswitch0'/>\n"
                                         "    </interface>\n")));
    // A failing dumpxml yields nothing to scan.
    host.runner.on({"virsh", "dumpxml", "web01"}, Answer::exit(1));
    host.runner.on({"ip", "link", "show", "vnet3"}, Answer::exit(1));  // fails: attempt anyway

    sync_vm_interfaces(host.ctx);

    EXPECT_EQ(host.runner.argvs(), (Argvs{
                                       {"virsh", "list", "--all", "--name"},
                                       {"virsh", "dumpxml", "db01"},
                                       {"ip", "link", "show", "vnet3"},
                                       {"ip", "link", "set", "vnet3", "master", "vswitch2"},
                                       {"ip", "link", "set", "vnet3", "up"},
                                       {"virsh", "dumpxml", "shut-off"},
                                       {"virsh", "dumpxml", "web01"},
                                   }));
    EXPECT_EQ(host.out.str(), "[+] Reattaching vnet3 to vswitch2\n");
}

TEST(SyncVmInterfaces, DecidesThePairFromTheFirstPointBothValuesAreSeen) {
    struct Case {
        const char* name;
        std::string interfaces;
        std::string tap, bridge;
    };
    const std::vector<Case> cases = {
        {"bridge line before target", bridge_interface("52:54:00:00:00:01", "vswitch4", "vnet7"), "vnet7",
         "vswitch4"},
        {"target line before bridge",
         "    <interface type='bridge'>\n"
         "      <target dev='vnet8'/>\n"
         "      <source bridge='br-lab'/>\n"
         "    </interface>\n",
         "vnet8", "br-lab"},
        {"two interfaces: only the first pair",
         bridge_interface("52:54:00:00:00:01", "vswitch1", "vnet1") +
             bridge_interface("52:54:00:00:00:02", "vswitch2", "vnet2"),
         "vnet1", "vswitch1"},
        {"both on one line, an unterminated value runs to the line end",
         "    <interface type='bridge'><source bridge='vswitch5'/><target dev='vnet9\n", "vnet9", "vswitch5"},
        {"later bridge line replaces an earlier one before the tap appears",
         "    <source bridge='vswitch1'/>\n"
         "    <source bridge='vswitch6'/>\n"
         "    <target dev='vnet4'/>\n",
         "vnet4", "vswitch6"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost host;
        host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("vm\n"));
        host.runner.on({"virsh", "dumpxml", "vm"}, Answer::ok(domain_xml("vm", c.interfaces)));
        sync_vm_interfaces(host.ctx);
        EXPECT_EQ(host.runner.argvs_of("ip"), (Argvs{
                                                  {"ip", "link", "show", c.tap},
                                                  {"ip", "link", "set", c.tap, "master", c.bridge},
                                                  {"ip", "link", "set", c.tap, "up"},
                                              }));
    }
}

TEST(SyncVmInterfaces, LeavesTapsAlreadyUnderTheirBridgeAlone) {
    struct Case {
        const char* current_master;
        bool reattach;
    };
    // Containment of "master <bridge>": br1 counts as attached under br10.
    for (const Case c : {Case{"br1", false}, Case{"br10", false}, Case{"br2", true}}) {
        SCOPED_TRACE(c.current_master);
        FakeHost host;
        host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("vm\n"));
        host.runner.on({"virsh", "dumpxml", "vm"},
                       Answer::ok(domain_xml("vm", bridge_interface("52:54:00:00:00:01", "br1", "vnet0"))));
        host.runner.on({"ip", "link", "show", "vnet0"}, Answer::ok(ip_show_under("vnet0", c.current_master)));
        sync_vm_interfaces(host.ctx);
        EXPECT_EQ(host.runner.argvs_of("ip").size(), c.reattach ? 3u : 1u);
        EXPECT_EQ(host.out.str(), c.reattach ? "[+] Reattaching vnet0 to br1\n" : "");
    }
}

TEST(SyncVmInterfaces, StopsAtOnceWhenAToolCannotStart) {
    {
        FakeHost host;
        host.runner.missing("virsh");
        sync_vm_interfaces(host.ctx);
        EXPECT_EQ(host.err.str(), "Failed to list VMs: No such file or directory (os error 2)\n");
        EXPECT_EQ(host.runner.calls.size(), 1u);
    }
    {
        FakeHost host;
        host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("a\nb\n"));
        host.runner.on({"virsh", "dumpxml", "a"}, Answer::missing());
        sync_vm_interfaces(host.ctx);
        EXPECT_EQ(host.err.str(), "Failed to dumpxml: No such file or directory (os error 2)\n");
        EXPECT_EQ(host.runner.argvs().back(), (std::vector<std::string>{"virsh", "dumpxml", "a"}));
    }
    {
        FakeHost host;
        host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("a\nb\n"));
        host.runner.on({"virsh", "dumpxml", "a"},
                       Answer::ok(domain_xml("a", bridge_interface("52:54:00:00:00:01", "vswitch1", "vnet0"))));
        host.runner.on({"virsh", "dumpxml", "b"},
                       Answer::ok(domain_xml("b", bridge_interface("52:54:00:00:00:02", "vswitch1", "vnet1"))));
        host.runner.on({"ip", "link", "show", "vnet0"}, Answer::ok(kIpShowUnattached));
        host.runner.on({"ip", "link", "show", "vnet1"}, Answer::missing());
        sync_vm_interfaces(host.ctx);
        // The first machine stays handled; nothing more runs after the failure.
        EXPECT_EQ(host.out.str(), "[+] Reattaching vnet0 to vswitch1\n");
        EXPECT_EQ(host.err.str(), "Failed to get link status for vnet1\n");
        EXPECT_EQ(host.runner.argvs().back(), (std::vector<std::string>{"ip", "link", "show", "vnet1"}));
    }
}

}  // namespace
}  // namespace qm
