#include <gtest/gtest.h>

#include <filesystem>

#include "cmds/libvirt/definition_files.hpp"
#include "cmds/vm/vm.hpp"
#include "support/fake_host.hpp"
#include "unit/virsh_file_spy.hpp"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::Answer;
using test::Call;
using test::FakeHost;
using test::VirshFileSpy;
using Argv = std::vector<std::string>;

constexpr const char* kRunningDomain =
    "<domain type='kvm' id='3'>\n"
    "  <name>web 1</name>\n"
    "  <devices>\n"
    "    <interface type='bridge'>\n"
    "      <mac address='52:54:00:aa:00:01'/>\n"
    "      <source bridge='br0'/>\n"
    "      <target dev='vnet0'/>\n"
    "    </interface>\n"
    "    <interface type='network'>\n"
    "      <mac address='52:54:00:aa:00:02'/>\n"
    "      <source network='lab2' portid='7d1e' bridge='vswitch1'/>\n"
    "    </interface>\n"
    "    <interface type='network'>\n"
    "      <mac address='52:54:00:aa:00:03'/>\n"
    "      <source network='lab' portid='a1f0' bridge='vswitch0'/>\n"
    "      <target dev='vnet2'/>\n"
    "      <model type='virtio'/>\n"
    "      <alias name='net2'/>\n"
    "    </interface>\n"
    "  </devices>\n"
    "</domain>\n";

std::size_t tmp_entry_count(const FakeHost& host) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(host.file("/tmp"))) ++n;
    return n;
}

class Vm : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(host.file("/tmp")); }
    FakeHost host;
};

TEST(InterfaceXml, DocumentsAreEscapedAndHaveNoFinalLineEnd) {
    EXPECT_EQ(interface_definition_xml("lab"),
              "<interface type='network'>\n  <source network='lab'/>\n  <model type='virtio'/>\n</interface>");
    EXPECT_EQ(interface_definition_xml("a'b&<c>\""),
              "<interface type='network'>\n  <source network='a&apos;b&amp;&lt;c&gt;&quot;'/>\n"
              "  <model type='virtio'/>\n</interface>");
    EXPECT_EQ(interface_removal_xml("a'b", "52:54:00:aa:00:03"),
              "<interface type='network'>\n  <mac address='52:54:00:aa:00:03'/>\n  <source network='a&apos;b'/>\n"
              "</interface>");
}

TEST_F(Vm, ExistsOnlyWhenDominfoSucceeds) {
    host.runner.on({"virsh", "dominfo", "web 1"}, Answer::ok());
    host.runner.on({"virsh", "dominfo", "gone"}, Answer::exit(1));
    EXPECT_TRUE(vm_exists(host.ctx, "web 1"));
    EXPECT_FALSE(vm_exists(host.ctx, "gone"));
    EXPECT_EQ(host.runner.calls.front(), (Call{{"virsh", "dominfo", "web 1"}, RunMode::QueryWithStderr}));
    host.runner.missing("virsh");
    EXPECT_FALSE(vm_exists(host.ctx, "web 1"));
}

// --- attach ---

TEST_F(Vm, AttachHandsVirshAPrivateDefinitionAndRemovesIt) {
    VirshFileSpy spy(host, "attach-device", 3);
    ASSERT_TRUE(attach_vm_to_network(spy.ctx, "my \"lab\"", "web 1"));
    EXPECT_EQ(host.out.str(),
              "[+] Attaching VM 'web 1' to network 'my \"lab\"'\n"
              "[+] VM 'web 1' successfully attached to network 'my \"lab\"'\n");
    ASSERT_EQ(spy.seen.size(), 1u);
    EXPECT_EQ(spy.seen[0].content,
              "<interface type='network'>\n  <source network='my &quot;lab&quot;'/>\n  <model type='virtio'/>\n"
              "</interface>");
    EXPECT_TRUE(spy.seen[0].regular);
    EXPECT_EQ(spy.seen[0].perms, 0600u);
    EXPECT_TRUE(fs::path(spy.seen[0].path).filename().string().starts_with("network-attach_web%201_my%20%22lab%22."));
    EXPECT_TRUE(spy.seen[0].held);
    std::vector<Call> calls = {
        {{"virsh", "net-info", "my \"lab\""}, RunMode::QueryWithStderr},
        {{"virsh", "dominfo", "web 1"}, RunMode::QueryWithStderr},
        {{"virsh", "attach-device", "web 1", spy.seen[0].path, "--live", "--config"}, RunMode::Shown},
    };
    EXPECT_EQ(host.runner.calls, calls);
    EXPECT_EQ(tmp_entry_count(host), 0u);
}

