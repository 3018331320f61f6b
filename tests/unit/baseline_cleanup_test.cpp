// Clearing the ground for the baseline: the stale-profile cleanup at boot, the comprehensive
// cleanup and the forced reset.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cmds/baseline/baseline.hpp"
#include "support/fake_host.hpp"
#include "utils/paths.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;
using Argv = std::vector<std::string>;

const Argv kStaleListing = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE,ACTIVE", "connection", "show"};
const Argv kProfileListing = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE,SLAVE", "connection", "show"};
const Argv kIpLinkShow = {"ip", "link", "show"};
const Argv kBridgeLinks = {"ip", "link", "show", "type", "bridge"};
Argv master_of(const std::string& uuid) { return {"nmcli", "-g", "connection.master", "connection", "show", uuid}; }

std::string lines(const std::vector<std::string>& rows) {
    std::string s;
    for (const auto& r : rows) s += r + "\n";
    return s;
}

// ------------------------------------------------------------------ stale cleanup

struct StaleCase {
    const char* what;
    std::vector<std::string> rows;      // NAME:UUID:TYPE:DEVICE:ACTIVE
    std::vector<std::string> messages;  // after the heading line
    std::vector<std::string> deleted;   // UUIDs, in order
    friend void PrintTo(const StaleCase& c, std::ostream* os) { *os << c.what; }
};

class StaleCleanup : public testing::TestWithParam<StaleCase> {};

TEST_P(StaleCleanup, DeletesWhatIsStaleAndKeepsTheRest) {
    const StaleCase& c = GetParam();
    FakeHost host;
    host.runner.on(kStaleListing, Answer::ok(lines(c.rows)));

    ASSERT_TRUE(cleanup_stale_baseline_connections(host.ctx)) << c.what;

    std::string expected = "[+] Cleaning up stale baseline connections...\n";
    for (const auto& m : c.messages) expected += m + "\n";
    EXPECT_EQ(host.out.str(), expected) << c.what;
    std::vector<Call> calls{{kStaleListing, RunMode::Query}};
    for (const auto& uuid : c.deleted) calls.push_back({{"nmcli", "connection", "delete", "uuid", uuid}, RunMode::Change});
    EXPECT_EQ(host.runner.calls, calls) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StaleCleanup,
    testing::Values(
        StaleCase{"two inactive copies: the first is forgotten once deleted, so the second is first again",
                  {"Management Network:u1:bridge::no", "Management Network:u2:bridge:--:no"},
                  {"  - Deleting stale baseline connection: Management Network (UUID: u1)",
                   "  - Deleting stale baseline connection: Management Network (UUID: u2)"},
                  {"u1", "u2"}},
        StaleCase{"an active copy, then an inactive duplicate",
                  {"Management Network:u1:bridge:vswitch0:yes", "Management Network:u2:bridge::no"},
                  {"  - Deleting stale duplicate baseline connection: Management Network (UUID: u2)"},
                  {"u2"}},
        StaleCase{"an inactive copy, then an active one that stays",
                  {"Management Network:u1:bridge::no", "Management Network:u2:bridge:vswitch0:yes"},
                  {"  - Deleting stale baseline connection: Management Network (UUID: u1)"},
                  {"u1"}},
        StaleCase{"two active uplinks: the earlier one goes when the later is read",
                  {"Management Uplink:u1:802-3-ethernet:eth0:yes", "Management Uplink:u2:802-3-ethernet:eth1:yes",
                   "Management Uplink:u3:802-3-ethernet:eth2:yes"},
                  {"  - Deleting stale duplicate baseline connection: Management Uplink (UUID: u1)",
                   "  - Deleting stale duplicate baseline connection: Management Uplink (UUID: u2)"},
                  {"u1", "u2"}},
        StaleCase{"a bond uplink stays, active or not",
                  {"Management Uplink:b1:bond:bond0:yes", "Hypervisor Network:h1:802-3-ethernet:veth1:yes"},
                  {"  - Preserving Management Uplink bond connection (UUID: b1)"},
                  {}},
        StaleCase{"an inactive bond uplink with no earlier row of that name stays",
                  {"Management Uplink:b1:bond::no"},
                  {"  - Preserving Management Uplink bond connection (UUID: b1)"},
                  {}},
        StaleCase{"an inactive uplink after a kept bond uplink is a duplicate",
                  {"Management Uplink:b1:bond:bond0:yes", "Management Uplink:e1:802-3-ethernet::no"},
                  {"  - Preserving Management Uplink bond connection (UUID: b1)",
                   "  - Deleting stale duplicate baseline connection: Management Uplink (UUID: e1)"},
                  {"e1"}},
        StaleCase{"a device shown as \"--\" with ACTIVE yes counts as active",
                  {"Internal Control Network:c1:802-3-ethernet:--:yes", "bond0:b0:bond:--:yes",
                   "test Uplink:t1:802-3-ethernet:--:yes"},
                  {},
                  {}},
        StaleCase{"a profile on a device with ACTIVE no is not inactive",
                  {"Hypervisor Network:h1:802-3-ethernet:veth1:no", "bond1:b1:bond:bond1:no"},
                  {},
                  {}},
        StaleCase{"bond names of at most six bytes and vlan bridges are ours",
                  {"bond0:b0:bond::no", "bond12:b12:bond::no", "bond123:b123:bond::no", "vlan100br:v1:bridge::no",
                   "vlan100:v2:vlan::no", "Bond0:b9:bond::no"},
                  {"  - Deleting stale quillmar connection: bond0 (UUID: b0)",
                   "  - Deleting stale quillmar connection: bond12 (UUID: b12)",
                   "  - Deleting stale quillmar connection: vlan100br (UUID: v1)"},
                  {"b0", "b12", "v1"}},
        StaleCase{"uplink and role names",
                  {"test Uplink:t1:802-3-ethernet::no", "enp3s0 Management:e1:802-3-ethernet::no",
                   "My Uplink:m1:802-3-ethernet::no", "eth0 Uplink:e0:802-3-ethernet::no",
                   "vswitch2 Uplink:s2:802-3-ethernet::no", "Management Backup Uplink:mb:802-3-ethernet::no",
                   "ens1 Hypervisor:h1:802-3-ethernet::no", "em1 Control:c1:802-3-ethernet::no",
                   "enp3s0:p1:802-3-ethernet::no"},
                  {"  - Deleting stale quillmar connection: test Uplink (UUID: t1)",
                   "  - Deleting stale quillmar connection: enp3s0 Management (UUID: e1)",
                   "  - Deleting stale quillmar connection: vswitch2 Uplink (UUID: s2)",
                   "  - Deleting stale quillmar connection: Management Backup Uplink (UUID: mb)",
                   "  - Deleting stale quillmar connection: ens1 Hypervisor (UUID: h1)",
                   "  - Deleting stale quillmar connection: em1 Control (UUID: c1)"},
                  {"t1", "e1", "s2", "mb", "h1", "c1"}},
        StaleCase{"short lines are skipped, further fields ignored, names compared whole",
                  {"Management Network:u1:bridge:", "bond0:b0:bond::no:extra", "Management Network :u2:bridge::no",
                   ""},
                  {"  - Deleting stale quillmar connection: bond0 (UUID: b0)"},
                  {"b0"}}));

