// `bond create`, `bond list`, `bond fix-boot-priorities`, `bond change` and `bond delete`
// against a real NetworkManager. This kernel has no bonding, so a bond never comes up: what
// counts is that its profile and one member profile per interface are made as asked, are
// listed, take their boot priorities, change, and go away whole.

#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;
using testing::UnorderedElementsAre;

class Bond : public realnm::RealNmTest {
protected:
    // No nmcli call of `r` was refused for a field nmcli lacks.
    void expect_no_invalid_field(const realnm::Result& r) { EXPECT_THAT(r.invalid_fields(), IsEmpty()) << r; }

    std::vector<std::string> profile_names() {
        std::vector<std::string> out;
        for (const auto& p : nm.profiles()) out.push_back(p.name);
        return out;
    }
};

TEST_F(Bond, CreateListPrioritiseAndDeleteWithTwoMembers) {
    // No name: the first free one is taken. The members come trimmed, the empty piece skipped.
    auto created = nm.run_quillmar({"bond", "create", "--members", " eth2, ,eth3 ", "--mode", "802.3ad"});
    EXPECT_EQ(created.status, 0) << created;
    EXPECT_EQ(created.out,
              "Creating bond 'bond0' with members ' eth2, ,eth3 '\n"
              "Adding 'eth2' as member to 'bond0'\n"
              "Adding 'eth3' as member to 'bond0'\n"
              "[+] Activating bond 'bond0'\n")
        << created;
    // The kernel cannot make the bond, so its activation is refused and the command ends there.
    EXPECT_EQ(created.err, "Failed to activate bond 'bond0'\n") << created;
    auto refused = created.refusals();
    ASSERT_EQ(refused.size(), 1u) << created;
    EXPECT_EQ(refused[0].argv, (realnm::Args{"nmcli", "connection", "up", "bond0"}));
    EXPECT_THAT(refused[0].err, HasSubstr("Failed to create bond interface 'bond0'"));
    EXPECT_THAT(created.argvs_of("nmcli"),
                testing::IsSupersetOf(std::vector<realnm::Args>{
                    {"nmcli", "con", "add", "type", "bond", "con-name", "bond0", "ifname", "bond0", "mode", "802.3ad",
                     "bond.options", "mode=802.3ad,miimon=100", "connection.autoconnect-slaves", "1", "ipv4.method",
                     "disabled", "ipv6.method", "ignore"},
                    {"nmcli", "con", "add", "type", "ethernet", "con-name", "eth2", "ifname", "eth2", "master", "bond0",
                     "slave-type", "bond"},
                    {"nmcli", "con", "add", "type", "ethernet", "con-name", "eth3", "ifname", "eth3", "master", "bond0",
                     "slave-type", "bond"},
                }));

    ASSERT_TRUE(nm.profile("bond0").has_value()) << nm.diagnostics();
    EXPECT_EQ(nm.profile("bond0")->type, "bond");
    EXPECT_EQ(nm.field("bond0", "connection.interface-name"), "bond0");
    auto options = nm.field("bond0", "bond.options").value_or("");
    EXPECT_THAT(options, HasSubstr("mode=802.3ad"));
    EXPECT_THAT(options, HasSubstr("miimon=100"));
    EXPECT_EQ(nm.field("bond0", "connection.autoconnect-slaves"), "1");
    EXPECT_EQ(nm.field("bond0", "ipv4.method"), "disabled");
    EXPECT_EQ(nm.field("bond0", "ipv6.method"), "ignore");
    for (const std::string member : {"eth2", "eth3"}) {
        SCOPED_TRACE(member);
        EXPECT_EQ(nm.field(member, "connection.type"), "802-3-ethernet");
        EXPECT_EQ(nm.field(member, "connection.interface-name"), member);
        EXPECT_EQ(nm.field(member, "connection.master"), "bond0");
        EXPECT_EQ(nm.field(member, "connection.slave-type"), "bond");
        EXPECT_EQ(nm.link_master(member), "");
    }
    EXPECT_FALSE(nm.link_exists("bond0"));
    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo", "bond0", "eth2", "eth3"));
    // Only a bond that came up enters the ledger.
    EXPECT_EQ(nm.ledger(), std::nullopt);

    // Not active, so no device and no state: shown in red, with its mode and both members.
    auto listed = nm.run_quillmar({"bond", "list"});
    EXPECT_EQ(listed.status, 0) << listed;
    EXPECT_EQ(listed.err, "") << listed;
    EXPECT_THAT(listed.out, StartsWith("=== Bond Interfaces ===\n\x1b[31mbond0" + std::string(20, ' ') + " " +
                                       std::string(12, ' ') + " bond      [mode: 802.3ad]\x1b[0m\n"))
        << listed;
    EXPECT_THAT(listed.out, HasSubstr("\n  └─  (eth2)\n")) << listed;
    EXPECT_THAT(listed.out, HasSubstr("\n  └─  (eth3)\n")) << listed;
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 4) << listed;
    EXPECT_THAT(listed.device_as_profile(), IsEmpty()) << listed;
    EXPECT_THAT(listed.refusals(), IsEmpty()) << listed;
    expect_no_invalid_field(listed);

    auto fixed = nm.run_quillmar({"bond", "fix-boot-priorities"});
    EXPECT_EQ(fixed.err, "") << fixed;
    EXPECT_THAT(fixed.out, HasSubstr("  - Processing bond: bond0 with 2 members\n")) << fixed;
    EXPECT_THAT(fixed.out, HasSubstr("    [+] Set member eth2 priority to 200\n")) << fixed;
    EXPECT_THAT(fixed.out, HasSubstr("    [+] Set member eth3 priority to 200\n")) << fixed;
    EXPECT_THAT(fixed.out,
                EndsWith("    [+] Bond bond0 priorities configured\n[+] Autoconnect priority fix completed\n"))
        << fixed;
    EXPECT_EQ(nm.field("bond0", "connection.autoconnect-priority"), "100");
    EXPECT_EQ(nm.field("eth2", "connection.autoconnect-priority"), "200");
    EXPECT_EQ(nm.field("eth3", "connection.autoconnect-priority"), "200");
    EXPECT_EQ(nm.field("eth2", "connection.master"), "bond0");
    expect_no_invalid_field(fixed);
    EXPECT_THAT(fixed.refusals(), IsEmpty()) << fixed;

    auto deleted = nm.run_quillmar({"bond", "delete", "--name", "bond0"});
    EXPECT_EQ(deleted.status, 0) << deleted;
    EXPECT_EQ(deleted.err, "") << deleted;
    EXPECT_THAT(deleted.out, StartsWith("Deleting bond 'bond0' and its members...\n")) << deleted;
    EXPECT_THAT(deleted.out, HasSubstr("Deleting member connection 'eth2'\n")) << deleted;
    EXPECT_THAT(deleted.out, HasSubstr("Deleting member connection 'eth3'\n")) << deleted;
    EXPECT_THAT(deleted.out, EndsWith("[+] Cleaning up stale NetworkManager connections...\n"
                                      "[+] No stale connections found\n"
                                      "Bond 'bond0' deleted.\n"))
        << deleted;
    EXPECT_THAT(deleted.refusals(), IsEmpty()) << deleted;
    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo")) << nm.diagnostics();
    EXPECT_EQ(nm.ledger(), std::nullopt);
    for (const std::string dev : {"eth2", "eth3"}) EXPECT_EQ(nm.link_master(dev), "") << dev;

    EXPECT_THAT(listed.invalid_fields(), IsEmpty()) << listed;
    EXPECT_THAT(fixed.invalid_fields(), IsEmpty()) << fixed;
}

