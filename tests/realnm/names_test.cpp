// Names that begin with "-" against the real tools. nmcli and virsh read such a word as an option
// where a profile, network or domain belongs ("nmcli connection up --help" prints help and exits
// 0), so the program names it after "id", "--network" or "--domain"; ip reads it as a device
// name where the program puts one, so its vectors stay as they are. Last, names that hold the
// terse listings' separator.

#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/virsh.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;

// A test hypervisor with the network "-lab" on vswitch1 and the running domain "--vm" on it.
constexpr const char* kNode =
    "<node>\n"
    "  <network>\n    <name>-lab</name>\n    <forward mode='bridge'/>\n    <bridge name='vswitch1'/>\n"
    "  </network>\n"
    "  <domain type='test'>\n    <name>--vm</name>\n    <memory>1024</memory>\n"
    "    <os><type>hvm</type></os>\n"
    "    <devices>\n      <interface type='network'>\n        <mac address='52:54:00:aa:bb:cc'/>\n"
    "        <source network='-lab'/>\n      </interface>\n    </devices>\n"
    "  </domain>\n"
    "</node>\n";

class OptionLikeNames : public realnm::RealNmTest {
protected:
    void use_node() {
        auto r = nm.exec({"/bin/sh", "-c", "printf '%s' \"$1\" > /run/qm/home/node.xml", "sh", kNode});
        ASSERT_EQ(r.status, 0) << r;
        nm.libvirt_uri = "test:///run/qm/home/node.xml";
    }
};

