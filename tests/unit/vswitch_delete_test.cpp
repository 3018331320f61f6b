#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "support/fake_host.hpp"
#include "utils/managed_resources/managed_resources.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;
using Argv = std::vector<std::string>;
using Argvs = std::vector<Argv>;

constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";
constexpr const char* kMasters = "/var/lib/quillmar/master_bridges.json";
const Argv kNameType = {"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"};
const Argv kAllConnections = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};

Argv uuid_of(const std::string& name) { return {"nmcli", "-g", "connection.uuid", "connection", "show", name}; }
Argv master_of(const std::string& name) { return {"nmcli", "-g", "connection.master", "connection", "show", name}; }
Argv interface_of(const std::string& name) {
    return {"nmcli", "-g", "connection.interface-name", "connection", "show", name};
}

void bridges(FakeHost& host, const std::vector<std::string>& devices) {
    std::string listing;
    for (const auto& d : devices) listing += d + ":bridge\n";
    host.runner.on({"nmcli", "-t", "-f", "DEVICE,TYPE", "device", "status"}, Answer::ok(listing));
}

// The calls that change something, in order (queries left out).
Argvs changes(const FakeHost& host) {
    Argvs v;
    for (const auto& c : host.runner.calls)
        if (c.mode == RunMode::Change) v.push_back(c.argv);
    return v;
}

TEST(VswitchDelete, ProfilesNamedLikeOptionsFollowId) {
    FakeHost host;
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "id", "--help"}, Answer::ok("u-help\n"));
    // "--help Uplink" names no master (released by hand): it goes all the same.
    host.runner.on(kNameType, Answer::ok("-p:802-3-ethernet\n--help:bridge\n--help Uplink:802-3-ethernet\n"));
    host.runner.on({"nmcli", "-g", "connection.master", "connection", "show", "id", "-p"}, Answer::ok("u-help\n"));
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "id", "--help"},
                   Answer::ok("vswitch1\n"));
    host.runner.on(kAllConnections, Answer::ok("-stale::802-3-ethernet:\n"));

    delete_vswitch(host.ctx, "--help");

    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(changes(host), (Argvs{{"nmcli", "connection", "delete", "id", "-p"},
                                    {"nmcli", "connection", "delete", "id", "--help"},
                                    {"nmcli", "connection", "delete", "id", "--help Uplink"}}));
}

