#include "utils/managed_resources/managed_resources.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "cmds/config/maintenance.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";

// 2024-03-05T07:08:09.120Z
SystemTime march5() {
    return SystemTime{} + std::chrono::seconds(1709622489) + std::chrono::milliseconds(120);
}

std::string ledger_text(const std::vector<std::string>& vswitches, const std::string& created_at,
                        const std::vector<std::string>& bonds = {}) {
    ManagedResources m;
    m.vswitches = vswitches;
    m.bonds = bonds;
    m.created_at = created_at;
    return managed_resources_to_json(m);
}

struct Ledger : ::testing::Test {
    Ledger() { host.clock.t = march5(); }
    FakeHost host;
    std::vector<std::string> names_in_state_dir() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(host.file("/var/lib/quillmar")))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Ledger, TrackCreatesTheDirectoryAndTheLedgerOnce) {
    track_managed_resource(host.ctx, "vswitch", "test1");
    host.clock.t += std::chrono::hours(1);
    track_managed_resource(host.ctx, "vswitch", "test1");
    track_managed_resource(host.ctx, "bond", "bond0");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"test1"}, "2024-03-05T07:08:09.120+00:00", {"bond0"}));
    EXPECT_EQ(names_in_state_dir(), (std::vector<std::string>{"managed_resources.json"}));
    EXPECT_TRUE(host.out.str().empty());
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST_F(Ledger, EveryKindHasItsOwnList) {
    track_managed_resource(host.ctx, "vswitch", "a");
    track_managed_resource(host.ctx, "vlan_bridge", "vlan5br");
    track_managed_resource(host.ctx, "veth_pair", "veth0");
    track_managed_resource(host.ctx, "veth_pair", "veth1");
    track_managed_resource(host.ctx, "bond", "bond0");
    track_managed_resource(host.ctx, "Vswitch", "ignored");
    auto m = parse_managed_resources(*host.read_file(kLedger));
    ASSERT_TRUE(m.has_value()) << m.error().message;
    EXPECT_EQ(m->vswitches, (std::vector<std::string>{"a"}));
    EXPECT_EQ(m->vlan_bridges, (std::vector<std::string>{"vlan5br"}));
    EXPECT_EQ(m->veth_pairs, (std::vector<std::string>{"veth0", "veth1"}));
    EXPECT_EQ(m->bonds, (std::vector<std::string>{"bond0"}));
}

TEST_F(Ledger, UnknownKindStillWritesTheFile) {
    track_managed_resource(host.ctx, "vlan", "x");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({}, "2024-03-05T07:08:09.120+00:00"));

    host.write_file(kLedger, R"({"vswitches":["a"],"vlan_bridges":[],"veth_pairs":[],"created_at":"c"})");
    untrack_managed_resource(host.ctx, "vlan", "a");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"a"}, "c"));
}

TEST_F(Ledger, UntrackRemovesEveryEqualEntryAndKeepsTheOrder) {
    host.write_file(kLedger, ledger_text({"a", "b", "a", "A", "c"}, "c"));
    untrack_managed_resource(host.ctx, "vswitch", "a");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"b", "A", "c"}, "c"));
    untrack_managed_resource(host.ctx, "vswitch", "missing");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"b", "A", "c"}, "c"));
}

TEST_F(Ledger, UntrackWithoutALedgerCreatesNothing) {
    untrack_managed_resource(host.ctx, "vswitch", "a");
    EXPECT_FALSE(std::filesystem::exists(host.file("/var/lib/quillmar")));
}

TEST_F(Ledger, MissingBondsAndExtraKeysAreMendedAtTheNextRewrite) {
    host.write_file(kLedger, R"({"extra":{"x":[1]},"vswitches":["a"],"vlan_bridges":[],"veth_pairs":[],)"
                             R"("created_at":"2020-01-01T00:00:00+00:00"})");
    track_managed_resource(host.ctx, "vswitch", "b");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"a", "b"}, "2020-01-01T00:00:00+00:00"));
}

