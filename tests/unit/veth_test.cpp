#include "cmds/bridge/veth.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "cmds/bridge/topology.hpp"
#include "support/fake_host.hpp"
#include "utils/managed_resources/managed_resources.hpp"

namespace qm {
namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::Call;
using test::FakeHost;
using Argv = std::vector<std::string>;
using Argvs = std::vector<Argv>;

constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";
constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr RunMode kCaptured = RunMode::QueryWithStderr;

// Bridge devices that `nmcli device status` shows, so each resolves by its own name.
void bridges(FakeHost& host, const std::vector<std::string>& devices) {
    std::string listing;
    for (const auto& d : devices) listing += d + ":bridge\n";
    host.runner.on({"nmcli", "-t", "-f", "DEVICE,TYPE", "device", "status"}, Answer::ok(listing));
}

// Interfaces the plain device listing shows.
void devices(FakeHost& host, const std::vector<std::string>& names) {
    std::string listing = "DEVICE      TYPE      STATE      CONNECTION\n";
    for (const auto& n : names) listing += n + "  veth  connected  --\n";
    host.runner.on({"nmcli", "device", "status"}, Answer::ok(listing));
}

void enslaved(const FakeHost& host, const std::string& iface, const std::string& master) {
    const auto dir = host.file("/sys/class/net") / iface;
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink("../" + master, dir / "master");
}

// A host on which the first join can install its boot units.
void with_unit_dir(const FakeHost& host) { std::filesystem::create_directories(host.file("/etc/systemd/system")); }

std::vector<std::string> tracked_veths(const FakeHost& host) {
    auto ledger = load_managed_resources(host.ctx);
    return ledger.value.veth_pairs;
}

std::vector<Call> calls_of(const FakeHost& host, const std::string& program) {
    std::vector<Call> v;
    for (const auto& c : host.runner.calls)
        if (c.argv[0] == program) v.push_back(c);
    return v;
}

TEST(VethNames, ShortNamesReplaceEveryVswitch) {
    struct Case {
        std::string bridge, master;
        VethPairNames names;
    };
    const Case cases[] = {
        {"vlan100br", "vswitch0", {"vvlan100br_vs0", "vvs0_vlan100br", "veth-vlan100br-vswitch0", "veth-vswitch0-vlan100br"}},
        {"vswitch1", "vswitch0", {"vvs1_vs0", "vvs0_vs1", "veth-vswitch1-vswitch0", "veth-vswitch0-vswitch1"}},
        {"vswitch12", "br-lan", {"vvs12_br-lan", "vbr-lan_vs12", "veth-vswitch12-br-lan", "veth-br-lan-vswitch12"}},
    };
    for (const auto& c : cases) EXPECT_EQ(generate_veth_names(c.bridge, c.master), c.names) << c.bridge;
    // The two orders name the same interfaces with their roles swapped.
    EXPECT_EQ(generate_veth_names("vswitch0", "vswitch1").veth_name, generate_veth_names("vswitch1", "vswitch0").veth_peer);

    EXPECT_EQ(shorten_vswitch_name("vswitchvswitch2"), "vsvs2");
    EXPECT_EQ(shorten_vswitch_name("my-vswitch-vswitc"), "my-vs-vswitc");
    EXPECT_EQ(shorten_vswitch_name("VSWITCH1"), "VSWITCH1");
    EXPECT_EQ(shorten_vswitch_name(""), "");
}

// ------------------------------------------------------------------ connect

TEST(VethConnect, JoinsAProfileNamedBridgeToAMasterAndRecordsTheDevices) {
    FakeHost host;
    with_unit_dir(host);
    // "Storage" is the profile of vswitch3; vswitch0 is found by its device.
    host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"}, Answer::ok("Storage:bridge\n"));
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "Storage"},
                   Answer::ok("vswitch3\n"));
    bridges(host, {"vswitch0", "vswitch3"});

    connect_bridge_to_master(host.ctx, "Storage", "vswitch0");

    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(),
              "[+] Connecting bridge 'Storage' to master 'vswitch0'\n"
              "[+] Allowing kernel to process veth pair creation...\n"
              "[+] Successfully added veth 'vvs3_vs0' to bridge 'vswitch3'\n"
              "[+] Allowing kernel to process first bridge attachment...\n"
              "[+] Successfully added veth 'vvs0_vs3' to master bridge 'vswitch0'\n"
              "[+] Creating systemd service for veth persistence...\n"
              "[+] Systemd service 'quillmar-veth-restore' created and enabled\n"
              "[+] Veth pairs will be automatically restored on boot\n"
              "[+] Creating systemd timer for periodic veth pair checking...\n"
              "[+] Systemd timer 'quillmar-veth-check' created and started\n"
              "[+] Veth pairs will be checked and restored every 3 minutes if needed\n"
              "[+] Successfully connected bridge 'Storage' to master 'vswitch0' with persistent veth pairs\n");
    EXPECT_EQ(calls_of(host, "ip"),
              (std::vector<Call>{
                  {{"ip", "link", "add", "vvs3_vs0", "type", "veth", "peer", "name", "vvs0_vs3"}, RunMode::Change},
                  {{"ip", "link", "set", "vvs3_vs0", "master", "vswitch3"}, kCaptured},
                  {{"ip", "link", "set", "vvs0_vs3", "master", "vswitch0"}, kCaptured},
                  {{"ip", "link", "set", "vvs3_vs0", "up"}, RunMode::Change},
                  {{"ip", "link", "set", "vvs0_vs3", "up"}, RunMode::Change},
              }));
    EXPECT_EQ(host.sleeper.pauses, (std::vector<std::chrono::milliseconds>{200ms, 200ms}));
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch3"}}}));
    EXPECT_EQ(tracked_veths(host), (std::vector<std::string>{"vvs3_vs0", "vvs0_vs3"}));
    EXPECT_TRUE(std::filesystem::exists(host.file("/etc/systemd/system/quillmar-veth-restore.service")));

    // A second join finds the file and installs nothing more.
    host.out.str("");
    host.runner.calls.clear();
    bridges(host, {"vswitch0", "vswitch3", "vswitch4"});
    connect_bridge_to_master(host.ctx, "vswitch4", "vswitch0");
    EXPECT_EQ(host.runner.argvs_of("systemctl"), Argvs{});
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch3", "vswitch4"}}}));
    EXPECT_EQ(tracked_veths(host), (std::vector<std::string>{"vvs3_vs0", "vvs0_vs3", "vvs4_vs0", "vvs0_vs4"}));
}