// `bond change` of the mode and of the members on the real daemon: the member profiles are made
// anew, and only the bond's activation (which this kernel cannot carry out) is refused.
TEST_F(Bond, ChangeSwapsTheMembersAndTheMode) {
    auto created = nm.run_quillmar({"bond", "create", "--name", "bond0", "--members", "eth2,eth3"});
    ASSERT_EQ(created.status, 0) << created;
    ASSERT_TRUE(nm.profile("bond0").has_value()) << nm.diagnostics();

    auto changed = nm.run_quillmar({"bond", "change", "--name", "bond0", "--members", "eth1,eth3", "--mode",
                                    "balance-rr"});
    EXPECT_EQ(changed.status, 0) << changed;
    EXPECT_THAT(changed.out, HasSubstr("[+] Changing bond mode to 'balance-rr'\n"
                                       "[+] Changing bond members to 'eth1,eth3'\n"
                                       "[+] Removing current members...\n"
                                       "  - Removing member connection 'eth2'\n"
                                       "  - Removing member connection 'eth3'\n"
                                       "[+] Adding new members...\n"))
        << changed;
    EXPECT_THAT(changed.out, EndsWith("[+] Bond 'bond0' changed successfully\n")) << changed;
    EXPECT_THAT(nm.field("bond0", "bond.options").value_or(""), HasSubstr("mode=balance-rr")) << nm.diagnostics();
    EXPECT_THAT(profile_names(), UnorderedElementsAre("lo", "bond0", "eth1", "eth3")) << nm.diagnostics();
    for (const std::string member : {"eth1", "eth3"}) {
        SCOPED_TRACE(member);
        EXPECT_EQ(nm.field(member, "connection.master"), "bond0");
        EXPECT_EQ(nm.field(member, "connection.slave-type"), "bond");
    }
    auto refused = changed.refusals();
    ASSERT_EQ(refused.size(), 1u) << changed;
    EXPECT_EQ(refused[0].argv, (realnm::Args{"nmcli", "connection", "up", "bond0"}));
    EXPECT_THAT(changed.refusals_except({realnm::kNoBondOrVlanKernel}), IsEmpty()) << changed;
    EXPECT_THAT(changed.device_as_profile(), IsEmpty()) << changed;
    expect_no_invalid_field(changed);
}

