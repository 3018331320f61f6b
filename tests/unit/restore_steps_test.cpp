// The restore steps after the profiles: libvirt networks, bridge MACs, veth pairs, topology
// files and the ledger, against the fake runner.
#include "cmds/config/restore_steps.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/fake_host.hpp"
#include "unit/virsh_file_spy.hpp"
#include "utils/time.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;
using Argvs = std::vector<std::vector<std::string>>;

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kMasters = "/var/lib/quillmar/master_bridges.json";
constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";

LibvirtNetwork network(std::string name, bool active, bool autostart) {
    LibvirtNetwork n;
    n.name = name;
    n.uuid = "3e3fce45-4f53-4fa7-bb32-11f34168b82b";
    n.active = active;
    n.persistent = true;
    n.autostart = autostart;
    n.bridge = "vswitch1";
    n.xml_config = "<network>\n  <name>" + name + "</name>\n  <bridge name='vswitch1'/>\n</network>\n";
    return n;
}

VethConnection veth(std::string name, std::string peer, std::string bridge1, std::string bridge2) {
    VethConnection v;
    v.veth_name = std::move(name);
    v.veth_peer = std::move(peer);
    v.bridge1 = std::move(bridge1);
    v.bridge2 = std::move(bridge2);
    v.connection_id = v.bridge1 + "_" + v.bridge2;
    return v;
}

// ------------------------------------------------------------------ libvirt networks

struct LibvirtStep : ::testing::Test {
    FakeHost host;
    test::VirshFileSpy spy{host, "net-define", 2};
    LibvirtStep() {
        std::filesystem::create_directories(host.file("/tmp"));
        host.runner.on_prefix({"virsh", "net-info"}, Answer::exit(1));
    }
};

TEST_F(LibvirtStep, DefinesWhatIsMissingFromAPrivateFileAndAppliesItsFlags) {
    host.runner.on({"virsh", "net-info", "old"}, Answer::ok("Name: old\n"));
    auto s = restore_libvirt_networks(spy.ctx, {network("old", true, true), network("lab", true, true),
                                                network("cold", false, false)});
    ASSERT_TRUE(s) << s.error().message;

    EXPECT_EQ(host.out.str(),
              "[+] Restoring libvirt networks...\n"
              "  - Network 'old' already exists, skipping\n"
              "  + Restored libvirt network 'lab'\n"
              "  + Restored libvirt network 'cold'\n");
    ASSERT_EQ(spy.seen.size(), 2u);
    const auto argvs = host.runner.argvs();
    ASSERT_EQ(argvs.size(), 7u);
    EXPECT_EQ(argvs[0], (std::vector<std::string>{"virsh", "net-info", "old"}));
    EXPECT_EQ(argvs[1], (std::vector<std::string>{"virsh", "net-info", "lab"}));
    EXPECT_EQ(argvs[2], (std::vector<std::string>{"virsh", "net-define", spy.seen[0].path}));
    EXPECT_EQ(argvs[3], (std::vector<std::string>{"virsh", "net-autostart", "lab"}));
    EXPECT_EQ(argvs[4], (std::vector<std::string>{"virsh", "net-start", "lab"}));
    EXPECT_EQ(argvs[5], (std::vector<std::string>{"virsh", "net-info", "cold"}));
    EXPECT_EQ(argvs[6], (std::vector<std::string>{"virsh", "net-define", spy.seen[1].path}));
    EXPECT_EQ(host.runner.calls[0].mode, RunMode::QueryWithStderr);
    EXPECT_EQ(host.runner.calls[2].mode, RunMode::Change);

    // The saved XML, whole, in a fresh private file of the temporary directory, removed after use.
    const auto& seen = spy.seen[0];
    EXPECT_EQ(seen.content, network("lab", true, true).xml_config);
    EXPECT_TRUE(seen.regular);
    EXPECT_EQ(seen.perms, 0600u);
    EXPECT_EQ(std::filesystem::path(seen.path).parent_path(), host.file("/tmp"));
    EXPECT_TRUE(std::filesystem::path(seen.path).filename().string().starts_with("config-restore_lab."));
    EXPECT_TRUE(seen.held);
    EXPECT_FALSE(std::filesystem::exists(seen.path));
    EXPECT_TRUE(std::filesystem::is_empty(host.file("/tmp")));
}

