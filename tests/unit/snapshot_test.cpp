#include "cmds/config/snapshot.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fake_host.hpp"

namespace qm {
namespace {

using namespace std::chrono;
using test::Answer;
using test::FakeHost;

using Argv = std::vector<std::string>;
const Argv kListing = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};
const Argv kNetList = {"virsh", "net-list", "--all", "--name"};
const Argv kBridges = {"ip", "link", "show", "type", "bridge"};
constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";

const Argv kFiles = {"nmcli", "-t", "-f", "NAME,FILENAME", "connection", "show"};

Argv show(const std::string& profile) { return {"nmcli", "connection", "show", profile}; }

// 2024-03-05T07:08:09Z
SystemTime march5() { return SystemTime{} + seconds(1709622489); }

// As nmcli prints a bridge member (properties first, then the GENERAL section when active).
constexpr const char* kLanShown =
    "connection.id:                          lan\n"
    "connection.uuid:                        5b2a6c1e-8f0d-4c39-9d0e-2f6a1b7c3d4e\n"
    "connection.stable-id:                   --\n"
    "connection.type:                        802-3-ethernet\n"
    "connection.interface-name:              eno1\n"
    "connection.autoconnect:                 yes\n"
    "connection.autoconnect-priority:        900\n"
    "connection.master:                      vswitch0\n"
    "connection.slave-type:                  bridge\n"
    "802-3-ethernet.port:                    --\n"
    "802-3-ethernet.mac-address:             52:54:00:12:34:56\n"
    "802-3-ethernet.cloned-mac-address:      --\n"
    "ipv4.method:                            disabled\n"
    "ipv6.method:                            ignore\n"
    "GENERAL.NAME:                           lan\n"
    "GENERAL.DEVICES:                        eno1\n"
    "GENERAL.STATE:                          activated\n";

constexpr const char* kBridgeShown =
    "connection.id:                          vswitch0\r\n"
    "connection.type:                        bridge\r\n"
    "connection.interface-name:              vswitch0\r\n"
    "connection.autoconnect:                 no\r\n"
    "connection.autoconnect-priority:        600\r\n"
    "connection.master:                      --\r\n"
    "connection.slave-type:                  --\r\n"
    "ipv4.method:                            auto\r\n"
    "ipv6.method:                            auto\r\n"
    "bridge.mac-address:                     52:54:00:AA:BB:CC\r\n"
    "bridge.stp:                             no\r\n";

constexpr const char* kBondShown =
    "DEVICE: bond0\n"
    "SLAVE_TYPE:\n"
    "connection.interface-name:              ignored-because-DEVICE-is-there\n"
    "connection.autoconnect:                 --\n"
    "bond.options:                           mode=active-backup,miimon=100\n"
    "ipv4.method:\n";

constexpr const char* kNetInfo =
    "Name:           default\n"
    "UUID:           8d2a1c63-52f0-4e6b-9a1f-0c3e7d5b2a91\n"
    "Active:         yes\n"
    "Persistent:     yes\n"
    "Autostart:      no\n"
    "Bridge:         virbr0\n";

constexpr const char* kNetXml =
    "<network>\n"
    "  <name>default</name>\n"
    "  <uuid>8d2a1c63-52f0-4e6b-9a1f-0c3e7d5b2a91</uuid>\n"
    "  <forward mode='nat'/>\n"
    "  <bridge name='virbr0' stp='on' delay='0'/>\n"
    "  <mac address='52:54:00:9f:41:0b'/>\n"
    "  <ip address='192.168.122.1' netmask='255.255.255.0'/>\n"
    "</network>\n";

constexpr const char* kIpBridges =
    "3: vswitch0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue state UP mode DEFAULT group "
    "default qlen 1000\n"
    "    link/ether 52:54:00:aa:bb:cc brd ff:ff:ff:ff:ff:ff\n"
    "5: br-lab: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue state UP mode DEFAULT group default\n"
    "    link/ether 02:00:00:00:00:01 brd ff:ff:ff:ff:ff:ff\n"
    "7: virbr0: <NO-CARRIER,BROADCAST,MULTICAST,UP> mtu 1500 qdisc noqueue state DOWN mode DEFAULT group "
    "default qlen 1000\n"
    "    link/ether 52:54:00:9f:41:0b brd ff:ff:ff:ff:ff:ff\n";

struct Snapshot : ::testing::Test {
    Snapshot() {
        host.clock.t = march5();
        host.runner.on(kListing, Answer::ok("lan:eno1:802-3-ethernet:activated\n"
                                            "vswitch0:vswitch0:bridge:activated\n"
                                            "bond0::bond:\n"
                                            "half:line\n"
                                            "\n"));
        host.runner.on(show("lan"), Answer::ok(kLanShown));
        host.runner.on(show("vswitch0"), Answer::ok(kBridgeShown));
        host.runner.on(show("bond0"), Answer::ok(kBondShown));
        host.runner.on(kNetList, Answer::ok("default\n\n"));
        host.runner.on({"virsh", "net-info", "default"}, Answer::ok(kNetInfo));
        host.runner.on({"virsh", "net-dumpxml", "default"}, Answer::ok(kNetXml));
        host.runner.on(kBridges, Answer::ok(kIpBridges));
    }
    FakeHost host;
};

TEST_F(Snapshot, ReadsProfilesNetworksBridgeMacsTopologyAndLedger) {
    host.write_file(kLedger, R"({"vswitches": ["Lab"], "vlan_bridges": [], "created_at": "2024-03-01T00:00:00+00:00",
                                 "veth_pairs": ["veth_vswitch1_vswitch0", "vvs2_vs0", "veth0"]})");
    host.write_file("/var/lib/quillmar/master_bridges.json", R"(["vswitch0"])");
    host.write_file("/var/lib/quillmar/bridge_connections.json", R"({"vswitch0": ["vswitch1", "vswitch2"]})");

