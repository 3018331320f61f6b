#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmds/bridge/vswitch_list.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kReset = "\x1b[0m";
constexpr const char* kMasters = "/var/lib/quillmar/master_bridges.json";
constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";

const std::vector<std::string> kBridgeListing = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};
const std::vector<std::string> kUuidListing = {"nmcli", "-t", "-f", "NAME,UUID", "connection", "show"};
const std::vector<std::string> kNameListing = {"nmcli", "-t", "-f", "NAME", "connection", "show"};

// One profile as nmcli would describe it to the list.
struct Profile {
    std::string name, uuid, device, type, state;
    std::string master;      // connection.master: a UUID, an interface name, or empty
    std::string slave_type;  // connection.slave-type
    std::string ifname;      // connection.interface-name
};

// Scripts nmcli with the three listings and every per-profile answer, in listing order.
void script(FakeHost& host, const std::vector<Profile>& profiles, const std::string& extra_listing_lines = "") {
    std::string bridges, uuids, names;
    for (const auto& p : profiles) {
        bridges += p.name + ":" + p.device + ":" + p.type + ":" + p.state + "\n";
        uuids += p.name + ":" + p.uuid + "\n";
        names += p.name + "\n";
        auto show = [&](const std::string& field) {
            return std::vector<std::string>{"nmcli", "-g", field, "connection", "show", p.name};
        };
        host.runner.on(show("connection.master,connection.slave-type"), Answer::ok(p.master + "\n" + p.slave_type + "\n"));
        host.runner.on(show("connection.master"), Answer::ok(p.master + "\n"));
        host.runner.on(show("connection.interface-name"), Answer::ok(p.ifname + "\n"));
        host.runner.on(show("connection.type"), Answer::ok(p.type + "\n"));
    }
    host.runner.on(kBridgeListing, Answer::ok(bridges + extra_listing_lines));
    host.runner.on(kUuidListing, Answer::ok(uuids));
    host.runner.on(kNameListing, Answer::ok(names));
}

std::string row(const char* colour, const std::string& name, const std::string& device, const std::string& type,
                const std::string& state, const std::string& tag = "") {
    // Widths count characters: bytes other than UTF-8 continuation bytes.
    auto pad = [](std::string s, std::size_t n) {
        std::size_t chars = 0;
        for (unsigned char c : s) chars += (c & 0xC0) != 0x80;
        if (chars < n) s.append(n - chars, ' ');
        return s;
    };
    return colour + pad(name, 25) + " " + pad(device, 12) + " " + pad(type, 8) + " " + state + tag + kReset + "\n";
}

const char* const kHeading = "\n=== Virtual Switches ===\n--- General purpose Virtual Switches ---\n";
const char* const kVlanHeading = "\n--- VLAN-Dedicated Virtual Switches ---\n";

// A host as `vswitch create`, `vlan create`, libvirt and a VM leave it.
std::vector<Profile> realistic_host() {
    return {
        {"Management Network", "7d3c0a61-1111-4c3e-9d10-000000000000", "vswitch0", "bridge", "activated", "", "",
         "vswitch0"},
        {"Storage", "5e1f0b2c-2222-4c3e-9d10-000000000000", "vswitch1", "bridge", "activating", "", "", "vswitch1"},
        {"Lab", "aa11bb22-3333-4c3e-9d10-000000000000", "", "bridge", "", "", "", "vswitch2"},
        {"vlan100br", "c0ffee00-4444-4c3e-9d10-000000000000", "vlan100br", "bridge", "activated", "", "",
         "vlan100br"},
        // By slave type, the master given as the bridge profile's UUID.
        {"bridge-slave-eno1", "0e000001-5555-4c3e-9d10-000000000000", "eno1", "802-3-ethernet", "activated",
         "7d3c0a61-1111-4c3e-9d10-000000000000", "bridge", "eno1"},
        // By master device: the master is the bridge's interface name (no slave type said).
        {"uplink-eno2", "0e000002-6666-4c3e-9d10-000000000000", "eno2", "802-3-ethernet", "activated", "vswitch1",
         "", "eno2"},
        // By slave type with an interface name, for the VLAN bridge, whose device the search
        // by master device does not look for.
        {"vlan100", "0e000003-7777-4c3e-9d10-000000000000", "vlan100", "vlan", "activated", "vlan100br", "bridge",
         "vlan100"},
        // A VM tap: filtered out by both searches.
        {"vnet3", "0e000004-8888-4c3e-9d10-000000000000", "vnet3", "tun", "activated", "vswitch1", "bridge",
         "vnet3"},
    };
}