TEST_F(Vm, AttachStopsAtAMissingNetworkOrMachine) {
    host.runner.on({"virsh", "net-info", "gone"}, Answer::exit(1));
    auto r = attach_vm_to_network(host.ctx, "gone", "web");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Libvirt network 'gone' not found");
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{{"virsh", "net-info", "gone"}}));

    host.runner.on({"virsh", "dominfo", "ghost"}, Answer::exit(1));
    r = attach_vm_to_network(host.ctx, "lab", "ghost");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Libvirt command failed: VM 'ghost' not found");
    EXPECT_EQ(tmp_entry_count(host), 0u);
    EXPECT_EQ(host.runner.argvs().back(), (Argv{"virsh", "dominfo", "ghost"}));
}

TEST_F(Vm, AttachFailureStillRemovesTheDefinition) {
    host.runner.on_prefix({"virsh", "attach-device"}, Answer::exit(1));
    auto r = attach_vm_to_network(host.ctx, "lab", "web");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Libvirt command failed: Failed to attach VM 'web' to network 'lab'");
    EXPECT_EQ(tmp_entry_count(host), 0u);
}

TEST_F(Vm, AttachReportsAVirshThatCannotStart) {
    host.runner.on_prefix({"virsh", "attach-device"}, Answer::missing());
    auto r = attach_vm_to_network(host.ctx, "lab", "web");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(),
              "Libvirt command failed: Failed to execute virsh: No such file or directory (os error 2)");
    EXPECT_EQ(tmp_entry_count(host), 1u);
}

TEST(VmAttach, FailsWhenTheDefinitionCannotBeWritten) {
    FakeHost host;  // no temporary directory below the root
    auto r = attach_vm_to_network(host.ctx, "lab", "web");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Libvirt command failed: Failed to create temporary XML file");
    EXPECT_TRUE(host.runner.argvs_of("virsh").size() == 2u);
}

TEST_F(Vm, WithoutVirshTheNetworkIsNotFound) {
    host.runner.missing("virsh");
    for (auto r : {attach_vm_to_network(host.ctx, "lab", "web"), detach_vm_from_network(host.ctx, "lab", "web"),
                   move_vm_between_networks(host.ctx, "web", "lab", "lab2")}) {
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), LibvirtError::network_not_found("lab"));
    }
}

// --- detach ---

TEST_F(Vm, DetachNamesTheInterfaceOnTheNetworkByItsMac) {
    host.runner.on({"virsh", "dumpxml", "web 1"}, Answer::ok(kRunningDomain));
    VirshFileSpy spy(host, "detach-device", 3);
    ASSERT_TRUE(detach_vm_from_network(spy.ctx, "lab", "web 1"));
    EXPECT_EQ(host.out.str(),
              "[+] Detaching VM 'web 1' from network 'lab'\n"
              "[+] VM 'web 1' successfully detached from network 'lab'\n");
    ASSERT_EQ(spy.seen.size(), 1u);
    EXPECT_EQ(spy.seen[0].content,
              "<interface type='network'>\n  <mac address='52:54:00:aa:00:03'/>\n  <source network='lab'/>\n"
              "</interface>");
    EXPECT_EQ(spy.seen[0].perms, 0600u);
    std::vector<Call> calls = {
        {{"virsh", "net-info", "lab"}, RunMode::QueryWithStderr},
        {{"virsh", "dominfo", "web 1"}, RunMode::QueryWithStderr},
        {{"virsh", "dumpxml", "web 1"}, RunMode::QueryWithStderr},
        {{"virsh", "detach-device", "web 1", spy.seen[0].path, "--live", "--config"}, RunMode::Shown},
    };
    EXPECT_EQ(host.runner.calls, calls);
    EXPECT_EQ(tmp_entry_count(host), 0u);
}

