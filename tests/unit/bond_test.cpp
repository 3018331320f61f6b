#include "cmds/bond/bond.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/fake_host.hpp"
#include "support/transcripts.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;
using Argv = std::vector<std::string>;

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
const Argv kDevicesListing = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE", "connection", "show"};
const Argv kTypesListing = {"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"};
const Argv kProfilesListing = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"};
using Argvs = std::vector<Argv>;
// The bridges and bonds a port's master may name (controller_identities).
const Argv kControllersListing = {"nmcli", "-t", "-f", "NAME,UUID,DEVICE,TYPE", "connection", "show"};
const Argv kAllListing = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};
const Argv kSweepListing = {"nmcli", "-t", "-f", "NAME,UUID,DEVICE", "connection", "show"};
const Argv kSnapshotListing = {"nmcli", "-t", "-f", "UUID,NAME,DEVICE,TYPE", "connection", "show"};

Argv get(const std::string& property, const std::string& profile) {
    return {"nmcli", "-g", property, "connection", "show", profile};
}
Argv member_add(const std::string& member, const std::string& bond) {
    return {"nmcli", "con", "add", "type", "ethernet", "con-name", member, "ifname", member,
            "master", bond, "slave-type", "bond"};
}
Argv bond_add(const std::string& bond, const std::string& mode) {
    return {"nmcli", "con", "add", "type", "bond", "con-name", bond, "ifname", bond, "mode", mode,
            "bond.options", "mode=" + mode + ",miimon=100", "connection.autoconnect-slaves", "1",
            "ipv4.method", "disabled", "ipv6.method", "ignore"};
}
Argv nm(Argv words) {
    words.insert(words.begin(), "nmcli");
    return words;
}
Answer failing_with(int code, std::string err) {
    Answer a = Answer::exit(code);
    a.err = std::move(err);
    return a;
}

// One scripted answer of a table case; `prefix` matches every argv that starts with `argv`.
struct Rule {
    Argv argv;
    Answer answer;
    bool prefix = false;
};
void script(FakeHost& host, const std::vector<Rule>& rules) {
    for (const auto& r : rules) {
        if (r.prefix) host.runner.on_prefix(r.argv, r.answer);
        else host.runner.on(r.argv, r.answer);
    }
}

bool ran(const FakeHost& host, const Argv& prefix) {
    return std::any_of(host.runner.calls.begin(), host.runner.calls.end(), [&](const Call& c) {
        return c.argv.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), c.argv.begin());
    });
}

// ------------------------------------------------------------------ bond create

struct BondCreate : ::testing::Test {
    FakeHost host;
};

TEST_F(BondCreate, TrimsMembersDropsEmptyPiecesAndRunsEachStepInOrder) {
    host.runner.on(kDevicesListing, Answer::ok("bond0:bond0:bond\n"
                                               "Wired eth1:eth1:802-3-ethernet\n"
                                               "eth2 old:eth2:802-3-ethernet\n"));
    host.runner.on(get("connection.master", "Wired eth1"), Answer::ok("\n"));
    host.runner.on(get("connection.master", "eth2 old"), Answer::ok("--\n"));

    create_bond(host.ctx, std::nullopt, " eth1 , ,eth2 ,", "802.3ad");

    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(),
              "Creating bond 'bond1' with members ' eth1 , ,eth2 ,'\n"
              "Adding 'eth1' as member to 'bond1'\n"
              "Adding 'eth2' as member to 'bond1'\n"
              "[+] Activating bond 'bond1'\n"
              "[+] Activating member interface 'eth1'\n"
              "[+] Activating member interface 'eth2'\n"
              "[+] Bond 'bond1' created and activated successfully\n");
    EXPECT_EQ(host.runner.calls, (std::vector<Call>{
                                     {kDevicesListing, RunMode::Query},
                                     {get("connection.master", "Wired eth1"), RunMode::Query},
                                     {kDevicesListing, RunMode::Query},
                                     {get("connection.master", "eth2 old"), RunMode::Query},
                                     {kDevicesListing, RunMode::Query},
                                     {bond_add("bond1", "802.3ad"), RunMode::Change},
                                     {member_add("eth1", "bond1"), RunMode::Change},
                                     {member_add("eth2", "bond1"), RunMode::Change},
                                     {nm({"connection", "up", "bond1"}), RunMode::Change},
                                     {nm({"connection", "up", "eth1"}), RunMode::Change},
                                     {nm({"connection", "up", "eth2"}), RunMode::Change},
                                 }));
    auto ledger = host.read_file(kLedger);
    ASSERT_TRUE(ledger);
    EXPECT_NE(ledger->find("\"bonds\": [\n    \"bond1\"\n  ]"), std::string::npos) << *ledger;
}

