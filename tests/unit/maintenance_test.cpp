#include "cmds/config/maintenance.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/fake_host.hpp"
#include "utils/managed_resources/managed_resources.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
const std::vector<std::string> kListing = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};

std::string ledger_text(std::vector<std::string> vswitches, std::vector<std::string> vlan_bridges,
                        std::vector<std::string> veth_pairs, std::vector<std::string> bonds) {
    ManagedResources m;
    m.vswitches = std::move(vswitches);
    m.vlan_bridges = std::move(vlan_bridges);
    m.veth_pairs = std::move(veth_pairs);
    m.bonds = std::move(bonds);
    m.created_at = "2023-11-02T10:00:00+00:00";
    return managed_resources_to_json(m);
}

TEST(TerseListContains, ComparesTheFirstFieldExactly) {
    const std::string listing =
        "vswitch1:vswitch1:bridge:activated\r\nlan:::\nLab\\: DMZ:vswitch2:bridge:activated\n"
        "Mgmt Net:vswitch0:bridge:activated";
    struct Case {
        const char* name;
        bool expected;
    };
    for (const auto& c : std::vector<Case>{{"vswitch1", true},
                                           {"lan", true},
                                           {"Mgmt Net", true},  // last line without a line end
                                           {"vswitch", false},  // a prefix of a name
                                           {"vswitch1 ", false},
                                           {"VSWITCH1", false},
                                           {"Lab: DMZ", true},  // nmcli escapes the ':' of a name
                                           {"Lab\\", false},
                                           {"vswitch0", false},  // a device field only
                                           {"bridge", false}})
        EXPECT_EQ(terse_list_contains(listing, c.name), c.expected) << c.name;
    EXPECT_FALSE(terse_list_contains("", "lan"));
}

struct LedgerSync : ::testing::Test {
    FakeHost host;
    void listing(std::string text) { host.runner.on(kListing, Answer::ok(std::move(text))); }
};

TEST_F(LedgerSync, DropsWhatIsGoneFromEachListAndKeepsTheRest) {
    listing("Mgmt:vswitch0:bridge:activated\n"
            "lab:lab:bridge:activated\n"
            "vlan100br:vlan100br:bridge:activated\n"
            "bond0:bond0:bond:activated\n");
    host.runner.on({"ip", "link", "show", "veth-b"}, Answer::exit(1));
    host.write_file(kLedger, ledger_text({"lab", "vswitch0", "Mgmt"}, {"vlan100br", "vlan9br"}, {"veth-a", "veth-b"},
                                         {"bond7", "bond0"}));

    ASSERT_TRUE(sync_config_files(host.ctx));

    EXPECT_EQ(host.out.str(),
              "[+] Syncing configuration files with current network state...\n"
              "[+] Reading managed resources file...\n"
              "[+] Successfully parsed managed resources file\n"
              "  - Checking 3 vswitches\n"
              "  - Removing stale vswitch: vswitch0\n"
              "  - Checking 2 VLAN bridges\n"
              "  - Removing stale VLAN bridge: vlan9br\n"
              "  - Removing stale bond: bond7\n"
              "  - Checking 2 veth pairs\n"
              "  - Removing stale veth pair: veth-b\n"
              "[+] Configuration files synced successfully\n");
    // created_at and the order of what is left are kept.
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"lab", "Mgmt"}, {"vlan100br"}, {"veth-a"}, {"bond0"}));
    EXPECT_FALSE(std::filesystem::exists(host.file(std::string(kLedger) + ".tmp")));
    EXPECT_EQ(host.runner.calls, (std::vector<Call>{{kListing, RunMode::Query},
                                                    {{"ip", "link", "show", "veth-a"}, RunMode::Change},
                                                    {{"ip", "link", "show", "veth-b"}, RunMode::Change}}));
}

TEST_F(LedgerSync, AVethThatCannotBeLookedUpIsDropped) {
    listing("");
    host.runner.missing("ip");
    host.write_file(kLedger, ledger_text({}, {}, {"veth0", "veth1"}, {}));
    ASSERT_TRUE(sync_config_files(host.ctx));
    EXPECT_EQ(host.read_file(kLedger), ledger_text({}, {}, {}, {}));
}

