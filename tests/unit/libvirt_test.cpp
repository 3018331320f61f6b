#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "cli/dispatch.hpp"
#include "cli/parser.hpp"
#include "cmds/libvirt/definition_files.hpp"
#include "cmds/libvirt/libvirt.hpp"
#include "support/fake_host.hpp"
#include "unit/virsh_file_spy.hpp"
#include "utils/virsh.hpp"
#include "utils/xml.hpp"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::Answer;
using test::Call;
using test::FakeHost;
using test::VirshFileSpy;
using Argv = std::vector<std::string>;

constexpr const char* kDeviceStatus =
    "DEVICE       TYPE      STATE      CONNECTION\n"
    "vswitch0     bridge    connected  Management Network\n"
    "vlan0br      bridge    connected  vlan0br\n"
    "vlan65535br  bridge    connected  vlan65535br\n";
constexpr const char* kConnections =
    "Management Network:vswitch0:bridge:activated\n"
    "Trunk:br0:bridge:activated\n";

std::string dumpxml_with_bridge(const std::string& name, const std::string& bridge) {
    return "<network>\n  <name>" + name + "</name>\n  <uuid>0b6c3c2e-1f57-4f43-9c4c-2d1f0c6f0f01</uuid>\n" +
           "  <forward mode='bridge'/>\n  <bridge name='" + bridge + "'/>\n</network>\n";
}

std::string domain_xml(const std::vector<std::string>& sources) {
    std::string xml = "<domain type='kvm'>\n  <name>x</name>\n  <devices>\n";
    for (const auto& s : sources)
        xml += "    <interface type='network'>\n      <mac address='52:54:00:00:00:01'/>\n      " + s +
               "\n      <model type='virtio'/>\n    </interface>\n";
    return xml + "  </devices>\n</domain>\n";
}

// Files left in the temporary directory.
std::vector<std::string> tmp_entries(const FakeHost& host) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(host.file("/tmp"))) names.push_back(e.path().filename().string());
    return names;
}

class Libvirt : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(host.file("/tmp"));
        host.runner.on({"nmcli", "device", "status"}, Answer::ok(kDeviceStatus));
        host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                       Answer::ok(kConnections));
    }
    FakeHost host;
};

TEST(LibvirtErrorDisplay, Texts) {
    EXPECT_EQ(LibvirtError::network_not_found("lab").display(), "Libvirt network 'lab' not found");
    EXPECT_EQ(LibvirtError::network_in_use("lab", {"web", "db 1"}).display(),
              "Network 'lab' is in use by VMs: web, db 1");
    EXPECT_EQ(LibvirtError::network_in_use("lab", {"web"}).display(), "Network 'lab' is in use by VMs: web");
    EXPECT_EQ(LibvirtError::command_failed("Bridge name cannot be empty").display(),
              "Libvirt command failed: Bridge name cannot be empty");
}

// --- definition documents and their files ---

TEST(DefinitionXml, NetworkDocumentHasFiveLinesAndNoFinalLineEnd) {
    EXPECT_EQ(network_definition_xml("lab", "vswitch0"),
              "<network>\n  <name>lab</name>\n  <forward mode='bridge'/>\n  <bridge name='vswitch0'/>\n</network>");
}

TEST(DefinitionXml, NamesAreEscaped) {
    EXPECT_EQ(xml_escape("it's \"lab\" <1> & co"), "it&apos;s &quot;lab&quot; &lt;1&gt; &amp; co");
    EXPECT_EQ(xml_unescape("it&apos;s &quot;lab&quot; &lt;1&gt; &amp; co &amp;amp; &bogus;"),
              "it's \"lab\" <1> & co &amp; &bogus;");
    EXPECT_EQ(network_definition_xml("</name><x>", "br'0"),
              "<network>\n  <name>&lt;/name&gt;&lt;x&gt;</name>\n  <forward mode='bridge'/>\n"
              "  <bridge name='br&apos;0'/>\n</network>");
}

TEST_F(Libvirt, PrivateFileNeverFollowsOrReusesAnEntry) {
    const fs::path target = host.file("/etc-victim");
    std::ofstream(target) << "precious";
    const fs::path link = host.file("/tmp/lab.xml");
    fs::create_symlink(target, link);
    EXPECT_FALSE(write_new_private_file(link, "<network/>"));
    EXPECT_EQ(*host.read_file("/etc-victim"), "precious");
    EXPECT_TRUE(fs::is_symlink(link));

    // A dangling link is not followed either.
    const fs::path dangling = host.file("/tmp/dangling.xml");
    fs::create_symlink(host.file("/nowhere"), dangling);
    EXPECT_FALSE(write_new_private_file(dangling, "<network/>"));
    EXPECT_FALSE(fs::exists(host.file("/nowhere")));

    host.write_file("/tmp/old.xml", "old");
    EXPECT_FALSE(write_new_private_file(host.file("/tmp/old.xml"), "new"));
    EXPECT_EQ(*host.read_file("/tmp/old.xml"), "old");
}