TEST_F(BondCreate, RefusesAnEnslavedMemberBeforeCreatingAnything) {
    host.runner.on(kDevicesListing, Answer::ok("eth1:eth1:802-3-ethernet\neth2:eth2:802-3-ethernet\n"));
    host.runner.on(get("connection.master", "eth2"), Answer::ok("bond0\n"));

    create_bond(host.ctx, std::string("bond5"), "eth1,eth2,eth3", "active-backup");

    EXPECT_EQ(host.err.str(), "Error: Cannot add interface 'eth2' to bond. Already member of 'bond0'. Aborting.\n");
    EXPECT_EQ(host.out.str(), "");
    // eth1 was looked at first; eth3 never was.
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{kDevicesListing, get("connection.master", "eth1"),
                                                      kDevicesListing, get("connection.master", "eth2")}));
    EXPECT_FALSE(host.read_file(kLedger));
}

TEST_F(BondCreate, WithEveryBondNameTakenCreatesNothing) {
    std::string listing;
    for (int i = 0; i <= 99; ++i) listing += "b" + std::to_string(i) + ":bond" + std::to_string(i) + ":bond\n";
    host.runner.on(kDevicesListing, Answer::ok(listing));

    create_bond(host.ctx, std::nullopt, "eth1", "active-backup");

    EXPECT_EQ(host.err.str(), "Failed to find available bond name\n");
    EXPECT_EQ(host.out.str(), "");
    EXPECT_FALSE(ran(host, {"nmcli", "con", "add"}));
}

TEST_F(BondCreate, AMembersTextOfCommasAndBlanksMakesABondWithoutMembers) {
    create_bond(host.ctx, std::string("bond3"), " , ,", "active-backup");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(),
              "Creating bond 'bond3' with members ' , ,'\n"
              "[+] Activating bond 'bond3'\n"
              "[+] Bond 'bond3' created and activated successfully\n");
    EXPECT_EQ(host.runner.argvs(),
              (std::vector<Argv>{bond_add("bond3", "active-backup"), nm({"connection", "up", "bond3"})}));
}

TEST_F(BondCreate, FailuresOfEachStep) {
    struct Case {
        const char* what;
        std::vector<Rule> rules;
        std::string out;
        std::string err;
        bool tracked;
    };
    const std::string created = "Creating bond 'b' with members 'e1,e2'\n";
    const std::vector<Case> cases = {
        {"bond add refused",
         {{bond_add("b", "active-backup"), Answer::exit(2)}},
         created,
         "Failed to create bond 'b'\n",
         false},
        {"a member add refused",
         {{member_add("e1", "b"), Answer::exit(2)}},
         created + "Adding 'e1' as member to 'b'\nAdding 'e2' as member to 'b'\n[+] Activating bond 'b'\n"
                   "[+] Activating member interface 'e1'\n[+] Activating member interface 'e2'\n"
                   "[+] Bond 'b' created and activated successfully\n",
         "Failed to add 'e1' as a member to 'b'.\n",
         true},
        {"bond activation refused",
         {{nm({"connection", "up", "b"}), Answer::exit(4)}},
         created + "Adding 'e1' as member to 'b'\nAdding 'e2' as member to 'b'\n[+] Activating bond 'b'\n",
         "Failed to activate bond 'b'\n",
         false},
        {"a member activation refused",
         {{nm({"connection", "up", "e2"}), Answer::exit(4)}},
         created + "Adding 'e1' as member to 'b'\nAdding 'e2' as member to 'b'\n[+] Activating bond 'b'\n"
                   "[+] Activating member interface 'e1'\n[+] Activating member interface 'e2'\n"
                   "[+] Bond 'b' created and activated successfully\n",
         "Warning: Failed to activate member interface 'e2'\n",
         true},
        {"nmcli gone at bond creation",
         {{{"nmcli", "con", "add", "type", "bond"}, Answer::missing(), true}},
         created,
         "Failed to execute nmcli bond creation: No such file or directory (os error 2)\n",
         false},
        {"nmcli gone at member creation",
         {{member_add("e2", "b"), Answer::missing()}},
         created + "Adding 'e1' as member to 'b'\nAdding 'e2' as member to 'b'\n",
         "Failed to execute nmcli member creation: No such file or directory (os error 2)\n",
         false},
        {"nmcli gone at bond activation",
         {{nm({"connection", "up", "b"}), Answer::missing()}},
         created + "Adding 'e1' as member to 'b'\nAdding 'e2' as member to 'b'\n[+] Activating bond 'b'\n",
         "Failed to execute nmcli bond activation: No such file or directory (os error 2)\n",
         false},
        {"nmcli gone at member activation",
         {{nm({"connection", "up", "e1"}), Answer::missing()}},
         created + "Adding 'e1' as member to 'b'\nAdding 'e2' as member to 'b'\n[+] Activating bond 'b'\n"
                   "[+] Activating member interface 'e1'\n",
         "Failed to execute nmcli member activation: No such file or directory (os error 2)\n",
         false},
    };
    for (const auto& c : cases) {
        FakeHost h;
        script(h, c.rules);
        create_bond(h.ctx, std::string("b"), "e1,e2", "active-backup");
        EXPECT_EQ(h.out.str(), c.out) << c.what;
        EXPECT_EQ(h.err.str(), c.err) << c.what;
        EXPECT_EQ(h.read_file(kLedger).has_value(), c.tracked) << c.what;
    }
}

