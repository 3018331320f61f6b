// The profile step of a restore, the order of profiles, and the six steps run together.
#include "cmds/config/restore.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <filesystem>
#include <set>

#include "support/fake_host.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

namespace qm {
namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::FakeHost;
using Argv = std::vector<std::string>;
using Argvs = std::vector<Argv>;

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
const Argv kListing = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};

ConnectionInfo profile(std::string name, std::string type) {
    ConnectionInfo c;
    c.name = std::move(name);
    c.uuid = "--";
    c.type_ = std::move(type);
    return c;
}

std::string ledger_with(std::vector<std::string> vswitches, std::vector<std::string> veth_pairs = {},
                        std::vector<std::string> bonds = {}) {
    ManagedResources m;
    m.vswitches = std::move(vswitches);
    m.veth_pairs = std::move(veth_pairs);
    m.bonds = std::move(bonds);
    m.created_at = "2024-01-01T00:00:00+00:00";
    return managed_resources_to_json(m);
}

TEST(ClassifyInterface, FirstMatchingRuleDecides) {
    struct Case {
        const char* name;
        const char* kind;
        std::uint32_t priority;
    };
    for (const auto& c : std::vector<Case>{
             {"", "physical", 900},
             {"veth-vswitch1-vswitch0", "veth", 400},
             {"veth-", "veth", 400},
             {"vlan-100", "vlan", 200},
             {"eth0.100", "vlan", 200},
             {"bond0.5", "vlan", 200},      // the dot comes before the bond rule
             {"veth-a.b", "veth", 400},     // and the veth rule before the dot
             {"br0", "physical", 900},      // shorter than four bytes
             {"bon", "physical", 900},
             {"bond", "bond", 800},
             {"bond0", "bond", 800},
             {"Bond0", "physical", 900},    // case-sensitive
             {"vswitch1 Uplink", "bridge", 600},
             {"vswitch", "bridge", 600},
             {"bridge-lab", "bridge", 600},
             {"libvirt-default", "libvirt", 0},
             {"libvirt", "physical", 900},  // no dash
             {"vethX", "physical", 900},
             {"Management Network", "physical", 900},
         }) {
        EXPECT_EQ(classify_interface(c.name), c.kind) << c.name;
        EXPECT_EQ(interface_priority(classify_interface(c.name)), c.priority) << c.name;
    }
    EXPECT_EQ(interface_priority("wifi"), 0u);
    EXPECT_EQ(interface_priority("Physical"), 0u);
}

struct ProfileStep : ::testing::Test {
    FakeHost host;
    ProfileStep() {
        // Nothing exists unless a test says so.
        host.runner.on_prefix({"nmcli", "connection", "show"}, Answer::exit(10));
        host.runner.on(kListing, Answer::ok(""));
    }
    void listing(std::string text) { host.runner.on(kListing, Answer::ok(std::move(text))); }
    void exists(const std::string& name) { host.runner.on({"nmcli", "connection", "show", name}, Answer::ok()); }
    // The nmcli calls after the listing, without the existence checks.
    Argvs changes() const {
        Argvs out;
        for (const auto& a : host.runner.argvs_of("nmcli"))
            if (a != kListing && !(a.size() == 4 && a[1] == "connection" && a[2] == "show")) out.push_back(a);
        return out;
    }
};

// Each tracked object the backup does not hold goes the way its own delete takes it: the
// vswitch with its ports (its uplink names it by UUID), the bond with its members; a bond left
// standing is a failure handed on, not a line of its own.
TEST_F(ProfileStep, RemovesOnlyTrackedObjectsTheBackupDoesNotHoldWithWhatHangsOnThem) {
    listing("Lab:vswitch1:bridge:activated\n"
            "  Old Lab :vswitch2:bridge:activated\n"
            "home wifi:wlan0:802-11-wireless:activated\n"
            "bond0:bond0:bond:activated\n"
            "vvs1_vs0::802-3-ethernet:\n"
            ":::\n");
    host.write_file(kLedger, ledger_with({"Lab", "Old Lab", "Gone"}, {"vvs1_vs0"}, {"bond0"}));
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "Old Lab"}, Answer::ok("u-old\n"));
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "bond0"}, Answer::ok("u-bond\n"));
    host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                   Answer::ok("Old Lab Uplink:802-3-ethernet\nOld Lab:bridge\nbond0-port:802-3-ethernet\n"));
    host.runner.on({"nmcli", "-g", "connection.master", "connection", "show", "Old Lab Uplink"},
                   Answer::ok("u-old\n"));
    host.runner.on({"nmcli", "-g", "connection.master", "connection", "show", "bond0-port"}, Answer::ok("bond0\n"));
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "Old Lab"},
                   Answer::ok("vswitch2\n"));
    host.runner.on({"nmcli", "connection", "delete", "bond0"}, Answer::exit(10));
    exists("Lab");
    exists("bond0");

    std::vector<std::string> failures;
    auto s = restore_nm_connections(host.ctx, {profile("Lab", "bridge")}, {}, &failures);
    ASSERT_TRUE(s) << s.error().message;

    EXPECT_EQ(host.out.str(),
              "[+] Restoring NetworkManager connections...\n"
              "[-] Removing managed connection 'Old Lab' (not in backup)\n"
              "[-] Removing managed connection 'bond0' (not in backup)\n"
              "[+] Connection restoration order:\n"
              "  - Lab (type: physical, priority: 900)\n"
              "  - Connection 'Lab' already exists, skipping\n");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(failures, std::vector<std::string>{"Failed to delete connection 'bond0'"});
    Argvs deletions;
    for (const auto& a : host.runner.argvs_of("nmcli"))
        if (a.size() >= 3 && a[2] == "delete") deletions.push_back(a);
    EXPECT_EQ(deletions, (Argvs{{"nmcli", "connection", "delete", "Old Lab Uplink"},
                                {"nmcli", "connection", "delete", "Old Lab"},
                                {"nmcli", "connection", "delete", "bond0-port"},
                                {"nmcli", "connection", "delete", "bond0"}}));
}