TEST_F(Libvirt, TempXmlIsFreshPrivateHeldAndNamedAfterItsStem) {
    const std::string stem = definition_file_stem("network-create", {"net/../x", "br"});
    EXPECT_EQ(stem, "network-create_net%2F%2E%2E%2Fx_br");
    auto file = write_temp_xml(host.ctx, stem, "<network/>");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->path().parent_path(), host.file("/tmp"));
    const std::string name = file->path().filename().string();
    EXPECT_TRUE(name.starts_with(stem + ".")) << name;
    EXPECT_TRUE(name.ends_with(".xml")) << name;
    EXPECT_EQ(name.size(), stem.size() + 1 + 16 + 4);
    struct stat st {};
    ASSERT_EQ(::lstat(file->path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(*host.read_file("/tmp/" + name), "<network/>");

    // A second run of the same command leaves the first one's file alone while it is held.
    auto second = write_temp_xml(host.ctx, stem, "<network/>");
    ASSERT_TRUE(second);
    EXPECT_NE(second->path(), file->path());
    EXPECT_TRUE(fs::exists(file->path()));
    const fs::path first = file->path();
    file->remove();
    EXPECT_FALSE(fs::exists(first));
    EXPECT_TRUE(fs::exists(second->path()));
}

// Different commands or arguments never share a stem, so no run's cleanup takes another's file.
TEST(DefinitionFileStem, DifferentRunsNeverShareOne) {
    const std::string long_name(300, 'n');
    const std::vector<std::string> stems = {
        definition_file_stem("network-attach", {"a_b", "c"}),
        definition_file_stem("network-attach", {"a", "b_c"}),
        definition_file_stem("network-attach", {"a", "b", "c"}),
        definition_file_stem("network-create", {"network_lab", "vswitch0"}),
        definition_file_stem("network-create", {"network", "lab_vswitch0"}),
        definition_file_stem("config-restore", {"lab"}),
        definition_file_stem("config-restore", {"network_lab"}),
        definition_file_stem("config-restore", {"lab."}),
        definition_file_stem("config-restore", {"lab%2E"}),
        definition_file_stem("network-detach", {"a_b", "c"}),
        definition_file_stem("network-create", {long_name, "vswitch0"}),
        definition_file_stem("network-create", {long_name, "vswitch1"}),
        definition_file_stem("network-create", {long_name + "\xff", "vswitch0"}),
    };
    for (std::size_t i = 0; i < stems.size(); ++i) {
        SCOPED_TRACE(stems[i]);
        // One file name with room for the random part and the suffix; no '.' inside, so a
        // stem never reaches into the random part of another's file name.
        EXPECT_LE(stems[i].size(), 200u);
        EXPECT_EQ(stems[i].find_first_of("/."), std::string::npos);
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(stems[i], stems[j]);
    }
    EXPECT_EQ(stems[0], "network-attach_a%5Fb_c");
    EXPECT_EQ(definition_file_stem("network-attach", {"--vm", "-lab"}), "network-attach_--vm_-lab");
}

TEST(TempXml, FailsWithoutTemporaryDirectory) {
    FakeHost host;
    EXPECT_FALSE(write_temp_xml(host.ctx, "lab", "<network/>"));
}

// --- listing ---

TEST_F(Libvirt, ListingParsesRowsAndDropsNetworksWithoutBridge) {
    host.runner.on({"virsh", "net-list", "--all"},
                   Answer::ok(" Name                 State      Autostart   Persistent\r\n"
                              "-----------------------------------------------------------\r\n"
                              " default              active     yes         yes\r\n"
                              " Management Network   active     yes         no\r\n"
                              " my lab net           inactive\n"
                              " oddrow   foo   yes   no\n"
                              " lab      inactive\n"
                              " orphan               active     no          yes\n"
                              "\n"));
    host.runner.on({"virsh", "net-dumpxml", "default"}, Answer::ok(dumpxml_with_bridge("default", "virbr0")));
    host.runner.on({"virsh", "net-dumpxml", "Management Network"},
                   Answer::ok("<network>\n  <bridge name='vswitch0' stp='on' delay='0'/>\n</network>\n"));
    host.runner.on({"virsh", "net-dumpxml", "my lab net"}, Answer::ok("<bridge name='br-lab\n"));
    host.runner.on({"virsh", "net-dumpxml", "oddrow"}, Answer::ok("<bridge name=''/>\n"));
    host.runner.on({"virsh", "net-dumpxml", "orphan"}, Answer::ok("<network>\n  <name>orphan</name>\n</network>\n"));

    std::vector<LibvirtNetworkInfo> want = {
        {"default", "virbr0", "active", true, true},
        {"Management Network", "vswitch0", "active", true, false},
        {"my lab net", "br-lab", "inactive", false, true},
        {"oddrow", "", "foo", true, false},
    };
    EXPECT_EQ(list_libvirt_networks(host.ctx), want);
    std::vector<Call> calls = {
        {{"virsh", "net-list", "--all"}, RunMode::QueryWithStderr},
        {{"virsh", "net-dumpxml", "default"}, RunMode::QueryWithStderr},
        {{"virsh", "net-dumpxml", "Management Network"}, RunMode::QueryWithStderr},
        {{"virsh", "net-dumpxml", "my lab net"}, RunMode::QueryWithStderr},
        {{"virsh", "net-dumpxml", "oddrow"}, RunMode::QueryWithStderr},
        {{"virsh", "net-dumpxml", "orphan"}, RunMode::QueryWithStderr},
    };
    EXPECT_EQ(host.runner.calls, calls);
}

TEST_F(Libvirt, ListingSkipsTheFirstTwoLinesWhateverTheyHold) {
    host.runner.on({"virsh", "net-list", "--all"},
                   Answer::exit(1, " a active yes yes\n b active yes yes\n c active no no\n"));
    host.runner.on_prefix({"virsh", "net-dumpxml"}, Answer::ok("<bridge name='br9'/>"));
    std::vector<LibvirtNetworkInfo> want = {{"c", "br9", "active", false, false}};
    EXPECT_EQ(list_libvirt_networks(host.ctx), want);
}

TEST_F(Libvirt, ListingIsEmptyWithoutVirsh) {
    host.runner.missing("virsh");
    EXPECT_TRUE(list_libvirt_networks(host.ctx).empty());
    print_libvirt_networks(host.ctx, {});
    EXPECT_EQ(host.out.str(), "\n=== Libvirt Networks ===\n  (no libvirt networks found)\n\n");
}

TEST_F(Libvirt, PrintPadsByCharactersAndColoursByState) {
    print_libvirt_networks(host.ctx, {
                                         {"Réseau-Ü", "vswitch0", "active", true, false},
                                         {"a-network-name-longer-than-twenty", "vlan65535br-x", "inactive-ish",
                                          false, true},
                                     });
    EXPECT_EQ(host.out.str(),
              "\n=== Libvirt Networks ===\n"
              "\x1b[32mRéseau-Ü             vswitch0     active   autostart:yes persistent:no\x1b[0m\n"
              "\x1b[31ma-network-name-longer-than-twenty vlan65535br-x inactive-ish autostart:no "
              "persistent:yes\x1b[0m\n"
              "\n");
}

TEST_F(Libvirt, NetworkBridgeIsTheFirstBridgeLine) {
    struct Case {
        std::string xml;
        std::optional<std::string> bridge;
    };
    std::vector<Case> cases = {
        {"<network>\n    <bridge name='virbr1' stp='on' delay='0'/>\n  <bridge name='other'/>\n", "virbr1"},
        {"  <bridge name='virbr2\n", "virbr2"},
        {"<bridge name='a&amp;b'/>\n", "a&b"},
        {"<network>\n  <name>x</name>\n  <bridge  name='spaced'/>\n</network>\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        FakeHost h;
        h.runner.on({"virsh", "net-dumpxml", "n"}, Answer::exit(1, c.xml));
        EXPECT_EQ(get_network_bridge(h.ctx, "n"), c.bridge) << c.xml;
    }
    host.runner.missing("virsh");
    EXPECT_EQ(get_network_bridge(host.ctx, "n"), std::nullopt);
}

TEST_F(Libvirt, NetworkExistsOnlyWhenNetInfoSucceeds) {
    host.runner.on({"virsh", "net-info", "up"}, Answer::ok());
    host.runner.on({"virsh", "net-info", "gone"}, Answer::exit(1));
    EXPECT_TRUE(libvirt_network_exists(host.ctx, "up"));
    EXPECT_FALSE(libvirt_network_exists(host.ctx, "gone"));
    EXPECT_EQ(host.runner.calls.front(), (Call{{"virsh", "net-info", "up"}, RunMode::QueryWithStderr}));
    host.runner.missing("virsh");
    EXPECT_FALSE(libvirt_network_exists(host.ctx, "up"));
}

TEST(VirshVectors, ANameBeginningWithADashFollowsItsOption) {
    EXPECT_EQ(virsh_network_argv("net-info", "lab"), (Argv{"virsh", "net-info", "lab"}));
    EXPECT_EQ(virsh_network_argv("net-info", "a-b"), (Argv{"virsh", "net-info", "a-b"}));
    EXPECT_EQ(virsh_network_argv("net-info", "--help"), (Argv{"virsh", "net-info", "--network", "--help"}));
    EXPECT_EQ(virsh_network_argv("net-start", "-"), (Argv{"virsh", "net-start", "--network", "-"}));
    EXPECT_EQ(virsh_domain_argv("dumpxml", "web 1"), (Argv{"virsh", "dumpxml", "web 1"}));
    EXPECT_EQ(virsh_domain_argv("dominfo", "--help"), (Argv{"virsh", "dominfo", "--domain", "--help"}));
    EXPECT_EQ(virsh_domain_argv("attach-device", "web", {"/tmp/f.xml", "--live", "--config"}),
              (Argv{"virsh", "attach-device", "web", "/tmp/f.xml", "--live", "--config"}));
    EXPECT_EQ(virsh_domain_argv("attach-device", "-vm", {"/tmp/f.xml", "--live", "--config"}),
              (Argv{"virsh", "attach-device", "--domain", "-vm", "/tmp/f.xml", "--live", "--config"}));
}

TEST_F(Libvirt, NetworksAndMachinesNamedLikeOptionsFollowTheirOptions) {
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("--vm\n"));
    host.runner.on({"virsh", "dumpxml", "--domain", "--vm"}, Answer::ok(domain_xml({"<source network='-x'/>"})));
    host.runner.on({"virsh", "net-dumpxml", "--network", "-x"}, Answer::ok(dumpxml_with_bridge("-x", "vswitch1")));
    EXPECT_EQ(vms_using_bridge(host.ctx, "vswitch1"), (Argv{"--vm"}));
    ASSERT_TRUE(delete_libvirt_network(host.ctx, "--help"));
    ASSERT_TRUE(create_libvirt_network(host.ctx, "-x", "vswitch1", std::nullopt));
    std::vector<Argv> virsh = host.runner.argvs_of("virsh");
    ASSERT_EQ(virsh.size(), 11u);
    EXPECT_EQ(virsh[8][1], "net-define");
    virsh.erase(virsh.begin() + 8);
    EXPECT_EQ(virsh, (std::vector<Argv>{
                         {"virsh", "list", "--all", "--name"},
                         {"virsh", "dumpxml", "--domain", "--vm"},
                         {"virsh", "net-dumpxml", "--network", "-x"},
                         {"virsh", "net-info", "--network", "--help"},
                         {"virsh", "list", "--all", "--name"},
                         {"virsh", "dumpxml", "--domain", "--vm"},
                         {"virsh", "net-destroy", "--network", "--help"},
                         {"virsh", "net-undefine", "--network", "--help"},
                         {"virsh", "net-autostart", "--network", "-x"},
                         {"virsh", "net-start", "--network", "-x"},
                     }));
}

// --- which machines use a network or a bridge ---

class MachineUse : public Libvirt {
protected:
    void SetUp() override {
        Libvirt::SetUp();
        host.runner.on({"virsh", "list", "--all", "--name"}, Answer::exit(1, "web 1\n  db  \n\nmail\n\n"));
    }
};

TEST_F(MachineUse, NetworkUseSkipsMachinesWhoseDefinitionCannotBeRead) {
    host.runner.on({"virsh", "dumpxml", "web 1"}, Answer::ok(domain_xml({"<source network='lab'/>"})));
    host.runner.on({"virsh", "dumpxml", "db"}, Answer::missing());
    host.runner.on({"virsh", "dumpxml", "mail"}, Answer::ok(domain_xml({"<source network='lab' bridge='br0'/>"})));
    EXPECT_EQ(vms_using_network(host.ctx, "lab"), (Argv{"web 1", "mail"}));
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{{"virsh", "list", "--all", "--name"},
                                                      {"virsh", "dumpxml", "web 1"},
                                                      {"virsh", "dumpxml", "db"},
                                                      {"virsh", "dumpxml", "mail"}}));
    for (const auto& c : host.runner.calls) EXPECT_EQ(c.mode, RunMode::QueryWithStderr);
}