TEST_F(BondCreate, WithoutNmcliAndWithoutANameFindsNoName) {
    host.runner.missing("nmcli");
    create_bond(host.ctx, std::nullopt, "eth1", "active-backup");
    EXPECT_EQ(host.err.str(), "Failed to find available bond name\n");
    EXPECT_EQ(host.out.str(), "");
}

// ------------------------------------------------------------------ bond change

struct BondChange : ::testing::Test {
    FakeHost host;
    // bond0 exists under its own name with UUID u-b0.
    void bond0() {
        host.runner.on(kProfilesListing, Answer::ok("bond0:u-b0:bond:bond0\n"));
        host.runner.on(get("connection.uuid", "bond0"), Answer::ok("u-b0\n"));
        host.runner.on(get("connection.type", "bond0"), Answer::ok("bond\n"));
    }
};

TEST_F(BondChange, ChangesTheModeFirstThenRemovesAndAddsMembers) {
    bond0();
    host.runner.on(kDevicesListing, Answer::ok("eth1:eth1:802-3-ethernet\n"));
    host.runner.on(get("connection.master", "eth1"), Answer::ok("bond0\n"));
    host.runner.on(get("connection.master", "eth2"), Answer::ok("u-b0\n"));
    host.runner.on(get("connection.master", "other"), Answer::ok("bond9\n"));
    host.runner.on(kTypesListing, Answer::ok("eth1:802-3-ethernet\n"
                                             "wifi:802-11-wireless\n"
                                             "eth2:ethernet\n"
                                             "other:802-3-ethernet\n"
                                             "bond0:bond\n"));
    host.runner.on(nm({"connection", "delete", "eth2"}), failing_with(10, "Error: eth2 is busy.\n"));

    auto changed = change_bond(host.ctx, "bond0", std::string("eth1, eth3,"), std::string("balance-rr"));

    ASSERT_TRUE(changed) << changed.error().message;
    EXPECT_EQ(host.out.str(),
              "[+] Changing bond 'bond0'...\n"
              "[+] Changing bond mode to 'balance-rr'\n"
              "[+] Changing bond members to 'eth1, eth3,'\n"
              "[+] Removing current members...\n"
              "  - Removing member connection 'eth1'\n"
              "  - Removing member connection 'eth2'\n"
              "[+] Adding new members...\n"
              "  + Adding 'eth1' as member to 'bond0'\n"
              "  + Adding 'eth3' as member to 'bond0'\n"
              "[+] Bringing up bond 'bond0'...\n"
              "[+] Bond 'bond0' changed successfully\n");
    // nmcli's own complaint reaches the user.
    EXPECT_EQ(host.runner.shown_err, "Error: eth2 is busy.\n");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{
                  {kProfilesListing, RunMode::Query},
                  {get("connection.uuid", "bond0"), RunMode::Query},
                  {get("connection.type", "bond0"), RunMode::Query},
                  {nm({"connection", "modify", "bond0", "bond.options", "mode=balance-rr"}), RunMode::ChangeShowingStderr},
                  {kControllersListing, RunMode::Query},
                  {kDevicesListing, RunMode::Query},
                  {get("connection.master", "eth1"), RunMode::Query},
                  {kDevicesListing, RunMode::Query},
                  {kControllersListing, RunMode::Query},
                  {kTypesListing, RunMode::Query},
                  {get("connection.master", "eth1"), RunMode::Query},
                  {get("connection.master", "eth2"), RunMode::Query},
                  {get("connection.master", "other"), RunMode::Query},
                  {nm({"connection", "delete", "eth1"}), RunMode::ChangeShowingStderr},
                  {nm({"connection", "delete", "eth2"}), RunMode::ChangeShowingStderr},
                  {member_add("eth1", "bond0"), RunMode::ChangeShowingStderr},
                  {member_add("eth3", "bond0"), RunMode::ChangeShowingStderr},
                  {nm({"connection", "up", "bond0"}), RunMode::ChangeShowingStderr},
              }));
}