// `bond delete` and `bond change` named after profiles that are not bonds (the management
// bridge and its port) find no bond: the bridge, its port and their devices stay as they were.
TEST_F(Bond, DeleteAndChangeLeaveProfilesThatAreNoBondsAlone) {
    nm.nmcli({"connection", "add", "type", "bridge", "ifname", "vswitch0", "con-name", "Management Network",
              "ipv4.method", "disabled", "ipv6.method", "ignore"});
    nm.nmcli({"connection", "add", "type", "ethernet", "ifname", "eth1", "con-name", "Management Uplink", "master",
              "vswitch0"});
    const auto before = nm.profiles();

    for (const std::string name : {"Management Network", "Management Uplink"}) {
        SCOPED_TRACE(name);
        auto deleted = nm.run_quillmar({"bond", "delete", "--name", name});
        EXPECT_EQ(deleted.status, 0) << deleted;
        EXPECT_EQ(deleted.out, "Deleting bond '" + name + "' and its members...\n") << deleted;
        EXPECT_EQ(deleted.err, "Could not find UUID for bond '" + name + "'.\n") << deleted;

        auto changed = nm.run_quillmar({"bond", "change", "--name", name, "--members", "eth3"});
        EXPECT_EQ(changed.status, 0) << changed;
        EXPECT_EQ(changed.out, "") << changed;
        EXPECT_EQ(changed.err, "Error: Bond '" + name + "' not found\n") << changed;

        for (const auto& r : {deleted, changed}) {
            for (const auto& argv : r.argvs_of("nmcli"))
                EXPECT_THAT(argv, testing::Not(testing::Contains(testing::AnyOf("delete", "add", "modify", "up"))))
                    << r;
        }
    }
    EXPECT_EQ(nm.profiles(), before) << nm.diagnostics();
    EXPECT_EQ(nm.field("Management Uplink", "connection.master"), "vswitch0");
}

}  // namespace