TEST_F(Ledger, ArrayFormIsReadAndWrittenBackAsAnObject) {
    host.write_file(kLedger, R"([["a"],[],[],[],"c"])");
    track_managed_resource(host.ctx, "vswitch", "b");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"a", "b"}, "c"));
}

TEST_F(Ledger, DamagedLedgerIsSetAsideNotLost) {
    const std::string damaged = R"({"vswitches":["precious"],"vlan_bridges":[])";
    const std::string not_utf8 = "{\"vswitches\":[\"\xff\"],\"vlan_bridges\":[],\"veth_pairs\":[],\"created_at\":\"c\"}";
    host.write_file(kLedger, damaged);
    track_managed_resource(host.ctx, "vswitch", "new");
    host.write_file(kLedger, not_utf8);
    track_managed_resource(host.ctx, "vswitch", "newer");

    EXPECT_EQ(names_in_state_dir(),
              (std::vector<std::string>{"managed_resources.json", "managed_resources.json.damaged-20240305_070809",
                                        "managed_resources.json.damaged-20240305_070809-1"}));
    EXPECT_EQ(host.read_file("/var/lib/quillmar/managed_resources.json.damaged-20240305_070809"), damaged);
    EXPECT_EQ(host.read_file("/var/lib/quillmar/managed_resources.json.damaged-20240305_070809-1"), not_utf8);
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"newer"}, "2024-03-05T07:08:09.120+00:00"));
}

TEST_F(Ledger, UntrackSetsADamagedLedgerAsideAndStartsNoNewOne) {
    host.write_file(kLedger, "not json");
    untrack_managed_resource(host.ctx, "vswitch", "a");
    EXPECT_EQ(names_in_state_dir(), (std::vector<std::string>{"managed_resources.json.damaged-20240305_070809"}));
}

TEST_F(Ledger, FailedTemporaryWriteLeavesTheLedgerAsItWas) {
    const std::string before = ledger_text({"a"}, "c");
    host.write_file(kLedger, before);
    {
        test::FileSizeLimit limit(16);
        track_managed_resource(host.ctx, "vswitch", "b");
    }
    EXPECT_EQ(host.read_file(kLedger), before);
    EXPECT_EQ(names_in_state_dir(), std::vector<std::string>{"managed_resources.json"});
}

// Each tracked object goes the way its own delete takes it: the vswitch with the uplink that
// names it by UUID, the bond with its members. Only what went is reported as cleaned up; what
// stayed is a warning.
TEST_F(Ledger, SmartCleanupRemovesEachObjectWithWhatHangsOnItAndReportsOnlySuccesses) {
    ManagedResources m;
    m.vswitches = {"sw1", "sw2", "gone"};
    m.veth_pairs = {"veth0", "veth1"};
    m.bonds = {"bond0"};
    m.created_at = "c";
    host.write_file(kLedger, managed_resources_to_json(m));
    host.add_link("veth0");
    host.add_link("veth1");
    host.runner.on({"ip", "link", "delete", "veth1"}, Answer::exit(1));
    // sw1 is listed, yet nmcli cannot say its UUID; "gone" is not listed: nothing is left of it.
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                   Answer::ok("sw1:vswitch1:bridge:activated\nsw2::bridge:\nbond0::bond:\n"));
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "sw1"}, Answer::exit(10, ""));
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "sw2"}, Answer::ok("u-2\n"));
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "bond0"}, Answer::ok("u-b\n"));
    host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                   Answer::ok("sw2 Uplink:802-3-ethernet\nbond0 port:802-3-ethernet\nsw2:bridge\n"));
    host.runner.on({"nmcli", "-g", "connection.master", "connection", "show", "sw2 Uplink"}, Answer::ok("u-2\n"));
    host.runner.on({"nmcli", "-g", "connection.master", "connection", "show", "bond0 port"}, Answer::ok("u-b\n"));
    host.runner.on({"nmcli", "connection", "show", "bond0"}, Answer::exit(10));

    smart_cleanup(host.ctx);

    EXPECT_EQ(host.out.str(),
              "[+] Smart cleanup: Cleaning up only our managed resources...\n"
              "  - Cleaned up veth pair: veth0\n"
              "  - Cleaned up vswitch: sw2\n"
              "  - Cleaned up bond: bond0\n"
              "[+] Smart cleanup completed. Tracking file cleared.\n");
    EXPECT_EQ(host.err.str(),
              "[!] Warning: Failed to delete veth pair 'veth1'\n"
              "[!] Warning: Could not find UUID for bridge 'sw1'.\n");
    std::vector<std::vector<std::string>> deletions;
    for (const auto& a : host.runner.argvs())
        if (a.size() > 2 && a[2] == "delete") deletions.push_back(a);
    EXPECT_EQ(deletions, (std::vector<std::vector<std::string>>{
                             {"ip", "link", "delete", "veth0"},
                             {"ip", "link", "delete", "veth1"},
                             {"nmcli", "connection", "delete", "sw2 Uplink"},
                             {"nmcli", "connection", "delete", "sw2"},
                             {"nmcli", "connection", "delete", "bond0 port"},
                             {"nmcli", "connection", "delete", "bond0"},
                         }));
    EXPECT_FALSE(host.read_file(kLedger).has_value());
}