TEST(StaleCleanupRun, ANmcliThatCannotStartIsTheError) {
    FakeHost host;
    host.runner.missing("nmcli");
    auto s = cleanup_stale_baseline_connections(host.ctx);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(host.out.str(), "[+] Cleaning up stale baseline connections...\n");
}

TEST(StaleCleanupRun, AFailedDeletionDoesNotStopTheRest) {
    FakeHost host;
    host.runner.on(kStaleListing, Answer::ok(lines({"bond0:b0:bond::no", "bond1:b1:bond::no"})));
    host.runner.on({"nmcli", "connection", "delete", "uuid", "b0"}, Answer::missing());
    ASSERT_TRUE(cleanup_stale_baseline_connections(host.ctx));
    EXPECT_EQ(host.runner.argvs().back(), (Argv{"nmcli", "connection", "delete", "uuid", "b1"}));
}

// ------------------------------------------------------------------ comprehensive cleanup

TEST(ComprehensiveCleanup, SelectsProfilesByTypeNameDeviceAndController) {
    FakeHost host;
    host.runner.on(kProfileListing,
                   Answer::ok(lines({
                       "Management Network:u1:bridge:vswitch0:",       // device vswitch
                       "eno1 port:u2:802-3-ethernet:eno1:bridge",      // controller vswitch0
                       "My VLAN Bridge:u3:bridge:br5:",                // lower-case name has vlan
                       "eth0:u4:802-3-ethernet:eth0:",                 // nothing of ours
                       "bond0:u5:bond:nm-bond:",                       // short bond name
                       "team7:u6:bond:bond1234:",                      // long bond device, no controller
                       "team7:u7:bond:bond1234:bridge",                // controller: Management Network's UUID
                       "team8:u8:bond:bond12:",                        // short bond device
                       "Office:u9:wifi:wlan0:bridge",                  // other type
                       "lo:u10:loopback:lo:",                          // other type
                       "Lab:u11:bridge:br0:",                          // a foreign bridge
                       "Vlan 100:u12:vlan:vswitch0.100:",              // vlan on a vswitch
                       "Vlan 7:u13:vlan:eth0.7:--",                    // name has vlan
                       "guest:u14:vlan:eth0.8:--",                     // not ours
                       "Management Uplink:u15:802-3-ethernet:eno1:bridge",  // its name is enough
                       "vswitch3 Uplink:u16:ethernet:eno2:",
                       "Management Spare Uplink:u17:ethernet::",
                       "enp3s0 Control:u18:ethernet::",
                       "enp3s0:u19:ethernet:enp3s0:bridge",            // a port, but not of ours
                       "Management Network:u20:bridge::",              // duplicates go once per row
                       "Storage:u30:bridge:vswitch1:",
                       "Backup:u31:802-3-ethernet:eth3:bridge",        // controller: Storage's UUID, on vswitch1
                       "Lab Port:u32:802-3-ethernet:eth4:bridge",      // controller: Lab's UUID
                       "V9:u33:vlan::bridge",                          // controller vswitch2
                       "eno9:u34:802-3-ethernet:eno9:vswitch0",        // the column is no controller
                       "team9:u35:bond::bond",                         // its master cannot be read
                       "short:u21:bridge",                             // too few fields
                       "Vlan:u22:VLAN:x:",                             // type compared exactly
                   })));
    host.runner.on(master_of("u2"), Answer::ok("vswitch0\n"));
    host.runner.on(master_of("u7"), Answer::ok("u1\n"));
    host.runner.on(master_of("u19"), Answer::ok("br0\n"));
    host.runner.on(master_of("u31"), Answer::ok("u30\n"));
    host.runner.on(master_of("u32"), Answer::ok("u11\n"));
    host.runner.on(master_of("u33"), Answer::ok("vswitch2\n"));
    host.runner.on(master_of("u35"), Answer::exit(10));
    ASSERT_TRUE(comprehensive_cleanup(host.ctx));

    std::vector<Call> calls{{kProfileListing, RunMode::Query}};
    for (const char* uuid : {"u2", "u7", "u19", "u31", "u32", "u33", "u34", "u35"})
        calls.push_back({master_of(uuid), RunMode::Query});
    const std::vector<std::string> selected = {
        "Management Network", "eno1 port", "My VLAN Bridge", "bond0", "team7", "team8", "Vlan 100", "Vlan 7",
        "Management Uplink", "vswitch3 Uplink", "Management Spare Uplink", "enp3s0 Control", "Management Network",
        "Storage", "Backup", "V9"};
    std::string expected = "[+] Performing comprehensive cleanup of quillmar resources...\n";
    for (const auto& name : selected) {
        expected += "  - Deleting quillmar connection: " + name + "\n";
        calls.push_back({{"nmcli", "connection", "delete", name}, RunMode::Change});
    }
    expected += "[+] Cleaning up orphaned veth pairs...\n[+] Cleaning up orphaned bridge devices...\n";
    calls.push_back({kIpLinkShow, RunMode::Query});
    calls.push_back({kBridgeLinks, RunMode::Query});
    EXPECT_EQ(host.out.str(), expected);
    EXPECT_EQ(host.runner.calls, calls);
}