TEST_F(ProfileStep, KeepsTheProfilesNamedAfterTheEndsOfTheBackupsVethPairs) {
    listing("vvs1_vs0:vvs1_vs0:802-3-ethernet:activated\n"
            "vvs0_vs1:vvs0_vs1:802-3-ethernet:activated\n"
            "vvs2_vs0:vvs2_vs0:802-3-ethernet:activated\n");
    host.write_file(kLedger, ledger_with({}, {"vvs1_vs0", "vvs0_vs1", "vvs2_vs0"}));
    for (const char* end : {"vvs1_vs0", "vvs0_vs1", "vvs2_vs0"}) host.add_link(end);
    ASSERT_TRUE(restore_nm_connections(host.ctx, {}, {"vvs1_vs0", "vvs0_vs1"}));
    // The pair that is not in the backup goes as a link: deleting NetworkManager's profile of
    // an end only releases it.
    EXPECT_EQ(changes(), Argvs{});
    EXPECT_EQ(host.runner.argvs_of("ip"), (Argvs{{"ip", "link", "delete", "vvs2_vs0"}}));

    // The whole restore hands the backup's veth ends over.
    FakeHost whole;
    whole.runner.on(kListing, Answer::ok("vvs1_vs0:vvs1_vs0:802-3-ethernet:activated\n"));
    whole.runner.on_prefix({"virsh"}, Answer::missing());  // ends the restore after the profiles
    whole.write_file(kLedger, ledger_with({}, {"vvs1_vs0", "vvs0_vs1"}));
    std::filesystem::create_directories(whole.file("/tmp"));
    NetworkConfig config;
    VethConnection v;
    v.veth_name = "vvs1_vs0";
    v.veth_peer = "vvs0_vs1";
    config.veth_connections = {v};
    LibvirtNetwork n;
    n.name = "x";
    config.libvirt_networks = {n};
    EXPECT_FALSE(run_restore_steps(whole.ctx, config));
    for (const auto& a : whole.runner.argvs()) EXPECT_NE(a[1], "connection") << testing::PrintToString(a);
}

TEST_F(ProfileStep, WithoutAUsableLedgerNothingIsRemoved) {
    listing("Lab:vswitch1:bridge:activated\n");
    host.write_file(kLedger, "{\"vswitches\": [\"Lab\"]");
    ASSERT_TRUE(restore_nm_connections(host.ctx, {}));
    EXPECT_TRUE(changes().empty());
    EXPECT_EQ(host.out.str(), "[+] Restoring NetworkManager connections...\n[+] Connection restoration order:\n");
    EXPECT_EQ(host.read_file(kLedger), "{\"vswitches\": [\"Lab\"]");
}

TEST_F(ProfileStep, AFailedListingEndsTheStepBeforeAnythingChanges) {
    host.runner.on(kListing, Answer::exit(8));
    auto s = restore_nm_connections(host.ctx, {profile("eth0", "ethernet")});
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "Failed to get all connections");
    EXPECT_EQ(host.out.str(), "[+] Restoring NetworkManager connections...\n");
    EXPECT_EQ(host.runner.argvs(), (Argvs{kListing}));
}

