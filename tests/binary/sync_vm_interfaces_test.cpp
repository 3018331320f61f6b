// `quillmar sync-vm-interfaces` against fake virsh and ip.

#include <string>

#include "sandbox/sandbox.hpp"

namespace {

class SyncVmInterfacesCli : public sb::SandboxTest {};

std::string domain_xml(const std::string& name, const std::string& bridge, const std::string& tap) {
    return "<domain type='kvm' id='1'>\n"
           "  <name>" + name + "</name>\n"
           "  <devices>\n"
           "    <interface type='bridge'>\n"
           "      <mac address='52:54:00:6b:3c:58'/>\n"
           "      <source bridge='" + bridge + "'/>\n"
           "      <target dev='" + tap + "'/>\n"
           "      <model type='virtio'/>\n"
           "    </interface>\n"
           "  </devices>\n"
           "</domain>\n";
}

TEST_F(SyncVmInterfacesCli, ReattachesOnlyTheTapsThatLostTheirBridge) {
    sb.tool("virsh")
        .on({"list", "--all", "--name"}, sb::ok("web01\ndb01\n\n"))
        .on({"dumpxml", "web01"}, sb::ok(domain_xml("web01", "vswitch1", "vnet0")))
        .on({"dumpxml", "db01"}, sb::ok(domain_xml("db01", "vswitch2", "vnet1")));
    sb.tool("ip")
        .on({"link", "show", "vnet0"},
            sb::ok("7: vnet0: <BROADCAST,MULTICAST> mtu 1500 qdisc noop state DOWN mode DEFAULT\n"
                   "    link/ether fe:54:00:6b:3c:58 brd ff:ff:ff:ff:ff:ff\n"))
        .on({"link", "show", "vnet1"},
            sb::ok("8: vnet1: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 master vswitch2 state UNKNOWN\n"))
        .on({"link", "set", "vnet0", "master", "vswitch1"}, sb::ok("shown by ip\n"));

    auto r = sb.run({"sync-vm-interfaces"});
    EXPECT_EQ(r.status, 0) << r << sb.dump();
    // The tool's own output comes through after the line that announces it.
    EXPECT_EQ(r.out, "[+] Reattaching vnet0 to vswitch1\nshown by ip\n") << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(sb.argvs(), (sb::Argvs{
                              {"virsh", "list", "--all", "--name"},
                              {"virsh", "dumpxml", "web01"},
                              {"ip", "link", "show", "vnet0"},
                              {"ip", "link", "set", "vnet0", "master", "vswitch1"},
                              {"ip", "link", "set", "vnet0", "up"},
                              {"virsh", "dumpxml", "db01"},
                              {"ip", "link", "show", "vnet1"},
                          }))
        << sb.dump();
}

TEST_F(SyncVmInterfacesCli, MissingVirshStopsWithItsMessage) {
    sb.missing("virsh");
    auto r = sb.run({"sync-vm-interfaces"});
    EXPECT_EQ(r.out, "") << r;
    EXPECT_EQ(r.err, "Failed to list VMs: No such file or directory (os error 2)\n") << r;
    EXPECT_TRUE(sb.argvs_of("ip").empty()) << sb.dump();
}

}  // namespace