TEST_F(Vm, MachinesAndNetworksNamedLikeOptionsFollowTheirOptions) {
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("--vm\n"));
    host.runner.on({"virsh", "dumpxml", "--domain", "--vm"},
                   Answer::ok("<interface type='network'>\n  <mac address='52:54:00:00:00:09'/>\n"
                              "  <source network='-net'/>\n</interface>\n"));
    VirshFileSpy attach(host, "attach-device", 4);
    ASSERT_TRUE(attach_vm_to_network(attach.ctx, "-net", "--vm"));
    VirshFileSpy detach(host, "detach-device", 4);
    ASSERT_TRUE(detach_vm_from_network(detach.ctx, "-net", "--vm"));
    list_vms(host.ctx);
    ASSERT_EQ(attach.seen.size(), 1u);
    ASSERT_EQ(detach.seen.size(), 1u);
    EXPECT_NE(host.out.str().find("  └─ Network: -net\n"), std::string::npos) << host.out.str();
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{
                                       {"virsh", "net-info", "--network", "-net"},
                                       {"virsh", "dominfo", "--domain", "--vm"},
                                       {"virsh", "attach-device", "--domain", "--vm", attach.seen[0].path, "--live",
                                        "--config"},
                                       {"virsh", "net-info", "--network", "-net"},
                                       {"virsh", "dominfo", "--domain", "--vm"},
                                       {"virsh", "dumpxml", "--domain", "--vm"},
                                       {"virsh", "detach-device", "--domain", "--vm", detach.seen[0].path, "--live",
                                        "--config"},
                                       {"virsh", "list", "--all", "--name"},
                                       {"virsh", "domstate", "--domain", "--vm"},
                                       {"virsh", "dominfo", "--domain", "--vm"},
                                       {"virsh", "dumpxml", "--domain", "--vm"},
                                       {"virsh", "domiflist", "--domain", "--vm"},
                                   }));
}

TEST_F(Vm, DetachMatchesEscapedNetworkNames) {
    host.runner.on({"virsh", "dumpxml", "web"},
                   Answer::ok("<interface type='network'>\n  <mac address='52:54:00:00:00:09'/>\n"
                              "  <source network='it&apos;s &amp; co'/>\n</interface>\n"));
    VirshFileSpy spy(host, "detach-device", 3);
    ASSERT_TRUE(detach_vm_from_network(spy.ctx, "it's & co", "web"));
    ASSERT_EQ(spy.seen.size(), 1u);
    EXPECT_NE(spy.seen[0].content.find("<mac address='52:54:00:00:00:09'/>"), std::string::npos);
    EXPECT_NE(spy.seen[0].content.find("<source network='it&apos;s &amp; co'/>"), std::string::npos);
}

TEST_F(Vm, DetachErrors) {
    struct Case {
        Answer dumpxml;
        Answer detach;
        std::string text;
        std::size_t virsh_runs;
    };
    std::vector<Case> cases = {
        {Answer::ok("<domain>\n  <interface type='network'>\n    <mac address='52:54:00:00:00:01'/>\n"
                    "    <source network='lab2'/>\n  </interface>\n</domain>\n"),
         Answer::ok(), "No interface found for VM 'web' on network 'lab'", 3},
        {Answer::exit(1), Answer::ok(), "No interface found for VM 'web' on network 'lab'", 3},
        {Answer::missing(), Answer::ok(), "Failed to execute virsh: No such file or directory (os error 2)", 3},
        {Answer::ok(kRunningDomain), Answer::exit(1), "Failed to detach VM 'web' from network 'lab'", 4},
        {Answer::ok(kRunningDomain), Answer::missing(),
         "Failed to execute virsh: No such file or directory (os error 2)", 4},
    };
    for (const auto& c : cases) {
        FakeHost h;
        fs::create_directories(h.file("/tmp"));
        h.runner.on({"virsh", "dumpxml", "web"}, c.dumpxml);
        h.runner.on_prefix({"virsh", "detach-device"}, c.detach);
        auto r = detach_vm_from_network(h.ctx, "lab", "web");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), LibvirtError::command_failed(c.text));
        EXPECT_EQ(h.runner.argvs_of("virsh").size(), c.virsh_runs) << c.text;
        EXPECT_EQ(tmp_entry_count(h), 0u) << c.text;
        EXPECT_EQ(h.out.str(), "[+] Detaching VM 'web' from network 'lab'\n");
    }
}