TEST_F(ProfileStep, RestoresByPriorityKeepingTheBackupOrderWithinOne) {
    auto s = restore_nm_connections(host.ctx, {profile("bond0", "bond"), profile("vswitch1", "bridge"),
                                               profile("eth0.100", "vlan"), profile("Management Network", "bridge"),
                                               profile("vswitch2", "bridge"), profile("eno1", "ethernet")});
    ASSERT_TRUE(s);
    const std::string out = host.out.str();
    EXPECT_TRUE(out.starts_with("[+] Restoring NetworkManager connections...\n"
                                "[+] Connection restoration order:\n"
                                "  - Management Network (type: physical, priority: 900)\n"
                                "  - eno1 (type: physical, priority: 900)\n"
                                "  - bond0 (type: bond, priority: 800)\n"
                                "  - vswitch1 (type: bridge, priority: 600)\n"
                                "  - vswitch2 (type: bridge, priority: 600)\n"
                                "  - eth0.100 (type: vlan, priority: 200)\n"
                                "  + Restored bridge connection 'Management Network'\n"
                                "  + Restored ethernet connection 'eno1'\n"
                                "  + Restored bond connection 'bond0'\n"
                                "  + Restored bridge connection 'vswitch1'\n"
                                "  + Restored bridge connection 'vswitch2'\n"
                                "  + Restored VLAN connection 'eth0.100' (note: may need manual VLAN ID "
                                "configuration)\n"))
        << out;
    std::vector<std::string> checked;
    for (const auto& a : host.runner.argvs_of("nmcli"))
        if (a.size() == 4 && a[2] == "show") checked.push_back(a[3]);
    EXPECT_EQ(checked, (std::vector<std::string>{"Management Network", "eno1", "bond0", "vswitch1", "vswitch2",
                                                 "eth0.100"}));
}

// One profile of each type with every property set: it is added once, born with its settings,
// and nothing is modified afterwards.
struct AddCase {
    const char* type;
    bool port;
    Argv add;
    const char* line;
};

ConnectionInfo full_profile(const char* type, bool port) {
    ConnectionInfo c = profile("p", type);
    c.interface_name = "dev0";
    if (port) {
        c.master = "vswitch0";
        c.slave_type = "bridge";
    }
    c.mac_address = "52:54:00:aa:bb:01";
    c.bridge_mac_address = "52:54:00:aa:bb:02";
    c.bond_options = "mode=802.3ad,miimon=100";
    c.ipv4_method = "auto";
    c.ipv6_method = "ignore";
    c.autoconnect = true;
    return c;
}

Argv add_of(std::initializer_list<const char*> head, std::initializer_list<const char*> settings) {
    Argv a{"nmcli", "connection", "add"};
    a.insert(a.end(), head.begin(), head.end());
    a.insert(a.end(), settings.begin(), settings.end());
    return a;
}

