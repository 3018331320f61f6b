// `baseline --auto` and `baseline --force` against a real NetworkManager. The test host has no
// interface with a device link, so the built program's runs end with "No physical network
// interfaces found" after their clearing step; what they cleared is checked on the real state.
// The whole run, with the profiles it lays down and the checks that find them again, is called
// in-process (realnm::InProcess) with a made-up physical eth1.

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "cmds/baseline/baseline.hpp"
#include "realnm/realnm.hpp"
#include "utils/paths.hpp"

namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::Field;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using testing::UnorderedElementsAre;

class Baseline : public realnm::RealNmTest {
protected:
    std::vector<std::string> profile_names() {
        std::vector<std::string> out;
        for (const auto& p : nm.profiles()) out.push_back(p.name);
        return out;
    }
    void add_bridge(const std::string& name, const std::string& device, bool autoconnect) {
        nm.nmcli({"connection", "add", "type", "bridge", "ifname", device, "con-name", name, "ipv4.method",
                  "disabled", "ipv6.method", "ignore", "connection.autoconnect", autoconnect ? "yes" : "no"});
    }
    // Runs a shell line inside the test host; `quillmar` there goes through the logging stand-ins.
    realnm::Result shell(const std::string& line) {
        return nm.exec({"/bin/sh", "-c", "PATH=/run/qm/bin:$PATH; " + line});
    }
    std::string uuid_of(const std::string& name) { return nm.field(name, "connection.uuid").value_or(""); }
    // The argvs of the calls asking one profile's master.
    static std::vector<realnm::Args> master_queries(const realnm::Result& r) {
        std::vector<realnm::Args> out;
        for (const auto& argv : r.argvs_of("nmcli"))
            if (argv.size() == 6 && argv[1] == "-g" && argv[2] == "connection.master") out.push_back(argv);
        return out;
    }
};

TEST_F(Baseline, AutoClearsStaleCopiesAndForceRemovesWhatLooksLikeOurs) {
    add_bridge("Management Network", "vswitch0", true);
    nm.nmcli({"connection", "add", "type", "ethernet", "ifname", "eth1", "con-name", "Management Uplink", "master",
              "vswitch0"});
    add_bridge("Management Network", "vswitch9", false);  // an inactive copy
    add_bridge("vlan100br", "vlan100br", false);
    add_bridge("Other", "br-other", false);  // inactive, but not named like ours
    add_bridge("Lab", "br-lab", true);
    nm.nmcli({"connection", "add", "type", "bond", "ifname", "bond7", "con-name", "bond7", "connection.autoconnect",
              "no"});
    nm.ip({"link", "add", "veth0", "type", "veth", "peer", "name", "veth1"});
    ASSERT_TRUE(nm.wait_for([&] {
        return nm.active("Management Network") && nm.link_master("eth1") == "vswitch0" && nm.link_exists("br-lab");
    })) << nm.diagnostics();
    const std::string kept_uuid = nm.profile("Management Network")->uuid;  // the active one is listed first

    auto r = nm.run_quillmar({"baseline", "--auto"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "Error: No physical network interfaces found\n") << r;
    EXPECT_THAT(r.out, HasSubstr("  - Deleting stale duplicate baseline connection: Management Network (UUID: "));
    EXPECT_THAT(r.out, HasSubstr("  - Deleting stale quillmar connection: vlan100br (UUID: "));
    EXPECT_THAT(r.out, HasSubstr("  - Deleting stale quillmar connection: bond7 (UUID: "));
    EXPECT_THAT(r.refusals(), IsEmpty()) << r;
    EXPECT_THAT(r.refusals_except({realnm::kAbsentLink}, "ip"), IsEmpty()) << r;
    EXPECT_THAT(r.invalid_fields(), IsEmpty()) << r;
    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo", "Management Network", "Management Uplink", "Other", "Lab"))
        << nm.diagnostics();
    ASSERT_TRUE(nm.profile("Management Network"));
    EXPECT_EQ(nm.profile("Management Network")->uuid, kept_uuid);
    EXPECT_TRUE(nm.active("Management Network"));

    // The forced reset, confirmed, with a control file and a ledger that lists Lab.
    ASSERT_EQ(shell("mkdir -p /var/lib/quillmar && : > /var/lib/quillmar/control-file && "
                    "printf '%s' '{\"vswitches\": [\"Lab\"], \"vlan_bridges\": [], \"veth_pairs\": [], "
                    "\"created_at\": \"2026-12-10T10:00:00+00:00\"}' > /var/lib/quillmar/managed_resources.json")
                  .status,
              0);
    auto force = shell("echo yes | /run/qm/quillmar baseline --force");
    EXPECT_EQ(force.status, 0) << force;
    EXPECT_EQ(force.err, "Error: No physical network interfaces found\n") << force;
    EXPECT_THAT(force.out, HasSubstr("[+] Control file removed: returning to baseline state\n"
                                     "[+] Resetting all managed resources to baseline\n"
                                     "[+] Performing comprehensive cleanup of quillmar resources...\n"));
    EXPECT_THAT(force.out, HasSubstr("  - Deleting quillmar connection: Management Uplink\n"));
    EXPECT_THAT(force.out, HasSubstr("[+] Cleaning up tracked resources...\n[+] All managed resources reset\n"));
    realnm::Result logged;
    logged.calls = nm.calls();
    EXPECT_THAT(logged.invalid_fields(), IsEmpty()) << logged;
    EXPECT_THAT(logged.refusals_except({realnm::kAbsentProfile}), IsEmpty()) << logged;
    EXPECT_THAT(logged.refusals_except({realnm::kAbsentLink}, "ip"), IsEmpty()) << logged;

    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo", "Other")) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] {
        return !nm.link_exists("vswitch0") && !nm.link_exists("br-lab") && !nm.link_exists("veth0") &&
               !nm.link_exists("veth1");
    })) << nm.diagnostics();
    EXPECT_EQ(nm.link_master("eth1"), "");
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/control-file"));
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/managed_resources.json"));
}

