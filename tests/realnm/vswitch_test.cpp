// `vswitch create` and `vswitch change` against a real NetworkManager: the profiles, the live
// bridge and its ports, the MAC it keeps, and the files the program writes.

#include <cctype>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using namespace std::chrono_literals;

constexpr const char* kEth1Mac = "52:54:00:5e:00:01";
const std::vector<std::string> kUplinks{"eth1", "eth2", "eth3"};

class Vswitch : public realnm::RealNmTest {
protected:
    realnm::Result create(const std::string& name, const std::string& uplink) {
        auto r = nm.run_quillmar({"vswitch", "create", "--name", name, "--uplink", uplink});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.err, "") << r;
        // Refused at most: the probes for an uplink profile, or a bond profile named as the uplink.
        EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile}), IsEmpty()) << r;
        EXPECT_THAT(r.refusals({}, "ip"), IsEmpty()) << r;
        return r;
    }
    realnm::Result change(const std::string& name, const std::string& uplink) {
        auto r = nm.run_quillmar({"vswitch", "change", "--name", name, "--uplink", uplink});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.err, "") << r;
        return r;
    }

    // Names of the profiles whose connection.master is `master`.
    std::vector<std::string> ports_of(const std::string& master) {
        std::vector<std::string> out;
        for (const auto& p : nm.profiles())
            if (nm.field(p.name, "connection.master") == master) out.push_back(p.name);
        return out;
    }

    // `iface` is the bridge's one uplink, through the ethernet profile `uplink_profile`, and the
    // other candidates are not on the bridge.
    void expect_direct_uplink(const std::string& bridge, const std::string& uplink_profile, const std::string& iface) {
        SCOPED_TRACE("direct uplink " + iface + " on " + bridge);
        EXPECT_EQ(nm.field(uplink_profile, "connection.type"), "802-3-ethernet");
        EXPECT_EQ(nm.field(uplink_profile, "connection.interface-name"), iface);
        EXPECT_EQ(nm.field(uplink_profile, "connection.master"), bridge);
        EXPECT_EQ(nm.field(uplink_profile, "connection.slave-type"), "bridge");
        EXPECT_EQ(ports_of(bridge), std::vector<std::string>{uplink_profile});
        EXPECT_TRUE(nm.wait_for([&] { return nm.link_master(iface) == bridge; })) << nm.diagnostics();
        for (const auto& other : kUplinks)
            if (other != iface) {
                EXPECT_NE(nm.link_master(other), bridge) << other;
            }
    }

    // What must hold for a bridge with an uplink after every step: its profile brings up its
    // ports, its live MAC is the one stored for it (and pinned in the profile), no nmcli call was
    // aimed at a device or asked an invalid field, and the only refusals are about profiles that
    // are not there (and, for a `bonded` uplink, the bond this kernel cannot make).
    void expect_bridge_kept(const realnm::Result& r, const std::string& profile, const std::string& bridge,
                            bool bonded = false) {
        SCOPED_TRACE("bridge " + bridge);
        EXPECT_EQ(nm.field(profile, "connection.autoconnect-slaves"), "1");
        EXPECT_THAT(r.device_as_profile(), IsEmpty()) << r;
        EXPECT_THAT(r.invalid_fields(), IsEmpty()) << r;
        if (bonded)
            EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile, realnm::kNoBondOrVlanKernel}), IsEmpty()) << r;
        else
            EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile}), IsEmpty()) << r;
        EXPECT_THAT(r.refusals({}, "ip"), IsEmpty()) << r;
        auto stored = nm.read("/var/lib/quillmar/" + bridge + "_original_mac");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(nm.link_mac(bridge), *stored) << nm.diagnostics();
        EXPECT_EQ(lower(nm.field(profile, "bridge.mac-address").value_or("")), *stored);
    }

    static std::string lower(std::string s) {
        for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }

    // After a restart of NetworkManager the bridge is still held by its own profile, with its MAC.
    void expect_kept_across_restart(const std::string& profile, const std::string& bridge) {
        SCOPED_TRACE("restart with " + bridge);
        nm.restart_nm();
        EXPECT_TRUE(nm.wait_for([&] { return nm.active(profile); })) << nm.diagnostics();
        EXPECT_EQ(nm.field(profile, "GENERAL.DEVICES"), bridge);
        EXPECT_FALSE(nm.profile(bridge).has_value()) << nm.diagnostics();
        EXPECT_EQ(nm.link_mac(bridge), stored_mac(bridge));
    }

    std::optional<std::string> stored_mac(const std::string& bridge) {
        return nm.read("/var/lib/quillmar/" + bridge + "_original_mac");
    }
};