    auto c = collect_network_config(host.ctx, "weekly", std::string("note"), false);
    ASSERT_TRUE(c) << c.error().message;

    EXPECT_EQ(c->metadata, (BackupMetadata{"weekly", std::string("note"), march5(), "1.0.0", false}));

    ConnectionInfo lan;
    lan.name = "lan";
    lan.uuid = "eno1";
    lan.type_ = "802-3-ethernet";
    lan.interface_name = "eno1";
    lan.master = "vswitch0";
    lan.slave_type = "bridge";
    lan.mac_address = "52:54:00:12:34:56";
    lan.ipv4_method = "disabled";
    lan.ipv6_method = "ignore";
    lan.autoconnect = true;
    ConnectionInfo bridge;
    bridge.name = "vswitch0";
    bridge.uuid = "vswitch0";
    bridge.type_ = "bridge";
    bridge.interface_name = "vswitch0";
    bridge.bridge_mac_address = "52:54:00:AA:BB:CC";
    bridge.ipv4_method = "auto";
    bridge.ipv6_method = "auto";
    bridge.autoconnect = false;
    ConnectionInfo bond;
    bond.name = "bond0";
    bond.type_ = "bond";
    bond.interface_name = "bond0";
    bond.bond_options = "mode=active-backup,miimon=100";
    EXPECT_EQ(c->network_manager.connections, (std::vector<ConnectionInfo>{lan, bridge, bond}));

    EXPECT_EQ(c->libvirt_networks,
              (std::vector<LibvirtNetwork>{{"default", "8d2a1c63-52f0-4e6b-9a1f-0c3e7d5b2a91", true, true, false,
                                            std::string("virbr0"), kNetXml}}));
    EXPECT_EQ(c->bridge_mac_addresses,
              (BridgeMacMap{{"vswitch0", "52:54:00:aa:bb:cc"}, {"virbr0", "52:54:00:9f:41:0b"}}));

    const std::vector<VethConnection> veths = {
        {"veth_vswitch1_vswitch0", "veth_vswitch0_vswitch1", "vswitch1", "vswitch0", march5(), "vswitch1_vswitch0"},
        {"vvs2_vs0", "vvs0_vs2", "vswitch2", "vswitch0", march5(), "vswitch2_vswitch0"},
    };
    EXPECT_EQ(c->veth_connections, veths);
    EXPECT_EQ(c->bridge_topology.veth_pairs, veths);
    EXPECT_EQ(c->bridge_topology.master_bridges, (MasterBridgeList{"vswitch0"}));
    EXPECT_EQ(c->bridge_topology.bridge_connections, (BridgeConnectionMap{{"vswitch0", {"vswitch1", "vswitch2"}}}));
    ASSERT_TRUE(c->managed_resources);
    EXPECT_EQ(c->managed_resources->vswitches, (std::vector<std::string>{"Lab"}));
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(), "");

    // Nine runs per profile, one after another, then virsh and ip; every one a query.
    std::vector<Argv> expected = {kListing, kFiles};
    for (const char* p : {"lan", "vswitch0", "bond0"})
        for (int i = 0; i < 9; ++i) expected.push_back(show(p));
    expected.insert(expected.end(), {kNetList, {"virsh", "net-info", "default"}, {"virsh", "net-dumpxml", "default"},
                                     kBridges});
    EXPECT_EQ(host.runner.argvs(), expected);
    for (const auto& call : host.runner.calls) EXPECT_EQ(call.mode, RunMode::Query);
}