// Ports of our bridges go whatever their names: NetworkManager keeps a port's controller as
// the bridge's device name or as its profile's UUID (also when it was given by profile name),
// and the SLAVE column of the listing shows only the port type. Bridge devices left without a
// profile (made by `ip link add`, or by a run that died) go too; NetworkManager removes only
// the devices it made itself.
TEST_F(Baseline, ForceRemovesThePortsOfOurBridgesAndBridgesLeftWithoutAProfile) {
    nm.ip({"link", "add", "name", "vswitch0", "type", "bridge"});
    nm.nmcli({"connection", "add", "type", "bridge", "ifname", "vswitch0", "con-name", "Management Network",
              "forward-delay", "2", "ipv4.method", "auto", "ipv6.method", "ignore", "connection.autoconnect", "yes",
              "connection.autoconnect-priority", "900"});
    // NetworkManager leaves a bridge made outside it alone until its profile is brought up.
    nm.nmcli({"connection", "up", "Management Network"});
    add_bridge("Storage", "vswitch1", true);
    add_bridge("Lab", "br-lab", true);
    const std::string management = uuid_of("Management Network"), storage = uuid_of("Storage");
    auto port = [&](const std::string& name, const std::string& ifname, const std::string& master) {
        nm.nmcli({"connection", "add", "type", "ethernet", "ifname", ifname, "con-name", name, "master", master});
    };
    port("Office Port", "eth2", "vswitch0");
    port("Spare Port", "eth1", "Management Network");
    port("Backup Link", "eth3", storage);
    nm.ip({"link", "add", "lab0", "type", "veth", "peer", "name", "lab1"});
    port("Lab Port", "lab0", "br-lab");
    // This kernel has neither bonding nor 802.1Q: these stay inactive profiles.
    nm.nmcli({"connection", "add", "type", "bond", "ifname", "bond5", "con-name", "team5", "master", "vswitch0",
              "connection.autoconnect", "no"});
    nm.nmcli({"connection", "add", "type", "bond", "ifname", "bond6", "con-name", "team6", "master", "br-lab",
              "connection.autoconnect", "no"});
    nm.nmcli({"connection", "add", "type", "vlan", "dev", "vswitch0", "id", "7", "con-name", "V7", "master",
              "vswitch0", "connection.autoconnect", "no"});
    nm.ip({"link", "add", "name", "vswitch7", "type", "bridge"});
    nm.ip({"link", "add", "name", "br-spare", "type", "bridge"});
    ASSERT_TRUE(nm.wait_for([&] {
        return nm.link_master("eth1") == "vswitch0" && nm.link_master("eth2") == "vswitch0" &&
               nm.link_master("eth3") == "vswitch1" && nm.link_master("lab0") == "br-lab";
    })) << nm.diagnostics();
    // What the daemon keeps as each port's controller.
    EXPECT_EQ(nm.field("Office Port", "connection.master"), "vswitch0");
    EXPECT_EQ(nm.field("Spare Port", "connection.master"), management);
    EXPECT_EQ(nm.field("Backup Link", "connection.master"), storage);
    EXPECT_THAT(nm.nmcli({"-t", "-f", "NAME,SLAVE", "connection", "show"}), HasSubstr("Office Port:bridge\n"));
    const std::vector<std::string> ports{"Office Port", "Spare Port", "Backup Link", "Lab Port", "team5", "team6", "V7"};
    std::vector<std::string> port_uuids;
    for (const auto& name : ports) port_uuids.push_back(uuid_of(name));
    const std::string lab = uuid_of("Lab");

    auto force = shell("echo yes | /run/qm/quillmar baseline --force");
    EXPECT_EQ(force.status, 0) << force;
    EXPECT_EQ(force.err, "Error: No physical network interfaces found\n") << force;
    for (const std::string name :
         {"Management Network", "Storage", "Office Port", "Spare Port", "Backup Link", "team5", "V7"})
        EXPECT_THAT(force.out, HasSubstr("  - Deleting quillmar connection: " + name + "\n")) << name;
    // vswitch1 may still be there when the listing is made: NetworkManager removes it a moment
    // after its profile.
    EXPECT_THAT(force.out, HasSubstr("[+] Cleaning up orphaned bridge devices...\n"
                                     "  - Deleting bridge device: vswitch0\n"));
    EXPECT_THAT(force.out, HasSubstr("  - Deleting bridge device: vswitch7\n"));
    EXPECT_THAT(force.out, Not(HasSubstr("br-")));

    realnm::Result logged;
    logged.calls = nm.calls();
    EXPECT_THAT(logged.invalid_fields(), IsEmpty()) << logged;
    // One master query per port row, by UUID; none for the other rows.
    auto queries = master_queries(logged);
    for (const auto& uuid : port_uuids)
        EXPECT_THAT(queries, Contains(realnm::Args{"nmcli", "-g", "connection.master", "connection", "show", uuid}))
            << uuid << logged;
    EXPECT_EQ(queries.size(), ports.size()) << logged;
    EXPECT_THAT(queries, Not(Contains(realnm::Args{"nmcli", "-g", "connection.master", "connection", "show", lab})));
    EXPECT_THAT(logged.refusals({}, "nmcli"), IsEmpty()) << logged;
    EXPECT_THAT(logged.refusals({}, "ip"), IsEmpty()) << logged;

    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo", "Lab", "Lab Port", "team6")) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] {
        return !nm.link_exists("vswitch0") && !nm.link_exists("vswitch1") && !nm.link_exists("vswitch7");
    })) << nm.diagnostics();
    EXPECT_TRUE(nm.link_exists("br-lab"));
    EXPECT_TRUE(nm.link_exists("br-spare"));
    EXPECT_EQ(nm.link_master("lab0"), "br-lab");
    for (const std::string dev : {"eth1", "eth2", "eth3"}) EXPECT_EQ(nm.link_master(dev), "") << dev;
}