TEST_F(LibvirtStep, AFailedDefinitionIsReportedAndNeitherStartedNorMarked) {
    host.runner.on_prefix({"virsh", "net-define"}, Answer::exit(1));
    auto s = restore_libvirt_networks(spy.ctx, {network("lab", true, true)});
    ASSERT_TRUE(s);
    EXPECT_EQ(host.out.str(), "[+] Restoring libvirt networks...\n  - Failed to restore libvirt network 'lab'\n");
    EXPECT_EQ(host.runner.argvs().size(), 2u);
    EXPECT_TRUE(std::filesystem::is_empty(host.file("/tmp")));
}

// virsh defines the network its XML names; a definition of another name would make or replace a
// network the entry does not speak of. Such a network and a failed one count as not restored.
TEST_F(LibvirtStep, ADefinitionNamedOtherwiseThanItsEntryIsPassedOver) {
    auto other = network("lab", true, true);
    other.xml_config = "<network>\n  <name> prod&amp;co </name>\n</network>\n";
    auto escaped = network("a&b", false, false);
    escaped.xml_config = "<network><name>a&amp;b</name></network>";
    host.runner.on_prefix({"virsh", "net-define"}, {Answer::ok(), Answer::exit(1)});
    std::vector<std::string> not_restored;
    ASSERT_TRUE(restore_libvirt_networks(spy.ctx, {other, escaped, network("bad", false, false)}, &not_restored));
    EXPECT_EQ(host.out.str(),
              "[+] Restoring libvirt networks...\n"
              "  - Skipping libvirt network 'lab': its definition is named 'prod&co'\n"
              "  + Restored libvirt network 'a&b'\n"
              "  - Failed to restore libvirt network 'bad'\n");
    EXPECT_EQ(not_restored, (std::vector<std::string>{"lab", "bad"}));
    EXPECT_EQ(spy.seen.size(), 2u);
}

// The name virsh reads is the root's own: one in a comment or nested deeper does not count, and
// a definition that cannot be read unambiguously is not defined either.
TEST_F(LibvirtStep, TheDefinitionsOwnNameIsReadAsXml) {
    auto commented = network("lab", true, true);
    commented.xml_config = "<network><!-- <name>lab</name> --><name>prod</name></network>";
    auto nested = network("lab2", true, true);
    nested.xml_config = "<network><x><name>lab2</name></x><name>prod</name></network>";
    auto doctype = network("lab3", true, true);
    doctype.xml_config = "<!DOCTYPE n><network><name>lab3</name></network>";
    std::vector<std::string> not_restored;
    ASSERT_TRUE(restore_libvirt_networks(spy.ctx, {commented, nested, doctype}, &not_restored));
    EXPECT_EQ(host.out.str(),
              "[+] Restoring libvirt networks...\n"
              "  - Skipping libvirt network 'lab': its definition is named 'prod'\n"
              "  - Skipping libvirt network 'lab2': its definition is named 'prod'\n"
              "  - Skipping libvirt network 'lab3': its definition cannot be read: a declaration (such as a "
              "document type) it does not take\n");
    EXPECT_EQ(not_restored, (std::vector<std::string>{"lab", "lab2", "lab3"}));
    EXPECT_TRUE(spy.seen.empty());
}