TEST_F(ProfileStep, EachTypeIsAddedOnceWithItsSettings) {
    const auto ip = {"ipv4.method", "auto", "ipv6.method", "ignore", "connection.autoconnect", "yes"};
    const std::vector<AddCase> cases{
        {"vlan", true,
         add_of({"ifname", "dev0", "type", "vlan", "con-name", "p", "vlan.parent", "unknown", "vlan.id", "0"},
                {"master", "vswitch0", "slave-type", "bridge", "connection.autoconnect", "yes"}),
         "  + Restored VLAN connection 'p' (note: may need manual VLAN ID configuration)\n"},
        {"bridge", false,
         add_of({"ifname", "dev0", "type", "bridge", "con-name", "p", "bridge.mac-address", "52:54:00:aa:bb:02"}, ip),
         "  + Restored bridge connection 'p'\n"},
        {"ethernet", true,
         add_of({"ifname", "dev0", "type", "ethernet", "con-name", "p", "802-3-ethernet.mac-address",
                 "52:54:00:aa:bb:01"},
                {"master", "vswitch0", "slave-type", "bridge", "connection.autoconnect", "yes"}),
         "  + Restored ethernet connection 'p'\n"},
        {"802-3-ethernet", false,
         add_of({"ifname", "dev0", "type", "ethernet", "con-name", "p", "802-3-ethernet.mac-address",
                 "52:54:00:aa:bb:01"},
                ip),
         "  + Restored ethernet connection 'p'\n"},
        {"bond", true,
         add_of({"ifname", "dev0", "type", "bond", "con-name", "p", "bond.options", "mode=802.3ad,miimon=100"},
                {"master", "vswitch0", "slave-type", "bridge", "connection.autoconnect", "yes"}),
         "  + Restored bond connection 'p'\n"},
        {"bond", false,
         add_of({"ifname", "dev0", "type", "bond", "con-name", "p", "bond.options", "mode=802.3ad,miimon=100"}, ip),
         "  + Restored bond connection 'p'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + (c.port ? " port" : ""));
        FakeHost h;
        h.runner.on_prefix({"nmcli", "connection", "show"}, Answer::exit(10));
        h.runner.on(kListing, Answer::ok("Mgmt:vswitch0:bridge:activated\n"));
        ASSERT_TRUE(restore_nm_connections(h.ctx, {full_profile(c.type, c.port)}));
        EXPECT_EQ(h.runner.argvs(), (Argvs{kListing, {"nmcli", "connection", "show", "p"}, c.add}));
        EXPECT_TRUE(h.sleeper.pauses.empty());
        EXPECT_TRUE(h.out.str().ends_with(c.line)) << h.out.str();
        EXPECT_EQ(h.err.str(), "");
    }
}

TEST_F(ProfileStep, AbsentPropertiesStayOffTheAddAndFalseAutoconnectIsNo) {
    ConnectionInfo bare = profile("eno2", "ethernet");
    ConnectionInfo off = profile("eno3", "ethernet");
    off.autoconnect = false;
    ConnectionInfo bond = profile("bond1", "bond");
    ASSERT_TRUE(restore_nm_connections(host.ctx, {bare, off, bond}));
    EXPECT_EQ(changes(),
              (Argvs{{"nmcli", "connection", "add", "ifname", "", "type", "ethernet", "con-name", "eno2"},
                     {"nmcli", "connection", "add", "ifname", "", "type", "ethernet", "con-name", "eno3",
                      "connection.autoconnect", "no"},
                     // A bond without saved options is made active-backup.
                     {"nmcli", "connection", "add", "ifname", "", "type", "bond", "con-name", "bond1", "bond.options",
                      "mode=active-backup"}}));
}

// nmcli takes a master without its slave type only where it can tell the type from the master,
// and never a slave type without a master; a port has no IP settings of its own.
TEST_F(ProfileStep, APortGetsNoIPSettingsAndASlaveTypeAloneIsDropped) {
    listing("Lab:vswitch1:bridge:activated\n");
    ConnectionInfo master_only = profile("eno2", "ethernet");
    master_only.master = "vswitch1";
    master_only.ipv4_method = "disabled";
    ConnectionInfo type_only = profile("eno3", "802-3-ethernet");
    type_only.slave_type = "bridge";
    type_only.ipv4_method = "disabled";
    ASSERT_TRUE(restore_nm_connections(host.ctx, {master_only, type_only}));
    EXPECT_EQ(changes(), (Argvs{{"nmcli", "connection", "add", "ifname", "", "type", "ethernet", "con-name", "eno2",
                                 "master", "vswitch1"},
                                {"nmcli", "connection", "add", "ifname", "", "type", "ethernet", "con-name", "eno3",
                                 "ipv4.method", "disabled"}}));
}

// `vlan create` puts a VLAN on "<parent>.<id>"; other names keep the unknown parent, with the note.
TEST_F(ProfileStep, AVlanComesBackOnTheParentAndIdOfItsInterfaceName) {
    struct Case {
        const char* ifname;
        const char* parent;
        const char* id;
        bool note;
    };
    for (const auto& c : std::vector<Case>{{"vswitch0.100", "vswitch0", "100", false},
                                           {"eth0.5.7", "eth0.5", "7", false},
                                           {"bond0.65535", "bond0", "65535", false},
                                           {"bond0.65536", "unknown", "0", true},
                                           {"vswitch0.", "unknown", "0", true},
                                           {".100", "unknown", "0", true},
                                           {"vswitch0.1x", "unknown", "0", true},
                                           {"vswitch0.-1", "unknown", "0", true},
                                           {"vlan100", "unknown", "0", true},
                                           {"", "unknown", "0", true}}) {
        SCOPED_TRACE(c.ifname);
        FakeHost h;
        h.runner.on_prefix({"nmcli", "connection", "show"}, Answer::exit(10));
        ConnectionInfo v = profile("Vlan 100", "vlan");
        v.interface_name = c.ifname;
        ASSERT_TRUE(restore_nm_connections(h.ctx, {v}));
        EXPECT_EQ(h.runner.argvs().back(), (Argv{"nmcli", "connection", "add", "ifname", c.ifname, "type", "vlan",
                                                 "con-name", "Vlan 100", "vlan.parent", c.parent, "vlan.id", c.id}));
        EXPECT_TRUE(h.out.str().ends_with(c.note ? "'Vlan 100' (note: may need manual VLAN ID configuration)\n"
                                                 : "'Vlan 100'\n"))
            << h.out.str();
    }
}

// A backup can hold the profiles NetworkManager makes up in memory for the ends of veth pairs,
// with the UUID of a bridge profile as master. Once that bridge is gone, stored, such a profile
// would wait for it forever.
TEST_F(ProfileStep, APortWhoseMasterIsNeitherOnTheHostNorInTheBackupIsPassedOver) {
    listing("Mgmt:vswitch0:bridge:activated\nvvs9_vs0:vvs9_vs0:802-3-ethernet:activated\n");
    host.add_link("vswitch5");
    exists("4be1c6a2-live");  // the UUID of a profile the host has
    auto port = [](const char* name, const char* master) {
        ConnectionInfo c = profile(name, "802-3-ethernet");
        c.interface_name = name;
        c.master = master;
        c.slave_type = "bridge";
        return c;
    };
    ConnectionInfo lab = profile("Lab", "bridge");
    lab.interface_name = "vswitch1";
    auto done = restore_nm_connections(
        host.ctx, {port("a", "182efc88-gone"), port("b", "Lab"), port("c", "vswitch1"), port("d", "vswitch0"),
                   port("e", "vswitch5"), port("f", "4be1c6a2-live"), port("g", "vvs9_vs0"), lab});
    ASSERT_TRUE(done);
    EXPECT_EQ(done->passed_over, (std::set<std::string>{"a"}));
    EXPECT_EQ(done->added, (std::vector<std::string>{"b", "c", "d", "e", "f", "g", "Lab"}));
    EXPECT_NE(host.out.str().find("  - Skipping 'a': its master '182efc88-gone' is neither on this host nor in the "
                                  "backup\n  + Restored ethernet connection 'b'\n"),
              std::string::npos)
        << host.out.str();
    for (const auto& a : changes()) EXPECT_NE(a.at(8), "a") << testing::PrintToString(a);
}

TEST_F(ProfileStep, ExistingUnknownAndFailedProfilesAreSkipped) {
    exists("vswitch1");
    host.runner.on_prefix({"nmcli", "connection", "add", "ifname", "", "type", "bond"}, Answer::exit(4));
    auto kept = profile("vswitch1", "bridge");
    kept.ipv4_method = "auto";
    auto done = restore_nm_connections(host.ctx, {kept, profile("home", "802-11-wireless"), profile("bond7", "bond"),
                                                  profile("eno1", "ethernet")});
    ASSERT_TRUE(done);
    const std::string out = host.out.str();
    EXPECT_TRUE(out.ends_with("  - Unknown connection type '802-11-wireless' for 'home', skipping\n"
                              "  + Restored ethernet connection 'eno1'\n"
                              "  - Failed to restore bond connection 'bond7': Failed to add connection 'bond7'\n"
                              "  - Connection 'vswitch1' already exists, skipping\n"))
        << out;
    EXPECT_EQ(changes(),
              (Argvs{{"nmcli", "connection", "add", "ifname", "", "type", "ethernet", "con-name", "eno1"},
                     {"nmcli", "connection", "add", "ifname", "", "type", "bond", "con-name", "bond7", "bond.options",
                      "mode=active-backup"}}));
    EXPECT_EQ(done->added, (std::vector<std::string>{"eno1"}));
}

// A manual method needs addresses the backup does not hold: nmcli would refuse the whole add.
TEST_F(ProfileStep, AManualIPMethodIsLeftToTheDefaultAndRecorded) {
    ConnectionInfo lab = profile("Lab", "bridge");
    lab.ipv4_method = "manual";
    lab.ipv6_method = "ignore";
    auto done = restore_nm_connections(host.ctx, {lab});
    ASSERT_TRUE(done);
    EXPECT_EQ(changes(), (Argvs{{"nmcli", "connection", "add", "ifname", "", "type", "bridge", "con-name", "Lab",
                                 "ipv6.method", "ignore"}}));
    EXPECT_EQ(done->default_methods,
              (std::vector<std::pair<std::string, std::string>>{{"Lab", "ipv4.method"}}));
}

// ------------------------------------------------------------------ the six steps

NetworkConfig document() {
    NetworkConfig c;
    c.metadata.name = "lab";
    c.network_manager.connections = {profile("vswitch1", "bridge")};
    LibvirtNetwork n;
    n.name = "labnet";
    n.xml_config = "<network/>";
    c.libvirt_networks = {n};
    c.bridge_mac_addresses = {{"vswitch1", "52:54:00:00:00:01"}};
    VethConnection v;
    v.veth_name = "vvs1_vs0";
    v.veth_peer = "vvs0_vs1";
    v.bridge1 = "vswitch1";
    v.bridge2 = "vswitch0";
    c.veth_connections = {v};
    c.bridge_topology.master_bridges = {"vswitch0"};
    c.bridge_topology.veth_pairs = {v};
    ManagedResources m;
    m.vswitches = {"vswitch1"};
    m.created_at = "2024-01-01T00:00:00+00:00";
    c.managed_resources = m;
    return c;
}

// A master this same run removed is not on the host any more: the lookup reads the listing
// taken after the removals. Each missing master is asked about once, however many ports name it.
TEST_F(ProfileStep, AMasterRemovedByThisRunIsGoneAndAMissingOneIsAskedAboutOnce) {
    host.runner.on(kListing, {Answer::ok("Old:vswitch7:bridge:activated\n"), Answer::ok("")});
    host.write_file(kLedger, ledger_with({"Old"}));
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "Old"}, Answer::ok("u-old\n"));
    auto port = [](const char* name, const char* master) {
        ConnectionInfo c = profile(name, "802-3-ethernet");
        c.interface_name = name;
        c.master = master;
        c.slave_type = "bridge";
        return c;
    };
    auto done = restore_nm_connections(host.ctx, {port("p1", "vswitch7"), port("p2", "gone"), port("p3", "gone"),
                                                  port("p4", "gone")});
    ASSERT_TRUE(done) << done.error().message;
    EXPECT_EQ(done->passed_over, (std::set<std::string>{"p1", "p2", "p3", "p4"}));
    EXPECT_TRUE(done->added.empty());
    const auto asked = host.runner.argvs_of("nmcli");
    EXPECT_EQ(std::count(asked.begin(), asked.end(), Argv{"nmcli", "connection", "delete", "Old"}), 1);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), Argv{"nmcli", "connection", "show", "gone"}), 1);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), kListing), 2);
}