TEST(ComprehensiveCleanup, DeletesShortVethNamesFromTheLinkListingAndVswitchBridges) {
    FakeHost host;
    host.runner.on(kIpLinkShow, Answer::ok(lines({
                                    "1: lo: <LOOPBACK,UP,LOWER_UP> mtu 65536",
                                    "5: veth1: <BROADCAST,MULTICAST> mtu 1500",
                                    "6: veth1-peer: <BROADCAST,MULTICAST> mtu 1500",
                                    "11: veth3@veth2: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500",
                                    "12: veth-a@veth-b: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500",
                                    "7: myveth0: <BROADCAST> mtu 1500",
                                    "    link/ether 52:54:00:00:00:01 brd ff:ff:ff:ff:ff:ff",
                                    "8: vswitch4: <BROADCAST,UP> mtu 1500",
                                    "10: eth1: <UP> mtu 1500 master vswitch4 state UP",
                                    "veth9",
                                })));
    // As `ip link show type bridge` prints them: the kind is never on the line.
    host.runner.on(kBridgeLinks, Answer::ok(lines({
                                     "8: vswitch4: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue state UP",
                                     "    link/ether 52:54:00:00:00:04 brd ff:ff:ff:ff:ff:ff",
                                     "9: br-lab: <BROADCAST,MULTICAST> mtu 1500 qdisc noop state DOWN",
                                     "    link/ether 52:54:00:00:00:05 brd ff:ff:ff:ff:ff:ff",
                                     "13: vswitch12: <BROADCAST,MULTICAST> mtu 1500 qdisc noop state DOWN",
                                     "14: myvswitch: <BROADCAST,MULTICAST> mtu 1500",
                                 })));
    ASSERT_TRUE(comprehensive_cleanup(host.ctx));
    EXPECT_EQ(host.out.str(),
              "[+] Performing comprehensive cleanup of quillmar resources...\n"
              "[+] Cleaning up orphaned veth pairs...\n"
              "  - Deleting veth pair: veth1\n"
              "  - Deleting veth pair: veth3\n"
              "  - Deleting veth pair: veth-a\n"
              "  - Deleting veth pair: veth0\n"
              "  - Deleting veth pair: veth9\n"
              "[+] Cleaning up orphaned bridge devices...\n"
              "  - Deleting bridge device: vswitch4\n"
              "  - Deleting bridge device: vswitch12\n"
              "  - Deleting bridge device: vswitch\n");
    EXPECT_EQ(host.runner.argvs_of("ip"), (std::vector<Argv>{kIpLinkShow,
                                                             {"ip", "link", "delete", "veth1"},
                                                             {"ip", "link", "delete", "veth3"},
                                                             {"ip", "link", "delete", "veth-a"},
                                                             {"ip", "link", "delete", "veth0"},
                                                             {"ip", "link", "delete", "veth9"},
                                                             kBridgeLinks,
                                                             {"ip", "link", "delete", "vswitch4"},
                                                             {"ip", "link", "delete", "vswitch12"},
                                                             {"ip", "link", "delete", "vswitch"}}));
}