// Another run tracks what it creates while the deletions run: only what this cleanup read
// leaves the ledger, and no tool runs with the state lock held.
TEST_F(Ledger, SmartCleanupKeepsWhatWasTrackedWhileItRanAndHoldsNoLockMeanwhile) {
    ManagedResources m;
    m.vswitches = {"sw1"};
    m.veth_pairs = {"veth0"};
    m.created_at = "c";
    host.write_file(kLedger, managed_resources_to_json(m));
    host.add_link("veth0");
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                   Answer::ok("sw1:vswitch1:bridge:activated\n"));
    host.runner.on({"nmcli", "-g", "connection.uuid", "connection", "show", "sw1"}, Answer::ok("u-1\n"));
    std::vector<std::vector<std::string>> under_lock;
    host.runner.while_running = [&](const std::vector<std::string>& argv) {
        if (host.state_lock_taken()) under_lock.push_back(argv);
        if (argv == std::vector<std::string>{"nmcli", "connection", "delete", "sw1"}) {
            track_managed_resource(host.ctx, "vswitch", "late");
            track_managed_resource(host.ctx, "bond", "bond3");
        }
    };

    smart_cleanup(host.ctx);

    EXPECT_EQ(host.out.str(),
              "[+] Smart cleanup: Cleaning up only our managed resources...\n"
              "  - Cleaned up veth pair: veth0\n"
              "  - Cleaned up vswitch: sw1\n"
              "[+] Smart cleanup completed. Tracking file cleared.\n");
    EXPECT_EQ(under_lock, std::vector<std::vector<std::string>>{});
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"late"}, "c", {"bond3"}));
}

TEST_F(Ledger, SmartCleanupWithoutAUsableLedgerDoesNothing) {
    smart_cleanup(host.ctx);
    EXPECT_EQ(host.out.str(), "");

    host.write_file(kLedger, R"({"vswitches":["sw1"]})");
    smart_cleanup(host.ctx);
    EXPECT_EQ(host.out.str(), "");
    EXPECT_TRUE(host.runner.calls.empty());
    EXPECT_EQ(host.read_file(kLedger), R"({"vswitches":["sw1"]})");
}

TEST_F(Ledger, LoadTellsMissingDamagedAndLoadedApart) {
    EXPECT_EQ(load_managed_resources(host.ctx).state, LedgerFile::State::Missing);
    host.write_file(kLedger, R"({"vswitches":[]})");
    auto damaged = load_managed_resources(host.ctx);
    EXPECT_EQ(damaged.state, LedgerFile::State::Damaged);
    EXPECT_EQ(damaged.error, "missing field `vlan_bridges` at line 1 column 16");
    host.write_file(kLedger, ledger_text({"a"}, "c"));
    auto loaded = load_managed_resources(host.ctx);
    EXPECT_EQ(loaded.state, LedgerFile::State::Loaded);
    EXPECT_EQ(loaded.value.vswitches, (std::vector<std::string>{"a"}));
}

}  // namespace
}  // namespace qm