TEST_F(MachineUse, NetworkUseMatchesTheWholeQuotedName) {
    host.runner.on({"virsh", "dumpxml", "web 1"}, Answer::ok(domain_xml({"<source network='lab2'/>"})));
    host.runner.on({"virsh", "dumpxml", "db"}, Answer::ok(domain_xml({"<source network='it&apos;s &amp; co'/>"})));
    host.runner.on({"virsh", "dumpxml", "mail"}, Answer::ok(domain_xml({})));
    EXPECT_TRUE(vms_using_network(host.ctx, "lab").empty());
    EXPECT_EQ(vms_using_network(host.ctx, "it's & co"), (Argv{"db"}));
}

TEST_F(MachineUse, BridgeUseStopsAtTheFirstMachineWhoseDefinitionCannotBeRead) {
    host.runner.on({"virsh", "dumpxml", "web 1"}, Answer::ok(domain_xml({"<source bridge='br0'/>"})));
    host.runner.on({"virsh", "dumpxml", "db"}, Answer::missing());
    host.runner.on({"virsh", "dumpxml", "mail"}, Answer::ok(domain_xml({"<source bridge='br0'/>"})));
    EXPECT_TRUE(vms_using_bridge(host.ctx, "br0").empty());
    EXPECT_TRUE(host.runner.argvs_of("virsh").back() == (Argv{"virsh", "dumpxml", "db"}));
}

