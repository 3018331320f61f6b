// Ports made by hand whose master names the controller by its profile: nmcli stores such a
// master as the profile's UUID. The program must see them as ports all the same.

#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

class PortsByProfile : public realnm::RealNmTest {
protected:
    // Every nmcli question the program asked was one the real nmcli takes (the probes for a
    // profile that is not there aside).
    static void expect_no_refusal(const realnm::Result& r) {
        EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile}), IsEmpty()) << r;
        EXPECT_THAT(r.invalid_fields(), IsEmpty()) << r;
        EXPECT_THAT(r.device_as_profile(), IsEmpty()) << r;
    }
    // Names of the profiles whose connection.master is one of `masters`.
    std::vector<std::string> ports_of(const std::vector<std::string>& masters) {
        std::vector<std::string> out;
        for (const auto& p : nm.profiles()) {
            auto master = nm.field(p.name, "connection.master").value_or("");
            for (const auto& m : masters)
                if (master == m) out.push_back(p.name);
        }
        return out;
    }
};

TEST_F(PortsByProfile, ChangingTheUplinkOfAHandMadeBridgeLeavesOneUplinkAndNoneLeavesNone) {
    nm.nmcli({"connection", "add", "type", "bridge", "con-name", "Lab", "ifname", "vswitch5", "ipv4.method",
              "disabled", "ipv6.method", "ignore"});
    nm.nmcli({"connection", "add", "type", "ethernet", "con-name", "Lab Port", "ifname", "eth2", "master", "Lab"});
    auto lab = nm.profile("Lab");
    ASSERT_TRUE(lab.has_value()) << nm.diagnostics();
    const std::string uuid = lab->uuid;
    // The hand-made port names its master by the profile's UUID.
    ASSERT_EQ(nm.field("Lab Port", "connection.master"), uuid);
    ASSERT_TRUE(nm.wait_for([&] { return nm.link_master("eth2") == "vswitch5"; })) << nm.diagnostics();

    auto changed = nm.run_quillmar({"vswitch", "change", "--name", "Lab", "--uplink", "eth3"});
    EXPECT_EQ(changed.status, 0) << changed;
    EXPECT_EQ(changed.err, "") << changed;
    expect_no_refusal(changed);
    EXPECT_FALSE(nm.profile("Lab Port").has_value()) << changed;
    EXPECT_EQ(ports_of({"vswitch5", "Lab", uuid}), std::vector<std::string>{"Lab Uplink"}) << nm.diagnostics();
    EXPECT_EQ(nm.field("Lab Uplink", "connection.interface-name"), "eth3");
    EXPECT_TRUE(nm.wait_for([&] { return nm.link_master("eth3") == "vswitch5"; })) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return nm.link_master("eth2") != "vswitch5"; })) << nm.diagnostics();

    auto none = nm.run_quillmar({"vswitch", "change", "--name", "Lab", "--uplink", "None"});
    EXPECT_EQ(none.status, 0) << none;
    EXPECT_EQ(none.err, "") << none;
    expect_no_refusal(none);
    EXPECT_THAT(none.out, Not(HasSubstr("as direct bridge uplink"))) << none;
    EXPECT_FALSE(nm.profile("Lab Uplink").has_value()) << none;
    EXPECT_THAT(ports_of({"vswitch5", "Lab", uuid}), IsEmpty()) << nm.diagnostics();
    for (const auto& p : nm.profiles())
        EXPECT_NE(nm.field(p.name, "connection.interface-name"), "None") << p;
    EXPECT_TRUE(nm.wait_for([&] { return nm.link_master("eth3") != "vswitch5"; })) << nm.diagnostics();
    EXPECT_TRUE(nm.active("Lab")) << nm.diagnostics();
}