TEST(VswitchDelete, AMasterTakesTheJoinsOfItsBridgesWithIt) {
    FakeHost host;
    // "Hub" is the profile of vswitch1; eth1 is its port by UUID, eth2 names it by device.
    host.runner.on(uuid_of("Hub"), Answer::ok("u-hub\n"));
    host.runner.on(kNameType, Answer::ok("eth1:802-3-ethernet\nHub:bridge\neth2:802-3-ethernet\nwifi:802-11-wireless\n"));
    host.runner.on(master_of("eth1"), Answer::ok("u-hub\n"));
    host.runner.on(master_of("eth2"), Answer::ok("vswitch1\n"));
    host.runner.on(interface_of("Hub"), Answer::ok("vswitch1\n"));
    bridges(host, {"vswitch1", "vswitch2", "vswitch3", "vswitch5", "vswitch6"});
    host.runner.on(kAllConnections, Answer::ok("eth2::802-3-ethernet:\nlan:eno1:802-3-ethernet:activated\n"));
    host.write_file(kJoins, R"({"vswitch5": ["vswitch6"], "vswitch1": ["vswitch2", "vswitch3"]})");
    host.write_file(kMasters, R"(["vswitch1"])");
    track_managed_resource(host.ctx, "vswitch", "Hub");
    track_managed_resource(host.ctx, "vswitch", "Lab");
    for (const char* veth : {"vvs2_vs1", "vvs1_vs2", "vvs3_vs1", "vvs1_vs3", "vvs6_vs5", "vvs5_vs6"})
        track_managed_resource(host.ctx, "veth_pair", veth);

    delete_vswitch(host.ctx, "Hub");

    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(),
              "[+] Cleaning up veth pairs associated with bridge 'Hub'\n"
              "[+] Found connection: vswitch1 -> vswitch2 (master relationship)\n"
              "[+] Deleting veth pair: vswitch2 <-> vswitch1 (interfaces: vvs2_vs1 <-> vvs1_vs2)\n"
              "  - Successfully deleted veth pair: vvs2_vs1 <-> vvs1_vs2\n"
              "[+] Found connection: vswitch1 -> vswitch3 (master relationship)\n"
              "[+] Deleting veth pair: vswitch3 <-> vswitch1 (interfaces: vvs3_vs1 <-> vvs1_vs3)\n"
              "  - Successfully deleted veth pair: vvs3_vs1 <-> vvs1_vs3\n"
              "[+] Cleaned up 2 veth pairs associated with bridge 'vswitch1'\n"
              "[+] Cleaning up stale NetworkManager connections...\n"
              "[+] No stale connections found\n");
    // eth2 names the bridge by device: a port like eth1, not something a sweep happens upon.
    EXPECT_EQ(changes(host), (Argvs{{"nmcli", "connection", "delete", "eth1"},
                                    {"nmcli", "connection", "delete", "eth2"},
                                    {"nmcli", "connection", "delete", "veth-vswitch2-vswitch1"},
                                    {"nmcli", "connection", "delete", "veth-vswitch1-vswitch2"},
                                    {"ip", "link", "delete", "vvs2_vs1"},
                                    {"nmcli", "connection", "delete", "veth-vswitch3-vswitch1"},
                                    {"nmcli", "connection", "delete", "veth-vswitch1-vswitch3"},
                                    {"ip", "link", "delete", "vvs3_vs1"},
                                    {"nmcli", "connection", "delete", "Hub"}}));
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch5", {"vswitch6"}}}));
    // Being a master is recorded apart from the bridge, and outlives it.
    EXPECT_EQ(host.read_file(kMasters), R"(["vswitch1"])");
    auto ledger = load_managed_resources(host.ctx).value;
    EXPECT_EQ(ledger.vswitches, std::vector<std::string>{"Lab"});
    EXPECT_EQ(ledger.veth_pairs, (std::vector<std::string>{"vvs6_vs5", "vvs5_vs6"}));
}

// A pair that cannot be deleted is reported, and its join forgotten all the same: the next
// bridge made on vswitch2 must not be joined to vswitch7 by `vswitch veth restore`.
TEST(VswitchDelete, AJoinedBridgeLeavesEachMastersListOnceAndCountsOnlyDeletedPairs) {
    FakeHost host;
    host.add_link("vvs2_vs7");
    host.runner.on(uuid_of("vswitch2"), Answer::ok("u-2\n"));
    bridges(host, {"vswitch1", "vswitch2", "vswitch4", "vswitch7"});
    host.write_file(kJoins, R"({"vswitch1": ["vswitch2", "vswitch4", "vswitch2"], "vswitch7": ["vswitch2"]})");
    host.runner.on({"ip", "link", "delete", "vvs2_vs7"}, Answer::exit(1));

    delete_vswitch(host.ctx, "vswitch2");

    EXPECT_EQ(host.out.str(),
              "[+] Cleaning up veth pairs associated with bridge 'vswitch2'\n"
              "[+] Found connection: vswitch2 -> vswitch1 (connected to master)\n"
              "[+] Deleting veth pair: vswitch2 <-> vswitch1 (interfaces: vvs2_vs1 <-> vvs1_vs2)\n"
              "  - Successfully deleted veth pair: vvs2_vs1 <-> vvs1_vs2\n"
              "[+] Found connection: vswitch2 -> vswitch7 (connected to master)\n"
              "[+] Deleting veth pair: vswitch2 <-> vswitch7 (interfaces: vvs2_vs7 <-> vvs7_vs2)\n"
              "  - Failed to delete veth pair: vvs2_vs7 <-> vvs7_vs2 (exit code: exit status: 1)\n"
              "[+] Cleaned up 1 veth pairs associated with bridge 'vswitch2'\n"
              "[+] Cleaning up stale NetworkManager connections...\n"
              "[+] No stale connections found\n");
    EXPECT_EQ(host.err.str(), "Failed to delete veth pair 'vvs2_vs7' <-> 'vvs7_vs2'\n");
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch1", {"vswitch4"}}}));
}