TEST(VswitchList, RealisticHostShowsGroupsStatesAndPortsFoundBySlaveTypeAndByMasterDevice) {
    FakeHost host;
    script(host, realistic_host());

    list_vswitches(host.ctx);

    EXPECT_EQ(host.out.str(), std::string(kHeading) +
                                  row(kGreen, "Management Network", "vswitch0", "bridge", "activated") +
                                  "  └─ eno1 (bridge-slave-eno1)\n" +
                                  row(kRed, "Storage", "vswitch1", "bridge", "activating") +
                                  "  └─ eno2 (uplink-eno2)\n" + row(kRed, "Lab", "", "bridge", "") + kVlanHeading +
                                  row(kGreen, "vlan100br", "vlan100br", "bridge", "activated") +
                                  "  └─ vlan100 (vlan100)\n" + "\n");
    // The tap is named once per search that reaches it: by slave type under the master's
    // text, by master device under the bridge profile that owns the device.
    EXPECT_EQ(host.err.str(),
              "DEBUG: Filtering out vnet interface: vnet3 for bridge: vswitch1\n"
              "DEBUG: Filtering out vnet interface: vnet3 for bridge: Storage\n");
    for (const auto& call : host.runner.calls) EXPECT_EQ(call.mode, RunMode::Query);
}

// A port may name its bridge by the device, the profile's name or the profile's UUID; each
// way shows it under its bridge in either group.
TEST(VswitchList, PortsNamingTheirBridgeAnyWayAreShownUnderItInBothGroups) {
    FakeHost host;
    script(host, {{"Trunk 300", "u-trunk", "vlan300br", "bridge", "activated", "", "", "vlan300br"},
                  {"Lab", "u-lab", "br-lab", "bridge", "activated", "", "", "br-lab"},
                  {"Trunk Port", "u-tp", "vlan300", "vlan", "activated", "u-trunk", "bridge", "vlan300"},
                  {"Trunk Named", "u-tn", "eth4", "802-3-ethernet", "activated", "Trunk 300", "bridge", "eth4"},
                  {"Lab Port", "u-lp", "eth2", "802-3-ethernet", "activated", "br-lab", "bridge", "eth2"},
                  {"Stray", "u-st", "eth5", "802-3-ethernet", "activated", "u-gone", "bridge", "eth5"}});
    list_vswitches(host.ctx);
    EXPECT_EQ(host.out.str(), std::string(kHeading) + row(kGreen, "Lab", "br-lab", "bridge", "activated") +
                                  "  └─ eth2 (Lab Port)\n" + kVlanHeading +
                                  row(kGreen, "Trunk 300", "vlan300br", "bridge", "activated") +
                                  "  └─ vlan300 (Trunk Port)\n  └─ eth4 (Trunk Named)\n\n");
    EXPECT_EQ(host.err.str(), "");
}

TEST(VswitchList, QueriesTheThreeListingsThenEachProfileBySlaveTypeThenByMasterDevice) {
    FakeHost host;
    script(host, {{"Storage", "u-storage", "vswitch1", "bridge", "activated", "", "", "vswitch1"},
                  {"uplink-eno2", "u-eno2", "eno2", "802-3-ethernet", "activated", "vswitch1", "", "eno2"}});
    list_vswitches(host.ctx);
    auto show = [](const std::string& field, const std::string& p) {
        return std::vector<std::string>{"nmcli", "-g", field, "connection", "show", p};
    };
    EXPECT_EQ(host.runner.argvs(),
              (std::vector<std::vector<std::string>>{
                  kBridgeListing,
                  kUuidListing,
                  kNameListing,
                  show("connection.master,connection.slave-type", "Storage"),
                  show("connection.master", "Storage"),
                  show("connection.master,connection.slave-type", "uplink-eno2"),
                  show("connection.master", "uplink-eno2"),
                  // The bridge profile of vswitch1 is searched for among all profiles.
                  show("connection.type", "Storage"),
                  show("connection.interface-name", "Storage"),
                  show("connection.interface-name", "uplink-eno2"),
              }));
}