TEST(VethConnect, StopsAtTheFirstFailureWithNothingRecorded) {
    struct Case {
        std::string what;
        std::vector<std::string> bridges;
        Argv failing;
        Answer answer;
        std::string err;
        std::size_t ip_calls;
        std::size_t pauses;
    };
    const Argv add = {"ip", "link", "add", "vvs1_vs0", "type", "veth", "peer", "name", "vvs0_vs1"};
    const Argv bridge_end = {"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"};
    const Argv master_end = {"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"};
    Answer refused = Answer::exit(2);
    refused.err = "RTNETLINK answers: Operation not permitted\n";
    Answer killed;
    killed.signal = SIGKILL;
    const Case cases[] = {
        {"bridge unknown", {"vswitch0"}, {}, Answer::ok(), "[-] Bridge 'vswitch1' not found\n", 0, 0},
        {"master unknown", {"vswitch1"}, {}, Answer::ok(), "[-] Master bridge 'vswitch0' not found\n", 0, 0},
        {"ip missing", {"vswitch0", "vswitch1"}, add, Answer::missing(),
         "[-] Failed to create veth pair: No such file or directory (os error 2)\n", 1, 0},
        {"pair exists", {"vswitch0", "vswitch1"}, add, Answer::exit(2),
         "[-] Veth creation failed with exit code: exit status: 2\n", 1, 0},
        {"bridge end refused", {"vswitch0", "vswitch1"}, bridge_end, refused,
         "[-] Failed to add veth 'vvs1_vs0' to bridge 'vswitch1' with exit code: exit status: 2\n"
         "[-] Error output: RTNETLINK answers: Operation not permitted\n\n",
         2, 1},
        {"bridge end not startable", {"vswitch0", "vswitch1"}, bridge_end, Answer::missing(),
         "[-] Failed to add veth 'vvs1_vs0' to bridge 'vswitch1': No such file or directory (os error 2)\n", 2, 1},
        {"master end killed", {"vswitch0", "vswitch1"}, master_end, killed,
         "[-] Failed to add veth 'vvs0_vs1' to master bridge 'vswitch0' with exit code: signal: 9 (SIGKILL)\n"
         "[-] Error output: \n",
         3, 2},
    };
    for (const auto& c : cases) {
        FakeHost host;
        with_unit_dir(host);
        bridges(host, c.bridges);
        if (!c.failing.empty()) host.runner.on(c.failing, c.answer);
        connect_bridge_to_master(host.ctx, "vswitch1", "vswitch0");
        EXPECT_EQ(host.err.str(), c.err) << c.what;
        EXPECT_EQ(host.runner.argvs_of("ip").size(), c.ip_calls) << c.what;
        EXPECT_EQ(host.sleeper.pauses.size(), c.pauses) << c.what;
        EXPECT_EQ(host.out.str().find("Successfully connected"), std::string::npos) << c.what;
        EXPECT_FALSE(host.read_file(kJoins)) << c.what;
        EXPECT_FALSE(host.read_file(kLedger)) << c.what;
        EXPECT_EQ(host.runner.argvs_of("systemctl"), Argvs{}) << c.what;
    }
}

