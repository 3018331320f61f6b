// `config smart-cleanup` against a real NetworkManager: it removes exactly the objects the
// ledger lists (VLAN bridges, vswitches, bonds; veth pairs by `ip`), each with the uplink and
// VLAN profiles that hang on it, and the ledger itself; every other profile stays.

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::IsEmpty;
using testing::UnorderedElementsAre;

class SmartCleanup : public realnm::RealNmTest {
protected:
    std::vector<std::string> profile_names() {
        std::vector<std::string> out;
        for (const auto& p : nm.profiles()) out.push_back(p.name);
        return out;
    }
};

TEST_F(SmartCleanup, RemovesExactlyWhatTheLedgerLists) {
    for (const realnm::Args& args : {
             realnm::Args{"vswitch", "create", "--name", "Management Network", "--uplink", "eth1"},
             realnm::Args{"vswitch", "create", "--name", "Storage", "--uplink", "none"},
             realnm::Args{"vlan", "create", "--vlan-id", "100", "--vswitch", "Management Network"},
         }) {
        auto r = nm.run_quillmar(args);
        ASSERT_EQ(r.status, 0) << r;
        EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile, realnm::kNoBondOrVlanKernel}), IsEmpty()) << r;
        EXPECT_THAT(r.refusals({}, "ip"), IsEmpty()) << r;
    }
    // Somebody else's bridge, which the program never made.
    nm.nmcli({"connection", "add", "type", "bridge", "ifname", "br-other", "con-name", "Other", "ipv4.method",
              "disabled", "ipv6.method", "ignore"});
    ASSERT_EQ(nm.ledger(), realnm::ledger_json({"Management Network", "Storage"}, {"vlan100br"}));
    ASSERT_TRUE(nm.wait_for([&] { return nm.link_exists("vswitch0") && nm.link_exists("vswitch1") &&
                                         nm.link_exists("vlan100br") && nm.link_exists("br-other"); }))
        << nm.diagnostics();

    auto r = nm.run_quillmar({"config", "smart-cleanup"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "[+] Smart cleanup: Cleaning up only our managed resources...\n"
              "  - Cleaned up VLAN bridge: vlan100br\n"
              "  - Cleaned up vswitch: Management Network\n"
              "  - Cleaned up vswitch: Storage\n"
              "[+] Smart cleanup completed. Tracking file cleared.\n");
    std::vector<realnm::Args> deletions;
    for (const auto& a : r.argvs_of("nmcli"))
        if (std::find(a.begin(), a.end(), "delete") != a.end()) deletions.push_back(a);
    EXPECT_EQ(deletions, (std::vector<realnm::Args>{
                             {"nmcli", "connection", "delete", "Vlan 100"},
                             {"nmcli", "connection", "delete", "vlan100br"},
                             {"nmcli", "connection", "delete", "Management Uplink"},
                             {"nmcli", "connection", "delete", "Management Network"},
                             {"nmcli", "connection", "delete", "Storage"},
                         }));
    EXPECT_THAT(r.refusals(), IsEmpty()) << r;
    EXPECT_THAT(r.refusals({}, "ip"), IsEmpty()) << r;

    // What the ledger did not list is still there; nothing of what it listed is.
    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo", "Other"))
        << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] {
        return !nm.link_exists("vswitch0") && !nm.link_exists("vswitch1") && !nm.link_exists("vlan100br");
    })) << nm.diagnostics();
    EXPECT_TRUE(nm.link_exists("br-other"));
    EXPECT_EQ(nm.link_master("eth1"), "");
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/managed_resources.json"));
    // The MAC bookkeeping and the control file are not the ledger's.
    EXPECT_TRUE(nm.exists("/var/lib/quillmar/vswitch0_original_mac"));
    EXPECT_TRUE(nm.exists("/var/lib/quillmar/vswitch0_network_identity.json"));
    EXPECT_TRUE(nm.exists("/var/lib/quillmar/control-file"));

    // Without a ledger there is nothing to do, and nothing is said.
    auto again = nm.run_quillmar({"config", "smart-cleanup"});
    EXPECT_EQ(again.out, "") << again;
    EXPECT_EQ(again.err, "") << again;
    EXPECT_THAT(again.calls, IsEmpty()) << again;
}

}  // namespace