// A bridge of the backup whose profile is here but down is brought up; whether it is active is
// checked like any bridge the run added, and a port left out counts as not come back.
TEST_F(ProfileStep, AnExistingBridgeThatIsDownIsBroughtUpAndChecked) {
    NetworkConfig config = document();
    config.libvirt_networks.clear();
    config.veth_connections.clear();
    config.bridge_mac_addresses.clear();
    ConnectionInfo isolated = profile("Isolated", "bridge");
    isolated.interface_name = "vswitch1";
    ConnectionInfo idle = profile("Idle", "bridge");  // autoconnect "no": left as it is
    idle.autoconnect = false;
    ConnectionInfo stray = profile("Stray", "802-3-ethernet");
    stray.interface_name = "eth9";
    stray.master = "8b71c0de-gone";
    config.network_manager.connections = {isolated, idle, stray};
    listing("Isolated::bridge:\nIdle::bridge:\n");
    exists("Isolated");
    exists("Idle");
    host.runner.on(connection_up_argv("Isolated"), Answer::exit(4));

    ASSERT_TRUE(run_restore_steps(host.ctx, config));
    EXPECT_EQ(changes(), (Argvs{connection_up_argv("Isolated")}));
    EXPECT_NE(host.out.str().find("  - Connection 'Isolated' already exists, skipping\n"
                                  "  - Failed to bring up bridge connection 'Isolated': "),
              std::string::npos)
        << host.out.str();
    EXPECT_TRUE(host.out.str().ends_with(
        "[!] Configuration restore incomplete: 2 items did not come back (see the warnings above)\n"))
        << host.out.str();
    EXPECT_EQ(host.err.str(),
              "[!] Warning: Bridge 'Isolated' (vswitch1) is not active\n"
              "[!] Warning: Port 'Stray' was not restored: its master is neither on this host nor in the backup\n");
}