// ------------------------------------------------------------------ disconnect, isolate, quarantine

TEST(VethDisconnect, AFailedDeletionStillForgetsTheJoin) {
    FakeHost host;
    bridges(host, {"vswitch0", "vswitch1", "vswitch2"});
    host.write_file(kJoins, R"({"vswitch0": ["vswitch1", "vswitch2"]})");
    host.write_file(kLedger, R"({"vswitches": ["Storage"], "vlan_bridges": [], "bonds": [],
        "veth_pairs": ["vvs1_vs0", "vvs0_vs1", "vvs2_vs0", "vvs0_vs2"], "created_at": "2026-01-01T00:00:00+00:00"})");
    host.runner.on({"ip", "link", "delete", "vvs1_vs0"}, Answer::exit(1));

    disconnect_bridge_from_master(host.ctx, "vswitch1", "vswitch0");

    EXPECT_EQ(host.err.str(), "[-] Failed to remove veth interface with exit code: exit status: 1\n");
    EXPECT_EQ(host.out.str(),
              "[+] Disconnecting bridge 'vswitch1' from master 'vswitch0'\n"
              "[+] Successfully disconnected bridge 'vswitch1' from master 'vswitch0'\n");
    EXPECT_EQ(host.runner.calls.size(), 11u);
    const std::vector<Call> changes = {
        {{"nmcli", "connection", "delete", "veth-vswitch1-vswitch0"}, RunMode::Change},
        {{"nmcli", "connection", "delete", "veth-vswitch0-vswitch1"}, RunMode::Change},
        {{"ip", "link", "delete", "vvs1_vs0"}, RunMode::Change},
    };
    // After the two resolutions (two queries each), before the record's own resolutions.
    EXPECT_EQ(std::vector<Call>(host.runner.calls.begin() + 4, host.runner.calls.begin() + 7), changes);
    EXPECT_EQ(tracked_veths(host), (std::vector<std::string>{"vvs2_vs0", "vvs0_vs2"}));
    EXPECT_EQ(load_managed_resources(host.ctx).value.vswitches, std::vector<std::string>{"Storage"});
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch2"}}}));
}