TEST_F(Vswitch, CreatesAnIsolatedBridge) {
    auto r = create("Storage", "none");
    EXPECT_THAT(r.out, HasSubstr("[+] Creating isolated bridge 'vswitch1' with label 'Storage' (no uplink)\n"));
    EXPECT_THAT(r.refusals(), IsEmpty()) << r;

    auto p = nm.profile("Storage");
    ASSERT_TRUE(p.has_value()) << nm.diagnostics();
    EXPECT_EQ(p->type, "bridge");
    EXPECT_EQ(nm.field("Storage", "connection.interface-name"), "vswitch1");
    EXPECT_EQ(nm.field("Storage", "ipv4.method"), "disabled");
    EXPECT_EQ(nm.field("Storage", "ipv6.method"), "ignore");
    EXPECT_EQ(nm.field("Storage", "connection.autoconnect"), "yes");
    EXPECT_EQ(nm.field("Storage", "connection.autoconnect-priority"), "600");
    EXPECT_EQ(nm.field("Storage", "bridge.forward-delay"), "2");
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("Storage"); })) << nm.diagnostics();
    EXPECT_TRUE(nm.link_exists("vswitch1"));
    EXPECT_THAT(ports_of("vswitch1"), IsEmpty());
    for (const auto& dev : kUplinks) EXPECT_EQ(nm.link_master(dev), "") << dev;

    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Storage"}));
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/vswitch1_original_mac"));
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/control-file"));
    EXPECT_TRUE(nm.exists("/usr/lib/systemd/system/quillmar-baseline.service"));
}

TEST_F(Vswitch, CreatesABridgeWithADirectUplinkUnderItsLabel) {
    auto r = create("Management Network", "eth1");
    EXPECT_THAT(r.out, HasSubstr("[+] Creating bridge 'vswitch0' with label 'Management Network' and uplink 'eth1'\n"));

    ASSERT_TRUE(nm.profile("Management Network").has_value()) << nm.diagnostics();
    EXPECT_EQ(nm.profile("Management Network")->type, "bridge");
    EXPECT_EQ(nm.field("Management Network", "connection.interface-name"), "vswitch0");
    EXPECT_EQ(nm.field("Management Network", "ipv4.method"), "auto");
    EXPECT_EQ(nm.field("Management Network", "bridge.mac-address"), "52:54:00:5E:00:01");
    EXPECT_FALSE(nm.profile("vswitch0").has_value());
    expect_direct_uplink("vswitch0", "Management Uplink", "eth1");

    // The uplink really carries the bridge: it gets its address from the LAN's DHCP server.
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("Management Network"); }, 45s)) << nm.diagnostics();
    EXPECT_THAT(nm.ip({"-4", "addr", "show", "vswitch0"}), HasSubstr("inet 192.0.2."));

    EXPECT_EQ(stored_mac("vswitch0"), kEth1Mac);
    auto identity = nm.read("/var/lib/quillmar/vswitch0_network_identity.json").value_or("");
    EXPECT_THAT(identity, HasSubstr("\"bridge_name\": \"vswitch0\""));
    EXPECT_THAT(identity, HasSubstr("\"original_mac\": \"52:54:00:5e:00:01\""));
    EXPECT_THAT(identity, HasSubstr("\"last_uplink\": \"eth1\""));
    EXPECT_THAT(identity, HasSubstr("\"dhcp_enabled\": true"));
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Management Network"}));
    EXPECT_EQ(nm.read("/var/lib/quillmar/control-file"), "");
    EXPECT_THAT(nm.read("/var/log/quillmar.log").value_or(""),
                HasSubstr("[INFO] vswitch0 change: uplink changed to [\"eth1\"]\n"));
    expect_bridge_kept(r, "Management Network", "vswitch0");

    // A restart of NetworkManager takes the running bridge over under its own profile.
    nm.restart_nm();
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("Management Network"); })) << nm.diagnostics();
    EXPECT_EQ(nm.field("Management Network", "GENERAL.DEVICES"), "vswitch0");
    EXPECT_EQ(nm.link_mac("vswitch0"), kEth1Mac);
    EXPECT_EQ(nm.link_master("eth1"), "vswitch0");
}