TEST_F(MachineUse, BridgeUseLooksOnlyAtTheFirstNetworkSource) {
    host.runner.on({"virsh", "dumpxml", "web 1"}, Answer::ok(domain_xml({"<source bridge='br0'/>"})));
    host.runner.on({"virsh", "dumpxml", "db"},
                   Answer::ok(domain_xml({"<source network='other'/>", "<source network='lab'/>"})));
    host.runner.on({"virsh", "dumpxml", "mail"}, Answer::ok(domain_xml({"<source network='lab' portid='1'/>"})));
    host.runner.on({"virsh", "net-dumpxml", "lab"}, Answer::ok(dumpxml_with_bridge("lab", "br0")));
    host.runner.on({"virsh", "net-dumpxml", "other"}, Answer::ok(dumpxml_with_bridge("other", "br1")));
    EXPECT_EQ(vms_using_bridge(host.ctx, "br0"), (Argv{"web 1", "mail"}));
    EXPECT_EQ(host.runner.argvs_of("virsh"), (std::vector<Argv>{{"virsh", "list", "--all", "--name"},
                                                                {"virsh", "dumpxml", "web 1"},
                                                                {"virsh", "dumpxml", "db"},
                                                                {"virsh", "net-dumpxml", "other"},
                                                                {"virsh", "dumpxml", "mail"},
                                                                {"virsh", "net-dumpxml", "lab"}}));
}