TEST(VethDisconnect, AnUnknownNameStopsBeforeAnyChange) {
    FakeHost host;
    bridges(host, {"vswitch0"});
    host.write_file(kJoins, R"({"vswitch0": ["vswitch1"]})");
    disconnect_bridge_from_master(host.ctx, "vswitch1", "vswitch0");
    EXPECT_EQ(host.err.str(), "[-] Bridge 'vswitch1' not found\n");
    EXPECT_EQ(host.out.str(), "[+] Disconnecting bridge 'vswitch1' from master 'vswitch0'\n");
    EXPECT_EQ(host.runner.argvs_of("ip"), Argvs{});
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch1"}}}));
}

TEST(VethIsolate, DisconnectsEveryBridgeOfTheLoadedListInOrder) {
    FakeHost host;
    bridges(host, {"vswitch0", "vswitch1", "vswitch2", "vswitch5", "vswitch6"});
    host.write_file(kJoins, R"({"vswitch5": ["vswitch6"], "vswitch0": ["vswitch1", "vswitch2"]})");

    quarantine_bridge(host.ctx, "vswitch0");

    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(),
              "[+] Quarantining bridge 'vswitch0'\n"
              "[+] Isolating bridge 'vswitch0'\n"
              "[+] Disconnecting bridge 'vswitch1' from master 'vswitch0'\n"
              "[+] Successfully disconnected bridge 'vswitch1' from master 'vswitch0'\n"
              "[+] Disconnecting bridge 'vswitch2' from master 'vswitch0'\n"
              "[+] Successfully disconnected bridge 'vswitch2' from master 'vswitch0'\n"
              "[+] Bridge 'vswitch0' is now isolated\n"
              "[+] Bridge 'vswitch0' is now quarantined\n");
    EXPECT_EQ(host.runner.argvs_of("ip"),
              (Argvs{{"ip", "link", "delete", "vvs1_vs0"}, {"ip", "link", "delete", "vvs2_vs0"}}));
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch5", {"vswitch6"}}}));
}

TEST(VethIsolate, ANameThatIsNoKeyOnlyPrintsTheTwoLines) {
    // Looked up as typed: a joined bridge, or the master's profile name, is no key.
    for (const std::string name : {"vswitch1", "Storage"}) {
        FakeHost host;
        host.write_file(kJoins, R"({"vswitch0": ["vswitch1"]})");
        isolate_bridge(host.ctx, name);
        EXPECT_EQ(host.out.str(), "[+] Isolating bridge '" + name + "'\n[+] Bridge '" + name + "' is now isolated\n");
        EXPECT_EQ(host.err.str(), "");
        EXPECT_EQ(host.runner.calls, std::vector<Call>{});
        EXPECT_EQ(host.read_file(kJoins), R"({"vswitch0": ["vswitch1"]})");
    }
}

// ------------------------------------------------------------------ deletion of one pair