TEST_F(LedgerSync, LeavesTheFileAloneWhenNothingIsStale) {
    listing("lab:lab:bridge:activated\n");
    const std::string text = ledger_text({"lab"}, {}, {"veth0"}, {});
    host.write_file(kLedger, text);
    auto path = host.file(kLedger);
    auto old_time = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
    std::filesystem::last_write_time(path, old_time);

    ASSERT_TRUE(sync_config_files(host.ctx));
    EXPECT_EQ(host.out.str(),
              "[+] Syncing configuration files with current network state...\n"
              "[+] Reading managed resources file...\n"
              "[+] Successfully parsed managed resources file\n"
              "  - Checking 1 vswitches\n"
              "  - Checking 0 VLAN bridges\n"
              "  - Checking 1 veth pairs\n"
              "[+] Configuration files are already in sync\n");
    EXPECT_EQ(host.read_file(kLedger), text);
    EXPECT_EQ(std::filesystem::last_write_time(path), old_time);
}

TEST_F(LedgerSync, WithoutALedgerCreatesNone) {
    listing("lab:lab:bridge:activated\n");
    ASSERT_TRUE(sync_config_files(host.ctx));
    EXPECT_EQ(host.out.str(),
              "[+] Syncing configuration files with current network state...\n"
              "[+] No managed resources file found, creating new one\n"
              "  - Checking 0 vswitches\n"
              "  - Checking 0 VLAN bridges\n"
              "  - Checking 0 veth pairs\n"
              "[+] Configuration files are already in sync\n");
    EXPECT_FALSE(std::filesystem::exists(host.file(kLedger)));
    EXPECT_FALSE(std::filesystem::exists(host.file("/var/lib/quillmar")));
}

TEST_F(LedgerSync, AnUnparsableLedgerIsReportedAndKept) {
    listing("");
    host.write_file(kLedger, "{\"vswitches\": [\"lab\"]");
    ASSERT_TRUE(sync_config_files(host.ctx));
    const std::string out = host.out.str();
    EXPECT_EQ(out.rfind("[+] Syncing configuration files with current network state...\n"
                        "[+] Reading managed resources file...\n"
                        "[!] Failed to parse managed resources file: ",
                        0),
              0u)
        << out;
    EXPECT_NE(out.find("\n[+] Using default resources\n  - Checking 0 vswitches\n"), std::string::npos) << out;
    EXPECT_EQ(host.read_file(kLedger), "{\"vswitches\": [\"lab\"]");
}

TEST_F(LedgerSync, ALedgerThatIsNotUtf8CountsAsUnreadableAndIsKept) {
    listing("");
    host.write_file(kLedger, "\xff\xfe");
    ASSERT_TRUE(sync_config_files(host.ctx));
    EXPECT_NE(host.out.str().find("[+] No managed resources file found, creating new one\n"), std::string::npos);
    EXPECT_EQ(host.read_file(kLedger), "\xff\xfe");
}

TEST_F(LedgerSync, AFailingListingIsReturnedBeforeTheLedgerIsReported) {
    host.write_file(kLedger, ledger_text({"gone"}, {}, {}, {}));
    host.runner.on(kListing, Answer::exit(8));
    auto failed = sync_config_files(host.ctx);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "Failed to get all connections");

    host.runner.missing("nmcli");
    failed = sync_config_files(host.ctx);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(host.out.str(),
              "[+] Syncing configuration files with current network state...\n"
              "[+] Syncing configuration files with current network state...\n");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"gone"}, {}, {}, {}));
}

// Another run works while sync asks the host: it creates and tracks a vswitch after the
// listing was taken, and untracks one. Only what was in the ledger before the listing and
// is gone leaves it, what the other run did stays, and no tool runs with the lock held.
TEST_F(LedgerSync, DropsOnlyWhatWasReadBeforeTheListingAndHoldsNoLockWhileToolsRun) {
    listing("lab:lab:bridge:activated\n");
    host.runner.on({"ip", "link", "show", "veth-gone"}, Answer::exit(1));
    host.write_file(kLedger, ledger_text({"gone", "lab"}, {}, {"veth-a", "veth-gone"}, {}));
    std::vector<std::vector<std::string>> under_lock;
    host.runner.while_running = [&](const std::vector<std::string>& argv) {
        if (host.state_lock_taken()) under_lock.push_back(argv);
        if (argv == kListing) {
            track_managed_resource(host.ctx, "vswitch", "new");
            untrack_managed_resource(host.ctx, "vswitch", "lab");
        }
    };

    ASSERT_TRUE(sync_config_files(host.ctx));

    EXPECT_EQ(host.out.str(),
              "[+] Syncing configuration files with current network state...\n"
              "[+] Reading managed resources file...\n"
              "[+] Successfully parsed managed resources file\n"
              "  - Checking 2 vswitches\n"
              "  - Removing stale vswitch: gone\n"
              "  - Checking 0 VLAN bridges\n"
              "  - Checking 2 veth pairs\n"
              "  - Removing stale veth pair: veth-gone\n"
              "[+] Configuration files synced successfully\n");
    EXPECT_EQ(host.read_file(kLedger), ledger_text({"new"}, {}, {"veth-a"}, {}));
    EXPECT_EQ(host.runner.argvs(), (std::vector<std::vector<std::string>>{
                                       kListing, {"ip", "link", "show", "veth-a"}, {"ip", "link", "show", "veth-gone"}}));
    EXPECT_EQ(under_lock, std::vector<std::vector<std::string>>{});
}

