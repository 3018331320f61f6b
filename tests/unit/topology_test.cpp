#include <gtest/gtest.h>

#include <filesystem>

#include "cmds/bridge/topology.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;

constexpr const char* kMasters = "/var/lib/quillmar/master_bridges.json";
constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";
// Where a damaged file goes (the fake clock stands at the epoch).
const std::string kMastersAside = std::string(kMasters) + ".damaged-19700101_000000";
const std::string kJoinsAside = std::string(kJoins) + ".damaged-19700101_000000";

// A host where the first join can install its boot units.
void with_unit_dir(const FakeHost& host) { std::filesystem::create_directories(host.file("/etc/systemd/system")); }

std::size_t systemctl_calls(const FakeHost& host) { return host.runner.argvs_of("systemctl").size(); }

TEST(MasterBridges, FirstMarkCreatesTheStateDirectoryAndAOneEntryList) {
    FakeHost host;
    add_master_bridge(host.ctx, "vswitch2");
    EXPECT_EQ(host.read_file(kMasters), "[\n  \"vswitch2\"\n]");
    add_master_bridge(host.ctx, "vswitch0");
    EXPECT_EQ(host.read_file(kMasters), "[\n  \"vswitch2\",\n  \"vswitch0\"\n]");
    EXPECT_EQ(load_master_bridges(host.ctx), (MasterBridgeList{"vswitch2", "vswitch0"}));
    EXPECT_FALSE(std::filesystem::exists(host.file(std::string(kMasters) + ".tmp")));
}

TEST(MasterBridges, MarkingAPresentNameAgainDoesNotRewriteTheFile) {
    FakeHost host;
    host.write_file(kMasters, " [ \"vswitch2\" ,\"VSwitch3\"]\n");
    add_master_bridge(host.ctx, "vswitch2");
    EXPECT_EQ(host.read_file(kMasters), " [ \"vswitch2\" ,\"VSwitch3\"]\n");
    // Compared byte for byte: a different case is another name.
    add_master_bridge(host.ctx, "vswitch3");
    EXPECT_EQ(load_master_bridges(host.ctx), (MasterBridgeList{"vswitch2", "VSwitch3", "vswitch3"}));
}

TEST(MasterBridges, FailedTemporaryWriteLeavesThePreviousFile) {
    FakeHost host;
    host.write_file(kMasters, "[\"vswitch1\"]");
    {
        test::FileSizeLimit limit(16);
        add_master_bridge(host.ctx, "vswitch2");
    }
    EXPECT_EQ(host.read_file(kMasters), "[\"vswitch1\"]");
}

// A file at a name the writer does not give its temporary files is somebody else's.
TEST(MasterBridges, AFileAtAnOldTemporaryNameIsNeitherUsedNorRemoved) {
    FakeHost host;
    host.write_file(std::string(kMasters) + ".tmp", "half-written junk that is longer than the list");
    add_master_bridge(host.ctx, "vswitch1");
    EXPECT_EQ(host.read_file(kMasters), "[\n  \"vswitch1\"\n]");
    EXPECT_EQ(host.read_file(std::string(kMasters) + ".tmp"), "half-written junk that is longer than the list");
}

TEST(BridgeConnections, LayoutOfTheMapFile) {
    FakeHost host;
    with_unit_dir(host);
    record_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    record_bridge_connection(host.ctx, "vswitch3", "vswitch0");
    record_bridge_connection(host.ctx, "we\"ird", "vswitch4");
    EXPECT_EQ(host.read_file(kJoins),
              "{\n"
              "  \"vswitch0\": [\n"
              "    \"vswitch1\",\n"
              "    \"vswitch3\"\n"
              "  ],\n"
              "  \"vswitch4\": [\n"
              "    \"we\\\"ird\"\n"
              "  ]\n"
              "}");
}