TEST_F(LibvirtStep, AFileNamePlantedInTheTemporaryDirectoryIsNeverWrittenThrough) {
    // The fixed name an attacker could guess: a link to a file the restore must not touch.
    host.write_file("/etc/shadow-copy", "secret");
    std::filesystem::create_symlink(host.file("/etc/shadow-copy"), host.file("/tmp/network_lab.xml"));
    auto s = restore_libvirt_networks(spy.ctx, {network("lab", false, false)});
    ASSERT_TRUE(s) << s.error().message;
    EXPECT_EQ(host.read_file("/etc/shadow-copy"), "secret");
    ASSERT_EQ(spy.seen.size(), 1u);
    EXPECT_NE(spy.seen[0].path, host.file("/tmp/network_lab.xml").string());
    EXPECT_TRUE(spy.seen[0].regular);
}

TEST_F(LibvirtStep, VirshThatCannotStartForTheDefinitionEndsTheStep) {
    host.runner.missing("virsh");  // net-info too: counts as a network that does not exist
    auto s = restore_libvirt_networks(spy.ctx, {network("lab", true, true), network("next", true, true)});
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(host.runner.argvs().size(), 2u);
    EXPECT_EQ(host.out.str(), "[+] Restoring libvirt networks...\n");
}

TEST_F(LibvirtStep, AnUnwritableDefinitionEndsTheStep) {
    std::filesystem::remove(host.file("/tmp"));
    auto s = restore_libvirt_networks(spy.ctx, {network("lab", true, true)});
    ASSERT_FALSE(s);
    EXPECT_FALSE(s.error().message.empty());
    EXPECT_EQ(host.runner.argvs(), (Argvs{{"virsh", "net-info", "lab"}}));
}

// ------------------------------------------------------------------ bridge MACs

TEST(BridgeMacStep, SetsTheMacOnBridgesThatExist) {
    FakeHost host;
    host.runner.on({"ip", "link", "show", "vswitch9"}, Answer::exit(1));
    host.runner.on({"ip", "link", "set", "vswitch2", "address", "52:54:00:00:00:02"}, Answer::exit(2));
    auto s = restore_bridge_macs(host.ctx, {{"vswitch0", "52:54:00:00:00:01"},
                                            {"vswitch2", "52:54:00:00:00:02"},
                                            {"vswitch9", "52:54:00:00:00:09"}});
    ASSERT_TRUE(s);
    EXPECT_EQ(host.out.str(),
              "[+] Restoring bridge MAC addresses...\n"
              "  + Restored MAC address 52:54:00:00:00:01 for bridge 'vswitch0'\n"
              "  - Failed to restore MAC address for bridge 'vswitch2'\n"
              "  - Bridge 'vswitch9' not found, skipping MAC address restore\n");
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{{{"ip", "link", "show", "vswitch0"}, RunMode::QueryWithStderr},
                                 {{"ip", "link", "set", "vswitch0", "address", "52:54:00:00:00:01"}, RunMode::Change},
                                 {{"ip", "link", "show", "vswitch2"}, RunMode::QueryWithStderr},
                                 {{"ip", "link", "set", "vswitch2", "address", "52:54:00:00:00:02"}, RunMode::Change},
                                 {{"ip", "link", "show", "vswitch9"}, RunMode::QueryWithStderr}}));
}

TEST(BridgeMacStep, IpThatCannotStartCountsAsAMissingBridge) {
    FakeHost host;
    host.runner.missing("ip");
    auto s = restore_bridge_macs(host.ctx, {{"vswitch0", "52:54:00:00:00:01"}});
    ASSERT_TRUE(s);
    EXPECT_EQ(host.out.str(),
              "[+] Restoring bridge MAC addresses...\n"
              "  - Bridge 'vswitch0' not found, skipping MAC address restore\n");
}

TEST(BridgeMacStep, IpThatCannotStartForTheChangeEndsTheStep) {
    FakeHost host;
    host.runner.on_prefix({"ip", "link", "set"}, Answer::missing());
    auto s = restore_bridge_macs(host.ctx, {{"vswitch0", "52:54:00:00:00:01"}, {"vswitch1", "52:54:00:00:00:02"}});
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(host.runner.argvs().size(), 2u);
}

// ------------------------------------------------------------------ veth pairs