TEST_F(Libvirt, MachineUseIsEmptyWithoutVirsh) {
    host.runner.missing("virsh");
    EXPECT_TRUE(vms_using_network(host.ctx, "lab").empty());
    EXPECT_TRUE(vms_using_bridge(host.ctx, "br0").empty());
}

// --- create ---

TEST_F(Libvirt, CreateOnVswitchRunsVirshInOrderAndRemovesTheDefinition) {
    VirshFileSpy spy(host, "net-define", 2);
    ASSERT_TRUE(create_libvirt_network(spy.ctx, "lab", "Management Network", std::nullopt));

    EXPECT_EQ(host.out.str(),
              "[+] Creating libvirt network 'lab' on bridge 'Management Network'\n"
              "[+] Libvirt network 'lab' created on bridge 'vswitch0'\n");
    ASSERT_EQ(spy.seen.size(), 1u);
    EXPECT_EQ(spy.seen[0].content,
              "<network>\n  <name>lab</name>\n  <forward mode='bridge'/>\n  <bridge name='vswitch0'/>\n</network>");
    EXPECT_TRUE(spy.seen[0].regular);
    EXPECT_EQ(spy.seen[0].perms, 0600u);
    EXPECT_EQ(fs::path(spy.seen[0].path).parent_path(), host.file("/tmp"));
    EXPECT_TRUE(fs::path(spy.seen[0].path).filename().string().starts_with("network-create_lab_vswitch0."));
    // Held while virsh reads it: no other run's cleanup takes it away.
    EXPECT_TRUE(spy.seen[0].held);

    std::vector<Call> calls = {
        {{"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}, RunMode::Query},
        {{"virsh", "net-define", spy.seen[0].path}, RunMode::Shown},
        {{"virsh", "net-autostart", "lab"}, RunMode::Shown},
        {{"virsh", "net-start", "lab"}, RunMode::Shown},
    };
    EXPECT_EQ(host.runner.calls, calls);
    EXPECT_TRUE(tmp_entries(host).empty());
}

TEST_F(Libvirt, CreateIgnoresAutostartAndStartFailures) {
    host.runner.on({"virsh", "net-autostart", "lab"}, Answer::exit(1));
    host.runner.on({"virsh", "net-start", "lab"}, Answer::missing());
    EXPECT_TRUE(create_libvirt_network(host.ctx, "lab", "vswitch3", std::nullopt));
    EXPECT_TRUE(host.runner.argvs_of("nmcli").empty());
    EXPECT_TRUE(tmp_entries(host).empty());
}

TEST_F(Libvirt, CreateOnVlanBridgeAtBothEndsOfTheIdRange) {
    for (std::uint16_t id : {std::uint16_t{0}, std::uint16_t{65535}}) {
        FakeHost h;
        fs::create_directories(h.file("/tmp"));
        h.runner.on({"nmcli", "device", "status"}, Answer::ok(kDeviceStatus));
        VirshFileSpy spy(h, "net-define", 2);
        const std::string n = std::to_string(id);
        ASSERT_TRUE(create_libvirt_network(spy.ctx, "v" + n, "ignored", id));
        EXPECT_EQ(h.out.str(), "[+] Creating libvirt network 'v" + n + "' on VLAN " + n + " bridge 'vlan" + n +
                                   "br'\n[+] Libvirt network 'v" + n + "' created on bridge 'vlan" + n + "br'\n");
        ASSERT_EQ(spy.seen.size(), 1u);
        EXPECT_NE(spy.seen[0].content.find("<bridge name='vlan" + n + "br'/>"), std::string::npos);
        EXPECT_EQ(h.runner.calls.front(), (Call{{"nmcli", "device", "status"}, RunMode::Query}));
    }
}

TEST_F(Libvirt, BridgeChoiceErrorsRunNoVirsh) {
    struct Case {
        std::string vswitch;
        std::optional<std::uint16_t> vlan;
        std::string text;
    };
    std::vector<Case> cases = {
        {"", 100,
         "Libvirt command failed: VLAN 100 bridge 'vlan100br' not found. Create the VLAN first with "
         "'quillmar vlan create --vlan-id 100'"},
        {"", std::nullopt, "Libvirt command failed: Bridge name cannot be empty"},
        {"Trunk", std::nullopt, "Libvirt command failed: Could not resolve bridge 'Trunk'"},
        {"nothing here", std::nullopt, "Libvirt command failed: Could not resolve bridge 'nothing here'"},
    };
    for (const auto& c : cases) {
        auto created = create_libvirt_network(host.ctx, "lab", c.vswitch, c.vlan);
        ASSERT_FALSE(created);
        EXPECT_EQ(created.error().display(), c.text);
        auto changed = change_network_bridge(host.ctx, "lab", c.vswitch, c.vlan);
        ASSERT_FALSE(changed);
        EXPECT_EQ(changed.error().display(), c.text);
    }
    EXPECT_TRUE(host.runner.argvs_of("virsh").empty());
    EXPECT_EQ(host.out.str(), "");
}

TEST_F(Libvirt, CreateEscapesNamesInTheDefinitionButPassesThemToVirshAsTyped) {
    VirshFileSpy spy(host, "net-define", 2);
    const std::string name = "it's \"my\" <lab> & co";
    ASSERT_TRUE(create_libvirt_network(spy.ctx, name, "vswitch1", std::nullopt));
    ASSERT_EQ(spy.seen.size(), 1u);
    EXPECT_EQ(spy.seen[0].content,
              "<network>\n  <name>it&apos;s &quot;my&quot; &lt;lab&gt; &amp; co</name>\n  <forward mode='bridge'/>\n"
              "  <bridge name='vswitch1'/>\n</network>");
    EXPECT_EQ(host.runner.argvs()[1], (Argv{"virsh", "net-autostart", name}));
    EXPECT_EQ(host.runner.argvs()[2], (Argv{"virsh", "net-start", name}));
}

TEST_F(Libvirt, CreateDoesNotFollowALinkPlantedAtTheGuessableName) {
    host.write_file("/etc/shadow-standin", "root:x:0:0\n");
    fs::create_symlink(host.file("/etc/shadow-standin"), host.file("/tmp/lab.xml"));
    VirshFileSpy spy(host, "net-define", 2);
    ASSERT_TRUE(create_libvirt_network(spy.ctx, "lab", "vswitch0", std::nullopt));
    EXPECT_EQ(*host.read_file("/etc/shadow-standin"), "root:x:0:0\n");
    EXPECT_TRUE(fs::is_symlink(host.file("/tmp/lab.xml")));
    ASSERT_EQ(spy.seen.size(), 1u);
    EXPECT_NE(spy.seen[0].path, host.file("/tmp/lab.xml").string());
    EXPECT_TRUE(spy.seen[0].regular);
    EXPECT_EQ(tmp_entries(host), (Argv{"lab.xml"}));
}

TEST_F(Libvirt, CreateKeepsTheDefinitionWhenVirshCannotDefineIt) {
    for (Answer a : {Answer::exit(1), Answer::missing()}) {
        FakeHost h;
        fs::create_directories(h.file("/tmp"));
        h.runner.on_prefix({"virsh", "net-define"}, a);
        auto r = create_libvirt_network(h.ctx, "lab", "vswitch0", std::nullopt);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), LibvirtError::command_failed("Failed to define network"));
        EXPECT_EQ(h.runner.argvs_of("virsh").size(), 1u);
        auto left = tmp_entries(h);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_TRUE(left[0].starts_with("network-create_lab_vswitch0.")) << left[0];
    }
}