TEST_F(ProfileStep, TheStepsRunInOrderAndEndWithTheCompletionLine) {
    std::filesystem::create_directories(host.file("/tmp"));
    host.runner.on(kListing, {Answer::ok(""), Answer::ok("vswitch1:vswitch1:bridge:activated\n")});
    host.add_link("vvs1_vs0", "vswitch1");
    host.add_link("vvs0_vs1", "vswitch0");
    host.runner.on_prefix({"virsh", "net-info"}, Answer::exit(1));
    host.runner.on({"ip", "link", "show", "vvs1_vs0"}, Answer::exit(1));
    ASSERT_TRUE(run_restore_steps(host.ctx, document()));
    const std::string out = host.out.str();
    std::size_t at = 0;
    for (const char* line : {"[+] Restoring NetworkManager connections...\n", "[+] Restoring libvirt networks...\n",
                             "[+] Restoring bridge MAC addresses...\n", "[+] Restoring veth connections...\n",
                             "[+] Restoring bridge topology...\n", "[+] Restored managed resources tracking\n",
                             "[+] Configuration restore completed successfully\n"}) {
        auto found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " in\n" << out;
        at = found;
    }
    EXPECT_TRUE(out.ends_with("[+] Configuration restore completed successfully\n"));
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.read_file(kLedger), managed_resources_to_json(*document().managed_resources));
}