TEST_F(BondChange, RefusesAMemberOfAnotherBondBeforeRemovingAnything) {
    bond0();
    host.runner.on(kDevicesListing, Answer::ok("eth1:eth1:802-3-ethernet\neth2:eth2:802-3-ethernet\n"));
    host.runner.on(get("connection.master", "eth1"), Answer::ok("bond0\n"));
    host.runner.on(get("connection.master", "eth2"), Answer::ok("bond1\n"));

    auto changed = change_bond(host.ctx, "bond0", std::string("eth1,eth2"), std::string("802.3ad"));

    ASSERT_FALSE(changed);
    EXPECT_EQ(changed.error().message, "Cannot add interface 'eth2' to bond. Already member of 'bond1'");
    // The mode was changed already; no member was touched.
    EXPECT_TRUE(ran(host, nm({"connection", "modify", "bond0", "bond.options", "mode=802.3ad"})));
    EXPECT_FALSE(ran(host, kTypesListing));
    EXPECT_FALSE(ran(host, nm({"connection", "delete"})));
    EXPECT_FALSE(ran(host, nm({"con", "add"})));
}

TEST_F(BondChange, AcceptsAMemberThatNamesThisBondByItsUuid) {
    bond0();
    host.runner.on(kDevicesListing, Answer::ok("eth1:eth1:802-3-ethernet\n"));
    host.runner.on(get("connection.master", "eth1"), Answer::ok("u-b0\n"));
    host.runner.on(kTypesListing, Answer::ok("eth1:802-3-ethernet\n"));

    auto changed = change_bond(host.ctx, "bond0", std::string("eth1"), std::nullopt);

    ASSERT_TRUE(changed) << changed.error().message;
    EXPECT_TRUE(ran(host, nm({"connection", "delete", "eth1"})));
    EXPECT_TRUE(ran(host, member_add("eth1", "bond0")));
}

TEST_F(BondChange, ErrorTexts) {
    struct Case {
        const char* what;
        std::optional<std::string> members;
        std::optional<std::string> mode;
        std::vector<Rule> rules;
        std::string error;
    };
    const Rule kIsABond{get("connection.type", "bond0"), Answer::ok("bond\n")};
    const std::vector<Case> cases = {
        {"no such bond, checked before the options", std::nullopt, std::nullopt, {}, "Bond 'bond0' not found"},
        {"neither option",
         std::nullopt,
         std::nullopt,
         {{get("connection.uuid", "bond0"), Answer::ok("u-b0\n")}, kIsABond},
         "Must specify either --members or --mode (or both)"},
        {"nmcli missing", std::string("eth1"), std::nullopt, {{{"nmcli"}, Answer::missing(), true}},
         "Failed to check if bond 'bond0' exists"},
        {"mode refused",
         std::string("eth1"),
         std::string("fast"),
         {{get("connection.uuid", "bond0"), Answer::ok("u-b0\n")}, kIsABond,
          {nm({"connection", "modify", "bond0", "bond.options", "mode=fast"}), Answer::exit(2)}},
         "Failed to change bond mode to 'fast'"},
        {"nmcli gone at the mode change",
         std::nullopt,
         std::string("fast"),
         {{get("connection.uuid", "bond0"), Answer::ok("u-b0\n")}, kIsABond,
          {nm({"connection", "modify"}), Answer::missing(), true}},
         "Failed to execute nmcli bond modify"},
        {"listing cannot start",
         std::string("eth1"),
         std::nullopt,
         {{get("connection.uuid", "bond0"), Answer::ok("u-b0\n")}, kIsABond, {kTypesListing, Answer::missing()}},
         "Failed to list NetworkManager connections"},
        {"nmcli gone at a member add",
         std::string("eth1"),
         std::nullopt,
         {{get("connection.uuid", "bond0"), Answer::ok("u-b0\n")},
          kIsABond,
          {member_add("eth1", "bond0"), Answer::missing()}},
         "Failed to add member 'eth1'"},
    };
    for (const auto& c : cases) {
        FakeHost h;
        script(h, c.rules);
        auto changed = change_bond(h.ctx, "bond0", c.members, c.mode);
        ASSERT_FALSE(changed) << c.what;
        EXPECT_EQ(changed.error().message, c.error) << c.what;
    }
}

TEST_F(BondChange, AFailedMemberAddIsAWarning) {
    bond0();
    host.runner.on(member_add("eth1", "bond0"), failing_with(2, "Error: no such device.\n"));
    auto changed = change_bond(host.ctx, "bond0", std::string("eth1,eth2"), std::nullopt);
    ASSERT_TRUE(changed);
    EXPECT_EQ(host.runner.shown_err, "Error: no such device.\n");
    EXPECT_EQ(host.err.str(), "Warning: Failed to add 'eth1' as a member to 'bond0'\n");
    EXPECT_TRUE(ran(host, member_add("eth2", "bond0")));
}