TEST_F(Vm, DetachStopsAtAMissingMachine) {
    host.runner.on({"virsh", "dominfo", "ghost"}, Answer::exit(1));
    auto r = detach_vm_from_network(host.ctx, "lab", "ghost");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Libvirt command failed: VM 'ghost' not found");
    EXPECT_EQ(host.runner.argvs().size(), 2u);
}

// --- move ---

TEST_F(Vm, MoveDetachesThenAttaches) {
    host.runner.on({"virsh", "dumpxml", "web 1"}, Answer::ok(kRunningDomain));
    ASSERT_TRUE(move_vm_between_networks(host.ctx, "web 1", "lab", "lab3"));
    EXPECT_EQ(host.out.str(),
              "[+] Moving VM 'web 1' from network 'lab' to network 'lab3'\n"
              "[+] Detaching VM 'web 1' from network 'lab'\n"
              "[+] VM 'web 1' successfully detached from network 'lab'\n"
              "[+] Attaching VM 'web 1' to network 'lab3'\n"
              "[+] VM 'web 1' successfully attached to network 'lab3'\n"
              "[+] VM 'web 1' successfully moved from network 'lab' to network 'lab3'\n");
    std::vector<Argv> verbs;
    for (const auto& a : host.runner.argvs()) verbs.push_back({a[1], a[2]});
    std::vector<Argv> want = {{"net-info", "lab"},      {"net-info", "lab3"},     {"dominfo", "web 1"},
                              {"net-info", "lab"},      {"dominfo", "web 1"},     {"dumpxml", "web 1"},
                              {"detach-device", "web 1"}, {"net-info", "lab3"},   {"dominfo", "web 1"},
                              {"attach-device", "web 1"}};
    EXPECT_EQ(verbs, want);
    EXPECT_EQ(tmp_entry_count(host), 0u);
}

TEST_F(Vm, MoveChecksBothNetworksAndTheMachineBeforeDetaching) {
    host.runner.on({"virsh", "net-info", "nowhere"}, Answer::exit(1));
    host.runner.on({"virsh", "dominfo", "ghost"}, Answer::exit(1));
    struct Case {
        std::string vm, from, to, text;
    };
    std::vector<Case> cases = {
        {"web", "lab", "nowhere", "Libvirt network 'nowhere' not found"},
        {"web", "nowhere", "lab", "Libvirt network 'nowhere' not found"},
        {"ghost", "lab", "lab2", "Libvirt command failed: VM 'ghost' not found"},
    };
    for (const auto& c : cases) {
        auto r = move_vm_between_networks(host.ctx, c.vm, c.from, c.to);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), c.text);
    }
    for (const auto& a : host.runner.argvs()) {
        EXPECT_NE(a[1], "dumpxml");
        EXPECT_NE(a[1], "detach-device");
    }
}

TEST_F(Vm, MoveAttachesNothingWhenTheDetachmentFails) {
    host.runner.on({"virsh", "dumpxml", "web"}, Answer::ok(kRunningDomain));
    host.runner.on_prefix({"virsh", "detach-device"}, Answer::exit(1));
    auto r = move_vm_between_networks(host.ctx, "web", "lab", "lab3");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LibvirtError::command_failed("Failed to detach VM 'web' from network 'lab'"));
    for (const auto& a : host.runner.argvs()) EXPECT_NE(a[1], "attach-device");
}

// --- list ---

TEST_F(Vm, ListWithoutMachinesOrWithoutVirsh) {
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("\n"));
    list_vms(host.ctx);
    EXPECT_EQ(host.out.str(), "\n=== VMs ===\n  (no VMs found)\n\n");

    FakeHost h;
    h.runner.missing("virsh");
    list_vms(h.ctx);
    EXPECT_EQ(h.out.str(), "\n=== VMs ===\n  (no VMs found)\n\n");
}

