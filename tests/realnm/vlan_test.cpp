// `vlan create`, `vlan list` and `vlan delete` against a real NetworkManager. This kernel has
// no 8021q module, so the VLAN interface itself never comes up: what counts is that its two
// profiles are made and removed whole, with the ledger following them.

#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using namespace std::chrono_literals;

class Vlan : public realnm::RealNmTest {
protected:
    void SetUp() override {
        RealNmTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        auto r = nm.run_quillmar({"vswitch", "create", "--name", "Management Network", "--uplink", "eth1"});
        ASSERT_EQ(r.status, 0) << r;
        mac_ = nm.read("/var/lib/quillmar/vswitch0_original_mac").value_or("");
        ASSERT_EQ(mac_, "52:54:00:5e:00:01");
    }

    // The profiles of VLAN 100 on vswitch0, as the program makes them.
    void expect_vlan_100() {
        ASSERT_TRUE(nm.profile("Vlan 100").has_value()) << nm.diagnostics();
        EXPECT_EQ(nm.field("Vlan 100", "connection.type"), "vlan");
        EXPECT_EQ(nm.field("Vlan 100", "connection.interface-name"), "vswitch0.100");
        EXPECT_EQ(nm.field("Vlan 100", "vlan.parent"), "vswitch0");
        EXPECT_EQ(nm.field("Vlan 100", "vlan.id"), "100");
        // As a bridge port it carries no IP settings of its own (the program's ipv4.method
        // "disabled" and ipv6.method "ignore" go when it is enslaved).
        EXPECT_EQ(nm.field("Vlan 100", "ipv4.method"), "");
        EXPECT_EQ(nm.field("Vlan 100", "connection.master"), "vlan100br");
        EXPECT_EQ(nm.field("Vlan 100", "connection.slave-type"), "bridge");
        ASSERT_TRUE(nm.profile("vlan100br").has_value()) << nm.diagnostics();
        EXPECT_EQ(nm.field("vlan100br", "connection.type"), "bridge");
        EXPECT_EQ(nm.field("vlan100br", "connection.interface-name"), "vlan100br");
        EXPECT_EQ(nm.field("vlan100br", "ipv4.method"), "disabled");
        EXPECT_EQ(nm.field("vlan100br", "ipv6.method"), "ignore");
        EXPECT_TRUE(nm.wait_for([&] { return nm.link_exists("vlan100br"); })) << nm.diagnostics();
        EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Management Network"}, {"vlan100br"}));
        // The parent bridge keeps its MAC through the VLAN's activation.
        EXPECT_EQ(nm.link_mac("vswitch0"), mac_);
    }

    std::string mac_;
};

