// `config smart-cleanup` as a user runs it: everything in the ledger is deleted, then the ledger.

#include <algorithm>

#include "sandbox/sandbox.hpp"

namespace {

class SmartCleanupCli : public sb::SandboxTest {};

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";

TEST_F(SmartCleanupCli, DeletesVethPairsThenVlanBridgesThenVswitchesThenBonds) {
    sb.write(kLedger,
             "{\n  \"vswitches\": [\"Lab\", \"Gone\"],\n  \"vlan_bridges\": [\"vlan100br\"],\n"
             "  \"veth_pairs\": [\"vvs1_vs0\", \"vvs0_vs1\"],\n  \"bonds\": [\"bond0\"],\n"
             "  \"created_at\": \"2026-12-10T10:00:00+00:00\"\n}");
    // "Gone" has no profile any more. The pair's peer goes with its first end.
    sb.iface("vvs1_vs0");
    sb.iface("vvs0_vs1");
    sb.tool("nmcli")
        .on({"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
            sb::ok("vlan100br:vlan100br:bridge:activated\nLab:vswitch1:bridge:activated\nbond0::bond:\n"))
        .on({"-g", "connection.uuid", "connection", "show", "vlan100br"}, sb::ok("u-v\n"))
        .on({"-g", "connection.uuid", "connection", "show", "Lab"}, sb::ok("u-lab\n"))
        .on({"-g", "connection.uuid", "connection", "show", "bond0"}, sb::ok("u-b\n"))
        .on({"-g", "connection.type", "connection", "show", "bond0"}, sb::ok("bond\n"))
        .on({"-t", "-f", "NAME,TYPE", "connection", "show"}, sb::ok("vlan100br:bridge\nLab:bridge\nbond0:bond\n"))
        .on({"connection", "show", "bond0"}, sb::fail(10, "Error: no such connection profile.\n"));
    sb.tool("ip").on({"link", "delete", "vvs1_vs0"},
                     sb::ok().removes("/sys/class/net/vvs1_vs0").removes("/sys/class/net/vvs0_vs1"));

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
    sb::Argvs deletions;
    for (const auto& a : sb.argvs())
        if (std::find(a.begin(), a.end(), "delete") != a.end()) deletions.push_back(a);
    EXPECT_EQ(deletions, (sb::Argvs{{"ip", "link", "delete", "vvs1_vs0"},
                                    {"nmcli", "connection", "delete", "vlan100br"},
                                    {"nmcli", "connection", "delete", "Lab"},
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