TEST(VswitchDelete, WithoutJoinsOrWithoutADeviceTheProfilesStillGo) {
    struct Case {
        std::string name;
        std::vector<std::string> bridges;
        std::string veth_lines;
    };
    const Case cases[] = {
        {"vswitch4", {"vswitch4"}, "[+] No veth pairs found associated with bridge 'vswitch4'\n"},
        {"Management Network", {},
         "[-] Could not resolve bridge device name for 'Management Network', skipping veth cleanup\n"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(uuid_of(c.name), Answer::ok("u-1"));
        bridges(host, c.bridges);
        host.write_file(kJoins, R"({"vswitch0": ["vswitch1"]})");

        delete_vswitch(host.ctx, c.name);

        EXPECT_EQ(host.out.str(), "[+] Cleaning up veth pairs associated with bridge '" + c.name + "'\n" + c.veth_lines +
                                      "[+] Cleaning up stale NetworkManager connections...\n"
                                      "[+] No stale connections found\n")
            << c.name;
        // No "<name> Uplink" is listed: nmcli would refuse its deletion.
        EXPECT_EQ(changes(host), (Argvs{{"nmcli", "connection", "delete", c.name}})) << c.name;
        EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch1"}}})) << c.name;
    }
}

TEST(VswitchDelete, StopsBeforeDeletingAnything) {
    struct Case {
        std::string what;
        Answer uuid;
        Answer listing;
        std::string err;
    };
    const Case cases[] = {
        {"no profile of that name", Answer::exit(10, ""), Answer::ok(),
         "Could not find UUID for bridge 'Lab'.\n"},
        {"nmcli cannot be started", Answer::missing(), Answer::ok(),
         "Failed to get bridge UUID: No such file or directory (os error 2)\n"},
        {"the profile listing cannot be started", Answer::ok(" u-1 \n"), Answer::missing(),
         "Failed to list connections: No such file or directory (os error 2)\n"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(uuid_of("Lab"), c.uuid);
        host.runner.on(kNameType, c.listing);
        track_managed_resource(host.ctx, "vswitch", "Lab");
        delete_vswitch(host.ctx, "Lab");
        EXPECT_EQ(host.err.str(), c.err) << c.what;
        EXPECT_EQ(host.out.str(), "") << c.what;
        EXPECT_EQ(changes(host), Argvs{}) << c.what;
        EXPECT_EQ(load_managed_resources(host.ctx).value.vswitches, std::vector<std::string>{"Lab"}) << c.what;
    }
}

TEST(VswitchSetMaster, MarksTheResolvedDeviceOnceAndOnlyWhenItIsListed) {
    FakeHost host;
    host.runner.on(kNameType, Answer::ok("Storage:bridge\n"));
    host.runner.on(interface_of("Storage"), Answer::ok("vswitch4\n"));
    bridges(host, {"vswitch4", "virbr0"});
    host.runner.on({"nmcli", "device", "status"},
                   Answer::ok("DEVICE    TYPE    STATE      CONNECTION\n"
                              "vswitch4  bridge  connected  Storage\n"
                              "virbr0    bridge  connected  (externally)\n"
                              "vswitch9\xff  bridge  connected  --\n"));

    set_master_bridge(host.ctx, "Storage");
    set_master_bridge(host.ctx, "Storage");
    set_master_bridge(host.ctx, "virbr0");
    set_master_bridge(host.ctx, "vswitch9");
    set_master_bridge(host.ctx, "vswitch9\xff");

    EXPECT_EQ(host.out.str(),
              "[+] Marking bridge 'vswitch4' as master (metadata only)\n"
              "[+] Marking bridge 'vswitch4' as master (metadata only)\n"
              "[+] Marking bridge 'virbr0' as master (metadata only)\n");
    // A listing line that is not valid UTF-8 never matches.
    EXPECT_EQ(host.err.str(), "[-] Bridge 'vswitch9' not found\n[-] Bridge 'vswitch9\xff' not found\n");
    EXPECT_EQ(load_master_bridges(host.ctx), (MasterBridgeList{"vswitch4", "virbr0"}));
    EXPECT_EQ(changes(host), Argvs{});
}

}  // namespace
}  // namespace qm