TEST_F(Vlan, CreateListAndDeleteOnAVswitchProfile) {
    auto created = nm.run_quillmar({"vlan", "create", "--vlan-id", "100", "--vswitch", "Management Network"});
    EXPECT_EQ(created.status, 0) << created;
    EXPECT_EQ(created.err, "") << created;
    EXPECT_THAT(created.out, HasSubstr("[+] VLAN 100 created successfully\n"));
    expect_vlan_100();
    // Refused: the probe for an existing VLAN profile, and (by this kernel) the VLAN interface.
    for (const auto& c : created.refusals()) {
        if (c.argv == realnm::Args{"nmcli", "connection", "show", "Vlan 100"}) continue;
        EXPECT_EQ(c.argv, (realnm::Args{"nmcli", "connection", "up", "Vlan 100"})) << c;
        EXPECT_THAT(c.err, HasSubstr("Failed to create VLAN interface 'vswitch0.100'")) << c;
    }
    EXPECT_THAT(created.refusals({}, "ip"), IsEmpty()) << created;
    // Its IP settings are given while it is not a port yet, so nmcli takes them.
    EXPECT_THAT(created.argvs_of("nmcli"),
                testing::IsSupersetOf(std::vector<realnm::Args>{
                    {"nmcli", "connection", "modify", "Vlan 100", "ipv4.method", "disabled"},
                    {"nmcli", "connection", "modify", "Vlan 100", "ipv6.method", "ignore"},
                    {"nmcli", "connection", "modify", "Vlan 100", "master", "vlan100br"},
                }));

    auto listed = nm.run_quillmar({"vlan", "list"});
    EXPECT_EQ(listed.status, 0) << listed;
    EXPECT_THAT(listed.out, HasSubstr("\n=== VLANs ===\n"));
    EXPECT_THAT(listed.out, HasSubstr("  VLAN 100   Interface: "));
    EXPECT_THAT(listed.out, HasSubstr(" Bridge: vlan100br      State: "));
    EXPECT_THAT(listed.refusals(), IsEmpty()) << listed;

    auto again = nm.run_quillmar({"vlan", "create", "--vlan-id", "100", "--vswitch", "Management Network"});
    EXPECT_EQ(again.err, "Error: VLAN 100 already exists\n") << again;
    EXPECT_EQ(again.argvs_of("nmcli"), (std::vector<realnm::Args>{{"nmcli", "connection", "show", "Vlan 100"}}));

    auto deleted = nm.run_quillmar({"vlan", "delete", "--vlan-id", "100"});
    EXPECT_EQ(deleted.status, 0) << deleted;
    EXPECT_EQ(deleted.err, "") << deleted;
    EXPECT_THAT(deleted.out, HasSubstr("[+] VLAN 100 deleted successfully\n"));
    EXPECT_FALSE(nm.profile("Vlan 100").has_value()) << nm.diagnostics();
    EXPECT_FALSE(nm.profile("vlan100br").has_value()) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return !nm.link_exists("vlan100br"); })) << nm.diagnostics();
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Management Network"}));
    // Brought up again by the VLAN's creation, it renews its lease.
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("Management Network"); }, 45s)) << nm.diagnostics();
    // The only refusal: the test hypervisor has no libvirt network "VLAN 100".
    EXPECT_THAT(deleted.refusals({}, "nmcli"), IsEmpty()) << deleted;
    EXPECT_THAT(deleted.refusals_except({{"no network with matching name 'VLAN 100'"}}, "virsh"), IsEmpty())
        << deleted;

    auto empty = nm.run_quillmar({"vlan", "list"});
    EXPECT_EQ(empty.out, "\n=== VLANs ===\n  (no VLANs configured)\n\n") << empty;
}

TEST_F(Vlan, CreateOnAVswitchDevice) {
    auto created = nm.run_quillmar({"vlan", "create", "--vlan-id", "100", "--vswitch", "vswitch0"});
    EXPECT_EQ(created.status, 0) << created;
    EXPECT_THAT(created.out, HasSubstr("[+] VLAN 100 created successfully\n"));
    expect_vlan_100();
    EXPECT_THAT(created.device_as_profile(), IsEmpty()) << created;
    EXPECT_THAT(created.refusals_except({realnm::kAbsentProfile, realnm::kNoBondOrVlanKernel}), IsEmpty()) << created;
    EXPECT_THAT(created.refusals({}, "ip"), IsEmpty()) << created;

    auto deleted = nm.run_quillmar({"vlan", "delete", "--vlan-id", "100"});
    EXPECT_THAT(deleted.out, HasSubstr("[+] VLAN 100 deleted successfully\n")) << deleted;
    EXPECT_THAT(deleted.refusals(), IsEmpty()) << deleted;
    EXPECT_THAT(deleted.refusals_except({{"no network with matching name 'VLAN 100'"}}, "virsh"), IsEmpty())
        << deleted;
    EXPECT_FALSE(nm.profile("Vlan 100").has_value()) << nm.diagnostics();
    EXPECT_FALSE(nm.profile("vlan100br").has_value()) << nm.diagnostics();
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Management Network"}));
}

}  // namespace