TEST(VswitchList, VlanGroupTakesThreeOrFourUnicodeDigitsOnly) {
    FakeHost host;
    script(host, {
                     {"v100", "u1", "vlan100br", "bridge", "activated", "", "", "vlan100br"},
                     {"v3008", "u2", "vlan3008br", "bridge", "activated", "", "", "vlan3008br"},
                     // Arabic-Indic digits are decimal digits too.
                     {"v-arabic", "u3", "vlan\u0661\u0660\u0660br", "bridge", "activated", "", "", "x"},
                     {"v10", "u4", "vlan10br", "bridge", "activated", "", "", "vlan10br"},
                     {"v10000", "u5", "vlan10000br", "bridge", "activated", "", "", "vlan10000br"},
                     {"v-roman", "u6", "vlan\u2167\u2167\u2167br", "bridge", "activated", "", "", "x"},
                     {"v-upper", "u7", "VLAN100br", "bridge", "activated", "", "", "x"},
                 });
    list_vswitches(host.ctx);
    EXPECT_EQ(host.out.str(), std::string(kHeading) + row(kGreen, "v10", "vlan10br", "bridge", "activated") +
                                  row(kGreen, "v10000", "vlan10000br", "bridge", "activated") +
                                  row(kGreen, "v-roman", "vlan\u2167\u2167\u2167br", "bridge", "activated") +
                                  row(kGreen, "v-upper", "VLAN100br", "bridge", "activated") + kVlanHeading +
                                  row(kGreen, "v100", "vlan100br", "bridge", "activated") +
                                  row(kGreen, "v3008", "vlan3008br", "bridge", "activated") +
                                  row(kGreen, "v-arabic", "vlan\u0661\u0660\u0660br", "bridge", "activated") +
                                  "\n");
}

TEST(VswitchList, MalformedAndForeignLinesAreSkipped) {
    FakeHost host;
    script(host, {{"Storage", "u-storage", "vswitch1", "bridge", "activated", "", "", "vswitch1"}},
           // A colon in a name makes five fields; a non-bridge line and invalid UTF-8 are skipped.
           "Lab:Test:vswitch2:bridge:activated\n"
           "eno1:eno1:802-3-ethernet:activated\n"
           "Bad\xff:vswitch3:bridge:activated\n"
           "no-type-field:bridge:\n");
    list_vswitches(host.ctx);
    EXPECT_EQ(host.out.str(),
              std::string(kHeading) + row(kGreen, "Storage", "vswitch1", "bridge", "activated") + kVlanHeading + "\n");
}

TEST(VswitchList, MastersAreTaggedWithTheirJoinsBeforeTheirPorts) {
    FakeHost host;
    script(host, {
                     {"Management Network", "u0", "vswitch0", "bridge", "activated", "", "", "vswitch0"},
                     {"Hub", "u5", "vswitch5", "bridge", "activated", "", "", "vswitch5"},
                     {"bridge-slave-eno1", "u9", "eno1", "802-3-ethernet", "activated", "u0", "bridge", "eno1"},
                 });
    host.write_file(kMasters, R"(["vswitch0", "vswitch5", "vlan100br"])");
    // Joins of a bridge that is no master are not shown.
    host.write_file(kJoins, R"({"vswitch0": ["vswitch1", "vswitch2"], "vswitch9": ["vswitch3"]})");
    list_vswitches(host.ctx);
    EXPECT_EQ(host.out.str(), std::string(kHeading) +
                                  row(kGreen, "Management Network", "vswitch0", "bridge", "activated", " [MASTER]") +
                                  "  └─ Connected: vswitch1\n"
                                  "  └─ Connected: vswitch2\n"
                                  "  └─ eno1 (bridge-slave-eno1)\n" +
                                  row(kGreen, "Hub", "vswitch5", "bridge", "activated", " [MASTER]") + kVlanHeading +
                                  "\n");
}