TEST_F(BondChange, ABondDeviceWhoseProfileIsNamedOtherwiseIsAddressedByUuid) {
    host.runner.on(kProfilesListing, Answer::ok("Uplink Bond:u-up:bond:bond0\n"));
    host.runner.on(get("connection.type", "u-up"), Answer::ok("bond\n"));
    host.runner.on(get("connection.uuid", "u-up"), Answer::ok("u-up\n"));

    auto changed = change_bond(host.ctx, "bond0", std::nullopt, std::string("active-backup"));

    ASSERT_TRUE(changed) << changed.error().message;
    EXPECT_EQ(host.runner.argvs(),
              (std::vector<Argv>{kProfilesListing, get("connection.type", "u-up"), get("connection.uuid", "u-up"),
                                 nm({"connection", "modify", "u-up", "bond.options", "mode=active-backup"}),
                                 nm({"connection", "up", "u-up"})}));
    EXPECT_EQ(host.out.str(),
              "[+] Changing bond 'bond0'...\n"
              "[+] Changing bond mode to 'active-backup'\n"
              "[+] Bringing up bond 'bond0'...\n"
              "[+] Bond 'bond0' changed successfully\n");
}

// ------------------------------------------------------------------ bond delete

struct BondDelete : ::testing::Test {
    FakeHost host;
};

TEST_F(BondDelete, DeletesMembersFoundByUuidOrNameThenTheBondThenStaleProfiles) {
    host.write_file(kLedger, "{\"vswitches\": [], \"vlan_bridges\": [], \"veth_pairs\": [], "
                             "\"bonds\": [\"bond7\", \"bond0\"], \"created_at\": \"2024-01-01T00:00:00+00:00\"}");
    host.runner.on(kProfilesListing, Answer::ok("bond0:u-b0:bond:bond0\n"));
    host.runner.on(get("connection.uuid", "bond0"), Answer::ok("  u-b0 \n"));
    host.runner.on(get("connection.type", "bond0"), Answer::ok("bond\n"));
    host.runner.on(kTypesListing, Answer::ok("eth1:802-3-ethernet\r\n"
                                             "eth2:ethernet\n"
                                             "eth3:802-3-ethernet\n"
                                             "eth4:802-3-ethernet:extra\n"
                                             "eth5:ethernet-ish\n"));
    host.runner.on(get("connection.master", "eth1"), Answer::ok("u-b0\n"));
    host.runner.on(get("connection.master", "eth2"), Answer::ok("bond0\n"));
    host.runner.on(get("connection.master", "eth3"), Answer::ok("bond1\n"));
    // Left without a device: a VLAN on the bond (named by UUID), an unplugged NIC's profile that
    // names no master, and a tracked bond.
    host.runner.on(kSweepListing, Answer::ok("bond0.5:u-v5:\nSpare eth9:u-s9:\nbond7:u-b7:\n"));
    host.runner.on(get("connection.master", "bond0.5"), Answer::ok("u-b0\n"));
    host.runner.on(get("connection.master", "Spare eth9"), Answer::ok("\n"));

    delete_bond(host.ctx, "bond0");

    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(),
              "Deleting bond 'bond0' and its members...\n"
              "Deleting member connection 'eth1'\n"
              "Deleting member connection 'eth2'\n"
              "[+] Cleaning up stale NetworkManager connections...\n"
              "  - Removing stale connection: bond0.5\n"
              "[+] Cleaned up 1 stale connections\n"
              "Bond 'bond0' deleted.\n");
    Argvs deletions;
    for (const auto& a : host.runner.argvs())
        if (a.size() > 2 && a[2] == "delete") deletions.push_back(a);
    EXPECT_EQ(deletions, (Argvs{nm({"connection", "delete", "eth1"}), nm({"connection", "delete", "eth2"}),
                                nm({"connection", "delete", "bond0"}), nm({"connection", "delete", "bond0.5"})}));
    EXPECT_EQ(std::vector<Call>(host.runner.calls.begin(), host.runner.calls.begin() + 12), (std::vector<Call>{
                                     {kProfilesListing, RunMode::Query},
                                     {get("connection.uuid", "bond0"), RunMode::Query},
                                     {get("connection.type", "bond0"), RunMode::Query},
                                     {kControllersListing, RunMode::Query},
                                     {kTypesListing, RunMode::Query},
                                     {get("connection.master", "eth1"), RunMode::Query},
                                     {get("connection.master", "eth2"), RunMode::Query},
                                     {get("connection.master", "eth3"), RunMode::Query},
                                     {nm({"connection", "delete", "eth1"}), RunMode::ChangeShowingStderr},
                                     {nm({"connection", "delete", "eth2"}), RunMode::ChangeShowingStderr},
                                     {nm({"connection", "delete", "bond0"}), RunMode::ChangeShowingStderr},
                                     {kSweepListing, RunMode::QueryWithStderr},
                                 }));
    auto ledger = host.read_file(kLedger);
    ASSERT_TRUE(ledger);
    EXPECT_NE(ledger->find("\"bonds\": [\n    \"bond7\"\n  ]"), std::string::npos) << *ledger;
}

