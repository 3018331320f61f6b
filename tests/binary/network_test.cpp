// The network and vm commands as a user runs them, against scripted virsh and nmcli.

#include <string>

#include "sandbox/sandbox.hpp"

namespace {

class NetworkCli : public sb::SandboxTest {};

const char* const kNetworkXml =
    "<network>\n  <name>lab</name>\n  <forward mode='bridge'/>\n  <bridge name='vlan100br'/>\n</network>";

TEST_F(NetworkCli, CreateOnAVlanBridgeThatDoesNotExist) {
    sb.tool("nmcli").on({"device", "status"}, sb::ok("DEVICE  TYPE      STATE      CONNECTION\n"
                                                       "eth0    ethernet  connected  lan\n"));
    auto r = sb.run({"network", "create", "--name", "lab", "--vlan-id", "100"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Error: Libvirt command failed: VLAN 100 bridge 'vlan100br' not found. Create the VLAN first with "
              "'quillmar vlan create --vlan-id 100'\n");
    EXPECT_EQ(sb.argvs(), (sb::Argvs{{"nmcli", "device", "status"}})) << sb.dump();
}

TEST_F(NetworkCli, CreateOnAVlanBridgeDefinesStartsAndCleansUp) {
    sb.tool("nmcli").on({"device", "status"}, sb::ok("DEVICE     TYPE    STATE      CONNECTION\n"
                                                       "vlan100br  bridge  connected  vlan100br\n"));
    sb.write("/tmp/lab.xml", "planted");
    auto r = sb.run({"network", "create", "--name", "lab", "--vlan-id", "100"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Creating libvirt network 'lab' on VLAN 100 bridge 'vlan100br'\n"
              "[+] Libvirt network 'lab' created on bridge 'vlan100br'\n");
    auto virsh = sb.calls_of("virsh");
    ASSERT_EQ(virsh.size(), 3u) << sb.dump();
    ASSERT_EQ(virsh[0].argv.size(), 3u);
    EXPECT_EQ(virsh[0].argv[1], "net-define");
    const std::string path = virsh[0].argv[2];
    EXPECT_TRUE(path.starts_with("/tmp/network-create_lab_vlan100br.") && path.ends_with(".xml") && path != "/tmp/lab.xml") << path;
    EXPECT_EQ(virsh[0].files.at(path), kNetworkXml);
    EXPECT_EQ(virsh[1].argv, (sb::Args{"virsh", "net-autostart", "lab"}));
    EXPECT_EQ(virsh[2].argv, (sb::Args{"virsh", "net-start", "lab"}));
    // Only the file that was already there remains, untouched.
    EXPECT_EQ(sb.list("/tmp"), std::vector<std::string>{"lab.xml"});
    EXPECT_EQ(sb.read("/tmp/lab.xml"), "planted");
}

TEST_F(NetworkCli, CheckAndHandlerErrorsGoToStandardErrorWithStatusZero) {
    sb.tool("virsh").on({"net-info", "gone"}, sb::fail(1, "error: failed to get network 'gone'\n"));
    sb.tool("virsh").on({"dominfo", "ghost"}, sb::fail(1));
    struct Case {
        sb::Args args;
        std::string err;
    };
    const Case cases[] = {
        {{"network", "create", "--name", "lab"}, "Error: Either --vswitch or --vlan-id must be specified.\n"},
        {{"network", "change", "--name", "lab", "--vswitch", "vswitch0", "--vlan-id", "7"},
         "Error: --vswitch and --vlan-id are mutually exclusive. Use only one.\n"},
        {{"network", "delete", "--name", "gone"}, "Error: Libvirt network 'gone' not found\n"},
        {{"network", "change", "--name", "lab", "--vswitch", ""},
         "Error: Libvirt command failed: Bridge name cannot be empty\n"},
        {{"network", "attach", "--network", "lab", "--vm", "ghost"},
         "Error: Libvirt command failed: VM 'ghost' not found\n"},
        {{"network", "move", "--vm", "web", "--from", "lab", "--to", "gone"},
         "Error: Libvirt network 'gone' not found\n"},
    };
    for (const auto& c : cases) {
        auto r = sb.run(c.args);
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_TRUE(r.err.ends_with(c.err)) << r;
    }
    for (const auto& argv : sb.argvs_of("virsh")) {
        EXPECT_NE(argv[1], "net-destroy") << sb.dump();
        EXPECT_NE(argv[1], "attach-device") << sb.dump();
    }
}

// A name that virsh would read as an option is named after "--network"; the stand-in answers
// the bare form as the real virsh does, with the command's help and status 0.
TEST_F(NetworkCli, DeleteOfANameLikeAnOptionAsksForThatNetwork) {
    sb.tool("virsh")
        .on({"net-info", "--help"}, sb::ok("  NAME\n    net-info - network information\n"))
        .on({"net-info", "--network", "--help"},
            sb::fail(1, "error: failed to get network '--help'\n"
                        "error: Network not found: no network with matching name '--help'\n"));
    auto r = sb.run({"network", "delete", "--name=--help"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "[+] Deleting libvirt network '--help'\n");
    EXPECT_EQ(r.err, "Error: Libvirt network '--help' not found\n");
    EXPECT_EQ(sb.argvs(), (sb::Argvs{{"virsh", "net-info", "--network", "--help"}})) << sb.dump();
}

TEST_F(NetworkCli, VmListWithoutVirsh) {
    sb.missing("virsh");
    auto r = sb.run({"vm", "list"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "\n=== VMs ===\n  (no VMs found)\n\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(NetworkCli, VmListAsksDominfoForAutostart) {
    auto& virsh = sb.tool("virsh");
    virsh.on({"list", "--all", "--name"}, sb::ok("web\ndb\n\n"));
    virsh.on({"domstate", "web"}, sb::ok("running\n\n"));
    virsh.on({"dominfo", "web"}, sb::ok("Id:             1\nName:           web\nState:          running\n"
                                        "Persistent:     yes\nAutostart:      enable\n\n"));
    virsh.on({"dumpxml", "web"}, sb::ok("<domain>\n  <interface type='network'>\n"
                                        "    <source network='lab'/>\n  </interface>\n</domain>\n"));
    virsh.on({"domiflist", "web"}, sb::ok(" Interface   Type      Source   Model    MAC\n"
                                          "-------------------------------------------------------\n"
                                          " vnet0       network   lab      virtio   52:54:00:aa:00:01\n\n"));
    virsh.on({"domstate", "db"}, sb::ok("shut off\n\n"));
    virsh.on({"dominfo", "db"}, sb::ok("Name:           db\nAutostart:      disable\n\n"));
    // No such virsh command: asking it would make every machine look like it does not start with the host.
    virsh.on({"domautostart", "web"}, sb::fail(1, "error: unknown command: 'domautostart'\n"));

    auto r = sb.run({"vm", "list"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "\n=== VMs ===\n"
              "\x1b[32mweb                  running      autostart:yes\n"
              "  └─ Network: lab\n"
              "  └─ Interface: vnet0 (network) -> lab [virtio] 52:54:00:aa:00:01\n"
              "\x1b[0m\n"
              "\x1b[31mdb                   shut off     autostart:no\n"
              "\x1b[0m\n");
    EXPECT_EQ(sb.argvs_of("virsh"), (sb::Argvs{{"virsh", "list", "--all", "--name"},
                                               {"virsh", "domstate", "web"},
                                               {"virsh", "dominfo", "web"},
                                               {"virsh", "dumpxml", "web"},
                                               {"virsh", "domiflist", "web"},
                                               {"virsh", "domstate", "db"},
                                               {"virsh", "dominfo", "db"},
                                               {"virsh", "dumpxml", "db"},
                                               {"virsh", "domiflist", "db"}}))
        << sb.dump();
}

TEST_F(NetworkCli, CreateListDeleteRound) {
    auto& virsh = sb.tool("virsh");
    virsh.on({"net-list", "--all"},
             sb::ok(" Name   State    Autostart   Persistent\n"
                    "--------------------------------------------\n"
                    " lab    active   yes         yes\n"
                    "\n"));
    virsh.on({"net-dumpxml", "lab"},
             sb::ok("<network>\n  <name>lab</name>\n  <forward mode='bridge'/>\n"
                    "  <bridge name='vswitch0'/>\n</network>\n"));
    virsh.on({"list", "--all", "--name"}, sb::ok("web\n\n"));
    virsh.on({"dumpxml", "web"}, sb::ok("<domain>\n  <interface type='network'>\n"
                                        "    <source network='other'/>\n  </interface>\n</domain>\n"));

    auto created = sb.run({"network", "create", "--name", "lab", "--vswitch", "vswitch0"});
    EXPECT_EQ(created.status, 0) << created;
    EXPECT_EQ(created.err, "");
    EXPECT_EQ(created.out,
              "[+] Creating libvirt network 'lab' on bridge 'vswitch0'\n"
              "[+] Libvirt network 'lab' created on bridge 'vswitch0'\n");

    auto listed = sb.run({"network", "list"});
    EXPECT_EQ(listed.status, 0) << listed;
    EXPECT_EQ(listed.out,
              "\n=== Libvirt Networks ===\n"
              "\x1b[32mlab                  vswitch0     active   autostart:yes persistent:yes\x1b[0m\n\n");

    auto deleted = sb.run({"network", "delete", "--name", "lab"});
    EXPECT_EQ(deleted.status, 0) << deleted;
    EXPECT_EQ(deleted.err, "");
    EXPECT_EQ(deleted.out, "[+] Deleting libvirt network 'lab'\n[+] Libvirt network 'lab' deleted successfully\n");

    auto calls = sb.argvs_of("virsh");
    ASSERT_EQ(calls.size(), 10u) << sb.dump();
    EXPECT_EQ(calls[0][1], "net-define");
    calls.erase(calls.begin());
    EXPECT_EQ(calls, (sb::Argvs{{"virsh", "net-autostart", "lab"},
                                {"virsh", "net-start", "lab"},
                                {"virsh", "net-list", "--all"},
                                {"virsh", "net-dumpxml", "lab"},
                                {"virsh", "net-info", "lab"},
                                {"virsh", "list", "--all", "--name"},
                                {"virsh", "dumpxml", "web"},
                                {"virsh", "net-destroy", "lab"},
                                {"virsh", "net-undefine", "lab"}}));
    EXPECT_TRUE(sb.argvs_of("nmcli").empty()) << sb.dump();
    EXPECT_EQ(sb.list("/tmp"), std::vector<std::string>{});
}

}  // namespace