TEST(ComprehensiveCleanup, AListingThatCannotStartEndsIt) {
    {
        FakeHost host;
        host.runner.missing("nmcli");
        auto s = comprehensive_cleanup(host.ctx);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
        EXPECT_EQ(host.runner.calls.size(), 1u);
    }
    {
        // The profile deletions have run by the time ip is needed.
        FakeHost host;
        host.runner.on(kProfileListing, Answer::ok("bond0:u1:bond::\n"));
        host.runner.missing("ip");
        auto s = comprehensive_cleanup(host.ctx);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
        EXPECT_EQ(host.runner.argvs().back(), kIpLinkShow);
        EXPECT_EQ(host.runner.argvs()[1], (Argv{"nmcli", "connection", "delete", "bond0"}));
        EXPECT_EQ(host.out.str(),
                  "[+] Performing comprehensive cleanup of quillmar resources...\n"
                  "  - Deleting quillmar connection: bond0\n"
                  "[+] Cleaning up orphaned veth pairs...\n");
    }
}

}  // namespace
}  // namespace qm

// ------------------------------------------------------------------ forced reset

namespace qm {
namespace {

constexpr const char* kLedgerText =
    "{\n  \"vswitches\": [\"Management Network\", \"Lab\"],\n  \"vlan_bridges\": [\"vlan100br\"],\n"
    "  \"veth_pairs\": [\"veth0\", \"veth1\"],\n  \"bonds\": [\"bond0\"],\n"
    "  \"created_at\": \"2026-12-10T10:00:00+00:00\"\n}";

// The listings of the comprehensive cleanup, left empty.
const std::vector<Call> kComprehensiveListings = {
    {kProfileListing, RunMode::Query}, {kIpLinkShow, RunMode::Query}, {kBridgeLinks, RunMode::Query}};

const char* kComprehensiveOutput =
    "[+] Performing comprehensive cleanup of quillmar resources...\n"
    "[+] Cleaning up orphaned veth pairs...\n"
    "[+] Cleaning up orphaned bridge devices...\n";

TEST(ForcedReset, TakesDownThenDeletesLinksThenDeletesProfilesAndRemovesTheLedger) {
    FakeHost host;
    host.write_file(kControlFilePath, "");
    host.write_file(kManagedResourcesPath, kLedgerText);
    std::filesystem::create_directories(host.file("/var/log"));
    // Failures change nothing about the order or the rest.
    host.runner.on({"nmcli", "connection", "down", "Lab"}, Answer::exit(10));
    host.runner.on({"ip", "link", "delete", "veth0"}, Answer::missing());

    ASSERT_TRUE(reset_managed_resources(host.ctx));

    EXPECT_EQ(host.out.str(), std::string("[+] Control file removed: returning to baseline state\n"
                                          "[+] Resetting all managed resources to baseline\n") +
                                  kComprehensiveOutput +
                                  "[+] Cleaning up tracked resources...\n"
                                  "[+] All managed resources reset\n");
    std::vector<Call> calls = kComprehensiveListings;
    for (const Argv& argv : std::vector<Argv>{{"nmcli", "connection", "down", "Management Network"},
                                              {"nmcli", "connection", "down", "Lab"},
                                              {"nmcli", "connection", "down", "vlan100br"},
                                              {"nmcli", "connection", "down", "bond0"},
                                              {"ip", "link", "delete", "veth0"},
                                              {"ip", "link", "delete", "veth1"},
                                              {"nmcli", "connection", "delete", "Management Network"},
                                              {"nmcli", "connection", "delete", "Lab"},
                                              {"nmcli", "connection", "delete", "vlan100br"},
                                              {"nmcli", "connection", "delete", "bond0"}})
        calls.push_back({argv, RunMode::Change});
    EXPECT_EQ(host.runner.calls, calls);
    EXPECT_FALSE(std::filesystem::exists(host.file(kManagedResourcesPath)));
    EXPECT_FALSE(std::filesystem::exists(host.file(kControlFilePath)));
    EXPECT_THAT(host.read_file(kLogPath).value_or(""),
                testing::EndsWith(" [INFO] Control file removed: returning to baseline state\n"));
}

TEST(ForcedReset, WithoutALedgerRunsOnlyTheComprehensiveCleanup) {
    FakeHost host;
    ASSERT_TRUE(reset_managed_resources(host.ctx));
    EXPECT_EQ(host.out.str(), std::string("[+] Resetting all managed resources to baseline\n"
                                          "[!] No managed resources file found, performing comprehensive cleanup\n") +
                                  kComprehensiveOutput);
    EXPECT_EQ(host.runner.calls, kComprehensiveListings);
}

TEST(ForcedReset, ALedgerThatIsNotTextIsLeftWhereItIs) {
    FakeHost host;
    host.write_file(kManagedResourcesPath, "{\"vswitches\": [\"\xff\"]}");
    ASSERT_TRUE(reset_managed_resources(host.ctx));
    EXPECT_THAT(host.out.str(), testing::HasSubstr("[!] No managed resources file found"));
    EXPECT_EQ(host.runner.calls, kComprehensiveListings);
    EXPECT_EQ(host.read_file(kManagedResourcesPath), "{\"vswitches\": [\"\xff\"]}");
}

TEST(ForcedReset, ALedgerThatDoesNotParseIsSetAsideNotLost) {
    FakeHost host;
    host.write_file(kManagedResourcesPath, "{\"vswitches\": [\"Lab\"");
    ASSERT_TRUE(reset_managed_resources(host.ctx));
    EXPECT_EQ(host.out.str(), std::string("[+] Resetting all managed resources to baseline\n") +
                                  kComprehensiveOutput +
                                  "[+] Cleaning up tracked resources...\n"
                                  "[+] All managed resources reset\n");
    EXPECT_EQ(host.runner.calls, kComprehensiveListings);
    EXPECT_FALSE(std::filesystem::exists(host.file(kManagedResourcesPath)));
    // The fixed clock stands at the epoch.
    EXPECT_EQ(host.read_file(std::string(kManagedResourcesPath) + ".damaged-19700101_000000"),
              "{\"vswitches\": [\"Lab\"");
}

TEST(ForcedReset, AControlFileThatCannotBeRemovedStopsItFirst) {
    FakeHost host;
    host.write_file(std::string(kControlFilePath) + "/inside", "");  // a directory is not unlinked
    host.write_file(kManagedResourcesPath, kLedgerText);
    auto s = reset_managed_resources(host.ctx);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "Is a directory (os error 21)");
    EXPECT_EQ(host.out.str(), "");
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST(ForcedReset, AFailedComprehensiveCleanupLeavesTheLedgerAndItsObjects) {
    FakeHost host;
    host.write_file(kManagedResourcesPath, kLedgerText);
    host.runner.missing("ip");
    auto s = reset_managed_resources(host.ctx);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(host.runner.calls.size(), 2u);  // the profile listing and the failed ip start
    EXPECT_EQ(host.read_file(kManagedResourcesPath), kLedgerText);
}

}  // namespace
}  // namespace qm