TEST_F(BondDelete, ANameOfNoProfileDeletesNothing) {
    delete_bond(host.ctx, "bond4");
    EXPECT_EQ(host.out.str(), "Deleting bond 'bond4' and its members...\n");
    EXPECT_EQ(host.err.str(), "Could not find UUID for bond 'bond4'.\n");
    EXPECT_FALSE(ran(host, nm({"connection", "delete"})));
}

TEST_F(BondDelete, ProfilesNamedLikeOptionsFollowId) {
    host.runner.on(kProfilesListing, Answer::ok("-b0:u-b0:bond:-b0\n"));
    host.runner.on(nm({"-g", "connection.uuid", "connection", "show", "id", "-b0"}), Answer::ok("u-b0\n"));
    host.runner.on(nm({"-g", "connection.type", "connection", "show", "id", "-b0"}), Answer::ok("bond\n"));
    host.runner.on(kTypesListing, Answer::ok("-m:802-3-ethernet\n"));
    host.runner.on(nm({"-g", "connection.master", "connection", "show", "id", "-m"}), Answer::ok("u-b0\n"));
    delete_bond(host.ctx, "-b0");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{
                                       kProfilesListing,
                                       nm({"-g", "connection.uuid", "connection", "show", "id", "-b0"}),
                                       nm({"-g", "connection.type", "connection", "show", "id", "-b0"}),
                                       kControllersListing,
                                       kTypesListing,
                                       nm({"-g", "connection.master", "connection", "show", "id", "-m"}),
                                       nm({"connection", "delete", "id", "-m"}),
                                       nm({"connection", "delete", "id", "-b0"}),
                                       kSweepListing,
                                   }));
}

TEST_F(BondDelete, StopsWhenNmcliCannotBeStarted) {
    host.runner.missing("nmcli");
    delete_bond(host.ctx, "bond0");
    EXPECT_EQ(host.out.str(), "Deleting bond 'bond0' and its members...\n");
    EXPECT_EQ(host.err.str(), "Failed to get bond UUID: No such file or directory (os error 2)\n");

    FakeHost h;
    h.runner.on(get("connection.uuid", "bond0"), Answer::ok("u-b0\n"));
    h.runner.on(get("connection.type", "bond0"), Answer::ok("bond\n"));
    h.runner.on(kTypesListing, Answer::missing());
    delete_bond(h.ctx, "bond0");
    EXPECT_EQ(h.err.str(), "Failed to list NetworkManager connections: No such file or directory (os error 2)\n");
    EXPECT_FALSE(ran(h, nm({"connection", "delete"})));
}

TEST_F(BondDelete, ABondDeviceWhoseProfileIsNamedOtherwiseIsDeletedByUuid) {
    host.runner.on(kProfilesListing, Answer::ok("Uplink Bond:u-up:bond:\n"));
    host.runner.on(get("connection.interface-name", "u-up"), Answer::ok("bond0\n"));
    host.runner.on(get("connection.type", "u-up"), Answer::ok("bond\n"));
    host.runner.on(get("connection.uuid", "u-up"), Answer::ok("u-up\n"));
    host.runner.on(kTypesListing, Answer::ok("eth1:802-3-ethernet\n"));
    host.runner.on(get("connection.master", "eth1"), Answer::ok("bond0\n"));

    delete_bond(host.ctx, "bond0");

    EXPECT_TRUE(ran(host, nm({"connection", "delete", "eth1"})));
    EXPECT_TRUE(ran(host, nm({"connection", "delete", "u-up"})));
    EXPECT_FALSE(ran(host, nm({"connection", "delete", "bond0"})));
    EXPECT_NE(host.out.str().find("Bond 'bond0' deleted.\n"), std::string::npos);
}

TEST_F(BondDelete, ABridgeDeviceIsNeverTakenForABond) {
    host.runner.on(kProfilesListing, Answer::ok("Management Network:u-mgmt:bridge:vswitch0\n"));
    host.runner.on(get("connection.type", "u-mgmt"), Answer::ok("bridge\n"));
    host.runner.on(get("connection.uuid", "u-mgmt"), Answer::ok("u-mgmt\n"));
    host.runner.on(kTypesListing, Answer::ok("eno1:802-3-ethernet\n"));
    host.runner.on(get("connection.master", "eno1"), Answer::ok("vswitch0\n"));

    delete_bond(host.ctx, "vswitch0");

    EXPECT_EQ(host.err.str(), "Could not find UUID for bond 'vswitch0'.\n");
    EXPECT_FALSE(ran(host, nm({"connection", "delete"})));
    EXPECT_TRUE(ran(host, get("connection.uuid", "vswitch0")));
}