const std::vector<std::string> kProfileAdd1 = {
    "nmcli", "connection", "add", "type", "ethernet", "ifname", "vvs1_vs0", "connection.id", "veth-vswitch1-vswitch0",
    "connection.autoconnect", "yes", "connection.autoconnect-priority", "400", "ipv4.method", "disabled",
    "ipv6.method", "disabled"};
const std::vector<std::string> kProfileAdd2 = {
    "nmcli", "connection", "add", "type", "ethernet", "ifname", "vvs0_vs1", "connection.id", "veth-vswitch0-vswitch1",
    "connection.autoconnect", "yes", "connection.autoconnect-priority", "400", "ipv4.method", "disabled",
    "ipv6.method", "disabled"};

// The end's master link in /sys/class/net, as the kernel shows an enslaved interface.
void on_bridge(const FakeHost& host, const std::string& end, const std::string& bridge) {
    const auto dir = host.file("/sys/class/net/" + end);
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink("../" + bridge, dir / "master");
}

struct VethStep : ::testing::Test {
    FakeHost host;
    std::vector<std::string> failures;
    VethStep() {
        host.runner.on({"ip", "link", "show", "vvs1_vs0"}, Answer::exit(1));
        // No veth profile is stored unless a test says so.
        host.runner.on_prefix({"nmcli", "connection", "show"}, Answer::exit(10));
        on_bridge(host, "vvs1_vs0", "vswitch1");
        on_bridge(host, "vvs0_vs1", "vswitch0");
    }
    Status restore() { return restore_veth_connections(host.ctx, {veth("vvs1_vs0", "vvs0_vs1", "vswitch1", "vswitch0")}, failures); }
};

TEST_F(VethStep, RecreatesAMissingPairWithItsProfilesThenEnslavesAndActivatesIt) {
    ASSERT_TRUE(restore());
    EXPECT_EQ(host.out.str(),
              "[+] Restoring veth connections...\n"
              "  + Restored veth connection: vvs1_vs0 <-> vvs0_vs1 (bridges: vswitch1 <-> vswitch0) with "
              "NetworkManager persistence\n");
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{
                  {{"ip", "link", "show", "vvs1_vs0"}, RunMode::QueryWithStderr},
                  {{"ip", "link", "show", "vswitch1"}, RunMode::QueryWithStderr},
                  {{"ip", "link", "show", "vswitch0"}, RunMode::QueryWithStderr},
                  {{"ip", "link", "add", "vvs1_vs0", "type", "veth", "peer", "name", "vvs0_vs1"}, RunMode::Change},
                  {{"nmcli", "connection", "show", "veth-vswitch1-vswitch0"}, RunMode::Change},
                  {kProfileAdd1, RunMode::Change},
                  {{"nmcli", "connection", "show", "veth-vswitch0-vswitch1"}, RunMode::Change},
                  {kProfileAdd2, RunMode::Change},
                  {{"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"}, RunMode::Change},
                  {{"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}, RunMode::Change},
                  {{"nmcli", "connection", "up", "veth-vswitch1-vswitch0"}, RunMode::Change},
                  {{"nmcli", "connection", "up", "veth-vswitch0-vswitch1"}, RunMode::Change},
              }));
}

// A restore after a restore: the profiles of the pair are stored already and are not added again.
TEST_F(VethStep, AddsAProfileOnlyWhenNoneOfThatNameExists) {
    host.runner.on({"nmcli", "connection", "show", "veth-vswitch1-vswitch0"}, Answer::ok());
    ASSERT_TRUE(restore());
    Argvs adds;
    for (const auto& a : host.runner.argvs_of("nmcli"))
        if (a.size() > 2 && a[2] == "add") adds.push_back(a);
    EXPECT_EQ(adds, Argvs{kProfileAdd2});
    EXPECT_EQ(failures, std::vector<std::string>{});
}