TEST_F(OptionLikeNames, AVswitchNamedLikeAnOptionComesUpAndIsCleanedUp) {
    auto r = nm.run_quillmar({"vswitch", "create", "--name=--help", "--uplink", "none"});
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_THAT(r.out, HasSubstr("[+] Successfully brought up bridge connection\n")) << r;
    EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile}), IsEmpty()) << r;
    EXPECT_EQ(nm.field("--help", "connection.interface-name"), "vswitch1") << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("--help"); })) << nm.diagnostics();
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"--help"}));

    r = nm.run_quillmar({"config", "smart-cleanup"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_THAT(r.out, HasSubstr("  - Cleaned up vswitch: --help\n")) << r;
    EXPECT_THAT(r.refusals(), IsEmpty()) << r;
    EXPECT_EQ(nm.profile("--help"), std::nullopt) << nm.diagnostics();
    EXPECT_FALSE(nm.link_exists("vswitch1"));
    EXPECT_EQ(nm.ledger(), std::nullopt);
}

TEST_F(OptionLikeNames, NetworksAndMachinesNamedLikeOptionsAreAskedForByName) {
    // The built-in hypervisor has no network "--help", and virsh is asked for that one.
    auto r = nm.run_quillmar({"network", "delete", "--name=--help"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "[+] Deleting libvirt network '--help'\n") << r;
    EXPECT_EQ(r.err, "Error: Libvirt network '--help' not found\n") << r;
    EXPECT_EQ(r.argvs_of("virsh"), (std::vector<realnm::Args>{{"virsh", "net-info", "--network", "--help"}})) << r;
    EXPECT_THAT(r.refusals_except({{"no network with matching name '--help'"}}, "virsh"), IsEmpty()) << r;

    use_node();
    r = nm.run_quillmar({"vm", "list"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out,
              "\n=== VMs ===\n"
              "\x1b[32m--vm                 running      autostart:no\n"
              "  └─ Network: -lab\n"
              "  └─ Interface: testnet0 (network) -> -lab [-] 52:54:00:aa:bb:cc\n"
              "\x1b[0m\n")
        << r;
    EXPECT_THAT(r.refusals({}, "virsh"), IsEmpty()) << r;

    r = nm.run_quillmar({"network", "list"});
    EXPECT_EQ(r.out,
              "\n=== Libvirt Networks ===\n"
              "\x1b[32m-lab                 vswitch1     active   autostart:no persistent:yes\x1b[0m\n"
              "\n")
        << r;
    EXPECT_THAT(r.refusals({}, "virsh"), IsEmpty()) << r;

    // virsh finds the domain and reads the definition that follows its name; the test hypervisor
    // itself cannot attach devices.
    r = nm.run_quillmar({"network", "attach", "--network=-lab", "--vm=--vm"});
    EXPECT_THAT(r.err, HasSubstr("error: Failed to attach device from /tmp/network-attach_--vm_-lab.")) << r;
    EXPECT_THAT(r.refusals_except({{"not supported by the connection driver"}}, "virsh"), IsEmpty()) << r;
    EXPECT_EQ(r.argvs_of("virsh").size(), 3u) << r;

    r = nm.run_quillmar({"network", "delete", "--name=-lab"});
    EXPECT_EQ(r.err, "Error: Network '-lab' is in use by VMs: --vm\n") << r;
    EXPECT_THAT(r.refusals({}, "virsh"), IsEmpty()) << r;
}

TEST_F(OptionLikeNames, TheRealToolsTakeTheFormsTheProgramUses) {
    auto run = [&](const realnm::Args& argv) {
        auto r = nm.run_tool(argv);
        EXPECT_EQ(r.status, 0) << r;
        return r.out;
    };
    // nmcli: values after the keywords of `connection add` are taken literally, names after "id".
    for (const std::string name : {"-x", "help", "id", "filename", "ifname"}) {
        SCOPED_TRACE(name);
        run({"nmcli", "connection", "add", "type", "bridge", "ifname", "vswitch7", "con-name", name, "ipv4.method",
             "disabled", "ipv6.method", "ignore"});
        run(qm::nmcli_profile_argv({"connection", "modify"}, name, {"connection.autoconnect-priority", "600"}));
        EXPECT_EQ(run(qm::nmcli_profile_argv({"-g", "connection.autoconnect-priority", "connection", "show"}, name)),
                  "600\n");
        run(qm::nmcli_profile_argv({"connection", "up"}, name));
        EXPECT_TRUE(nm.active(name)) << nm.diagnostics();
        run(qm::nmcli_profile_argv({"connection", "down"}, name));
        EXPECT_FALSE(nm.active(name)) << nm.diagnostics();
        run(qm::nmcli_profile_argv({"connection", "delete"}, name));
        EXPECT_EQ(nm.profile(name), std::nullopt) << nm.diagnostics();
    }

    // ip: a device name in the program's places, even one beginning with "-".
    nm.ip({"link", "add", "name", "-br", "type", "bridge"});
    run({"ip", "link", "add", "-v0", "type", "veth", "peer", "name", "-v1"});
    run({"ip", "link", "set", "-v0", "master", "-br"});
    run({"ip", "link", "set", "-v0", "address", "52:54:00:00:00:42"});
    run({"ip", "link", "set", "-v0", "up"});
    EXPECT_THAT(run({"ip", "link", "show", "-v0"}), HasSubstr("master -br"));
    EXPECT_EQ(nm.link_master("-v0"), "-br");
    EXPECT_EQ(nm.link_mac("-v0"), "52:54:00:00:00:42");
    run({"ip", "link", "delete", "-v0"});
    EXPECT_FALSE(nm.link_exists("-v1"));

    // virsh: each command the program runs on one network or domain, on a host that has them.
    use_node();
    for (const auto& argv : {qm::virsh_network_argv("net-info", "-lab"), qm::virsh_network_argv("net-dumpxml", "-lab"),
                             qm::virsh_network_argv("net-autostart", "-lab"),
                             qm::virsh_network_argv("net-destroy", "-lab"), qm::virsh_domain_argv("dominfo", "--vm"),
                             qm::virsh_domain_argv("domstate", "--vm"), qm::virsh_domain_argv("domiflist", "--vm"),
                             qm::virsh_domain_argv("dumpxml", "--vm")})
        run(argv);
}

// nmcli writes a ':' inside a name as "\:" and a '\' as "\\" in its terse listings, even with one
// column. A vswitch named with them is listed, kept by sync and cleaned up like any other.
TEST_F(OptionLikeNames, NamesWithTheListingsSeparatorAreReadAsTheNamesTheyAre) {
    for (const std::string name : {"Lab: DMZ", "Back\\slash:x"}) {
        SCOPED_TRACE(name);
        auto r = nm.run_quillmar({"vswitch", "create", "--name", name, "--uplink", "none"});
        ASSERT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.err, "") << r;
        EXPECT_TRUE(nm.wait_for([&] { return nm.active(name); })) << nm.diagnostics();
        EXPECT_EQ(nm.ledger(), realnm::ledger_json({name}));

        r = nm.run_quillmar({"vswitch", "list"});
        EXPECT_THAT(r.out, HasSubstr(name + " ")) << r;

        r = nm.run_quillmar({"config", "sync"});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_THAT(r.out, HasSubstr("[+] Configuration files are already in sync\n")) << r;
        EXPECT_EQ(nm.ledger(), realnm::ledger_json({name}));

        r = nm.run_quillmar({"config", "smart-cleanup"});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_THAT(r.out, HasSubstr("  - Cleaned up vswitch: " + name + "\n")) << r;
        EXPECT_EQ(nm.profile(name), std::nullopt) << nm.diagnostics();
        EXPECT_EQ(nm.ledger(), std::nullopt);
    }
}

}  // namespace