// What the daemon did not bring back is named, one warning each, and the restore says it is
// incomplete instead of claiming success; NetworkManager is given ten looks, a second apart.
TEST_F(ProfileStep, WhatDidNotComeBackIsNamedAndTheRestoreIsIncomplete) {
    NetworkConfig config = document();
    config.libvirt_networks.clear();
    auto& profiles = config.network_manager.connections;
    profiles[0].interface_name = "vswitch1";
    ConnectionInfo port = profile("Lab Uplink", "802-3-ethernet");
    port.interface_name = "eth1";
    port.master = "vswitch1";
    port.slave_type = "bridge";
    ConnectionInfo idle = profile("Spare", "bridge");  // autoconnect "no": only asked to exist
    idle.autoconnect = false;
    ConnectionInfo gone = profile("Lost", "802-11-wireless");
    ConnectionInfo lo = profile("lo", "loopback");
    profiles.insert(profiles.end(), {port, idle, gone, lo});
    host.runner.on(kListing, {Answer::ok(""), Answer::ok("vswitch1::bridge:\nLab Uplink:eth1:802-3-ethernet:activated\n"
                                                          "Spare::bridge:\n")});
    host.add_link("vswitch1");
    host.add_link("eth1");
    host.add_link("vvs1_vs0", "vswitch1");
    host.add_link("vvs0_vs1", "vswitch9");
    host.runner.on({"ip", "link", "show", "vvs1_vs0"}, Answer::ok());
    host.runner.on_prefix({"ip", "link", "set"}, Answer::exit(2));

    ASSERT_TRUE(run_restore_steps(host.ctx, config));
    EXPECT_TRUE(host.out.str().ends_with(
        "[+] Restored managed resources tracking\n"
        "[!] Configuration restore incomplete: 6 items did not come back (see the warnings above)\n"))
        << host.out.str();
    EXPECT_EQ(host.out.str().find("completed successfully"), std::string::npos);
    EXPECT_EQ(host.err.str(),
              "[!] Warning: Bridge 'vswitch1' (vswitch1) is not active\n"
              "[!] Warning: Port 'Lab Uplink' is not on its master: eth1 has no master, not on vswitch1\n"
              "[!] Warning: Profile 'Lost' did not come back\n"
              "[!] Warning: Veth end 'vvs0_vs1' is not on its bridge: it is on vswitch9, not on vswitch0\n"
              "[!] Warning: MAC address 52:54:00:00:00:01 of bridge 'vswitch1' was not restored\n"
              "[!] Warning: Failed to put veth pair 'vvs1_vs0' back on its bridges\n");
    EXPECT_EQ(host.sleeper.pauses, std::vector<std::chrono::milliseconds>(9, 1000ms));
}

TEST_F(ProfileStep, ThePortThatComesLateStillCounts) {
    NetworkConfig config = document();
    config.libvirt_networks.clear();
    config.veth_connections.clear();
    ConnectionInfo port = profile("Lab Uplink", "802-3-ethernet");
    port.interface_name = "eth1";
    port.master = "Lab";
    port.slave_type = "bridge";
    ConnectionInfo lab = profile("Lab", "bridge");
    lab.interface_name = "vswitch1";
    config.network_manager.connections = {lab, port};
    config.bridge_mac_addresses.clear();  // the link shows up late too: no MAC to set here
    const std::string both = "Lab:vswitch1:bridge:activating\nLab Uplink:eth1:802-3-ethernet:activated\n";
    host.runner.on(kListing, {Answer::ok(""), Answer::ok(both)});
    host.add_link("eth1");
    // The port's activation puts eth1 on the bridge while the check looks.
    host.runner.on({"ip", "link", "show", "vswitch1"}, Answer::exit(1));
    struct Enslaving final : Sleeper {
        FakeHost* host;
        void sleep(std::chrono::milliseconds) override { host->add_link("eth1", "vswitch1"); }
    } enslaving;
    enslaving.host = &host;
    Context ctx{host.runner, host.in, host.out, host.err, host.clock, enslaving, host.platform, host.root.path(),
                host.cwd.path()};

    ASSERT_TRUE(run_restore_steps(ctx, config));
    EXPECT_TRUE(host.out.str().ends_with("[+] Configuration restore completed successfully\n")) << host.out.str();
    EXPECT_EQ(host.err.str(), "");
}