// A profile named by --name that is not a bond: the management bridge, a port of it. Neither
// command touches it; both take the path of a name no bond has.
TEST(BondByName, AProfileThatIsNoBondIsNotFound) {
    struct Case {
        std::string name, uuid, type, device;
    };
    for (const Case& c : {Case{"Management Network", "u-mgmt", "bridge", "vswitch0"},
                          Case{"eno1", "u-eno1", "802-3-ethernet", "eno1"}}) {
        SCOPED_TRACE(c.name);
        auto script_host = [&](FakeHost& h) {
            h.runner.on(kProfilesListing, Answer::ok(c.name + ":" + c.uuid + ":" + c.type + ":" + c.device + "\n"));
            h.runner.on(get("connection.uuid", c.name), Answer::ok(c.uuid + "\n"));
            h.runner.on(get("connection.type", c.name), Answer::ok(c.type + "\n"));
            h.runner.on(kTypesListing, Answer::ok("eno1:802-3-ethernet\n"));
            h.runner.on(get("connection.master", "eno1"), Answer::ok("vswitch0\n"));
        };
        auto changed_nothing = [](const FakeHost& h) {
            EXPECT_FALSE(ran(h, nm({"connection", "delete"})));
            EXPECT_FALSE(ran(h, nm({"connection", "modify"})));
            EXPECT_FALSE(ran(h, nm({"connection", "up"})));
            EXPECT_FALSE(ran(h, nm({"con", "add"})));
            EXPECT_FALSE(h.read_file(kLedger));
        };

        FakeHost deleted;
        script_host(deleted);
        delete_bond(deleted.ctx, c.name);
        EXPECT_EQ(deleted.out.str(), "Deleting bond '" + c.name + "' and its members...\n");
        EXPECT_EQ(deleted.err.str(), "Could not find UUID for bond '" + c.name + "'.\n");
        changed_nothing(deleted);

        FakeHost changed;
        script_host(changed);
        auto result = change_bond(changed.ctx, c.name, std::string("eno9"), std::string("active-backup"));
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, "Bond '" + c.name + "' not found");
        EXPECT_EQ(changed.out.str(), "");
        changed_nothing(changed);
    }
}

// ------------------------------------------------------------------ snapshot-based commands

struct Profile {
    std::string uuid, name, device, type, master, slave_type;
};

// Scripts the profile snapshot: the listing and the three properties of each profile.
void snapshot(FakeHost& host, const std::vector<Profile>& profiles) {
    std::string listing;
    for (const auto& p : profiles) {
        listing += p.uuid + ":" + p.name + ":" + p.device + ":" + p.type + "\n";
        host.runner.on(get("connection.master", p.name), Answer::ok(p.master + "\n"));
        host.runner.on(get("connection.slave-type", p.name), Answer::ok(p.slave_type + "\n"));
    }
    host.runner.on(kSnapshotListing, Answer::ok(listing));
}

TEST(BondList, ShowsModeDeviceStateAndMembers) {
    struct Case {
        const char* what;
        std::optional<std::string> options;  // absent: nmcli cannot be started for it
        std::optional<std::string> state;
        bool member;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"options with miimon", "mode=802.3ad,miimon=100\n", "activated\n", true,
         "\x1b[32mbond0                     bond0        bond     activated [mode: 802.3ad]\x1b[0m\n"},
        {"empty options", "\n", "activating\n", true,
         "\x1b[31mbond0                     bond0        bond     activating [mode: active-backup]\x1b[0m\n"},
        {"unset options, empty state", "--\n", "", false,
         "\x1b[31mbond0                     bond0        bond      [mode: active-backup]\x1b[0m\n"},
        {"mode on a later line", "miimon=100\nmode=balance-rr\n", "activated", true,
         "\x1b[32mbond0                     bond0        bond     activated [mode: balance-rr]\x1b[0m\n"},
        {"queries cannot start", std::nullopt, std::nullopt, true,
         "\x1b[31mbond0                     bond0        bond     unknown [mode: active-backup]\x1b[0m\n"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        std::vector<Profile> profiles = {{"u-b0", "bond0", "bond0", "bond", "--", "--"}};
        if (c.member) profiles.push_back({"u-e1", "eth1-slave", "eth1", "802-3-ethernet", "bond0", "bond"});
        snapshot(host, profiles);
        host.runner.on(get("bond.options", "bond0"), c.options ? Answer::ok(*c.options) : Answer::missing());
        host.runner.on(get("GENERAL.STATE", "bond0"), c.state ? Answer::ok(*c.state) : Answer::missing());

        list_bonds(host.ctx);

        EXPECT_EQ(host.out.str(), "=== Bond Interfaces ===\n" + c.line +
                                      (c.member ? "  └─ eth1 (eth1-slave)\n" : "  └─ (no members)\n"))
            << c.what;
        EXPECT_EQ(host.err.str(), "") << c.what;
    }
}