// The loopback profile and what NetworkManager holds only in memory (the profiles it makes up
// for veth ends it finds on a bridge, say) are not the administrator's configuration.
TEST_F(Snapshot, LeavesOutTheLoopbackAndTheProfilesThatLiveOnlyInMemory) {
    host.runner.on(kListing, Answer::ok("lo:lo:loopback:activated\n"
                                        "vvs1_vs0:vvs1_vs0:802-3-ethernet:activated\n"
                                        "lan:eno1:802-3-ethernet:activated\n"
                                        "vswitch0:vswitch0:bridge:activated\n"
                                        "a\\:b::802-3-ethernet:\n"));
    host.runner.on(kFiles, Answer::ok("lo:/run/NetworkManager/system-connections/lo.nmconnection\n"
                                      "vvs1_vs0:/run/NetworkManager/system-connections/vvs1_vs0.nmconnection\n"
                                      "lan:/etc/NetworkManager/system-connections/lan.nmconnection\n"
                                      // made up in memory, but a stored profile has the name as well
                                      "vswitch0:/run/NetworkManager/system-connections/vswitch0.nmconnection\n"
                                      "vswitch0:/etc/NetworkManager/system-connections/vswitch0.nmconnection\n"
                                      "a\\:b:/run/NetworkManager/system-connections/a\\:b.nmconnection\n"));
    auto c = collect_network_config(host.ctx, "n", std::nullopt, true);
    ASSERT_TRUE(c) << c.error().message;
    std::vector<std::string> names;
    for (const auto& p : c->network_manager.connections) names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"lan", "vswitch0"}));
    for (const auto& a : host.runner.argvs_of("nmcli"))
        if (a.size() == 4) {
            EXPECT_TRUE(a[3] == "lan" || a[3] == "vswitch0") << testing::PrintToString(a);
        }

    // When nmcli cannot tell where profiles live, none is left out but the loopback.
    host.runner.on(kFiles, Answer::exit(2));
    c = collect_network_config(host.ctx, "n", std::nullopt, true);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_EQ(c->network_manager.connections.size(), 4u);
}

// nmcli stores a master named by its profile as the profile's UUID; the backup keeps the
// interface of that saved profile, which a restore can find again.
TEST_F(Snapshot, AMasterGivenAsTheUuidOfASavedProfileIsKeptAsItsInterface) {
    std::string lan = kLanShown;
    lan.replace(lan.find("vswitch0\n"), 8, "8b71c0de");
    host.runner.on(show("lan"), Answer::ok(lan));
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "vswitch0"}, Answer::ok("8b71c0de\n"));
    auto c = collect_network_config(host.ctx, "weekly", std::nullopt, false);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_EQ(c->network_manager.connections.at(0).master, "vswitch0") << testing::PrintToString(host.runner.argvs());
}

TEST_F(Snapshot, PropertyLinesArePickedByTheirKeysAndValues) {
    host.runner.on(kListing, Answer::ok("p:d:802-3-ethernet:\n"));
    host.runner.on(show("p"),
                   Answer::ok("connection.autoconnect-priority: 5\n"
                              "connection.master:   \n"
                              "connection.master: --\n"
                              "x.connection.master:  vswitch3 \n"
                              "bond.options: --\n"
                              "bond.options: mode=802.3ad\n"
                              "connection.autoconnect: maybe\n"
                              "connection.autoconnect: yes\n"
                              "  802-3-ethernet.mac-address:\t52:54:00:00:00:01\t\n"
                              "connection.interface-name: --\n"));
    auto c = collect_network_config(host.ctx, "n", std::nullopt, true);
    ASSERT_TRUE(c) << c.error().message;
    ASSERT_EQ(c->network_manager.connections.size(), 1u);
    const ConnectionInfo& p = c->network_manager.connections[0];
    EXPECT_EQ(p.master, "vswitch3");                   // the first line whose value is set
    EXPECT_EQ(p.bond_options, std::nullopt);           // only the first line counts
    EXPECT_EQ(p.autoconnect, false);                   // anything but "yes"
    EXPECT_EQ(p.mac_address, "52:54:00:00:00:01");     // colons inside the value are kept
    EXPECT_EQ(p.interface_name, std::nullopt);         // shown as unset
    EXPECT_EQ(p.slave_type, std::nullopt);             // no line at all
}