TEST(BridgeConnections, DuplicateJoinsAreKeptAndOneRemovalTakesAllThenTheKey) {
    FakeHost host;
    with_unit_dir(host);
    record_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    record_bridge_connection(host.ctx, "vswitch2", "vswitch0");
    record_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    EXPECT_EQ(load_bridge_connections(host.ctx),
              (BridgeConnectionMap{{"vswitch0", {"vswitch1", "vswitch2", "vswitch1"}}}));

    remove_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch2"}}}));
    remove_bridge_connection(host.ctx, "vswitch2", "vswitch0");
    EXPECT_EQ(host.read_file(kJoins), "{}");
}

TEST(BridgeConnections, RemovalRewritesEvenWhenNothingMatchesAndDropsEmptyLists) {
    FakeHost host;
    host.write_file(kJoins, "{\"vswitch0\":[\"vswitch1\"],\"vswitch9\":[]}");
    remove_bridge_connection(host.ctx, "vswitch1", "vswitch5");
    EXPECT_EQ(host.read_file(kJoins), "{\n  \"vswitch0\": [\n    \"vswitch1\"\n  ],\n  \"vswitch9\": []\n}");
    remove_bridge_connection(host.ctx, "vswitch7", "vswitch9");  // already empty: the key goes
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch1"}}}));
}

TEST(BridgeConnections, RemovalWithoutAFileCreatesNothing) {
    FakeHost host;
    remove_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    EXPECT_FALSE(std::filesystem::exists(host.file("/var/lib/quillmar")));
}

TEST(BridgeConnections, OnlyTheFirstJoinOfAHostInstallsTheVethUnits) {
    FakeHost host;
    with_unit_dir(host);
    record_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    EXPECT_TRUE(host.read_file("/etc/systemd/system/quillmar-veth-restore.service").has_value());
    EXPECT_GT(systemctl_calls(host), 0u);
    EXPECT_EQ(host.err.str(), "");

    const auto after_first = systemctl_calls(host);
    record_bridge_connection(host.ctx, "vswitch2", "vswitch0");
    remove_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    remove_bridge_connection(host.ctx, "vswitch2", "vswitch0");
    // The file stays as an empty object, so a later join is not a first join.
    record_bridge_connection(host.ctx, "vswitch3", "vswitch0");
    EXPECT_EQ(systemctl_calls(host), after_first);
}

TEST(BridgeConnections, FailedUnitInstallOnlyWarnsAndTheJoinIsRecorded) {
    FakeHost host;  // no unit directory below the root
    record_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    EXPECT_EQ(host.err.str(), "[-] Warning: Failed to create systemd service: No such file or directory (os error 2)\n");
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch1"}}}));
}

TEST(BridgeConnections, NamesAreStoredAsTheirResolvedBridgeDevices) {
    FakeHost host;
    with_unit_dir(host);
    host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                   Answer::ok("Lab Switch:bridge\nuplink:802-3-ethernet\n"));
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "Lab Switch"},
                   Answer::ok("vswitch3\n"));
    host.runner.on({"nmcli", "-t", "-f", "DEVICE,TYPE", "device", "status"},
                   Answer::ok("vswitch0:bridge\nvirbr0:bridge\neth0:ethernet\n"));

    record_bridge_connection(host.ctx, "Lab Switch", "vswitch0");
    record_bridge_connection(host.ctx, "ghost", "virbr0");  // resolves to nothing: kept as typed
    EXPECT_EQ(load_bridge_connections(host.ctx),
              (BridgeConnectionMap{{"vswitch0", {"vswitch3"}}, {"virbr0", {"ghost"}}}));

    remove_bridge_connection(host.ctx, "Lab Switch", "vswitch0");
    EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"virbr0", {"ghost"}}}));
}

