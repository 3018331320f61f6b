// `config sync` and `config cleanup` as a user runs them against scripted host tools.

#include <string>

#include "sandbox/sandbox.hpp"

namespace {

class MaintenanceCli : public sb::SandboxTest {};

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
const sb::Args kListing = {"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};

TEST_F(MaintenanceCli, SyncDropsAVethPairThatIsGone) {
    sb.write(kLedger,
             "{\n  \"vswitches\": [\n    \"Lab\"\n  ],\n  \"vlan_bridges\": [],\n"
             "  \"veth_pairs\": [\n    \"vvs1_vs0\",\n    \"vvs0_vs1\"\n  ],\n  \"bonds\": [],\n"
             "  \"created_at\": \"2026-12-10T10:00:00+00:00\"\n}");
    sb.tool("nmcli").on(kListing, sb::ok("Lab:vswitch1:bridge:activated\n"));
    sb.tool("ip")
        .on({"link", "show", "vvs1_vs0"}, sb::ok("9: vvs1_vs0@vvs0_vs1: <BROADCAST> mtu 1500\n"))
        .on({"link", "show", "vvs0_vs1"}, sb::fail(1, "Device \"vvs0_vs1\" does not exist.\n"));

    auto r = sb.run({"config", "sync"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "[+] Syncing configuration files with current network state...\n"
              "[+] Reading managed resources file...\n"
              "[+] Successfully parsed managed resources file\n"
              "  - Checking 1 vswitches\n"
              "  - Checking 0 VLAN bridges\n"
              "  - Checking 2 veth pairs\n"
              "  - Removing stale veth pair: vvs0_vs1\n"
              "[+] Configuration files synced successfully\n");
    EXPECT_EQ(sb.argvs(), (sb::Argvs{{"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                                      {"ip", "link", "show", "vvs1_vs0"},
                                      {"ip", "link", "show", "vvs0_vs1"}}))
        << sb.dump();
    EXPECT_EQ(sb.read(kLedger),
              "{\n  \"vswitches\": [\n    \"Lab\"\n  ],\n  \"vlan_bridges\": [],\n"
              "  \"veth_pairs\": [\n    \"vvs1_vs0\"\n  ],\n  \"bonds\": [],\n"
              "  \"created_at\": \"2026-12-10T10:00:00+00:00\"\n}");
    EXPECT_FALSE(sb.exists(std::string(kLedger) + ".tmp"));
}

TEST_F(MaintenanceCli, SyncWithoutNmcliPrintsTheErrorLineAndKeepsTheLedger) {
    const std::string ledger = "{\"vswitches\": [\"Lab\"], \"vlan_bridges\": [], \"veth_pairs\": [], "
                               "\"created_at\": \"2026-12-10T10:00:00+00:00\"}";
    sb.write(kLedger, ledger);
    sb.missing("nmcli");

    auto r = sb.run({"config", "sync"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "[+] Syncing configuration files with current network state...\n");
    EXPECT_EQ(r.err, "Error: No such file or directory (os error 2)\n");
    EXPECT_EQ(sb.read(kLedger), ledger);
}

TEST_F(MaintenanceCli, CleanupDeletesProfilesWithoutADevice) {
    sb.tool("nmcli")
        .on(kListing, sb::ok("Lab:vswitch1:bridge:activated\n"
                             "virbr0::bridge:\n"
                             "old uplink::802-3-ethernet:\n"
                             "bond3:--:bond:\n"))
        .on({"connection", "delete", "bond3"}, sb::fail(10, "Error: unknown connection 'bond3'.\n"));

    auto r = sb.run({"config", "cleanup"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "[+] Cleaning up stale NetworkManager connections...\n"
              "  - Removing stale connection: old uplink\n"
              "  - Removing stale connection: bond3\n"
              "[+] Cleaned up 2 stale connections\n");
    EXPECT_EQ(sb.argvs(), (sb::Argvs{{"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                                      {"nmcli", "connection", "delete", "old uplink"},
                                      {"nmcli", "connection", "delete", "bond3"}}))
        << sb.dump();
}

TEST_F(MaintenanceCli, CleanupWithAFailingListingPrintsTheErrorLine) {
    sb.tool("nmcli").on(kListing, sb::fail(8, "Error: NetworkManager is not running.\n"));

    auto r = sb.run({"config", "cleanup"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "[+] Cleaning up stale NetworkManager connections...\n");
    EXPECT_EQ(r.err, "Error: Failed to get all connections\n");
}

}  // namespace