TEST_F(Vswitch, ChangesTheUplinkAndBackKeepingTheBridge) {
    create("Management Network", "eth1");
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Management Network"); }, 45s)) << nm.diagnostics();

    auto to_eth2 = change("Management Network", "eth2");
    expect_direct_uplink("vswitch0", "Management Uplink", "eth2");
    EXPECT_EQ(stored_mac("vswitch0"), kEth1Mac);
    EXPECT_THAT(nm.read("/var/lib/quillmar/vswitch0_network_identity.json").value_or(""),
                HasSubstr("\"last_uplink\": \"eth2\""));
    EXPECT_THAT(nm.read("/var/log/quillmar.log").value_or(""),
                HasSubstr("[INFO] vswitch0 change: uplink changed to [\"eth2\"]\n"));
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Management Network"}));
    expect_bridge_kept(to_eth2, "Management Network", "vswitch0");

    // The bridge stays under its profile across a restart of NetworkManager, with the same MAC.
    expect_kept_across_restart("Management Network", "vswitch0");
    EXPECT_EQ(nm.link_mac("vswitch0"), kEth1Mac);

    auto back = change("Management Network", "eth1");
    expect_direct_uplink("vswitch0", "Management Uplink", "eth1");
    EXPECT_EQ(stored_mac("vswitch0"), kEth1Mac);
    expect_bridge_kept(back, "Management Network", "vswitch0");
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("Management Network"); }, 45s)) << nm.diagnostics();
    EXPECT_THAT(back.refusals({"Failed to find a compatible device"}), IsEmpty()) << back;
}

TEST_F(Vswitch, GivesAnIsolatedBridgeAnUplinkOfItsOwnName) {
    create("Storage", "none");
    auto r = change("Storage", "eth3");
    expect_direct_uplink("vswitch1", "Storage Uplink", "eth3");
    EXPECT_EQ(nm.field("Storage", "ipv4.method"), "disabled");
    EXPECT_TRUE(stored_mac("vswitch1").has_value());
    // Only the management bridge has a control file and log lines.
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/control-file"));
    EXPECT_FALSE(nm.exists("/var/log/quillmar.log"));
    // Its MAC is first taken once the uplink is in, so stored and live agree from the start.
    expect_bridge_kept(r, "Storage", "vswitch1");
}

TEST_F(Vswitch, ChangesToABondAndBackToOneInterface) {
    create("Management Network", "eth1");

    // This kernel has no bonding, so bond0 never comes up; its profiles must all the same.
    auto to_bond = change("Management Network", "eth2,eth3");
    EXPECT_THAT(to_bond.out, HasSubstr("[+] Creating bond0 with: eth2,eth3\n"));
    EXPECT_EQ(nm.field("Management Uplink", "connection.type"), "bond");
    EXPECT_EQ(nm.field("Management Uplink", "connection.interface-name"), "bond0");
    EXPECT_EQ(nm.field("Management Uplink", "connection.master"), "vswitch0");
    EXPECT_EQ(nm.field("Management Uplink", "connection.slave-type"), "bridge");
    EXPECT_EQ(nm.field("Management Uplink", "connection.autoconnect-slaves"), "1");
    auto options = nm.field("Management Uplink", "bond.options").value_or("");
    EXPECT_THAT(options, HasSubstr("mode=active-backup"));
    EXPECT_THAT(options, HasSubstr("miimon=100"));
    for (const std::string member : {"eth2", "eth3"}) {
        SCOPED_TRACE(member);
        EXPECT_EQ(nm.field(member, "connection.type"), "802-3-ethernet");
        EXPECT_EQ(nm.field(member, "connection.interface-name"), member);
        EXPECT_EQ(nm.field(member, "connection.master"), "bond0");
        EXPECT_EQ(nm.field(member, "connection.slave-type"), "bond");
    }
    EXPECT_EQ(ports_of("vswitch0"), std::vector<std::string>{"Management Uplink"});
    EXPECT_TRUE(nm.wait_for([&] { return nm.link_master("eth1") == ""; })) << nm.diagnostics();
    EXPECT_EQ(stored_mac("vswitch0"), kEth1Mac);
    EXPECT_THAT(nm.read("/var/log/quillmar.log").value_or(""),
                HasSubstr("[INFO] vswitch0 change: uplink changed to [\"eth2\", \"eth3\"]\n"));
    expect_bridge_kept(to_bond, "Management Network", "vswitch0", true);
    // The bond's IP settings are given before it becomes a port of the bridge, so nmcli takes them.
    EXPECT_THAT(to_bond.argvs_of("nmcli"),
                testing::Contains(realnm::Args{"nmcli", "connection", "mod", "Management Uplink", "ipv4.method",
                                               "auto", "ipv6.method", "ignore"}));
    EXPECT_THAT(to_bond.refusals({"not allowed setting"}), IsEmpty()) << to_bond;

    auto back = change("Management Network", "eth1");
    EXPECT_THAT(back.out, HasSubstr("[+] Changing from bond 'Management Uplink' to single interface 'eth1'\n"));
    expect_direct_uplink("vswitch0", "Management Uplink", "eth1");
    // The bond goes with its members: nothing is left that names bond0.
    EXPECT_THAT(back.out, HasSubstr("[+] Found 2 slave connections to clean up\n"));
    EXPECT_FALSE(nm.profile("eth2").has_value()) << nm.diagnostics();
    EXPECT_FALSE(nm.profile("eth3").has_value()) << nm.diagnostics();
    EXPECT_THAT(ports_of("bond0"), IsEmpty());
    for (const auto& p : nm.profiles()) EXPECT_NE(nm.field(p.name, "connection.interface-name"), "bond0") << p;
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Management Network"}));
    expect_bridge_kept(back, "Management Network", "vswitch0");
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("Management Network"); }, 45s)) << nm.diagnostics();
    expect_kept_across_restart("Management Network", "vswitch0");
}