TEST(VethDeletePair, OnlyASuccessfulDeletionForgetsTheJoin) {
    FakeHost host;
    bridges(host, {"vswitch0", "vswitch1"});
    host.write_file(kJoins, R"({"vswitch0": ["vswitch1"]})");
    track_managed_resource(host.ctx, "veth_pair", "vvs1_vs0");
    track_managed_resource(host.ctx, "veth_pair", "vvs0_vs1");
    host.runner.on({"ip", "link", "delete", "vvs1_vs0"}, {Answer::exit(1), Answer::missing(), Answer::ok()});

    EXPECT_FALSE(delete_veth_pair(host.ctx, "vswitch1", "vswitch0"));
    EXPECT_FALSE(delete_veth_pair(host.ctx, "vswitch1", "vswitch0"));
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch1"}}}));
    EXPECT_EQ(tracked_veths(host), (std::vector<std::string>{"vvs1_vs0", "vvs0_vs1"}));

    EXPECT_TRUE(delete_veth_pair(host.ctx, "vswitch1", "vswitch0"));
    EXPECT_EQ(load_bridge_connections(host.ctx), BridgeConnectionMap{});
    EXPECT_EQ(tracked_veths(host), std::vector<std::string>{});

    const std::string opening = "[+] Deleting veth pair: vswitch1 <-> vswitch0 (interfaces: vvs1_vs0 <-> vvs0_vs1)\n";
    EXPECT_EQ(host.out.str(), opening + "  - Failed to delete veth pair: vvs1_vs0 <-> vvs0_vs1 (exit code: exit status: 1)\n" +
                                  opening +
                                  "  - Failed to delete veth pair: vvs1_vs0 <-> vvs0_vs1 (error: No such file or "
                                  "directory (os error 2))\n" +
                                  opening + "  - Successfully deleted veth pair: vvs1_vs0 <-> vvs0_vs1\n");
    EXPECT_EQ(host.err.str(), "");
    const Argvs argvs = host.runner.argvs();
    EXPECT_EQ(Argvs(argvs.begin(), argvs.begin() + 3),
              (Argvs{{"nmcli", "connection", "delete", "veth-vswitch1-vswitch0"},
                     {"nmcli", "connection", "delete", "veth-vswitch0-vswitch1"},
                     {"ip", "link", "delete", "vvs1_vs0"}}));
}

// ------------------------------------------------------------------ restore

TEST(VethRestore, CorrectFixedAndCreatedPairsAndTheirCount) {
    FakeHost host;
    bridges(host, {"vswitch0", "vswitch1", "vswitch2", "vswitch3", "vswitch9"});
    host.write_file(kJoins, R"({"vswitch0": ["vswitch1", "vswitch2", "vswitch3"]})");
    const std::string ledger_before = R"({"vswitches":[],"vlan_bridges":[],"veth_pairs":[],"created_at":"x"})";
    host.write_file(kLedger, ledger_before);
    // vswitch1's pair is right; vswitch2's bridge end sits in vswitch9; vswitch3's pair is gone
    // but for its master's end.
    devices(host, {"vvs1_vs0", "vvs0_vs1", "vvs2_vs0", "vvs0_vs2", "vvs0_vs3"});
    enslaved(host, "vvs1_vs0", "vswitch1");
    enslaved(host, "vvs0_vs1", "vswitch0");
    enslaved(host, "vvs2_vs0", "vswitch9");
    enslaved(host, "vvs0_vs2", "vswitch0");

    restore_veth_pairs(host.ctx);

    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(),
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] Restoring veth pair between 'vswitch1' and 'vswitch0'\n"
              "[+] Veth pair 'vvs1_vs0' <-> 'vvs0_vs1' already exists with correct masters, skipping\n"
              "[+] Restoring veth pair between 'vswitch2' and 'vswitch0'\n"
              "[+] Veth pair 'vvs2_vs0' <-> 'vvs0_vs2' exists but has incorrect masters, fixing...\n"
              "[+] Fixed master for 'vvs2_vs0' -> 'vswitch2'\n"
              "[+] Restoring veth pair between 'vswitch3' and 'vswitch0'\n"
              "[+] Successfully added veth 'vvs3_vs0' to bridge 'vswitch3'\n"
              "[+] Successfully added veth 'vvs0_vs3' to master bridge 'vswitch0'\n"
              "[+] Successfully restored veth pair 'vvs3_vs0' <-> 'vvs0_vs3'\n"
              "[+] Successfully restored 2 veth pairs\n");
    EXPECT_EQ(calls_of(host, "ip"),
              (std::vector<Call>{
                  {{"ip", "link", "set", "vvs2_vs0", "master", "vswitch2"}, RunMode::Change},
                  {{"ip", "link", "add", "vvs3_vs0", "type", "veth", "peer", "name", "vvs0_vs3"}, RunMode::Change},
                  {{"ip", "link", "set", "vvs3_vs0", "master", "vswitch3"}, kCaptured},
                  {{"ip", "link", "set", "vvs0_vs3", "master", "vswitch0"}, kCaptured},
                  {{"ip", "link", "set", "vvs3_vs0", "up"}, RunMode::Change},
                  {{"ip", "link", "set", "vvs0_vs3", "up"}, RunMode::Change},
              }));
    // The profile activations are started, not waited for; nothing else but queries.
    std::vector<Call> nmcli_changes;
    for (const auto& c : calls_of(host, "nmcli"))
        if (c.mode != RunMode::Query) nmcli_changes.push_back(c);
    EXPECT_EQ(nmcli_changes, (std::vector<Call>{{{"nmcli", "connection", "up", "veth-vswitch3-vswitch0"}, RunMode::Detached},
                                                {{"nmcli", "connection", "up", "veth-vswitch0-vswitch3"}, RunMode::Detached}}));
    EXPECT_TRUE(host.sleeper.pauses.empty());
    // Only the host changes.
    EXPECT_EQ(host.read_file(kJoins), R"({"vswitch0": ["vswitch1", "vswitch2", "vswitch3"]})");
    EXPECT_EQ(host.read_file(kLedger), ledger_before);
}