TEST_F(Vm, ListPrintsOneColouredBlockPerMachine) {
    host.runner.on({"virsh", "list", "--all", "--name"},
                   Answer::exit(1, "web 1\r\n  a-machine-name-of-25-chr \n\nstuck\nodd\nlost\ngone\n\n"));
    host.runner.on({"virsh", "domstate", "web 1"}, Answer::ok("running\n\n"));
    host.runner.on({"virsh", "dominfo", "web 1"},
                   Answer::ok("Id:             3\nName:           web 1\nState:          running\n"
                              "Persistent:     yes\nAutostart:      enable\nManaged save:   no\n\n"));
    host.runner.on({"virsh", "dumpxml", "web 1"},
                   Answer::ok(std::string(kRunningDomain) +
                              "<source network=\"quoted\"/>\n<source network='unclosed\n"
                              "<source network='it&apos;s'/>\n"));
    host.runner.on({"virsh", "domiflist", "web 1"},
                   Answer::ok(" Interface   Type      Source     Model    MAC\n"
                              "-------------------------------------------------------\n"
                              " vnet0       bridge    br0        virtio   52:54:00:aa:00:01\n"
                              " vnet1       network   lab2       virtio\n"
                              " vnet2       network   lab        virtio   52:54:00:aa:00:03   extra\n"
                              "\n"));
    host.runner.on({"virsh", "domstate", "a-machine-name-of-25-chr"}, Answer::ok("shut off\n"));
    host.runner.on({"virsh", "dominfo", "a-machine-name-of-25-chr"},
                   Answer::ok("Name:           a-machine-name-of-25-chr\nAutostart:      disable\n"));
    host.runner.on({"virsh", "domiflist", "a-machine-name-of-25-chr"}, Answer::missing());
    host.runner.on({"virsh", "domstate", "stuck"}, Answer::exit(1));
    host.runner.on({"virsh", "dominfo", "stuck"}, Answer::exit(1, "Name: stuck\r\nAutostart:  enable \r\n"));
    host.runner.on({"virsh", "domstate", "odd"}, Answer::ok("running\n"));
    host.runner.on({"virsh", "dominfo", "odd"},
                   Answer::ok("Description: autostart enable\nAutostart:      enabled\nAutostart: enable\n"));
    host.runner.on({"virsh", "domstate", "lost"}, Answer::missing());
    host.runner.on({"virsh", "dominfo", "gone"}, Answer::missing());

    list_vms(host.ctx);
    EXPECT_EQ(host.out.str(),
              "\n=== VMs ===\n"
              "\x1b[32mweb 1                running      autostart:yes\n"
              "  └─ Network: lab2\n"
              "  └─ Network: lab\n"
              "  └─ Network: it's\n"
              "  └─ Interface: vnet0 (bridge) -> br0 [virtio] 52:54:00:aa:00:01\n"
              "  └─ Interface: vnet2 (network) -> lab [virtio] 52:54:00:aa:00:03\n"
              "\x1b[0m\n"
              "\x1b[31ma-machine-name-of-25-chr shut off     autostart:no\n"
              "\x1b[0m\n"
              "\x1b[31mstuck                             autostart:yes\n"
              "\x1b[0m\n"
              "\x1b[32modd                  running      autostart:no\n"
              "\x1b[0m\n");
    for (const auto& c : host.runner.calls) EXPECT_EQ(c.mode, RunMode::Query);
    std::vector<Argv> want = {
        {"virsh", "list", "--all", "--name"},
        {"virsh", "domstate", "web 1"},
        {"virsh", "dominfo", "web 1"},
        {"virsh", "dumpxml", "web 1"},
        {"virsh", "domiflist", "web 1"},
        {"virsh", "domstate", "a-machine-name-of-25-chr"},
        {"virsh", "dominfo", "a-machine-name-of-25-chr"},
        {"virsh", "dumpxml", "a-machine-name-of-25-chr"},
        {"virsh", "domiflist", "a-machine-name-of-25-chr"},
        {"virsh", "domstate", "stuck"},
        {"virsh", "dominfo", "stuck"},
        {"virsh", "dumpxml", "stuck"},
        {"virsh", "domiflist", "stuck"},
        {"virsh", "domstate", "odd"},
        {"virsh", "dominfo", "odd"},
        {"virsh", "dumpxml", "odd"},
        {"virsh", "domiflist", "odd"},
        {"virsh", "domstate", "lost"},
        {"virsh", "domstate", "gone"},
        {"virsh", "dominfo", "gone"},
    };
    EXPECT_EQ(host.runner.argvs(), want);
}

TEST_F(Vm, ListPadsNamesByCharacters) {
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("Gäste-VM\n"));
    host.runner.on({"virsh", "domstate", "Gäste-VM"}, Answer::ok("paused\n"));
    list_vms(host.ctx);
    EXPECT_EQ(host.out.str(), "\n=== VMs ===\n\x1b[31mGäste-VM             paused       autostart:no\n\x1b[0m\n");
}

}  // namespace
}  // namespace qm