// A bridge whose MAC was changed behind NetworkManager's back is taken over, at its next
// restart, by a profile NetworkManager makes up in memory under the device's name. A change
// addresses the bridge's own profile, not that one, and gives the bridge back to it.
TEST_F(Vswitch, ChangesABridgeHeldByAMadeUpProfileUnderItsOwn) {
    create("Management Network", "eth1");
    auto uuid = nm.field("Management Network", "connection.uuid").value_or("");
    ASSERT_FALSE(uuid.empty());
    nm.ip({"link", "set", "vswitch0", "address", "52:54:00:5e:00:09"});
    nm.restart_nm();
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("vswitch0"); })) << nm.diagnostics();
    ASSERT_THAT(nm.nmcli({"-t", "-f", "NAME,FILENAME", "connection", "show"}),
                HasSubstr("vswitch0:/run/NetworkManager/"));
    ASSERT_FALSE(nm.active("Management Network"));

    auto r = change("Management Network", "eth2");
    const realnm::Args slaves{"nmcli", "connection", "modify", uuid, "connection.autoconnect-slaves", "1"};
    EXPECT_THAT(r.argvs_of("nmcli"), testing::Contains(slaves)) << r;
    EXPECT_EQ(nm.field("Management Network", "connection.autoconnect-slaves"), "1");
    EXPECT_EQ(nm.field("Management Network", "bridge.mac-address"), "52:54:00:5E:00:01");
    // The made-up profile is left as it was.
    EXPECT_EQ(nm.field("vswitch0", "connection.autoconnect-slaves"), "-1");
    EXPECT_EQ(nm.field("vswitch0", "bridge.mac-address"), "");
    // Its MAC is back on the bridge, though too late for this run to bring the profile up.
    EXPECT_EQ(nm.link_mac("vswitch0"), kEth1Mac);
    EXPECT_THAT(r.refusals({"Failed to find a compatible device"}),
                testing::ElementsAre(testing::Field(&realnm::ToolCall::argv,
                                                    realnm::Args{"nmcli", "connection", "up", uuid})))
        << r;
    EXPECT_THAT(r.device_as_profile(), IsEmpty()) << r;
    expect_direct_uplink("vswitch0", "Management Uplink", "eth2");

    // The next change brings the bridge's own profile up again, and the made-up one goes.
    auto back = change("Management Network", "eth1");
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("Management Network"); })) << nm.diagnostics();
    EXPECT_FALSE(nm.profile("vswitch0").has_value()) << nm.diagnostics();
    expect_direct_uplink("vswitch0", "Management Uplink", "eth1");
    expect_bridge_kept(back, "Management Network", "vswitch0");
    expect_kept_across_restart("Management Network", "vswitch0");
}

}  // namespace
