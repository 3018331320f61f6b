#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/dispatch.hpp"
#include "cli/parser.hpp"
#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "support/fake_host.hpp"
#include "utils/managed_resources/managed_resources.hpp"

namespace qm {
namespace {

using std::chrono::milliseconds;
using test::Answer;
using test::Call;
using test::FakeHost;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using Argv = std::vector<std::string>;

constexpr const char* kEno1Mac = "52:54:00:00:00:e1";

const Argv kProfileLookup = {"nmcli", "-g", "NAME,DEVICE", "connection", "show"};
const Argv kBridgeProfiles = {"nmcli", "-t", "-f", "NAME,TYPE,DEVICE", "connection", "show"};
const Argv kDeviceStatus = {"nmcli", "device", "status"};
// The listing behind the lookup of the bridge's profile.
const Argv kBridgeProfileLookup = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"};

Argv add_bridge(const std::string& device, const std::string& name, const std::string& method) {
    return {"nmcli", "connection", "add", "type", "bridge", "ifname", device, "con-name", name,
            "forward-delay", "2", "ipv4.method", method, "ipv6.method", "ignore", "connection.autoconnect",
            "yes", "connection.autoconnect-priority", "600"};
}
Argv pin(const std::string& profile, const std::string& mac) {
    return {"nmcli", "connection", "modify", profile, "bridge.mac-address", mac};
}
// The pinned MAC put on the running bridge right after the profile's (once a run).
Argv live(const std::string& device, const std::string& mac) { return {"ip", "link", "set", device, "address", mac}; }

bool is_listing(const Argv& argv) {
    for (const auto& word : argv)
        if (word == "show" || word == "status" || word == "list") return true;
    return false;
}

struct CreateHost {
    FakeHost host;
    CreateHost() { std::filesystem::create_directories(host.file("/sys/class/net")); }