TEST_F(Snapshot, AProfileWhoseShowFailsIsKeptWithoutProperties) {
    host.runner.on(show("lan"), Answer::exit(10, kLanShown));
    auto c = collect_network_config(host.ctx, "n", std::nullopt, false);
    ASSERT_TRUE(c) << c.error().message;
    ConnectionInfo bare;
    bare.name = "lan";
    bare.uuid = "eno1";
    bare.type_ = "802-3-ethernet";
    EXPECT_EQ(c->network_manager.connections.at(0), bare);
}

TEST_F(Snapshot, NetworkFactsFollowTheirLines) {
    host.runner.on(kNetList, Answer::exit(1, " Name \n-----\nlab\n"));
    host.runner.on({"virsh", "net-info", "lab"},
                   Answer::ok("UUID: 1111: extra\n  Active: no\n  Active: yes  \nPersistent: nope\n"));
    host.runner.on({"virsh", "net-dumpxml", "lab"}, Answer::ok("<network>\n  <bridge name='vswitch5\n</network>"));
    host.runner.on({"virsh", "net-info", "-----"}, Answer::ok(""));
    auto c = collect_network_config(host.ctx, "n", std::nullopt, false);
    ASSERT_TRUE(c) << c.error().message;
    ASSERT_EQ(c->libvirt_networks.size(), 2u);
    EXPECT_EQ(c->libvirt_networks[0].name, "-----");
    EXPECT_EQ(c->libvirt_networks[0].uuid, "");
    EXPECT_FALSE(c->libvirt_networks[0].bridge);
    const LibvirtNetwork& lab = c->libvirt_networks[1];
    EXPECT_EQ(lab.uuid, "1111");
    EXPECT_TRUE(lab.active);        // the last "Active:" line decides
    EXPECT_FALSE(lab.persistent);   // "nope" holds no "yes"
    EXPECT_FALSE(lab.autostart);    // no line
    EXPECT_EQ(lab.bridge, "vswitch5");
    EXPECT_EQ(lab.xml_config, "<network>\n  <bridge name='vswitch5\n</network>");
}

TEST_F(Snapshot, BridgeMacsOfTheNamedBridgesOnly) {
    // Lines that begin with a bridge name name the bridge too; the address of a bridge whose
    // name is not kept (br-lab above, br0 here) is never filed under the bridge before it.
    host.runner.on(kBridges, Answer::ok("vswitch1: state UP\n"
                                        "  link/ether 52:54:00:00:00:01 brd ff:ff:ff:ff:ff:ff\n"
                                        "  link/ether 52:54:00:00:00:02\n"
                                        "cni0\n"
                                        "link/ether\n"
                                        "9: br0: <BROADCAST> mtu 1500\n"
                                        "  link/ether 02:00:00:00:00:09 brd ff:ff:ff:ff:ff:ff\n"
                                        "10: brd7@if3: <BROADCAST> mtu 1500\n"
                                        "  link/ether 02:00:00:00:00:07\n"));
    auto c = collect_network_config(host.ctx, "n", std::nullopt, false);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_EQ(c->bridge_mac_addresses, (BridgeMacMap{{"vswitch1", "52:54:00:00:00:02"}, {"brd7", "02:00:00:00:00:07"}}));
}

TEST_F(Snapshot, AHostWithoutVirshHasNoNetworks) {
    host.runner.missing("virsh");
    auto c = collect_network_config(host.ctx, "n", std::nullopt, false);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_TRUE(c->libvirt_networks.empty());
    EXPECT_EQ(c->bridge_mac_addresses.size(), 2u);
}