TEST(Topology, LoadsReadAnySpacingAndALaterRepeatedKeyWins) {
    FakeHost host;
    host.write_file(kMasters, "\n\t[\"vswitch0\",\r\n \"vswitch1\"]  \n");
    host.write_file(kJoins, "{ \"vswitch0\" : [\"vswitch1\"], \"vswitch4\": [], \"vswitch0\": [\"vswitch2\"] }");
    EXPECT_EQ(load_master_bridges(host.ctx), (MasterBridgeList{"vswitch0", "vswitch1"}));
    EXPECT_EQ(load_bridge_connections(host.ctx),
              (BridgeConnectionMap{{"vswitch0", {"vswitch2"}}, {"vswitch4", {}}}));
}

struct DamagedCase {
    const char* name;
    std::string masters;
    std::string joins;
};

const std::vector<DamagedCase> kDamaged = {
    {"not JSON", "vswitch0, vswitch1", "vswitch0: vswitch1"},
    {"cut short", "[\"vswitch0\"", "{\"vswitch0\": [\"vswitch1\""},
    {"not UTF-8", "[\"vswitch\xff\"]", "{\"vswitch0\": [\"vs\xc3\"]}"},
    {"wrong shape", "{\"vswitch0\": true}", "[\"vswitch0\", \"vswitch1\"]"},
    {"wrong element type", "[\"vswitch0\", 7]", "{\"vswitch0\": \"vswitch1\"}"},
    {"trailing text", "[\"vswitch0\"] x", "{} {}"},
};

TEST(Topology, DamagedFilesLoadAsEmptyAndStayUntouched) {
    for (const auto& c : kDamaged) {
        SCOPED_TRACE(c.name);
        FakeHost host;
        host.write_file(kMasters, c.masters);
        host.write_file(kJoins, c.joins);
        EXPECT_TRUE(load_master_bridges(host.ctx).empty());
        EXPECT_TRUE(load_bridge_connections(host.ctx).empty());
        EXPECT_EQ(host.read_file(kMasters), c.masters);
        EXPECT_EQ(host.read_file(kJoins), c.joins);
        EXPECT_EQ(host.out.str() + host.err.str(), "");
    }
}

TEST(Topology, UpdatesSetADamagedFileAsideBeforeStartingAfresh) {
    for (const auto& c : kDamaged) {
        SCOPED_TRACE(c.name);
        FakeHost host;
        with_unit_dir(host);
        host.write_file(kMasters, c.masters);
        host.write_file(kJoins, c.joins);

        add_master_bridge(host.ctx, "vswitch0");
        EXPECT_EQ(host.read_file(kMastersAside), c.masters);
        EXPECT_EQ(load_master_bridges(host.ctx), (MasterBridgeList{"vswitch0"}));

        record_bridge_connection(host.ctx, "vswitch1", "vswitch0");
        EXPECT_EQ(host.read_file(kJoinsAside), c.joins);
        EXPECT_EQ(load_bridge_connections(host.ctx), (BridgeConnectionMap{{"vswitch0", {"vswitch1"}}}));
        // Joins were recorded before the damage: not a first join.
        EXPECT_EQ(systemctl_calls(host), 0u);
        EXPECT_EQ(host.out.str() + host.err.str(), "");
    }
}

TEST(Topology, RemovalOverADamagedMapKeepsItsEntriesAside) {
    FakeHost host;
    host.write_file(kJoins, "{\"vswitch0\": [\"vswitch1\"],");
    remove_bridge_connection(host.ctx, "vswitch1", "vswitch0");
    EXPECT_EQ(host.read_file(kJoinsAside), "{\"vswitch0\": [\"vswitch1\"],");
    EXPECT_EQ(host.read_file(kJoins), "{}");
}

TEST(Topology, UnreadableFileIsSetAsideToo) {
    FakeHost host;
    // A directory in place of the file cannot be read as one.
    std::filesystem::create_directories(host.file(kMasters));
    host.write_file(std::string(kMasters) + "/keep", "x");
    add_master_bridge(host.ctx, "vswitch0");
    EXPECT_EQ(host.read_file(kMastersAside + "/keep"), "x");
    EXPECT_EQ(load_master_bridges(host.ctx), (MasterBridgeList{"vswitch0"}));
}

}  // namespace
}  // namespace qm