// A ledger removed while the host was asked (a smart cleanup ran) is not brought back.
TEST_F(LedgerSync, ALedgerRemovedMeanwhileIsNotWrittenAgain) {
    listing("");
    host.write_file(kLedger, ledger_text({"gone"}, {}, {}, {}));
    host.runner.while_running = [&](const std::vector<std::string>&) { std::filesystem::remove(host.file(kLedger)); };
    ASSERT_TRUE(sync_config_files(host.ctx));
    EXPECT_NE(host.out.str().find("  - Removing stale vswitch: gone\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(host.file(kLedger)));
}

TEST_F(LedgerSync, AFailedWriteIsReturnedAndLeavesTheLedger) {
    listing("");
    const std::string text = ledger_text({"gone"}, {}, {}, {});
    host.write_file(kLedger, text);
    auto failed = [&] {
        test::FileSizeLimit limit(16);
        return sync_config_files(host.ctx);
    }();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "Failed to write updated resources file");
    EXPECT_EQ(host.read_file(kLedger), text);
    EXPECT_EQ(host.out.str().find("synced successfully"), std::string::npos);
}

struct StaleCleanup : ::testing::Test {
    FakeHost host;
};

TEST_F(StaleCleanup, DeletesProfilesWithoutADeviceButNeverTheSkipList) {
    host.runner.on(kListing, Answer::ok("virbr0::bridge:\n"
                                        "lo:--:loopback:\n"
                                        "Mgmt:vswitch0:bridge:activated\n"
                                        "guest::802-3-ethernet:\n"
                                        "short\n"
                                        "old bond:--:bond:\r\n"
                                        "Virbr0::bridge:"));
    ASSERT_TRUE(cleanup_stale_connections(host.ctx));
    EXPECT_EQ(host.out.str(),
              "[+] Cleaning up stale NetworkManager connections...\n"
              "  - Removing stale connection: guest\n"
              "  - Removing stale connection: old bond\n"
              "  - Removing stale connection: Virbr0\n"
              "[+] Cleaned up 3 stale connections\n");
    EXPECT_EQ(host.runner.calls, (std::vector<Call>{{kListing, RunMode::Query},
                                                    {{"nmcli", "connection", "delete", "guest"}, RunMode::Change},
                                                    {{"nmcli", "connection", "delete", "old bond"}, RunMode::Change},
                                                    {{"nmcli", "connection", "delete", "Virbr0"}, RunMode::Change}}));
}

TEST_F(StaleCleanup, FailedDeletionsStillCount) {
    host.runner.on(kListing, Answer::ok("a::ethernet:\nb:--:ethernet:\n"));
    host.runner.on_prefix({"nmcli", "connection", "delete"}, Answer::exit(10));
    ASSERT_TRUE(cleanup_stale_connections(host.ctx));
    EXPECT_EQ(host.out.str(),
              "[+] Cleaning up stale NetworkManager connections...\n"
              "  - Removing stale connection: a\n"
              "  - Removing stale connection: b\n"
              "[+] Cleaned up 2 stale connections\n");
}

TEST_F(StaleCleanup, NothingStale) {
    host.runner.on(kListing, Answer::ok("Mgmt:vswitch0:bridge:activated\nvirbr0::bridge:\n"));
    ASSERT_TRUE(cleanup_stale_connections(host.ctx));
    EXPECT_EQ(host.out.str(),
              "[+] Cleaning up stale NetworkManager connections...\n"
              "[+] No stale connections found\n");
    EXPECT_EQ(host.runner.calls.size(), 1u);
}

TEST_F(StaleCleanup, AFailingListingIsReturned) {
    host.runner.missing("nmcli");
    auto failed = cleanup_stale_connections(host.ctx);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(host.out.str(), "[+] Cleaning up stale NetworkManager connections...\n");
}

}  // namespace
}  // namespace qm