TEST(LibvirtCreate, FailsWhenTheDefinitionCannotBeWritten) {
    FakeHost host;  // no temporary directory below the root
    auto r = create_libvirt_network(host.ctx, "lab", "vswitch0", std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Libvirt command failed: Failed to write XML");
    EXPECT_TRUE(host.runner.argvs_of("virsh").empty());
}

// --- delete ---

TEST_F(Libvirt, DeleteRunsChecksThenDestroysAndUndefines) {
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("web\n"));
    host.runner.on({"virsh", "dumpxml", "web"}, Answer::ok(domain_xml({"<source network='other'/>"})));
    ASSERT_TRUE(delete_libvirt_network(host.ctx, "lab"));
    EXPECT_EQ(host.out.str(),
              "[+] Deleting libvirt network 'lab'\n[+] Libvirt network 'lab' deleted successfully\n");
    std::vector<Call> calls = {
        {{"virsh", "net-info", "lab"}, RunMode::QueryWithStderr},
        {{"virsh", "list", "--all", "--name"}, RunMode::QueryWithStderr},
        {{"virsh", "dumpxml", "web"}, RunMode::QueryWithStderr},
        {{"virsh", "net-destroy", "lab"}, RunMode::Shown},
        {{"virsh", "net-undefine", "lab"}, RunMode::Shown},
    };
    EXPECT_EQ(host.runner.calls, calls);
}

TEST_F(Libvirt, DeleteRefusesMissingOrUsedNetworks) {
    host.runner.on({"virsh", "net-info", "gone"}, Answer::exit(1));
    auto r = delete_libvirt_network(host.ctx, "gone");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LibvirtError::network_not_found("gone"));

    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("web\ndb\n"));
    host.runner.on_prefix({"virsh", "dumpxml"}, Answer::ok(domain_xml({"<source network='lab'/>"})));
    r = delete_libvirt_network(host.ctx, "lab");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Network 'lab' is in use by VMs: web, db");
    for (const auto& argv : host.runner.argvs()) {
        EXPECT_NE(argv[1], "net-destroy");
        EXPECT_NE(argv[1], "net-undefine");
    }
}