TEST(BondList, LongNamesAreNotCutAndAnInactiveBondHasNoDevice) {
    FakeHost host;
    snapshot(host, {{"u-b", "a-bond-name-longer-than-25-chars", "", "bond", "--", "--"}});
    host.runner.on(get("GENERAL.STATE", "a-bond-name-longer-than-25-chars"), Answer::ok(""));
    list_bonds(host.ctx);
    EXPECT_EQ(host.out.str(),
              "=== Bond Interfaces ===\n"
              "\x1b[31ma-bond-name-longer-than-25-chars              bond      [mode: active-backup]\x1b[0m\n"
              "  └─ (no members)\n");
}

TEST(BondList, NoBondsAndNoSnapshot) {
    FakeHost host;
    snapshot(host, {{"u-e1", "eth1", "eth1", "802-3-ethernet", "--", "--"}});
    list_bonds(host.ctx);
    EXPECT_EQ(host.out.str(), "=== Bond Interfaces ===\nNo bond interfaces found.\n");

    FakeHost gone;
    gone.runner.missing("nmcli");
    list_bonds(gone.ctx);
    EXPECT_EQ(gone.out.str(), "=== Bond Interfaces ===\n");
    EXPECT_EQ(gone.err.str(), "Error initializing NetworkManager resolver: No such file or directory (os error 2)\n");
}

TEST(MemberProfileName, TakesThePartBetweenTheFirstOpeningAndItsClosingParenthesis) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"eth1 (eth1)", "eth1"},
        {"eth1 (eth1-slave)", "eth1-slave"},
        {" (no device)", "no device"},
        {"eth1", std::nullopt},
        {"eth1 ()", ""},
        {"eth1 (open", std::nullopt},
        {"eth1 (a (b))", std::nullopt},
        {"eth1 (a) (b)", "a"},
        {"eth1 (a)b)", "a)b"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(member_profile_name(text), expected) << text;
}

TEST(FixBootPriorities, SetsBondThenMemberPriorities) {
    FakeHost host;
    snapshot(host, {{"u-b0", "bond0", "bond0", "bond", "--", "--"},
                    {"u-e1", "eth1", "eth1", "802-3-ethernet", "bond0", "bond"}});

    fix_boot_priorities(host.ctx);

    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(), test::transcripts::kBond0PrioritiesFixed);
    auto calls = host.runner.calls;
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2],
              (Call{nm({"connection", "modify", "bond0", "connection.autoconnect-priority", "100"}), RunMode::Change}));
    EXPECT_EQ(calls.back(),
              (Call{nm({"connection", "modify", "eth1", "connection.autoconnect-priority", "200"}), RunMode::Change}));
}

TEST(FixBootPriorities, ReportsFailuresAndSkipsTheMembersOfABondItCouldNotSet) {
    FakeHost host;
    snapshot(host, {{"u-b0", "bond0", "bond0", "bond", "--", "--"},
                    {"u-e1", "eth1", "eth1", "802-3-ethernet", "bond0", "bond"},
                    {"u-b1", "bond1", "", "bond", "--", "--"},
                    {"u-e2", "odd (x)", "eth2", "802-3-ethernet", "bond1", "bond"},
                    {"u-e3", "eth3", "eth3", "802-3-ethernet", "bond1", "bond"}});
    host.runner.on(nm({"connection", "modify", "bond0", "connection.autoconnect-priority", "100"}), Answer::exit(1));
    host.runner.on(nm({"connection", "modify", "eth3", "connection.autoconnect-priority", "200"}), Answer::exit(1));

    fix_boot_priorities(host.ctx);

    // The order of the bonds is not defined; each one's lines are.
    const std::string out = host.out.str();
    const std::string err = host.err.str();
    EXPECT_NE(out.find("  - Processing bond: bond0 with 1 members\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("[+] Bond bond0 priorities configured"), std::string::npos) << out;
    EXPECT_NE(out.find("  - Processing bond: bond1 with 2 members\n    [+] Bond bond1 priorities configured\n"),
              std::string::npos)
        << out;
    EXPECT_NE(err.find("    [-] Failed to set bond priority: Failed to set autoconnect priority for connection "
                       "'bond0'\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("    [-] Failed to set member priority for eth3: Failed to set autoconnect priority for "
                       "connection 'eth3'\n"),
              std::string::npos)
        << err;
    EXPECT_FALSE(ran(host, nm({"connection", "modify", "eth1"})));
    // "eth2 (odd (x))" names no profile it can read.
    EXPECT_FALSE(ran(host, nm({"connection", "modify", "odd"})));
    EXPECT_FALSE(ran(host, nm({"connection", "modify", "odd (x)"})));
}

TEST(FixBootPriorities, WithoutASnapshot) {
    FakeHost host;
    host.runner.missing("nmcli");
    fix_boot_priorities(host.ctx);
    EXPECT_EQ(host.out.str(), "[+] Fixing autoconnect priorities for all bonds to prevent boot-time race conditions\n");
    EXPECT_EQ(host.err.str(),
              "[-] Error initializing NetworkManager resolver: No such file or directory (os error 2)\n");
}

}  // namespace
}  // namespace qm