    void net_entries(const std::vector<std::string>& names) {
        for (const auto& n : names) std::filesystem::create_directories(host.file("/sys/class/net/" + n));
    }
    void devices(const std::vector<std::string>& names) {
        std::string status = "DEVICE  TYPE  STATE  CONNECTION\n";
        for (const auto& n : names) status += n + "  bridge  connected  " + n + "\n";
        host.runner.on(kDeviceStatus, Answer::ok(status));
    }
    void mac(const std::string& dev, const std::string& mac) {
        host.runner.on({"ip", "link", "show", dev},
                       Answer::ok("2: " + dev + ": <UP> mtu 1500\n    link/ether " + mac + " brd ff:ff:ff:ff:ff:ff\n"));
    }
    // The profile as the uplink change finds it once added.
    void bridge_profile(const std::string& name, const std::string& device) {
        host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"}, Answer::ok(name + ":bridge\n"));
        host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", name},
                       Answer::ok(device + "\n"));
        host.runner.on({"nmcli", "connection", "show", name + " Uplink"}, Answer::exit(10));
    }
    std::vector<Argv> changes() const {
        std::vector<Argv> v;
        for (const auto& argv : host.runner.argvs())
            if (!is_listing(argv)) v.push_back(argv);
        return v;
    }
    std::string ledger() const { return host.read_file(kManagedResourcesPath).value_or(""); }
    // How often the bridge's profile was looked up.
    long lookups() const {
        const auto all = host.runner.argvs();
        return std::count(all.begin(), all.end(), kBridgeProfileLookup);
    }
};

struct Create : ::testing::Test, CreateHost {};

TEST_F(Create, IsolatedBridgeForEveryWayOfSayingNoUplink) {
    for (const std::string uplink : {"", "None", "NONE", " \t "}) {
        CreateHost t;
        t.net_entries({"vswitch0", "vswitch1"});
        create_vswitch(t.host.ctx, "Storage", uplink, false);
        EXPECT_EQ(t.host.runner.calls, (std::vector<Call>{
                                           {kProfileLookup, RunMode::QueryWithStderr},
                                           {kBridgeProfiles, RunMode::QueryWithStderr},
                                           {add_bridge("vswitch2", "Storage", "disabled"), RunMode::Change},
                                           {{"nmcli", "connection", "up", "Storage"}, RunMode::Change},
                                       }))
            << "uplink '" << uplink << "'";
        EXPECT_EQ(t.host.out.str(),
                  "[+] Creating isolated bridge 'vswitch2' with label 'Storage' (no uplink)\n"
                  "[+] Successfully created bridge connection with ipv4.method=disabled\n"
                  "[+] Successfully brought up bridge connection\n");
        EXPECT_EQ(t.host.err.str(), "");
        EXPECT_THAT(t.ledger(), HasSubstr("\"Storage\""));
        EXPECT_FALSE(t.host.read_file(kMasterBridgesPath));
    }
}

TEST_F(Create, MasterWithoutUplinkIsAnInternalHub) {
    create_vswitch(host.ctx, "Hub", "none", true);
    EXPECT_EQ(changes(), (std::vector<Argv>{add_bridge("vswitch1", "Hub", "disabled"),
                                            {"nmcli", "connection", "up", "Hub"}}));
    EXPECT_THAT(host.out.str(),
                HasSubstr("[+] Creating master bridge 'vswitch1' with label 'Hub' (no uplink, internal hub)\n"));
    EXPECT_EQ(load_master_bridges(host.ctx), MasterBridgeList{"vswitch1"});
    EXPECT_THAT(ledger(), HasSubstr("\"Hub\""));
}

TEST_F(Create, UplinkPinsTheFirstInterfaceMacThenChangesTheUplink) {
    net_entries({"vswitch0", "vswitch1"});
    mac("eno1", kEno1Mac);
    mac("vswitch2", kEno1Mac);
    bridge_profile("Storage", "vswitch2");

    create_vswitch(host.ctx, "Storage", "eno1", false);
    EXPECT_EQ(changes(), (std::vector<Argv>{
                             add_bridge("vswitch2", "Storage", "disabled"),
                             pin("Storage", kEno1Mac),
                             live("vswitch2", kEno1Mac),
                             {"nmcli", "connection", "add", "type", "ethernet", "ifname", "eno1", "con-name",
                              "Storage Uplink", "master", "vswitch2", "connection.autoconnect", "yes"},
                             {"nmcli", "connection", "modify", "vswitch2", "connection.autoconnect-slaves", "1"},
                             {"nmcli", "connection", "up", "vswitch2"},
                             {"nmcli", "connection", "up", "Storage Uplink"},
                             pin("vswitch2", kEno1Mac),
                             pin("vswitch2", kEno1Mac),
                         }));
    // The bridge's profile is looked up once for the whole run.
    EXPECT_EQ(lookups(), 1);
    EXPECT_THAT(host.runner.calls, Contains(Call{add_bridge("vswitch2", "Storage", "disabled"), RunMode::Shown}));
    EXPECT_EQ(host.sleeper.pauses, std::vector<milliseconds>{milliseconds(1000)});
    EXPECT_THAT(host.out.str(), ::testing::StartsWith(
                                    "[+] Creating bridge 'vswitch2' with label 'Storage' and uplink 'eno1'\n"
                                    "[+] Successfully created bridge connection with ipv4.method=disabled\n"
                                    "[+] Setting vswitch2 to use persistent MAC address: 52:54:00:00:00:e1\n"
                                    "[+] Stored original MAC address for vswitch2: 52:54:00:00:00:e1\n"
                                    "[+] Found bridge device: 'vswitch2'\n"
                                    "[+] Using original vswitch2 MAC address for stability\n"));
    EXPECT_THAT(host.out.str(), ::testing::EndsWith("[+] Enhanced MAC preservation for vswitch2 with uplink eno1\n"
                                                    "[+] Using original MAC for continuity: 52:54:00:00:00:e1\n"
                                                    "[+] Applying MAC preservation strategy: 52:54:00:00:00:e1\n"
                                                    "[+] Stored original MAC address for vswitch2: 52:54:00:00:00:e1\n"
                                                    "[+] Saved network identity for vswitch2\n"));
    EXPECT_EQ(host.read_file("/var/lib/quillmar/vswitch2_original_mac"), kEno1Mac);
    EXPECT_THAT(ledger(), HasSubstr("\"Storage\""));
}

TEST_F(Create, UplinkTextIsPassedOnAsTyped) {
    mac("eno1", kEno1Mac);
    mac("vswitch1", kEno1Mac);
    bridge_profile("Storage", "vswitch1");
    create_vswitch(host.ctx, "Storage", " eno1 , eno2 ", true);
    const std::string out = host.out.str();
    EXPECT_THAT(out, HasSubstr("[+] Creating master bridge 'vswitch1' with label 'Storage' and uplink ' eno1 , eno2 '\n"));
    EXPECT_THAT(out, HasSubstr("[+] Setting vswitch1 to use persistent MAC address: 52:54:00:00:00:e1\n"));
    EXPECT_THAT(out, HasSubstr("[+] Enhanced MAC preservation for vswitch1 with uplink eno1,eno2\n"));
    EXPECT_THAT(out, HasSubstr("[+] Enhanced MAC preservation for vswitch1 with uplink  eno1 , eno2 \n"));
    EXPECT_THAT(host.runner.argvs(), Contains(Argv{"ip", "link", "show", "eno1"}));
    EXPECT_EQ(load_master_bridges(host.ctx), MasterBridgeList{"vswitch1"});
}

TEST_F(Create, DeviceNameFromTheName) {
    struct Case {
        std::string name;
        std::vector<std::string> devices;
        std::string device;  // empty: refused
        std::string err;
    };
    const std::vector<Case> cases = {
        {"vswitch7", {"vswitch7"}, "", "[-] Bridge device 'vswitch7' already exists\n"},
        {"vswitch7", {"vswitch0"}, "vswitch7", ""},
        {"Network Management", {"vswitch0"}, "", "[-] Bridge device 'vswitch0' already exists\n"},
        {"Management Network", {"vswitch0"}, "", "[-] Bridge device 'vswitch0' already exists\n"},
        {"Network Management", {"vswitch1"}, "vswitch0", ""},
    };
    for (const auto& c : cases) {
        CreateHost t;
        t.devices(c.devices);
        create_vswitch(t.host.ctx, c.name, "", false);
        EXPECT_EQ(t.host.err.str(), c.err) << c.name;
        if (c.device.empty()) {
            EXPECT_EQ(t.host.runner.argvs(), std::vector<Argv>{kDeviceStatus});
            EXPECT_EQ(t.host.out.str(), "");
            EXPECT_FALSE(t.host.read_file(kManagedResourcesPath));
        } else {
            const std::string method = c.device == "vswitch0" ? "auto" : "disabled";
            EXPECT_THAT(t.changes(), Contains(add_bridge(c.device, c.name, method))) << c.name;
        }
    }
}

TEST(FindAvailableVswitchName, LowestFreeNumber) {
    struct Case {
        std::vector<std::string> entries;
        std::optional<std::string> want;
    };
    std::vector<std::string> all;
    for (int i = 1; i <= 99; ++i) all.push_back("vswitch" + std::to_string(i));
    const std::vector<Case> cases = {
        {{"vswitch0", "vswitch1", "vswitch3", "vswitchX"}, "vswitch2"},
        {{"vswitch1", "vswitch2", "vswitch3", "vswitch+4", "eno1"}, "vswitch5"},
        {{"vswitch1", "vswitch-2", "vswitch4294967298", "vswitch+", "vswitch 3"}, "vswitch2"},
        {{"vswitch01"}, "vswitch2"},
        {{}, "vswitch1"},
        {all, std::nullopt},
    };
    for (const auto& c : cases) {
        CreateHost t;
        t.net_entries(c.entries);
        EXPECT_EQ(find_available_vswitch_name(t.host.ctx), c.want);
    }
    FakeHost no_sysfs;
    EXPECT_EQ(find_available_vswitch_name(no_sysfs.ctx), std::nullopt);
    create_vswitch(no_sysfs.ctx, "Storage", "", false);
    EXPECT_EQ(no_sysfs.err.str(), "[-] Failed to auto-generate bridge name\n");
    EXPECT_EQ(no_sysfs.runner.calls, std::vector<Call>{});
}

TEST_F(Create, ProfileAlreadyOnTheDeviceIsModified) {
    struct Case {
        std::string listing;
        bool modified;
    };
    const std::vector<Case> cases = {
        {"Old:vswitch10\n", false},
        {"Other:eno1\n Old :vswitch1\nNew:vswitch1\n", true},
    };
    for (const auto& c : cases) {
        CreateHost t;
        t.host.runner.on(kProfileLookup, Answer::ok(c.listing));
        create_vswitch(t.host.ctx, "vswitch1", "", false);
        const Argv modify = {"nmcli", "connection", "modify", "Old", "ipv4.method", "disabled", "ipv6.method", "ignore"};
        if (c.modified) {
            EXPECT_THAT(t.host.runner.calls, Contains(Call{modify, RunMode::Shown}));
            EXPECT_THAT(t.changes(), Not(Contains(add_bridge("vswitch1", "vswitch1", "disabled"))));
            EXPECT_THAT(t.host.out.str(),
                        HasSubstr("[+] Connection 'Old' already exists for device 'vswitch1', modifying it\n"
                                  "[+] Successfully modified existing connection with ipv4.method=disabled\n"));
        } else {
            EXPECT_THAT(t.changes(), Contains(add_bridge("vswitch1", "vswitch1", "disabled")));
            EXPECT_THAT(t.changes(), Not(Contains(modify)));
        }
        EXPECT_THAT(t.ledger(), HasSubstr("\"vswitch1\""));
    }
}

TEST_F(Create, FailedStepsArePrintedAndTheCommandGoesOn) {
    // Exit codes show as raw wait statuses.
    host.runner.on(kProfileLookup, Answer::ok("Old:vswitch1\n"));
    host.runner.on({"nmcli", "connection", "modify", "Old", "ipv4.method", "disabled", "ipv6.method", "ignore"},
                   Answer::exit(1));
    host.runner.on({"nmcli", "connection", "up", "vswitch1"}, Answer::exit(4));
    create_vswitch(host.ctx, "vswitch1", "", false);
    EXPECT_EQ(host.err.str(),
              "[-] Failed to modify existing connection: wait status 256\n"
              "[-] Failed to bring up bridge connection: wait status 1024\n");
    EXPECT_THAT(ledger(), HasSubstr("\"vswitch1\""));

    CreateHost missing;
    missing.host.runner.missing("nmcli");
    create_vswitch(missing.host.ctx, "Storage", "", false);
    EXPECT_EQ(missing.host.err.str(),
              "[-] Error executing nmcli: No such file or directory (os error 2)\n"
              "[-] Error bringing up connection: No such file or directory (os error 2)\n");
    EXPECT_THAT(missing.ledger(), HasSubstr("\"Storage\""));
}

TEST_F(Create, FailedAddWithUplinkStillTracksAndConfiguresTheUplink) {
    mac("eno1", kEno1Mac);
    bridge_profile("Storage", "vswitch1");
    host.runner.on(add_bridge("vswitch1", "Storage", "disabled"), Answer::exit(1));
    create_vswitch(host.ctx, "Storage", "eno1", false);
    EXPECT_THAT(host.err.str(), HasSubstr("[-] Failed to create bridge connection: wait status 256\n"));
    EXPECT_THAT(ledger(), HasSubstr("\"Storage\""));
    EXPECT_THAT(changes(), Contains(Argv{"nmcli", "connection", "add", "type", "ethernet", "ifname", "eno1", "con-name",
                                         "Storage Uplink", "master", "vswitch1", "connection.autoconnect", "yes"}));
}

TEST_F(Create, StopsWhereTheUplinkChangeStops) {
    mac("eno1", kEno1Mac);
    bridge_profile("Storage", "vswitch1");
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE", "connection", "show"}, Answer::missing());
    create_vswitch(host.ctx, "Storage", "eno1", false);
    EXPECT_EQ(host.err.str(), "Failed to list connections: No such file or directory (os error 2)\n");
    EXPECT_EQ(host.sleeper.pauses, std::vector<milliseconds>{});
    EXPECT_THAT(host.out.str(), Not(HasSubstr("Enhanced MAC preservation")));
}

TEST_F(Create, CommandLineWarnsOfAMissingBaselineUnitAndCreatesAllTheSame) {
    // No unit directory below the root: the baseline unit cannot be written.
    auto parsed = cli::parse_command_line({"quillmar", "vswitch", "create", "--name", "vswitch3", "--uplink", "none"});
    ASSERT_TRUE(parsed.cli) << parsed.err;
    EXPECT_EQ(cli::dispatch_command(host.ctx, *parsed.cli), 0);
    EXPECT_EQ(host.err.str(), "[!] Warning: Failed to setup baseline service: No such file or directory (os error 2)\n");
    EXPECT_THAT(host.out.str(), ::testing::StartsWith("[+] Setting up baseline service for vswitch operation...\n"
                                                      "[+] Creating isolated bridge 'vswitch3'"));
    EXPECT_THAT(changes(), Contains(add_bridge("vswitch3", "vswitch3", "disabled")));
}

TEST_F(Create, FailedPreservationFallsBackToThePlainPinning) {
    // The bridge shows no MAC of its own and the uplink list names no single interface,
    // so only the MAC stored from the first uplink interface is left.
    mac("eno1", kEno1Mac);
    bridge_profile("Storage", "vswitch1");
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE", "connection", "show"}, Answer::ok(""));
    create_vswitch(host.ctx, "Storage", "eno1,eno2", false);
    EXPECT_THAT(host.out.str(), HasSubstr("[!] Warning: Enhanced MAC preservation failed, falling back to legacy "
                                          "method: No suitable MAC address found for preservation\n"
                                          "[+] Ensuring vswitch1 MAC address persistence: 52:54:00:00:00:e1\n"));
    auto all = changes();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.back(), pin("vswitch1", kEno1Mac));
    // The running bridge took that MAC with the first pin.
    EXPECT_EQ(std::count(all.begin(), all.end(), live("vswitch1", kEno1Mac)), 1);
}