TEST_F(Libvirt, DeleteReportsUndefineFailures) {
    host.runner.on({"virsh", "net-undefine", "lab"}, Answer::exit(1));
    auto r = delete_libvirt_network(host.ctx, "lab");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Libvirt command failed: Failed to undefine network 'lab'");

    host.runner.on({"virsh", "net-undefine", "lab"}, Answer::missing());
    r = delete_libvirt_network(host.ctx, "lab");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(),
              "Libvirt command failed: Failed to execute virsh: No such file or directory (os error 2)");
    EXPECT_EQ(host.out.str(), "[+] Deleting libvirt network 'lab'\n[+] Deleting libvirt network 'lab'\n");
}

TEST_F(Libvirt, DeleteWithoutVirshFindsNoNetwork) {
    host.runner.missing("virsh");
    auto r = delete_libvirt_network(host.ctx, "lab");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LibvirtError::network_not_found("lab"));
}

TEST_F(Libvirt, ForceDeleteChecksNothing) {
    host.runner.on({"virsh", "net-destroy", "gone"}, Answer::exit(1));
    ASSERT_TRUE(force_delete_libvirt_network(host.ctx, "gone"));
    EXPECT_EQ(host.out.str(), "[!] Force deleting libvirt network 'gone'\n[+] Network 'gone' force deleted\n");
    std::vector<Call> calls = {
        {{"virsh", "net-destroy", "gone"}, RunMode::Shown},
        {{"virsh", "net-undefine", "gone"}, RunMode::Shown},
    };
    EXPECT_EQ(host.runner.calls, calls);

    host.runner.on({"virsh", "net-undefine", "gone"}, Answer::exit(3));
    auto r = force_delete_libvirt_network(host.ctx, "gone");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Libvirt command failed: Failed to force delete network 'gone'");

    host.runner.missing("virsh");
    r = force_delete_libvirt_network(host.ctx, "gone");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(),
              "Libvirt command failed: Failed to execute virsh: No such file or directory (os error 2)");
}

// --- change ---

TEST_F(Libvirt, ChangeDeletesAndRecreatesOnTheNewBridge) {
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok(""));
    VirshFileSpy spy(host, "net-define", 2);
    ASSERT_TRUE(change_network_bridge(spy.ctx, "lab", "", std::uint16_t{65535}));
    EXPECT_EQ(host.out.str(),
              "[+] Changing libvirt network 'lab' to VLAN 65535 bridge 'vlan65535br'\n"
              "[+] Deleting libvirt network 'lab'\n"
              "[+] Libvirt network 'lab' deleted successfully\n"
              "[+] Creating libvirt network 'lab' on VLAN 65535 bridge 'vlan65535br'\n"
              "[+] Libvirt network 'lab' created on bridge 'vlan65535br'\n"
              "[+] Network 'lab' successfully moved to bridge 'vlan65535br'\n");
    ASSERT_EQ(spy.seen.size(), 1u);
    std::vector<Argv> argvs = {
        {"nmcli", "device", "status"},
        {"virsh", "net-info", "lab"},
        {"virsh", "list", "--all", "--name"},
        {"virsh", "net-info", "lab"},
        {"virsh", "list", "--all", "--name"},
        {"virsh", "net-destroy", "lab"},
        {"virsh", "net-undefine", "lab"},
        {"nmcli", "device", "status"},
        {"virsh", "net-define", spy.seen[0].path},
        {"virsh", "net-autostart", "lab"},
        {"virsh", "net-start", "lab"},
    };
    EXPECT_EQ(host.runner.argvs(), argvs);
}

TEST_F(Libvirt, ChangeAnnouncesTheVswitchAsTyped) {
    ASSERT_TRUE(change_network_bridge(host.ctx, "lab", "Management Network", std::nullopt));
    EXPECT_TRUE(host.out.str().starts_with("[+] Changing libvirt network 'lab' to vSwitch 'Management Network'\n"));
    EXPECT_TRUE(host.out.str().ends_with("[+] Network 'lab' successfully moved to bridge 'vswitch0'\n"));
}

TEST_F(Libvirt, ChangeRefusesMissingOrUsedNetworksAndKeepsThem) {
    host.runner.on({"virsh", "net-info", "gone"}, Answer::exit(1));
    auto r = change_network_bridge(host.ctx, "gone", "vswitch0", std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LibvirtError::network_not_found("gone"));

    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("web\n"));
    host.runner.on({"virsh", "dumpxml", "web"}, Answer::ok(domain_xml({"<source network='lab'/>"})));
    r = change_network_bridge(host.ctx, "lab", "vswitch0", std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LibvirtError::network_in_use("lab", {"web"}));
    EXPECT_EQ(host.out.str(),
              "[+] Changing libvirt network 'gone' to vSwitch 'vswitch0'\n"
              "[+] Changing libvirt network 'lab' to vSwitch 'vswitch0'\n");
    for (const auto& argv : host.runner.argvs()) EXPECT_NE(argv[1], "net-destroy");
}

TEST_F(Libvirt, ChangeReturnsTheErrorOfTheRecreation) {
    host.runner.on_prefix({"virsh", "net-define"}, Answer::exit(1));
    auto r = change_network_bridge(host.ctx, "lab", "vswitch0", std::nullopt);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), LibvirtError::command_failed("Failed to define network"));
    EXPECT_EQ(host.out.str().find("successfully moved"), std::string::npos);
}