TEST(VswitchList, APortFoundBothWaysUnderOneKeyIsListedOnce) {
    FakeHost host;
    // A bridge profile named like its device: the search by slave type files the port under
    // the master's text, the one by master device under the profile's name; both are "vswitch1".
    script(host, {{"vswitch1", "u1", "vswitch1", "bridge", "activated", "", "", "vswitch1"},
                  {"bridge-slave-eno2", "u2", "eno2", "802-3-ethernet", "activated", "vswitch1", "bridge", "eno2"}});
    list_vswitches(host.ctx);
    EXPECT_EQ(host.out.str(), std::string(kHeading) + row(kGreen, "vswitch1", "vswitch1", "bridge", "activated") +
                                  "  └─ eno2 (bridge-slave-eno2)\n" + kVlanHeading + "\n");
}

TEST(VswitchList, AMissingNmcliStopsWithItsMessage) {
    FakeHost host;
    host.runner.missing("nmcli");
    list_vswitches(host.ctx);
    EXPECT_EQ(host.out.str(), "\n=== Virtual Switches ===\n");
    EXPECT_EQ(host.err.str(), "Failed to run nmcli\n");

    FakeHost later;
    later.runner.on(kBridgeListing, Answer::ok("Storage:vswitch1:bridge:activated\n"));
    later.runner.on(kUuidListing, Answer::missing());
    list_vswitches(later.ctx);
    EXPECT_EQ(later.out.str(), "\n=== Virtual Switches ===\n");
    EXPECT_EQ(later.err.str(), "Failed to list connections\n");
}

TEST(VswitchList, SingleValueQueriesThatCannotStartSkipOnlyTheirSearch) {
    FakeHost host;
    script(host, {{"Storage", "u1", "vswitch1", "bridge", "activated", "", "", "vswitch1"},
                  {"uplink-eno2", "u2", "eno2", "802-3-ethernet", "activated", "vswitch1", "", "eno2"}});
    // The slave-type query cannot start; the search by master device still finds the port.
    host.runner.on({"nmcli", "-g", "connection.master,connection.slave-type", "connection", "show", "uplink-eno2"},
                   Answer::missing());
    list_vswitches(host.ctx);
    EXPECT_EQ(host.out.str(), std::string(kHeading) + row(kGreen, "Storage", "vswitch1", "bridge", "activated") +
                                  "  └─ eno2 (uplink-eno2)\n" + kVlanHeading + "\n");
}

TEST(BridgeTopology, DrawsEachMasterWithItsJoinedBridges) {
    FakeHost host;
    host.write_file(kMasters, R"(["vswitch0", "vswitch5", "vswitch7"])");
    host.write_file(kJoins, R"({"vswitch0": ["vswitch1", "vswitch2"], "vswitch7": ["vswitch3"],
                               "vswitch5": [], "vswitch9": ["vswitch4"]})");
    show_bridge_topology(host.ctx);
    EXPECT_EQ(host.out.str(),
              "\n=== Bridge Topology ===\n"
              "\n[Master: vswitch0]\n"
              "  ├─ vswitch1\n"
              "  └─ vswitch2\n"
              "\n[Master: vswitch5]\n"
              "  └─ (no connected bridges)\n"
              "\n[Master: vswitch7]\n"
              "  └─ vswitch3\n");
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST(BridgeTopology, NoMastersOrDamagedFilesSayNoneConfigured) {
    for (const char* masters : {"", "not json", R"([])"}) {
        FakeHost host;
        if (*masters) host.write_file(kMasters, masters);
        host.write_file(kJoins, R"({"vswitch0": ["vswitch1"]})");
        show_bridge_topology(host.ctx);
        EXPECT_EQ(host.out.str(), "\n=== Bridge Topology ===\n  No master bridges configured\n") << masters;
    }
    FakeHost host;
    host.write_file(kMasters, R"(["vswitch0"])");
    host.write_file(kJoins, "{broken");
    show_bridge_topology(host.ctx);
    EXPECT_EQ(host.out.str(), "\n=== Bridge Topology ===\n\n[Master: vswitch0]\n  └─ (no connected bridges)\n");
}

}  // namespace
}  // namespace qm