TEST_F(ProfileStep, ALibvirtFailureStopsTheLaterSteps) {
    std::filesystem::create_directories(host.file("/tmp"));
    host.runner.missing("virsh");
    host.write_file(kLedger, ledger_with({"keep"}));
    auto s = run_restore_steps(host.ctx, document());
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
    const std::string out = host.out.str();
    EXPECT_TRUE(out.ends_with("[+] Restoring libvirt networks...\n")) << out;
    EXPECT_EQ(out.find("completed successfully"), std::string::npos);
    // The profile step ran and stays done; nothing after the networks ran.
    EXPECT_TRUE(host.runner.argvs_of("ip").empty());
    EXPECT_EQ(changes().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(host.file("/var/lib/quillmar/master_bridges.json")));
    EXPECT_EQ(host.read_file(kLedger), ledger_with({"keep"}));
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

// A name that cannot reach a tool or a path as it stands refuses the whole document before
// anything runs: half a restore would remove profiles and put nothing back.
TEST(RestoreNames, AnUnusableNameRefusesTheDocumentBeforeAnythingChanges) {
    using std::string_literals::operator""s;
    struct Case {
        const char* what;
        void (*spoil)(NetworkConfig&);
        const char* error;
    };
    const std::vector<Case> cases{
        {"NUL in a network name", [](NetworkConfig& c) { c.libvirt_networks[0].name = "a\0b"s; },
         "Refusing the backup before any change: libvirt network 'a\\x00b' holds a NUL byte"},
        {"network name with '/'", [](NetworkConfig& c) { c.libvirt_networks[0].name = "../../etc/x"; },
         "Refusing the backup before any change: libvirt network '../../etc/x' is not usable as a file name "
         "(empty, '.', '..' or with '/')"},
        {"empty network name", [](NetworkConfig& c) { c.libvirt_networks[0].name = ""; },
         "Refusing the backup before any change: libvirt network '' is not usable as a file name (empty, '.', '..' "
         "or with '/')"},
        {"interface beginning with '-'", [](NetworkConfig& c) { c.network_manager.connections[0].interface_name = "-h"; },
         "Refusing the backup before any change: interface '-h' begins with '-'"},
        {"veth end beginning with '-'", [](NetworkConfig& c) { c.veth_connections[0].veth_peer = "--help"; },
         "Refusing the backup before any change: veth end '--help' begins with '-'"},
        {"bridge of the MAC map with '/'", [](NetworkConfig& c) { c.bridge_mac_addresses = {{"a/b", "x"}}; },
         "Refusing the backup before any change: bridge 'a/b' is not usable as a file name (empty, '.', '..' or "
         "with '/')"},
        {"NUL in a master", [](NetworkConfig& c) { c.network_manager.connections[0].master = "vs\0"s; },
         "Refusing the backup before any change: setting of profile 'vswitch1' 'vs\\x00' holds a NUL byte"},
        {"NUL in a ledger entry", [](NetworkConfig& c) { c.managed_resources->bonds = {"b\n\0"s}; },
         "Refusing the backup before any change: ledger entry 'b\\x0a\\x00' holds a NUL byte"},
        {"NUL in the topology", [](NetworkConfig& c) { c.bridge_topology.master_bridges = {"\0"s}; },
         "Refusing the backup before any change: master bridge '\\x00' holds a NUL byte"},
        {"NUL in a definition", [](NetworkConfig& c) { c.libvirt_networks[0].xml_config += "\0"s; },
         "Refusing the backup before any change: the definition of libvirt network 'labnet' holds a NUL byte"},
        {"a definition past 4 MiB",
         [](NetworkConfig& c) { c.libvirt_networks[0].xml_config = std::string(4 * 1024 * 1024 + 1, ' '); },
         "Refusing the backup before any change: the definition of libvirt network 'labnet' is longer than "
         "4194304 bytes"},
        {"interface of 16 bytes",
         [](NetworkConfig& c) { c.network_manager.connections[0].interface_name = "vswitch123456789"; },
         "Refusing the backup before any change: interface 'vswitch123456789' is longer than 15 bytes, the "
         "longest interface name"},
        {"veth bridge of 16 bytes", [](NetworkConfig& c) { c.veth_connections[0].bridge2 = "0123456789abcdef"; },
         "Refusing the backup before any change: veth bridge '0123456789abcdef' is longer than 15 bytes, the "
         "longest interface name"},
        {"bridge MAC of 200 KB",
         [](NetworkConfig& c) { c.bridge_mac_addresses = {{"vswitch1", std::string(200 * 1024, 'a')}}; },
         "Refusing the backup before any change: MAC address "
         "'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa...' is longer than 4096 bytes"},
        {"bridge MAC that is not one", [](NetworkConfig& c) { c.bridge_mac_addresses = {{"vswitch1", "x"}}; },
         "Refusing the backup before any change: MAC address 'x' is not a MAC address"},
        {"profile MAC with a seventh octet",
         [](NetworkConfig& c) { c.network_manager.connections[0].bridge_mac_address = "52:54:00:aa:bb:cc:dd"; },
         "Refusing the backup before any change: setting of profile 'vswitch1' '52:54:00:aa:bb:cc:dd' is not a "
         "MAC address"},
        {"profile name of 5000 bytes", [](NetworkConfig& c) { c.network_manager.connections[0].name.assign(5000, 'p'); },
         "Refusing the backup before any change: profile "
         "'pppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp...' is longer than 4096 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHost host;
        host.write_file(kLedger, ledger_with({"keep"}));
        NetworkConfig config = document();
        c.spoil(config);
        auto s = run_restore_steps(host.ctx, config);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, c.error);
        EXPECT_TRUE(host.runner.calls.empty());
        EXPECT_EQ(host.out.str(), "");
        EXPECT_EQ(host.read_file(kLedger), ledger_with({"keep"}));
        EXPECT_FALSE(std::filesystem::exists(host.file("/tmp")));
    }
    // A profile may be bound to no interface, and a profile name may begin with '-'.
    FakeHost host;
    NetworkConfig fine = document();
    fine.network_manager.connections[0].interface_name = "";
    fine.network_manager.connections[0].name = "-lab";
    fine.network_manager.connections[0].mac_address = "52:54:00:AA:bb:0F";  // nmcli prints capitals
    fine.bridge_mac_addresses = {{"vswitch1", "52:54:00:ab:00:04"}};
    fine.veth_connections[0].bridge2 = "vswitch12345678";  // 15 bytes
    fine.libvirt_networks.clear();
    EXPECT_TRUE(run_restore_steps(host.ctx, fine));
}

}  // namespace
}  // namespace qm