// --- the network commands on the command line ---

int run_command(FakeHost& host, std::vector<std::string> words) {
    words.insert(words.begin(), "quillmar");
    auto parsed = cli::parse_command_line(words);
    EXPECT_TRUE(parsed.cli) << parsed.err;
    return parsed.cli ? cli::dispatch_command(host.ctx, *parsed.cli) : -1;
}

TEST_F(Libvirt, CommandLineOptionChecksCallNothing) {
    struct Case {
        std::vector<std::string> words;
        std::string err;
    };
    std::vector<Case> cases = {
        {{"network", "create", "--name", "lab"}, "Error: Either --vswitch or --vlan-id must be specified.\n"},
        {{"network", "change", "--name", "lab"}, "Error: Either --vswitch or --vlan-id must be specified.\n"},
        {{"network", "create", "--name", "lab", "--vswitch", "", "--vlan-id", "5"},
         "Error: --vswitch and --vlan-id are mutually exclusive. Use only one.\n"},
        {{"network", "change", "--name=lab", "--vlan-id=5", "--vswitch=vswitch0"},
         "Error: --vswitch and --vlan-id are mutually exclusive. Use only one.\n"},
    };
    for (const auto& c : cases) {
        FakeHost h;
        EXPECT_EQ(run_command(h, c.words), 0);
        EXPECT_EQ(h.err.str(), c.err);
        EXPECT_EQ(h.out.str(), "");
        EXPECT_TRUE(h.runner.calls.empty());
    }
}

TEST_F(Libvirt, CommandLineCreateOnVlanAndItsErrorLine) {
    EXPECT_EQ(run_command(host, {"network", "create", "--name", "v100", "--vlan-id", "100"}), 0);
    EXPECT_EQ(host.err.str(),
              "Error: Libvirt command failed: VLAN 100 bridge 'vlan100br' not found. Create the VLAN first with "
              "'quillmar vlan create --vlan-id 100'\n");
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{{"nmcli", "device", "status"}}));

    FakeHost h;
    fs::create_directories(h.file("/tmp"));
    h.runner.on({"nmcli", "device", "status"}, Answer::ok("DEVICE TYPE\nvlan100br bridge\n"));
    EXPECT_EQ(run_command(h, {"network", "create", "--name", "v100", "--vlan-id", "100"}), 0);
    EXPECT_EQ(h.err.str(), "");
    EXPECT_EQ(h.out.str(),
              "[+] Creating libvirt network 'v100' on VLAN 100 bridge 'vlan100br'\n"
              "[+] Libvirt network 'v100' created on bridge 'vlan100br'\n");
}

TEST_F(Libvirt, CommandLineDeleteListAndForce) {
    host.runner.on({"virsh", "net-info", "lab"}, Answer::exit(1));
    EXPECT_EQ(run_command(host, {"network", "delete", "--name", "lab"}), 0);
    EXPECT_EQ(host.err.str(), "Error: Libvirt network 'lab' not found\n");

    host.runner.on({"virsh", "net-undefine", "lab"}, Answer::exit(1));
    EXPECT_EQ(run_command(host, {"network", "delete", "--name", "lab", "--force"}), 0);
    EXPECT_EQ(host.runner.argvs().back(), (Argv{"virsh", "net-undefine", "lab"}));
    EXPECT_TRUE(host.err.str().ends_with("Error: Libvirt command failed: Failed to force delete network 'lab'\n"));

    host.runner.missing("virsh");
    host.out.str("");
    EXPECT_EQ(run_command(host, {"network", "list"}), 0);
    EXPECT_EQ(host.out.str(), "\n=== Libvirt Networks ===\n  (no libvirt networks found)\n\n");
}

TEST_F(Libvirt, CommandLineMachineCommands) {
    host.runner.on({"virsh", "net-info", "nowhere"}, Answer::exit(1));
    EXPECT_EQ(run_command(host, {"network", "attach", "--network", "nowhere", "--vm", "web"}), 0);
    EXPECT_EQ(run_command(host, {"network", "detach", "--network", "nowhere", "--vm", "web"}), 0);
    EXPECT_EQ(run_command(host, {"network", "move", "--vm", "web", "--from", "lab", "--to", "nowhere"}), 0);
    EXPECT_EQ(host.err.str(),
              "Error: Libvirt network 'nowhere' not found\nError: Libvirt network 'nowhere' not found\n"
              "Error: Libvirt network 'nowhere' not found\n");
    EXPECT_EQ(host.out.str(),
              "[+] Attaching VM 'web' to network 'nowhere'\n[+] Detaching VM 'web' from network 'nowhere'\n"
              "[+] Moving VM 'web' from network 'lab' to network 'nowhere'\n");

    FakeHost h;
    h.runner.missing("virsh");
    EXPECT_EQ(run_command(h, {"vm", "list"}), 0);
    EXPECT_EQ(h.out.str(), "\n=== VMs ===\n  (no VMs found)\n\n");
}

}  // namespace
}  // namespace qm
