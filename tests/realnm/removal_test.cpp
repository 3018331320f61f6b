// What the program removes against a real NetworkManager: smart-cleanup and the restore take a
// virtual switch whole (its uplink and its joins with it), so a later bridge on the same number
// inherits neither a port nor a join; the sweep after `vswitch delete` and `bond delete` spares
// what the deletion did not leave behind.

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";

class Removal : public realnm::RealNmTest {
protected:
    realnm::Result run(const realnm::Args& args) {
        auto r = run_ok(args);
        EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile, realnm::kNoBondOrVlanKernel}), IsEmpty()) << r;
        EXPECT_THAT(r.refusals({}, "ip"), IsEmpty()) << r;
        return r;
    }
    std::string device_of(const std::string& profile) {
        return nm.field(profile, "connection.interface-name").value_or("(no profile '" + profile + "')");
    }
    // The ports the kernel has on `bridge`, once NetworkManager has had time to add any.
    std::string ports_after_settling(const std::string& bridge) {
        // A leftover uplink shows up as soon as NetworkManager activates it; give it that chance.
        (void)nm.wait_for([&] { return !nm.ip({"-o", "link", "show", "master", bridge}).empty(); },
                          std::chrono::seconds(5));
        return nm.ip({"-o", "link", "show", "master", bridge});
    }
    // No link of a veth pair between the two devices, in either naming.
    void expect_no_pair(const std::string& a, const std::string& b) {
        auto number = [](const std::string& dev) { return dev.substr(std::string("vswitch").size()); };
        for (const auto& [x, y] : {std::pair{a, b}, std::pair{b, a}}) {
            const std::string end = "vvs" + number(x) + "_vs" + number(y);
            EXPECT_FALSE(nm.link_exists(end)) << end << nm.diagnostics();
        }
    }
    void expect_no_joins() {
        const auto joins = nm.read(kJoins);
        if (joins) {
            EXPECT_EQ(*joins, "{}");
        }
    }
};

TEST_F(Removal, SmartCleanupTakesTheUplinkSoALaterIsolatedBridgeHasNoPort) {
    run({"vswitch", "create", "--name", "X", "--uplink", "eth3"});
    ASSERT_TRUE(nm.profile("X Uplink").has_value()) << nm.diagnostics();

    run({"config", "smart-cleanup"});
    EXPECT_FALSE(nm.profile("X Uplink").has_value()) << nm.diagnostics();

    run({"vswitch", "create", "--name", "Y", "--uplink", "none"});
    const std::string y = device_of("Y");
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Y"); })) << nm.diagnostics();
    EXPECT_EQ(ports_after_settling(y), "") << nm.diagnostics();
    EXPECT_EQ(nm.link_master("eth3"), "") << nm.diagnostics();
    EXPECT_FALSE(nm.profile("X Uplink").has_value()) << nm.diagnostics();
}

TEST_F(Removal, SmartCleanupTakesTheJoinsSoTheVethRestoreJoinsNoLaterBridges) {
    run({"vswitch", "create", "--name", "A", "--uplink", "none"});
    run({"vswitch", "create", "--name", "Hub", "--uplink", "none", "--master"});
    run({"vswitch", "connect", "--bridge", "A", "--to", "Hub"});
    const std::string a = device_of("A"), hub = device_of("Hub");
    ASSERT_NE(nm.read(kJoins).value_or("{}"), "{}");

    run({"config", "smart-cleanup"});
    expect_no_joins();
    expect_no_pair(a, hub);

    run({"vswitch", "create", "--name", "P1", "--uplink", "none"});
    run({"vswitch", "create", "--name", "P2", "--uplink", "none"});
    const std::string p1 = device_of("P1"), p2 = device_of("P2");
    // The numbers the removed bridges had.
    EXPECT_THAT((std::vector<std::string>{p1, p2}), testing::UnorderedElementsAre(a, hub));

    run({"vswitch", "veth", "restore"});
    expect_no_pair(p1, p2);
    expect_no_joins();
    EXPECT_EQ(nm.ip({"-o", "link", "show", "master", p1}), "") << nm.diagnostics();
    EXPECT_EQ(nm.ip({"-o", "link", "show", "master", p2}), "") << nm.diagnostics();
}

