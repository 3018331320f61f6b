// `config cleanup` and `config sync` against a real NetworkManager: cleanup deletes exactly
// the profiles without a device (two names excepted), sync drops exactly the ledger entries
// whose object is gone from the host, and neither touches anything else.

#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";

class Maintenance : public realnm::RealNmTest {
protected:
    void run_ok(const realnm::Args& args) {
        auto r = nm.run_quillmar(args);
        ASSERT_EQ(r.status, 0) << r;
        ASSERT_EQ(r.err, "") << r;
        EXPECT_THAT(r.refusals(), IsEmpty()) << r;
        EXPECT_THAT(r.refusals({}, "ip"), IsEmpty()) << r;
    }
    std::vector<std::string> uuids() {
        std::vector<std::string> out;
        for (const auto& p : nm.profiles()) out.push_back(p.uuid);
        return out;
    }
    std::string uuid_of(const std::string& name) { return nm.field(name, "connection.uuid").value_or(""); }
};

TEST_F(Maintenance, CleanupDeletesOnlyProfilesWithoutADevice) {
    run_ok({"vswitch", "create", "--name", "Storage", "--uplink", "none"});
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Storage"); })) << nm.diagnostics();
    // An ethernet profile that is not active although its interface is there.
    nm.nmcli({"connection", "add", "type", "ethernet", "ifname", "eth2", "con-name", "Spare Port", "autoconnect", "no",
              "ipv4.method", "disabled", "ipv6.method", "ignore"});
    // Two more without a device whose names are never taken: a bridge named as the libvirt
    // default network's, and an ethernet profile that shares its name with the loopback's.
    nm.nmcli({"connection", "add", "type", "bridge", "ifname", "virbr0", "con-name", "virbr0", "autoconnect", "no",
              "ipv4.method", "disabled", "ipv6.method", "ignore"});
    std::string loopback = uuid_of("lo");
    ASSERT_NE(loopback, "");
    nm.nmcli({"connection", "add", "type", "ethernet", "ifname", "eth3", "con-name", "lo", "autoconnect", "no",
              "ipv4.method", "disabled", "ipv6.method", "ignore"});
    std::vector<std::string> kept_uuids;
    for (const auto& p : nm.profiles())
        if (p.name != "Spare Port") kept_uuids.push_back(p.uuid);
    ASSERT_EQ(kept_uuids.size(), 4u) << nm.diagnostics();
    ASSERT_FALSE(nm.active("Spare Port"));
    auto ledger_before = nm.read(kLedger);

    auto r = nm.run_quillmar({"config", "cleanup"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "[+] Cleaning up stale NetworkManager connections...\n"
              "  - Removing stale connection: Spare Port\n"
              "[+] Cleaned up 1 stale connections\n")
        << r;
    EXPECT_EQ(r.argvs_of("nmcli"), (std::vector<realnm::Args>{
                                       {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                                       {"nmcli", "connection", "delete", "Spare Port"},
                                   }));
    EXPECT_THAT(r.refusals(), IsEmpty()) << r;
    EXPECT_THAT(r.refusals({}, "ip"), IsEmpty()) << r;

    EXPECT_FALSE(nm.profile("Spare Port").has_value()) << nm.diagnostics();
    EXPECT_THAT(uuids(), testing::UnorderedElementsAreArray(kept_uuids)) << nm.diagnostics();
    EXPECT_TRUE(nm.active("Storage"));
    EXPECT_EQ(nm.field(loopback, "connection.type"), "loopback");
    EXPECT_TRUE(nm.link_exists("vswitch1"));
    EXPECT_EQ(nm.link_master("eth2"), "");
    // Only profiles change: the ledger is as it was.
    EXPECT_EQ(nm.read(kLedger), ledger_before);

    // Nothing is left to do.
    auto again = nm.run_quillmar({"config", "cleanup"});
    EXPECT_EQ(again.out, "[+] Cleaning up stale NetworkManager connections...\n[+] No stale connections found\n")
        << again;
    EXPECT_EQ(again.argvs_of("nmcli").size(), 1u) << again;
}

TEST_F(Maintenance, SyncDropsOnlyTheVethPairThatIsGone) {
    for (const char* name : {"Core", "Dmz", "Lab"}) run_ok({"vswitch", "create", "--name", name, "--uplink", "none"});
    run_ok({"vswitch", "connect", "--bridge", "Dmz", "--to", "Core"});
    run_ok({"vswitch", "connect", "--bridge", "Lab", "--to", "Core"});
    ASSERT_EQ(nm.ledger(),
              realnm::ledger_json({"Core", "Dmz", "Lab"}, {}, {"vvs2_vs1", "vvs1_vs2", "vvs3_vs1", "vvs1_vs3"}));
    auto joins = nm.read(kJoins);
    ASSERT_TRUE(joins.has_value());

    // One pair goes behind the program's back: deleting one end takes its peer.
    nm.ip({"link", "delete", "vvs3_vs1"});
    ASSERT_TRUE(nm.wait_for([&] { return !nm.link_exists("vvs3_vs1") && !nm.link_exists("vvs1_vs3"); }));
    auto raw_before = nm.read(kLedger).value_or("");
    auto created_at = raw_before.substr(raw_before.find("\"created_at\""));

    auto r = nm.run_quillmar({"config", "sync"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "[+] Syncing configuration files with current network state...\n"
              "[+] Reading managed resources file...\n"
              "[+] Successfully parsed managed resources file\n"
              "  - Checking 3 vswitches\n"
              "  - Checking 0 VLAN bridges\n"
              "  - Checking 4 veth pairs\n"
              "  - Removing stale veth pair: vvs3_vs1\n"
              "  - Removing stale veth pair: vvs1_vs3\n"
              "[+] Configuration files synced successfully\n")
        << r;
    EXPECT_EQ(r.argvs_of("ip"), (std::vector<realnm::Args>{
                                    {"ip", "link", "show", "vvs2_vs1"},
                                    {"ip", "link", "show", "vvs1_vs2"},
                                    {"ip", "link", "show", "vvs3_vs1"},
                                    {"ip", "link", "show", "vvs1_vs3"},
                                }));
    EXPECT_THAT(r.refusals(), IsEmpty()) << r;
    // The probes of the pair that is gone.
    EXPECT_THAT(r.refusals({}, "ip"), testing::SizeIs(2)) << r;
    EXPECT_THAT(r.refusals_except({realnm::kAbsentLink}, "ip"), IsEmpty()) << r;

    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Core", "Dmz", "Lab"}, {}, {"vvs2_vs1", "vvs1_vs2"}));
    auto raw_after = nm.read(kLedger).value_or("");
    EXPECT_THAT(raw_after, HasSubstr(created_at));
    EXPECT_FALSE(nm.exists(std::string(kLedger) + ".tmp"));
    // Sync changes the ledger only: the recorded joins, the profiles and the other pair stay.
    EXPECT_EQ(nm.read(kJoins), joins);
    for (const char* name : {"Core", "Dmz", "Lab"}) EXPECT_TRUE(nm.active(name)) << name;
    EXPECT_EQ(nm.link_master("vvs2_vs1"), "vswitch2");
    EXPECT_EQ(nm.link_master("vvs1_vs2"), "vswitch1");

    // In sync now: the file is not written again.
    auto again = nm.run_quillmar({"config", "sync"});
    EXPECT_THAT(again.out,
                testing::EndsWith("  - Checking 2 veth pairs\n[+] Configuration files are already in sync\n"))
        << again;
    EXPECT_EQ(nm.read(kLedger), raw_after);
}

}  // namespace