TEST_F(PortsByProfile, BondMembersNamedByProfileAreListedAndNamedInRefusals) {
    nm.nmcli({"connection", "add", "type", "bond", "con-name", "Uplink Bond", "ifname", "bond3", "bond.options",
              "mode=active-backup,miimon=100", "ipv4.method", "disabled", "ipv6.method", "ignore"});
    nm.nmcli({"connection", "add", "type", "ethernet", "con-name", "Bond Port", "ifname", "eth1", "master",
              "Uplink Bond", "slave-type", "bond"});
    auto bond = nm.profile("Uplink Bond");
    ASSERT_TRUE(bond.has_value()) << nm.diagnostics();
    ASSERT_EQ(nm.field("Bond Port", "connection.master"), bond->uuid);

    // The bond device cannot come up on this kernel: neither shows a device.
    auto listed = nm.run_quillmar({"bond", "list"});
    EXPECT_EQ(listed.status, 0) << listed;
    EXPECT_EQ(listed.err, "") << listed;
    expect_no_refusal(listed);
    EXPECT_THAT(listed.out, HasSubstr("\n  └─  (Bond Port)\n")) << listed;
    EXPECT_THAT(listed.out, Not(HasSubstr("(no members)"))) << listed;

    // A port that is active on its bridge is refused as a member, and the refusal names the
    // bridge's profile, not the UUID its port stores.
    nm.nmcli({"connection", "add", "type", "bridge", "con-name", "Lab", "ifname", "vswitch5", "ipv4.method",
              "disabled", "ipv6.method", "ignore"});
    nm.nmcli({"connection", "add", "type", "ethernet", "con-name", "Lab Port", "ifname", "eth2", "master", "Lab"});
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Lab Port"); })) << nm.diagnostics();
    auto refused = nm.run_quillmar({"bond", "create", "--name", "bond7", "--members", "eth2"});
    EXPECT_EQ(refused.err, "Error: Cannot add interface 'eth2' to bond. Already member of 'Lab'. Aborting.\n")
        << refused;
    EXPECT_FALSE(nm.profile("bond7").has_value());
    expect_no_refusal(refused);

    // So is it for a bond of the program's own (which cannot come up either).
    (void)nm.run_quillmar({"bond", "create", "--name", "bond0", "--members", "eth3"});
    ASSERT_TRUE(nm.profile("bond0").has_value()) << nm.diagnostics();
    auto changed = nm.run_quillmar({"bond", "change", "--name", "bond0", "--members", "eth2"});
    EXPECT_THAT(changed.err, HasSubstr("Cannot add interface 'eth2' to bond. Already member of 'Lab'\n")) << changed;
    EXPECT_EQ(nm.field("eth3", "connection.master"), "bond0");
    EXPECT_EQ(nm.field("Lab Port", "connection.master"), nm.profile("Lab")->uuid);
}

TEST_F(PortsByProfile, TheVlanGroupShowsAPortThatNamesItsBridgeByProfile) {
    nm.nmcli({"connection", "add", "type", "bridge", "con-name", "Trunk 300", "ifname", "vlan300br", "ipv4.method",
              "disabled", "ipv6.method", "ignore"});
    nm.nmcli({"connection", "add", "type", "ethernet", "con-name", "Trunk Port", "ifname", "eth3", "master",
              "Trunk 300"});
    ASSERT_EQ(nm.field("Trunk Port", "connection.master"), nm.profile("Trunk 300")->uuid);
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Trunk Port"); })) << nm.diagnostics();

    auto listed = nm.run_quillmar({"vswitch", "list"});
    EXPECT_EQ(listed.status, 0) << listed;
    expect_no_refusal(listed);
    const auto vlan_group = listed.out.find("--- VLAN-Dedicated Virtual Switches ---\n");
    ASSERT_NE(vlan_group, std::string::npos) << listed;
    EXPECT_THAT(listed.out.substr(vlan_group), HasSubstr("Trunk 300")) << listed;
    EXPECT_THAT(listed.out.substr(vlan_group), HasSubstr("\n  └─ eth3 (Trunk Port)\n")) << listed;
}

}  // namespace
