// `baseline --auto` and `baseline --force` against a real NetworkManager. The test host has no
// interface with a device link, so both runs end with "No physical network interfaces found"
// after their clearing step; what they cleared is checked on the real state.

#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;
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

    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo", "Other")) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] {
        return !nm.link_exists("vswitch0") && !nm.link_exists("br-lab") && !nm.link_exists("veth0") &&
               !nm.link_exists("veth1");
    })) << nm.diagnostics();
    EXPECT_EQ(nm.link_master("eth1"), "");
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/control-file"));
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/managed_resources.json"));
}

}  // namespace