TEST_F(Snapshot, EndsWithAnErrorWhenAToolItNeedsCannotStart) {
    struct Case {
        Argv prefix;
        int spawn_errno;
        std::string message;
    };
    for (const Case& k : {
             Case{{"nmcli", "-t"}, ENOENT, "No such file or directory (os error 2)"},
             Case{{"virsh", "net-list"}, EACCES, "Permission denied (os error 13)"},
             Case{{"virsh", "net-info"}, ENOENT, "No such file or directory (os error 2)"},
             Case{{"virsh", "net-dumpxml"}, EACCES, "Permission denied (os error 13)"},
             Case{{"ip"}, ENOENT, "No such file or directory (os error 2)"},
         }) {
        FakeHost h;
        h.runner.on(kListing, Answer::ok("lan:eno1:802-3-ethernet:activated\n"));
        h.runner.on(kNetList, Answer::ok("default\n"));
        Answer cannot_start;
        cannot_start.spawn_errno = k.spawn_errno;
        h.runner.on_prefix(k.prefix, cannot_start);
        auto c = collect_network_config(h.ctx, "n", std::nullopt, false);
        ASSERT_FALSE(c) << k.prefix[0] << " " << k.prefix[1 % k.prefix.size()];
        EXPECT_EQ(c.error().message, k.message);
    }
    FakeHost h;
    h.runner.on(kListing, Answer::exit(8));
    auto c = collect_network_config(h.ctx, "n", std::nullopt, false);
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().message, "Failed to get all connections");
    EXPECT_EQ(h.runner.argvs(), (std::vector<Argv>{kListing}));
}

TEST_F(Snapshot, WithoutStateFilesTheTopologyAndLedgerAreEmpty) {
    auto c = collect_network_config(host.ctx, "n", std::nullopt, false);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_FALSE(c->managed_resources);
    EXPECT_TRUE(c->veth_connections.empty());
    EXPECT_EQ(c->bridge_topology, BridgeTopology{});
    EXPECT_EQ(host.err.str(), "");
}

TEST_F(Snapshot, ALedgerThatDoesNotParseGivesOneWarningAndNone) {
    host.write_file(kLedger, "{\"vswitches\": [\"Lab\"], \"veth_pairs\": [\"veth_a_b\"]");
    host.write_file("/var/lib/quillmar/master_bridges.json", "not json");
    auto c = collect_network_config(host.ctx, "n", std::nullopt, false);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_FALSE(c->managed_resources);
    EXPECT_TRUE(c->veth_connections.empty());
    EXPECT_TRUE(c->bridge_topology.veth_pairs.empty());
    EXPECT_TRUE(c->bridge_topology.master_bridges.empty());
    EXPECT_EQ(host.err.str(),
              "[!] Warning: Failed to parse managed resources file: EOF while parsing an object at line 1 column 49\n");
}

TEST(VethFromTracking, DerivesOneRecordPerVethEntryWithTwoBridges) {
    FakeHost host;
    host.clock.t = march5();
    EXPECT_TRUE(veth_connections_from_tracking(host.ctx).empty());

    for (const char* text : {"[]", "{\"veth_pairs\": {}}", "{}", "nonsense", "\"veth_a_b\""}) {
        host.write_file(kLedger, text);
        EXPECT_TRUE(veth_connections_from_tracking(host.ctx).empty()) << text;
    }
    // Only the entries matter, not whether the rest is a valid ledger.
    host.write_file(kLedger, R"({"veth_pairs": ["veth_a_b_c", "veth_x", "veth_", "veth0", "vvs1_vs0", null, "veth__y"]})");
    EXPECT_EQ(veth_connections_from_tracking(host.ctx),
              (std::vector<VethConnection>{{"veth_a_b_c", "veth_b_a", "a", "b", march5(), "a_b"},
                                           {"veth__y", "veth_y_", "", "y", march5(), "_y"}}));
}

TEST(VethFromTracking, TheBridgeEndOfARecordedJoinGivesTheRecordOfThatJoin) {
    FakeHost host;
    host.clock.t = march5();
    // As `vswitch connect` leaves them: both ends tracked, the join recorded under the master.
    host.write_file(kLedger, R"({"veth_pairs": ["vvs0_vs1", "vvs1_vs0", "vlab_vs0", "vvs0_lab", "vvs9_vs0", "veth0"]})");
    host.write_file("/var/lib/quillmar/bridge_connections.json", R"({"vswitch0": ["vswitch1", "lab", "vswitch1"]})");
    EXPECT_EQ(veth_connections_from_tracking(host.ctx),
              (std::vector<VethConnection>{
                  {"vvs1_vs0", "vvs0_vs1", "vswitch1", "vswitch0", march5(), "vswitch1_vswitch0"},
                  {"vlab_vs0", "vvs0_lab", "lab", "vswitch0", march5(), "lab_vswitch0"},
              }));
    // Without the join file those entries give nothing.
    std::filesystem::remove(host.file("/var/lib/quillmar/bridge_connections.json"));
    EXPECT_TRUE(veth_connections_from_tracking(host.ctx).empty());
}

}  // namespace
}  // namespace qm