// The whole baseline of a physical appliance on the real daemon: a forced run lays it down, its
// checks find every profile it made (so a boot run adds nothing), and a second forced run
// clears and rebuilds it with one profile of each name.
TEST_F(Baseline, ForceThenAutoLayDownEachProfileOnceAndTheChecksFindThem) {
    const std::string kStoredMac = "52:54:00:5e:00:09";
    realnm::InProcess host(nm);
    host.physical_nic("eth1", "0000:01:00.0");
    host.set_input("yes\n");
    ASSERT_TRUE(qm::run_baseline(host.ctx(), qm::BaselineMode::Force)) << host.out();
    EXPECT_EQ(host.out(),
              "[+] Starting baseline configuration (mode: Force)\n"
              "[?] This will reset all managed network resources to baseline. Continue? [y/N]: "
              "[+] Resetting all managed resources to baseline\n"
              "[!] No managed resources file found, performing comprehensive cleanup\n"
              "[+] Performing comprehensive cleanup of quillmar resources...\n"
              "[+] Cleaning up orphaned veth pairs...\n"
              "[+] Cleaning up orphaned bridge devices...\n"
              "[+] Detected appliance type: Physical\n"
              "[+] Physical interfaces (PCI order): [\"eth1\"]\n"
              "[+] Creating vswitch0 as Management Network\n"
              "[+] Creating Management Uplink connection\n"
              "[+] Management Network configured with uplink: eth1\n"
              "[+] Creating veth0 for Internal Control Network\n"
              "[+] Internal Control Network configured on veth0 (172.16.254.2/24)\n"
              "[+] Configuring veth1 for Hypervisor Network\n"
              "[+] Hypervisor Network configured on veth1 (172.16.254.1/24)\n"
              "[+] Baseline configuration completed successfully\n");
    const std::vector<std::string> kBaseline{"lo", "Management Network", "Management Uplink",
                                             "Internal Control Network", "Hypervisor Network"};
    EXPECT_THAT(profile_names(), testing::UnorderedElementsAreArray(kBaseline)) << nm.diagnostics();
    ASSERT_TRUE(nm.wait_for([&] {
        return nm.link_master("eth1") == "vswitch0" && nm.active("Management Uplink") &&
               nm.active("Internal Control Network") && nm.active("Hypervisor Network");
    })) << nm.diagnostics();

    // What the daemon reports for the profiles the checks compare. The uplink is a port: the
    // daemon keeps no IP settings for it, and refuses to be given any, so none are asked.
    EXPECT_EQ(nm.field("Management Network", "connection.type"), "bridge");
    EXPECT_EQ(nm.field("Management Network", "connection.interface-name"), "vswitch0");
    EXPECT_EQ(nm.field("Management Network", "ipv4.method"), "auto");
    EXPECT_EQ(nm.field("Management Network", "ipv6.method"), "ignore");
    EXPECT_EQ(nm.field("Management Uplink", "connection.type"), "802-3-ethernet");
    EXPECT_EQ(nm.field("Management Uplink", "connection.interface-name"), "eth1");
    EXPECT_EQ(nm.field("Management Uplink", "connection.master"), "vswitch0");
    EXPECT_EQ(nm.field("Management Uplink", "ipv4.method"), "");
    EXPECT_EQ(nm.field("Management Uplink", "ipv6.method"), "");
    EXPECT_EQ(nm.field("Management Uplink", "connection.autoconnect-priority"), "800");
    EXPECT_EQ(nm.field("Internal Control Network", "ipv4.addresses"), "172.16.254.2/24");
    EXPECT_EQ(nm.field("Hypervisor Network", "ipv4.addresses"), "172.16.254.1/24");
    // Refused: only the two probes for profiles not made yet.
    auto first = host.calls();
    EXPECT_THAT(first.refusals(),
                ElementsAre(Field(&realnm::ToolCall::argv, realnm::Args{"nmcli", "-g", "connection.id", "connection",
                                                                        "show", "Management Network"}),
                            Field(&realnm::ToolCall::argv, realnm::Args{"nmcli", "-g", "connection.id", "connection",
                                                                        "show", "Management Uplink"})))
        << first;
    EXPECT_THAT(first.refusals({"no such connection profile"}), testing::SizeIs(2)) << first;
    EXPECT_THAT(first.refusals({"not allowed setting"}), IsEmpty()) << first;
    for (const auto& argv : first.argvs_of("nmcli"))
        EXPECT_FALSE(argv.size() > 3 && argv[1] == "connection" && argv[2] == "modify" && argv[3] == "Management Uplink")
            << testing::PrintToString(argv);
    // The probe for vswitch0 before it is made.
    EXPECT_THAT(first.refusals_except({realnm::kAbsentLink}, "ip"), IsEmpty()) << first;

    // The checks find what the run made, and only that.
    const qm::Context& ctx = host.ctx();
    EXPECT_TRUE(qm::connection_matches(ctx, "Management Network", "bridge", "vswitch0", "auto"));
    EXPECT_TRUE(qm::connection_matches(ctx, "Management Uplink", "ethernet", "eth1", "disabled"));
    EXPECT_FALSE(qm::connection_matches(ctx, "Management Uplink", "ethernet", "eth2", "disabled"));
    EXPECT_FALSE(qm::connection_matches(ctx, "Management Uplink", "bridge", "eth1", "disabled"));
    EXPECT_FALSE(qm::connection_matches(ctx, "Management Network", "bridge", "vswitch0", "disabled"));
    EXPECT_FALSE(qm::connection_matches(ctx, "Storage", "bridge", "vswitch0", "auto"));
    EXPECT_TRUE(qm::ip_connection_matches(ctx, "Internal Control Network", "veth0", "172.16.254.2/24"));
    EXPECT_TRUE(qm::ip_connection_matches(ctx, "Hypervisor Network", "veth1", "172.16.254.1/24"));
    EXPECT_FALSE(qm::ip_connection_matches(ctx, "Hypervisor Network", "veth1", "172.16.254.2/24"));
    auto checks = host.calls();
    EXPECT_THAT(checks.invalid_fields(), IsEmpty()) << checks;

    // A boot run keeps vswitch0, puts its stored MAC back and finds the internal networks.
    {
        std::ofstream stored(host.ctx().path(*qm::original_mac_path("vswitch0")));
        stored << kStoredMac << "\n";
    }
    const std::size_t before_auto = host.out().size();
    const std::size_t calls_before_auto = host.calls().calls.size();
    ASSERT_TRUE(qm::run_baseline(host.ctx(), qm::BaselineMode::Auto)) << host.out();
    const std::string boot = host.out().substr(before_auto);
    EXPECT_THAT(boot, testing::StartsWith("[+] Starting baseline configuration (mode: Auto)\n"
                                          "[+] Cleaning up stale baseline connections...\n"
                                          "[+] Detected appliance type: Physical\n"
                                          "[+] Physical interfaces (PCI order): [\"eth1\"]\n"
                                          "[+] vswitch0 already exists, checking MAC address restoration\n"
                                          "[+] Restoring original MAC address for vswitch0: 52:54:00:5e:00:09 (was: "));
    EXPECT_THAT(boot, testing::EndsWith("[+] vswitch0 MAC address restored successfully\n"
                                        "[+] Preserving existing vswitch0 configuration\n"
                                        "[+] Internal Control Network already exists and is correctly configured\n"
                                        "[+] Hypervisor Network already exists and is correctly configured\n"
                                        "[+] Baseline configuration completed successfully\n"));
    EXPECT_THAT(profile_names(), testing::UnorderedElementsAreArray(kBaseline)) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return nm.link_mac("vswitch0") == kStoredMac; })) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return nm.link_master("eth1") == "vswitch0" && nm.active("Management Uplink"); }))
        << nm.diagnostics();
    auto boot_calls = host.calls();
    boot_calls.calls.erase(boot_calls.calls.begin(),
                           boot_calls.calls.begin() + static_cast<std::ptrdiff_t>(calls_before_auto));
    EXPECT_THAT(boot_calls.refusals(), IsEmpty()) << boot_calls;

    // A second forced run also takes away the bridge device the first made with `ip link add`
    // (deleting its profile leaves it), then builds it all again.
    const std::size_t before_force = host.out().size();
    host.set_input("y\n");
    ASSERT_TRUE(qm::run_baseline(host.ctx(), qm::BaselineMode::Force)) << host.out();
    const std::string again = host.out().substr(before_force);
    for (const std::string name : {"Management Network", "Management Uplink", "Internal Control Network",
                                   "Hypervisor Network"})
        EXPECT_THAT(again, HasSubstr("  - Deleting quillmar connection: " + name + "\n")) << name;
    EXPECT_THAT(again, HasSubstr("[+] Cleaning up orphaned bridge devices...\n"
                                 "  - Deleting bridge device: vswitch0\n"
                                 "[+] Cleaning up tracked resources...\n"));
    EXPECT_THAT(again, HasSubstr("[+] Creating vswitch0 as Management Network\n"
                                 "[+] Creating Management Uplink connection\n"));
    EXPECT_THAT(again, HasSubstr("[+] Baseline configuration completed successfully\n"));
    EXPECT_THAT(profile_names(), testing::UnorderedElementsAreArray(kBaseline)) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return nm.link_master("eth1") == "vswitch0"; })) << nm.diagnostics();
    std::ifstream ledger(host.ctx().path(qm::kManagedResourcesPath));
    std::stringstream ledger_text;
    ledger_text << ledger.rdbuf();
    EXPECT_THAT(ledger_text.str(), HasSubstr("\"vswitches\": [\n    \"Management Network\",\n    \"Management Uplink\"\n  ]"));
    EXPECT_THAT(ledger_text.str(), HasSubstr("\"veth_pairs\": [\n    \"veth0\",\n    \"veth1\"\n  ]"));
    auto all = host.calls();
    EXPECT_THAT(all.invalid_fields(), IsEmpty()) << all;
    EXPECT_THAT(all.device_as_profile(), IsEmpty()) << all;
    // Beyond the probes, refused: the second reset's best-effort downs and deletes of profiles
    // it has already removed.
    EXPECT_THAT(all.refusals_except({realnm::kAbsentProfile}), IsEmpty()) << all;
    EXPECT_THAT(all.refusals_except({realnm::kAbsentLink}, "ip"), IsEmpty()) << all;
}