TEST_F(VethStep, AnEndTheActivationTookOffItsBridgeIsPutBack) {
    std::filesystem::remove(host.file("/sys/class/net/vvs0_vs1/master"));
    ASSERT_TRUE(restore());
    auto argvs = host.runner.argvs();
    ASSERT_EQ(argvs.size(), 13u);
    EXPECT_EQ(argvs[11], (std::vector<std::string>{"nmcli", "connection", "up", "veth-vswitch0-vswitch1"}));
    EXPECT_EQ(argvs[12], (std::vector<std::string>{"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}));
    EXPECT_TRUE(host.out.str().ends_with("with NetworkManager persistence\n")) << host.out.str();
}

TEST_F(VethStep, AnEndThatCannotBePutBackFailsThePair) {
    std::filesystem::remove(host.file("/sys/class/net/vvs1_vs0/master"));
    std::filesystem::create_symlink("../vswitch7", host.file("/sys/class/net/vvs1_vs0/master"));
    // The first enslavement works, putting it back does not.
    host.runner.on({"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"}, {Answer::ok(), Answer::exit(2)});
    ASSERT_TRUE(restore());
    EXPECT_EQ(host.out.str(), "[+] Restoring veth connections...\n  - Failed to add veth pair 'vvs1_vs0' to bridges\n");
    auto argvs = host.runner.argvs();
    ASSERT_EQ(argvs.size(), 14u);
    EXPECT_EQ(argvs[12], (std::vector<std::string>{"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"}));
    EXPECT_EQ(argvs[13], (std::vector<std::string>{"ip", "link", "delete", "vvs1_vs0"}));
    EXPECT_EQ(failures, std::vector<std::string>{"Failed to add veth pair 'vvs1_vs0' to bridges"});
}

TEST_F(VethStep, SkipsAPairWhoseEndExistsOrWhoseBridgeIsMissing) {
    host.runner.on({"ip", "link", "show", "vvs2_vs0"}, Answer::exit(1));
    host.runner.on({"ip", "link", "show", "vswitch0"}, Answer::exit(1));
    // vvs3_vs0 exists with both ends on their bridges.
    host.add_link("vvs3_vs0", "vswitch3");
    host.add_link("vvs0_vs3", "vswitch0");
    auto s = restore_veth_connections(host.ctx, {veth("vvs3_vs0", "vvs0_vs3", "vswitch3", "vswitch0"),
                                                 veth("vvs2_vs0", "vvs0_vs2", "vswitch2", "vswitch0")}, failures);
    ASSERT_TRUE(s);
    EXPECT_EQ(host.out.str(),
              "[+] Restoring veth connections...\n"
              "  - Veth pair 'vvs3_vs0' already exists, skipping\n"
              "  - Skipping veth pair 'vvs2_vs0': one or both bridges don't exist\n");
    EXPECT_EQ(host.runner.argvs(), (Argvs{{"ip", "link", "show", "vvs3_vs0"},
                                          {"ip", "link", "show", "vvs2_vs0"},
                                          {"ip", "link", "show", "vswitch2"},
                                          {"ip", "link", "show", "vswitch0"}}));
}

// An end of an existing pair that lost its master (its bridge was deleted and made anew) goes
// back on its bridge; one that cannot is reported.
TEST_F(VethStep, PutsTheEndsOfAnExistingPairBackOnTheirBridges) {
    host.runner.on({"ip", "link", "show", "vvs1_vs0"}, Answer::ok());
    host.add_link("vvs1_vs0", "vswitch1");
    host.add_link("vvs0_vs1");
    host.add_link("vvs2_vs0", "vswitch7");
    host.runner.on({"ip", "link", "set", "vvs0_vs2", "master", "vswitch0"}, Answer::exit(1));
    auto s = restore_veth_connections(host.ctx, {veth("vvs1_vs0", "vvs0_vs1", "vswitch1", "vswitch0"),
                                                 veth("vvs2_vs0", "vvs0_vs2", "vswitch2", "vswitch0")}, failures);
    ASSERT_TRUE(s);
    EXPECT_EQ(host.out.str(),
              "[+] Restoring veth connections...\n"
              "  + Put veth end 'vvs0_vs1' back on bridge 'vswitch0'\n"
              "  + Put veth end 'vvs2_vs0' back on bridge 'vswitch2'\n"
              "  - Failed to put veth end 'vvs0_vs2' back on bridge 'vswitch0'\n");
    EXPECT_EQ(host.runner.argvs(), (Argvs{{"ip", "link", "show", "vvs1_vs0"},
                                          {"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"},
                                          {"ip", "link", "show", "vvs2_vs0"},
                                          {"ip", "link", "set", "vvs2_vs0", "master", "vswitch2"},
                                          {"ip", "link", "set", "vvs0_vs2", "master", "vswitch0"}}));
}

TEST_F(VethStep, AFailedCreationIsReportedAndNothingElseRuns) {
    host.runner.on_prefix({"ip", "link", "add"}, Answer::exit(2));
    ASSERT_TRUE(restore());
    EXPECT_EQ(host.out.str(), "[+] Restoring veth connections...\n  - Failed to create veth pair 'vvs1_vs0'\n");
    EXPECT_EQ(host.runner.argvs().size(), 4u);
}

TEST_F(VethStep, AFailedEnslavementDeletesThePairAndKeepsItsProfiles) {
    host.runner.on({"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}, Answer::exit(2));
    ASSERT_TRUE(restore());
    EXPECT_EQ(host.out.str(), "[+] Restoring veth connections...\n  - Failed to add veth pair 'vvs1_vs0' to bridges\n");
    auto argvs = host.runner.argvs();
    ASSERT_EQ(argvs.size(), 11u);
    EXPECT_EQ(argvs[10], (std::vector<std::string>{"ip", "link", "delete", "vvs1_vs0"}));
    Argvs adds;
    for (const auto& a : host.runner.argvs_of("nmcli"))
        if (a.size() > 2 && a[2] == "add") adds.push_back(a);
    EXPECT_EQ(adds, (Argvs{kProfileAdd1, kProfileAdd2}));
}

TEST_F(VethStep, IpThatCannotStartForTheCreationOrAnEnslavementEndsTheStep) {
    host.runner.on_prefix({"ip", "link", "add"}, Answer::missing());
    auto s = restore();
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");

    FakeHost second;
    second.runner.on({"ip", "link", "show", "vvs1_vs0"}, Answer::exit(1));
    second.runner.on_prefix({"ip", "link", "set"}, Answer::missing());
    s = restore_veth_connections(second.ctx, {veth("vvs1_vs0", "vvs0_vs1", "vswitch1", "vswitch0")}, failures);
    ASSERT_FALSE(s);
    EXPECT_EQ(second.runner.argvs().back(), (std::vector<std::string>{"ip", "link", "set", "vvs1_vs0", "master",
                                                                       "vswitch1"}));
    EXPECT_EQ(second.out.str(), "[+] Restoring veth connections...\n");
}

TEST(VethStepEmpty, PrintsNothingAndRunsNothing) {
    FakeHost host;
    std::vector<std::string> failures;
    ASSERT_TRUE(restore_veth_connections(host.ctx, {}, failures));
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(host.out.str(), "");
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST(VethInterfaceNames, EachRecordGivesItsEndThenItsPeer) {
    EXPECT_EQ(veth_interface_names({veth("a1", "p1", "b1", "m1"), veth("a2", "p2", "b2", "m2")}),
              (std::vector<std::string>{"a1", "p1", "a2", "p2"}));
    EXPECT_TRUE(veth_interface_names({}).empty());
}

// ------------------------------------------------------------------ topology

struct TopologyStep : ::testing::Test {
    FakeHost host;
    TopologyStep() { host.clock.t = parse_rfc3339("2026-03-04T05:06:07Z").value(); }
    BridgeTopology topology() {
        BridgeTopology t;
        t.master_bridges = {"vswitch0"};
        t.bridge_connections = {{"vswitch0", {"vswitch1", "vswitch2"}}};
        t.veth_pairs = {veth("vvs1_vs0", "vvs0_vs1", "vswitch1", "vswitch0"),
                        veth("vvs2_vs0", "vvs0_vs2", "vswitch2", "vswitch0")};
        return t;
    }
};

TEST_F(TopologyStep, WritesBothFilesAndANewLedgerWithSortedKeys) {
    restore_bridge_topology(host.ctx, topology());
    EXPECT_EQ(host.out.str(),
              "[+] Restoring bridge topology...\n"
              "  + Restored bridge topology with 1 master bridges and 2 veth connections\n");
    EXPECT_EQ(host.read_file(kMasters), "[\n  \"vswitch0\"\n]");
    EXPECT_EQ(host.read_file(kJoins), "{\n  \"vswitch0\": [\n    \"vswitch1\",\n    \"vswitch2\"\n  ]\n}");
    EXPECT_EQ(host.read_file(kLedger),
              "{\n  \"created_at\": \"2026-03-04T05:06:07+00:00\",\n  \"veth_pairs\": [\n    \"vvs1_vs0\",\n"
              "    \"vvs0_vs1\",\n    \"vvs2_vs0\",\n    \"vvs0_vs2\"\n  ],\n  \"vlan_bridges\": [],\n"
              "  \"vswitches\": []\n}");
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(host.file("/var/lib/quillmar")))
        files.push_back(e.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"bridge_connections.json", "managed_resources.json",
                                               "master_bridges.json"}));
}

TEST_F(TopologyStep, AnEmptyTopologyWritesEmptyFiles) {
    restore_bridge_topology(host.ctx, {});
    EXPECT_EQ(host.out.str(),
              "[+] Restoring bridge topology...\n"
              "  + Restored bridge topology with 0 master bridges and 0 veth connections\n");
    EXPECT_EQ(host.read_file(kMasters), "[]");
    EXPECT_EQ(host.read_file(kJoins), "{}");
}

TEST_F(TopologyStep, AnExistingLedgerKeepsEverythingButItsVethListWithKeysInByteOrder) {
    host.write_file(kLedger,
                    "{\"vswitches\": [\"Lab\"], \"veth_pairs\": [\"old\"], \"Zeta\": {\"b\": 1, \"a\": [2.50, null]},"
                    " \"bonds\": [\"bond0\"], \"created_at\": \"2020-01-01T00:00:00+00:00\", \"_x\": true}");
    restore_bridge_topology(host.ctx, topology());
    EXPECT_EQ(host.read_file(kLedger),
              "{\n  \"Zeta\": {\n    \"a\": [\n      2.50,\n      null\n    ],\n    \"b\": 1\n  },\n"
              "  \"_x\": true,\n  \"bonds\": [\n    \"bond0\"\n  ],\n"
              "  \"created_at\": \"2020-01-01T00:00:00+00:00\",\n  \"veth_pairs\": [\n    \"vvs1_vs0\",\n"
              "    \"vvs0_vs1\",\n    \"vvs2_vs0\",\n    \"vvs0_vs2\"\n  ],\n  \"vswitches\": [\n    \"Lab\"\n  ]\n}");
}

TEST_F(TopologyStep, ALedgerThatIsNotAnObjectIsKeptAsItIs) {
    host.write_file(kLedger, "[1, \"two\"]");
    restore_bridge_topology(host.ctx, topology());
    EXPECT_EQ(host.read_file(kLedger), "[\n  1,\n  \"two\"\n]");
}

TEST_F(TopologyStep, ALedgerThatIsNotJsonIsLeftAlone) {
    host.write_file(kLedger, "{\"vswitches\": [\"Lab\"");
    restore_bridge_topology(host.ctx, topology());
    EXPECT_EQ(host.read_file(kLedger), "{\"vswitches\": [\"Lab\"");
    EXPECT_EQ(host.read_file(kMasters), "[\n  \"vswitch0\"\n]");
}

TEST_F(TopologyStep, FailuresAreSilent) {
    // The state directory cannot be made: a file stands in its place.
    host.write_file("/var/lib/quillmar", "not a directory");
    restore_bridge_topology(host.ctx, topology());
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(),
              "[+] Restoring bridge topology...\n"
              "  + Restored bridge topology with 1 master bridges and 2 veth connections\n");
}

// ------------------------------------------------------------------ ledger

ManagedResources ledger() {
    ManagedResources m;
    m.vswitches = {"Lab"};
    m.veth_pairs = {"vvs1_vs0", "vvs0_vs1"};
    m.created_at = "2024-05-06T07:08:09.120+00:00";
    return m;
}

TEST(LedgerStep, PutsTheBackupLedgerInPlaceWithoutALineEnd) {
    FakeHost host;
    host.write_file(kLedger, "{\"older\": true}");
    ASSERT_TRUE(restore_managed_resources(host.ctx, ledger()));
    EXPECT_EQ(host.out.str(), "[+] Restored managed resources tracking\n");
    EXPECT_EQ(host.read_file(kLedger),
              "{\n  \"vswitches\": [\n    \"Lab\"\n  ],\n  \"vlan_bridges\": [],\n  \"veth_pairs\": [\n"
              "    \"vvs1_vs0\",\n    \"vvs0_vs1\"\n  ],\n  \"bonds\": [],\n"
              "  \"created_at\": \"2024-05-06T07:08:09.120+00:00\"\n}");
}

TEST(LedgerStep, CreatesTheStateDirectory) {
    FakeHost host;
    ASSERT_TRUE(restore_managed_resources(host.ctx, ledger()));
    EXPECT_TRUE(host.read_file(kLedger).has_value());
}

TEST(LedgerStep, ALinkInPlaceOfTheLedgerIsReplacedNotWrittenThrough) {
    FakeHost host;
    host.write_file("/etc/important", "keep me");
    std::filesystem::create_directories(host.file("/var/lib/quillmar"));
    std::filesystem::create_symlink(host.file("/etc/important"), host.file(kLedger));
    ASSERT_TRUE(restore_managed_resources(host.ctx, ledger()));
    EXPECT_EQ(host.read_file("/etc/important"), "keep me");
    EXPECT_FALSE(std::filesystem::is_symlink(host.file(kLedger)));
    EXPECT_EQ(host.read_file(kLedger), managed_resources_to_json(ledger()));
}

TEST(LedgerStep, NoLedgerInTheBackupRemovesTheFileEveryTime) {
    FakeHost host;
    host.write_file(kLedger, managed_resources_to_json(ledger()));
    ASSERT_TRUE(restore_managed_resources(host.ctx, std::nullopt));
    EXPECT_FALSE(host.read_file(kLedger).has_value());
    ASSERT_TRUE(restore_managed_resources(host.ctx, std::nullopt));
    EXPECT_EQ(host.out.str(),
              "[+] Cleared managed resources tracking (not in backup)\n"
              "[+] Cleared managed resources tracking (not in backup)\n");
    EXPECT_EQ(host.err.str(), "");
}

TEST(LedgerStep, AStateDirectoryThatCannotBeMadeIsAWarningOnly) {
    FakeHost host;
    host.write_file("/var/lib/quillmar", "not a directory");
    ASSERT_TRUE(restore_managed_resources(host.ctx, ledger()));
    EXPECT_EQ(host.out.str(), "");
    EXPECT_TRUE(host.err.str().starts_with("[!] Warning: Could not create directory /var/lib/quillmar: ")) << host.err.str();
    EXPECT_TRUE(host.err.str().ends_with("(os error 17)\n") || host.err.str().ends_with("(os error 20)\n"))
        << host.err.str();
}

TEST(LedgerStep, AFailedWriteIsReturned) {
    FakeHost host;
    std::filesystem::create_directories(host.file(kLedger));  // a directory where the file goes
    auto s = restore_managed_resources(host.ctx, ledger());
    ASSERT_FALSE(s);
    EXPECT_FALSE(s.error().message.empty());
    EXPECT_EQ(host.out.str(), "");
}

}  // namespace
}  // namespace qm