TEST(VethRestore, AFixThatFailsIsNotCounted) {
    FakeHost host;
    bridges(host, {"vswitch0", "vswitch1"});
    host.write_file(kJoins, R"({"vswitch0": ["vswitch1"]})");
    devices(host, {"vvs1_vs0", "vvs0_vs1"});
    enslaved(host, "vvs0_vs1", "vswitch7");  // and the bridge end in no bridge at all
    host.runner.on({"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}, Answer::exit(2));

    restore_veth_pairs(host.ctx);

    EXPECT_EQ(host.runner.argvs_of("ip"), (Argvs{{"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"},
                                                 {"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}}));
    EXPECT_EQ(host.err.str(), "[-] Failed to set master for 'vvs0_vs1'\n");
    EXPECT_EQ(host.out.str(),
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] Restoring veth pair between 'vswitch1' and 'vswitch0'\n"
              "[+] Veth pair 'vvs1_vs0' <-> 'vvs0_vs1' exists but has incorrect masters, fixing...\n"
              "[+] Fixed master for 'vvs1_vs0' -> 'vswitch1'\n"
              "[+] No veth pairs needed to be restored\n");
}

TEST(VethRestore, SkipsWhatCannotBeResolvedOrCreatedAndGoesOn) {
    FakeHost host;
    bridges(host, {"vswitch0", "vswitch1", "vswitch2"});
    host.write_file(kJoins, R"({"gone": ["vswitch1"], "vswitch0": ["lost", "vswitch1", "vswitch2", "vswitch2"]})");
    host.runner.on({"ip", "link", "add", "vvs1_vs0", "type", "veth", "peer", "name", "vvs0_vs1"}, Answer::exit(2));
    // Two visits find no pair; the third, of the join recorded twice, finds the pair the
    // second one made.
    const std::string header = "DEVICE  TYPE  STATE  CONNECTION\n";
    host.runner.on({"nmcli", "device", "status"},
                   {Answer::ok(header), Answer::ok(header),
                    Answer::ok(header + "vvs2_vs0  veth  connected  --\nvvs0_vs2  veth  connected  --\n")});
    enslaved(host, "vvs2_vs0", "vswitch2");
    enslaved(host, "vvs0_vs2", "vswitch0");

    restore_veth_pairs(host.ctx);

    EXPECT_EQ(host.err.str(),
              "[-] Master bridge 'gone' not found, skipping\n"
              "[-] Bridge 'lost' not found, skipping\n"
              "[-] Veth creation failed with exit code: exit status: 2\n");
    EXPECT_EQ(host.out.str(),
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] Restoring veth pair between 'vswitch1' and 'gone'\n"
              "[+] Restoring veth pair between 'lost' and 'vswitch0'\n"
              "[+] Restoring veth pair between 'vswitch1' and 'vswitch0'\n"
              "[+] Restoring veth pair between 'vswitch2' and 'vswitch0'\n"
              "[+] Successfully added veth 'vvs2_vs0' to bridge 'vswitch2'\n"
              "[+] Successfully added veth 'vvs0_vs2' to master bridge 'vswitch0'\n"
              "[+] Successfully restored veth pair 'vvs2_vs0' <-> 'vvs0_vs2'\n"
              "[+] Restoring veth pair between 'vswitch2' and 'vswitch0'\n"
              "[+] Veth pair 'vvs2_vs0' <-> 'vvs0_vs2' already exists with correct masters, skipping\n"
              "[+] Successfully restored 1 veth pairs\n");
    // The failed creation went no further.
    EXPECT_EQ(host.runner.argvs_of("ip").size(), 1u + 5u);
}

TEST(VethRestore, NothingRecordedNothingDone) {
    for (const char* file : {"", "{}", "not json"}) {
        FakeHost host;
        if (*file) host.write_file(kJoins, file);
        restore_veth_pairs(host.ctx);
        EXPECT_EQ(host.out.str(),
                  "[+] Restoring veth pairs from stored bridge connections...\n"
                  "[+] No bridge connections found to restore\n");
        EXPECT_EQ(host.err.str(), "");
        EXPECT_EQ(host.runner.calls, std::vector<Call>{});
    }
}

// vswitch1 is joined to vswitch2 and is the master of vswitch3; vswitch4 and vswitch5 are
// joined too, but not to vswitch1.
TEST(VethPutBack, OnlyTheReleasedEndsOfTheBridgesOwnJoinsArePutBack) {
    FakeHost host;
    host.write_file(kJoins, R"({"vswitch1": ["vswitch3", "vswitch6"], "vswitch2": ["vswitch1"], "vswitch5": ["vswitch4"]})");
    std::filesystem::create_directories(host.file("/sys/class/net") / "vvs1_vs2");  // released
    enslaved(host, "vvs1_vs3", "vswitch1");                                          // in place
    std::filesystem::create_directories(host.file("/sys/class/net") / "vvs4_vs5");  // not its join
    // vvs1_vs6 is gone: the boot-time restore makes it.

    put_joins_back_on_bridge(host.ctx, "vswitch1");

    EXPECT_EQ(host.runner.calls, (std::vector<Call>{{{"ip", "link", "set", "vvs1_vs2", "master", "vswitch1"}, RunMode::Change}}));
    EXPECT_EQ(host.out.str(), "[+] Put veth end 'vvs1_vs2' back on bridge 'vswitch1'\n");
    EXPECT_EQ(host.err.str(), "");
}

TEST(VethPutBack, AFailedPutIsSaidAndTheRestGoOn) {
    FakeHost host;
    host.write_file(kJoins, R"({"vswitch0": ["vswitch1", "vswitch2"]})");
    std::filesystem::create_directories(host.file("/sys/class/net") / "vvs0_vs1");
    std::filesystem::create_directories(host.file("/sys/class/net") / "vvs0_vs2");
    host.runner.on({"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}, Answer::exit(2));

    put_joins_back_on_bridge(host.ctx, "vswitch0");

    EXPECT_EQ(host.err.str(), "[-] Failed to put veth end 'vvs0_vs1' back on bridge 'vswitch0'\n");
    EXPECT_EQ(host.out.str(), "[+] Put veth end 'vvs0_vs2' back on bridge 'vswitch0'\n");
}

TEST(VethPutBack, NoJoinsNothingDone) {
    FakeHost host;
    put_joins_back_on_bridge(host.ctx, "vswitch0");
    EXPECT_TRUE(host.runner.calls.empty());
    EXPECT_EQ(host.out.str() + host.err.str(), "");
}

}  // namespace
}  // namespace qm