// Where nmcli knows the bridge's profile only by its label, every pin after the first one goes
// to the profile's UUID; the first one reaches the running bridge at once, which keeps it.
TEST_F(Create, PinsReachTheLabelledProfileAndTheRunningBridge) {
    net_entries({"vswitch0", "vswitch1"});
    mac("eno1", kEno1Mac);
    mac("vswitch2", kEno1Mac);
    bridge_profile("Storage", "vswitch2");
    host.runner.on({"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
                   Answer::ok("Storage:u-st:bridge:vswitch2\n"));

    create_vswitch(host.ctx, "Storage", "eno1", false);
    EXPECT_EQ(changes(), (std::vector<Argv>{
                             add_bridge("vswitch2", "Storage", "disabled"),
                             pin("Storage", kEno1Mac),
                             live("vswitch2", kEno1Mac),
                             {"nmcli", "connection", "add", "type", "ethernet", "ifname", "eno1", "con-name",
                              "Storage Uplink", "master", "vswitch2", "connection.autoconnect", "yes"},
                             {"nmcli", "connection", "modify", "u-st", "connection.autoconnect-slaves", "1"},
                             {"nmcli", "connection", "up", "u-st"},
                             {"nmcli", "connection", "up", "Storage Uplink"},
                             pin("u-st", kEno1Mac),
                             pin("u-st", kEno1Mac),
                         }));
    EXPECT_EQ(lookups(), 1);
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Setting vswitch2 to use persistent MAC address: 52:54:00:00:00:e1\n"));
}

// A MAC the running bridge refused is put on it again by the next pin, and only then kept.
TEST_F(Create, APinTheBridgeRefusedIsMadeAgain) {
    net_entries({"vswitch0", "vswitch1"});
    mac("eno1", kEno1Mac);
    mac("vswitch2", kEno1Mac);
    bridge_profile("Storage", "vswitch2");
    host.runner.on(live("vswitch2", kEno1Mac), {Answer::exit(2), Answer::ok()});

    create_vswitch(host.ctx, "Storage", "eno1", false);
    auto all = changes();
    const std::vector<Argv> pins_and_sets(std::find(all.begin(), all.end(), pin("vswitch2", kEno1Mac)), all.end());
    EXPECT_EQ(pins_and_sets,
              (std::vector<Argv>{pin("vswitch2", kEno1Mac), live("vswitch2", kEno1Mac), pin("vswitch2", kEno1Mac)}));
    EXPECT_EQ(std::count(all.begin(), all.end(), live("vswitch2", kEno1Mac)), 2);
}

}  // namespace
}  // namespace qm