TEST_F(Removal, ARestoreTakesWhatTheBackupLacksWholeSoALaterIsolatedBridgeHasNoPort) {
    run({"vswitch", "create", "--name", "Base", "--uplink", "none"});
    run({"config", "backup", "-n", "plain"});
    run({"vswitch", "create", "--name", "Scratch", "--uplink", "eth3"});
    run({"vswitch", "connect", "--bridge", "Scratch", "--to", "Base"});
    const std::string scratch = device_of("Scratch"), base = device_of("Base");
    ASSERT_TRUE(nm.profile("Scratch Uplink").has_value()) << nm.diagnostics();

    auto restored = nm.run_quillmar({"config", "restore", "--name", "plain"});
    EXPECT_EQ(restored.status, 0) << restored;
    EXPECT_EQ(restored.err, "") << restored;
    EXPECT_THAT(restored.out, HasSubstr("[-] Removing managed connection 'Scratch' (not in backup)\n")) << restored;
    EXPECT_THAT(restored.out, HasSubstr("[+] Configuration restore completed successfully\n")) << restored;
    EXPECT_FALSE(nm.profile("Scratch").has_value()) << nm.diagnostics();
    EXPECT_FALSE(nm.profile("Scratch Uplink").has_value()) << nm.diagnostics();
    expect_no_pair(scratch, base);
    expect_no_joins();

    run({"vswitch", "create", "--name", "Quiet", "--uplink", "none"});
    const std::string quiet = device_of("Quiet");
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Quiet"); })) << nm.diagnostics();
    EXPECT_EQ(ports_after_settling(quiet), "") << nm.diagnostics();
    EXPECT_EQ(nm.link_master("eth3"), "") << nm.diagnostics();
    EXPECT_NE(nm.link_mac(quiet), nm.link_mac("eth3")) << nm.diagnostics();
}

TEST_F(Removal, TheSweepsAfterTheDeletesSpareAProfileOfAnAbsentNicAndADownVswitch) {
    nm.nmcli({"connection", "add", "type", "ethernet", "ifname", "eth9", "con-name", "Spare eth9",
              "connection.autoconnect", "no"});
    run({"vswitch", "create", "--name", "Parked", "--uplink", "none"});
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Parked"); })) << nm.diagnostics();
    nm.nmcli({"connection", "down", "Parked"});
    run({"vswitch", "create", "--name", "Lab", "--uplink", "eth2"});
    // This kernel has no bonding: the bond never comes up, its profiles are made all the same.
    auto bond = nm.run_quillmar({"bond", "create", "--name", "bond0", "--members", "eth3"});
    EXPECT_EQ(bond.status, 0) << bond;
    ASSERT_TRUE(nm.profile("bond0").has_value()) << nm.diagnostics();

    auto deleted = run({"vswitch", "delete", "--name", "Lab"});
    EXPECT_THAT(deleted.out, Not(HasSubstr("Removing stale connection: Spare eth9"))) << deleted;
    EXPECT_THAT(deleted.out, Not(HasSubstr("Removing stale connection: Parked"))) << deleted;
    EXPECT_FALSE(nm.profile("Lab").has_value()) << nm.diagnostics();
    EXPECT_FALSE(nm.profile("Lab Uplink").has_value()) << nm.diagnostics();
    // The bond and its member name no removed master.
    EXPECT_TRUE(nm.profile("bond0").has_value()) << nm.diagnostics();
    EXPECT_TRUE(nm.profile("eth3").has_value()) << nm.diagnostics();

    auto bond_gone = run({"bond", "delete", "--name", "bond0"});
    EXPECT_THAT(bond_gone.out, Not(HasSubstr("Removing stale connection: Spare eth9"))) << bond_gone;
    EXPECT_THAT(bond_gone.out, Not(HasSubstr("Removing stale connection: Parked"))) << bond_gone;
    EXPECT_FALSE(nm.profile("bond0").has_value()) << nm.diagnostics();

    EXPECT_TRUE(nm.profile("Spare eth9").has_value()) << nm.diagnostics();
    EXPECT_TRUE(nm.profile("Parked").has_value()) << nm.diagnostics();
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Parked"})) << nm.diagnostics();
}

// A pair the restore makes again gets its profiles only where none of their name exists: the
// profiles outlive the links, and each restore would store another of each.
TEST_F(Removal, ARestoreThatMakesAPairAgainAddsNoSecondProfileOfItsEnds) {
    run({"vswitch", "create", "--name", "A", "--uplink", "none"});
    run({"vswitch", "create", "--name", "Hub", "--uplink", "none", "--master"});
    run({"vswitch", "connect", "--bridge", "A", "--to", "Hub"});
    const std::string a = device_of("A").substr(7), hub = device_of("Hub").substr(7);
    const std::string end = "vvs" + a + "_vs" + hub;
    const std::vector<std::string> names{"veth-vswitch" + a + "-vswitch" + hub, "veth-vswitch" + hub + "-vswitch" + a};
    run({"config", "backup", "-n", "joined"});
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        nm.ip({"link", "delete", end});
        auto restored = nm.run_quillmar({"config", "restore", "--name", "joined"});
        EXPECT_EQ(restored.status, 0) << restored;
        EXPECT_THAT(restored.out, HasSubstr("  + Restored veth connection: " + end)) << restored;
        for (const auto& name : names) {
            int count = 0;
            for (const auto& p : nm.profiles()) count += p.name == name ? 1 : 0;
            EXPECT_EQ(count, 1) << name << nm.diagnostics();
        }
    }
}

}  // namespace
