// `config smart-cleanup` as a user runs it: everything in the ledger is deleted, then the ledger.

#include "sandbox/sandbox.hpp"

namespace {

class SmartCleanupCli : public sb::SandboxTest {};

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";

TEST_F(SmartCleanupCli, DeletesVethPairsThenVlanBridgesThenVswitchesThenBonds) {
    sb.write(kLedger,
             "{\n  \"vswitches\": [\"Lab\", \"Gone\"],\n  \"vlan_bridges\": [\"vlan100br\"],\n"
             "  \"veth_pairs\": [\"vvs1_vs0\", \"vvs0_vs1\"],\n  \"bonds\": [\"bond0\"],\n"
             "  \"created_at\": \"2026-12-10T10:00:00+00:00\"\n}");
    sb.tool("nmcli").on({"connection", "delete", "Gone"}, sb::fail(10, "Error: unknown connection 'Gone'.\n"));
    sb.tool("ip").on({"link", "delete", "vvs0_vs1"}, sb::fail(1, "Cannot find device\n"));

    auto r = sb.run({"config", "smart-cleanup"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Smart cleanup: Cleaning up only our managed resources...\n"
              "  - Cleaned up veth pair: vvs1_vs0\n"
              "  - Cleaned up VLAN bridge: vlan100br\n"
              "  - Cleaned up vswitch: Lab\n"
              "  - Cleaned up bond: bond0\n"
              "[+] Smart cleanup completed. Tracking file cleared.\n");
    EXPECT_EQ(sb.argvs(), (sb::Argvs{{"ip", "link", "delete", "vvs1_vs0"},
                                      {"ip", "link", "delete", "vvs0_vs1"},
                                      {"nmcli", "connection", "delete", "vlan100br"},
                                      {"nmcli", "connection", "delete", "Lab"},
                                      {"nmcli", "connection", "delete", "Gone"},
                                      {"nmcli", "connection", "delete", "bond0"}}))
        << sb.dump();
    EXPECT_FALSE(sb.exists(kLedger));
}

TEST_F(SmartCleanupCli, WithoutALedgerPrintsAndDeletesNothing) {
    auto r = sb.run({"config", "smart-cleanup"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sb.argvs().empty()) << sb.dump();
}

TEST_F(SmartCleanupCli, ADamagedLedgerIsKeptAndNothingIsDeleted) {
    sb.write(kLedger, "{\"vswitches\": [\"Lab\"");
    auto r = sb.run({"config", "smart-cleanup"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(sb.argvs().empty()) << sb.dump();
    EXPECT_EQ(sb.read(kLedger), "{\"vswitches\": [\"Lab\"");
}

}  // namespace