// A virtual appliance: the control network goes on the second interface, and the next boot run
// finds it there.
TEST_F(Baseline, AVirtualApplianceGetsTheControlNetworkOnItsSecondInterfaceOnce) {
    realnm::InProcess host(nm);
    host.detect_virt = "kvm\n";
    host.physical_nic("eth2", "0000:02:00.0");
    host.physical_nic("eth1", "0000:01:00.0");
    ASSERT_TRUE(qm::run_baseline(host.ctx(), qm::BaselineMode::Auto)) << host.out();
    EXPECT_THAT(host.out(), HasSubstr("[+] Detected appliance type: Virtual\n"
                                      "[+] Physical interfaces (PCI order): [\"eth1\", \"eth2\"]\n"));
    EXPECT_THAT(host.out(), HasSubstr("[+] Configuring eth2 as Internal Control Network for virtual appliance\n"
                                      "[+] Internal Control Network configured on eth2 (172.16.254.2/24)\n"
                                      "[+] Baseline configuration completed successfully\n"));
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Internal Control Network") && nm.active("Management Uplink"); }))
        << nm.diagnostics();
    EXPECT_EQ(nm.field("Internal Control Network", "ipv4.addresses"), "172.16.254.2/24");
    EXPECT_EQ(nm.field("Internal Control Network", "connection.autoconnect-priority"), "700");
    EXPECT_EQ(nm.link_master("eth1"), "vswitch0");
    EXPECT_THAT(nm.ip({"-4", "-o", "addr", "show", "eth2"}), HasSubstr("inet 172.16.254.2/24"));

    const std::size_t before = host.out().size();
    ASSERT_TRUE(qm::run_baseline(host.ctx(), qm::BaselineMode::Auto)) << host.out();
    EXPECT_THAT(host.out().substr(before),
                testing::EndsWith("[+] Preserving existing vswitch0 configuration\n"
                                  "[+] Internal Control Network already exists and is correctly configured on eth2\n"
                                  "[+] Baseline configuration completed successfully\n"));
    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo", "Management Network", "Management Uplink",
                                                      "Internal Control Network"))
        << nm.diagnostics();
    auto calls = host.calls();
    EXPECT_THAT(calls.invalid_fields(), IsEmpty()) << calls;
    // Refused: only the two probes before the first adds.
    EXPECT_THAT(calls.refusals(), testing::SizeIs(2)) << calls;
    EXPECT_THAT(calls.refusals({"no such connection profile"}), testing::SizeIs(2)) << calls;
    EXPECT_THAT(calls.refusals({"not allowed setting"}), IsEmpty()) << calls;
    EXPECT_THAT(calls.refusals_except({realnm::kAbsentLink}, "ip"), IsEmpty()) << calls;
}

}  // namespace
