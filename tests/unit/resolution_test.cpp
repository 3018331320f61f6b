#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>

#include "support/fake_host.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;
using Argv = std::vector<std::string>;

const Argv kDeviceStatus{"nmcli", "device", "status"};
const Argv kAllConnections{"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};
const Argv kNameType{"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"};
const Argv kDeviceType{"nmcli", "-t", "-f", "DEVICE,TYPE", "device", "status"};
const Argv kNameDeviceType{"nmcli", "-t", "-f", "NAME,DEVICE,TYPE", "connection", "show"};

Argv interface_name_of(const std::string& profile) {
    return {"nmcli", "-g", "connection.interface-name", "connection", "show", profile};
}
Argv master_of(const std::string& profile) {
    return {"nmcli", "-g", "connection.master", "connection", "show", profile};
}

const char* kDeviceTable =
    "DEVICE  TYPE      STATE      CONNECTION\n"
    "eth0    ethernet  connected  Wired connection 1\n"
    "\n"
    "  br0   bridge    connected  br0\r\n"
    "eth\xff" "1 ethernet  unavailable  --\n"
    "eth2\xff ethernet  unavailable  --\n"
    "lo      loopback  unmanaged  --";

TEST(DeviceExists, ComparesTheFirstTokenOfEveryLine) {
    struct Case {
        std::string name;
        bool lossy;
        bool strict;
    };
    const std::vector<Case> cases = {
        {"eth0", true, true},
        {"DEVICE", true, true},  // the header line is a line like any other
        {"br0", true, true},
        {"lo", true, true},        // last line without a line end
        {"ethernet", false, false},
        {"eth", false, false},
        {"", false, false},
        {"eth\xEF\xBF\xBD" "1", true, false},  // only the lossy reading sees the replacement
        {"eth2\xEF\xBF\xBD", true, false},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(kDeviceStatus, Answer::exit(8, kDeviceTable));
        EXPECT_EQ(device_exists(host.ctx, c.name), c.lossy) << c.name;
        EXPECT_EQ(device_exists_lines(host.ctx, c.name), c.strict) << c.name;
        EXPECT_EQ(host.runner.calls,
                  (std::vector<Call>{{kDeviceStatus, RunMode::Query}, {kDeviceStatus, RunMode::Query}}));
    }
}

TEST(DeviceExists, LineWithInvalidBytesIsSkippedWholeByTheLineReader) {
    FakeHost host;
    host.runner.on(kDeviceStatus, Answer::ok("eth3 \xff\nvnet0 tun\n"));
    EXPECT_TRUE(device_exists(host.ctx, "eth3"));
    EXPECT_FALSE(device_exists_lines(host.ctx, "eth3"));
    EXPECT_TRUE(device_exists_lines(host.ctx, "vnet0"));
}

TEST(DeviceExists, FalseWhenNmcliCannotStart) {
    FakeHost host;
    host.runner.missing("nmcli");
    EXPECT_FALSE(device_exists(host.ctx, "eth0"));
    EXPECT_FALSE(device_exists_lines(host.ctx, "eth0"));
}

TEST(ResolveVswitch, VswitchNameIsReturnedWithoutRunningAnything) {
    FakeHost host;
    EXPECT_EQ(resolve_vswitch_device(host.ctx, "vswitch7"), "vswitch7");
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST(ResolveVswitch, BridgeProfileOnAVswitchDevice) {
    struct Case {
        std::string listing;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"Trunk:vswitch3:bridge:activated\n", "vswitch3"},
        {"Trunk:br0:bridge:activated\n", std::nullopt},
        {"Trunk:vswitch3:802-3-ethernet:activated\n", std::nullopt},
        {"Trunk:vswitch3:Bridge:activated\n", std::nullopt},
        {"trunk:vswitch3:bridge:activated\n", std::nullopt},
        {"Trunk:vswitch3:bridge\n", "vswitch3"},  // three fields are enough
        {"Trunk:vswitch3\n", std::nullopt},
        {"Trunk:br0:bridge:x\nTrunk:vswitch1:bridge:x\nTrunk:vswitch2:bridge:x\n", "vswitch1"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(kAllConnections, Answer::ok(c.listing));
        EXPECT_EQ(resolve_vswitch_device(host.ctx, "Trunk"), c.expected) << c.listing;
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{{kAllConnections, RunMode::Query}}));
    }
}

TEST(ResolveVswitch, ListingFailureGivesAbsent) {
    for (const auto& answer : {Answer::missing(), Answer::exit(1, "Trunk:vswitch3:bridge:x\n"),
                               Answer::ok("Trunk:vswitch3:bridge:\xff\n")}) {
        FakeHost host;
        host.runner.on(kAllConnections, answer);
        EXPECT_EQ(resolve_vswitch_device(host.ctx, "Trunk"), std::nullopt);
    }
}

TEST(ResolveVswitch, ColonInTheNameNeverMatches) {
    FakeHost host;
    host.runner.on(kAllConnections, Answer::ok("a:b:vswitch1:bridge:activated\n"));
    EXPECT_EQ(resolve_vswitch_device(host.ctx, "a:b"), std::nullopt);
}

TEST(ResolveBridge, ProfileNameGivesItsInterfaceName) {
    FakeHost host;
    host.runner.on(kNameType, Answer::exit(3, "eth0:802-3-ethernet\nLab Net:bridge\n"));
    host.runner.on(interface_name_of("Lab Net"), Answer::ok("  br-lab \n"));
    EXPECT_EQ(resolve_bridge_device(host.ctx, "Lab Net"), "br-lab");
    EXPECT_EQ(host.runner.calls, (std::vector<Call>{{kNameType, RunMode::Query},
                                                    {interface_name_of("Lab Net"), RunMode::Query}}));
}

TEST(ResolveBridge, UnsetInterfaceNameTriesTheNextProfileThenDevices) {
    for (std::string unset : {"--\n", " \n", ""}) {
        FakeHost host;
        host.runner.on(kNameType, Answer::ok("lab:bridge\nlab:bridge\n"));
        host.runner.on(interface_name_of("lab"), std::vector<Answer>{Answer::ok(unset), Answer::ok(unset)});
        host.runner.on(kDeviceType, Answer::ok("eth0:ethernet\nlab:bridge\n"));
        EXPECT_EQ(resolve_bridge_device(host.ctx, "lab"), "lab");
        EXPECT_EQ(host.runner.argvs(),
                  (std::vector<Argv>{kNameType, interface_name_of("lab"), interface_name_of("lab"), kDeviceType}));
    }
    FakeHost second;
    second.runner.on(kNameType, Answer::ok("lab:bridge\nlab:bridge\n"));
    second.runner.on(interface_name_of("lab"), std::vector<Answer>{Answer::ok("--"), Answer::ok("br9")});
    EXPECT_EQ(resolve_bridge_device(second.ctx, "lab"), "br9");
}

TEST(ResolveBridge, DeviceListingRules) {
    struct Case {
        std::string devices;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"virbr0:bridge\n", "virbr0"},
        {"virbr0:bridge:connected:extra\n", "virbr0"},  // at least two fields
        {"virbr0:ethernet\n", std::nullopt},
        {"virbr0\n", std::nullopt},
        {"Virbr0:bridge\n", std::nullopt},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(kNameType, Answer::ok("virbr0:bridge:extra\nvirbr0:ethernet\n"));
        host.runner.on(kDeviceType, Answer::ok(c.devices));
        EXPECT_EQ(resolve_bridge_device(host.ctx, "virbr0"), c.expected) << c.devices;
        // Neither profile line qualifies: three fields, or not a bridge.
        EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{kNameType, kDeviceType}));
    }
}

TEST(ResolveBridge, StartFailuresGiveAbsent) {
    FakeHost no_listing;
    no_listing.runner.missing("nmcli");
    EXPECT_EQ(resolve_bridge_device(no_listing.ctx, "br0"), std::nullopt);
    EXPECT_EQ(no_listing.runner.calls.size(), 1u);

    FakeHost no_property;
    no_property.runner.on(kNameType, Answer::ok("br0:bridge\n"));
    no_property.runner.on(interface_name_of("br0"), Answer::missing());
    no_property.runner.on(kDeviceType, Answer::ok("br0:bridge\n"));
    EXPECT_EQ(resolve_bridge_device(no_property.ctx, "br0"), std::nullopt);
    EXPECT_EQ(no_property.runner.argvs(), (std::vector<Argv>{kNameType, interface_name_of("br0")}));

    FakeHost no_devices;
    no_devices.runner.on(kNameType, Answer::ok(""));
    no_devices.runner.on(kDeviceType, Answer::missing());
    EXPECT_EQ(resolve_bridge_device(no_devices.ctx, "br0"), std::nullopt);
}

TEST(EnslavedProfile, MasterOfTheFirstEthernetProfileThatHasOne) {
    FakeHost host;
    host.runner.on(kNameDeviceType, Answer::ok("other:eth2:802-3-ethernet\n"
                                               "wifi:eth1:wifi\n"
                                               "plain:eth1:802-3-ethernet\n"
                                               "unset:eth1:ethernet\n"
                                               "slave:eth1:802-3-ethernet\n"
                                               "later:eth1:802-3-ethernet\n"));
    host.runner.on(master_of("plain"), Answer::ok("\n"));
    host.runner.on(master_of("unset"), Answer::ok("--\n"));
    host.runner.on(master_of("slave"), Answer::ok("bond0\n"));
    host.runner.on(master_of("later"), Answer::ok("bond9\n"));
    EXPECT_EQ(find_enslaved_profile(host.ctx, "eth1"), "bond0");
    EXPECT_EQ(host.runner.argvs(),
              (std::vector<Argv>{kNameDeviceType, master_of("plain"), master_of("unset"), master_of("slave")}));
}

// Names read from nmcli's own listings reach it again after "id" when they begin with "-".
TEST(ListedNames, ThatLookLikeOptionsFollowId) {
    FakeHost host;
    host.runner.on(kNameType, Answer::ok("--help:bridge\n"));
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "id", "--help"},
                   Answer::ok("vswitch1\n"));
    EXPECT_EQ(resolve_bridge_device(host.ctx, "--help"), "vswitch1");

    host.runner.on(kNameDeviceType, Answer::ok("-p:eth1:802-3-ethernet\n"));
    host.runner.on({"nmcli", "-g", "connection.master", "connection", "show", "id", "-p"}, Answer::ok("-b0\n"));
    EXPECT_EQ(find_enslaved_profile(host.ctx, "eth1"), "-b0");
}

TEST(EnslavedProfile, AbsentWithoutAMaster) {
    FakeHost host;
    host.runner.on(kNameDeviceType, Answer::ok("eth1:eth1:802-3-ethernet\n"
                                               "a:b:eth1:802-3-ethernet\n"
                                               "short:eth1\n"));
    host.runner.on(master_of("eth1"), Answer::ok(""));
    EXPECT_EQ(find_enslaved_profile(host.ctx, "eth1"), std::nullopt);
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{kNameDeviceType, master_of("eth1")}));

    FakeHost none;
    none.runner.missing("nmcli");
    EXPECT_EQ(find_enslaved_profile(none.ctx, "eth1"), std::nullopt);
}

TEST(FreeBondName, FirstUnusedNumber) {
    struct Case {
        std::string listing;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"", "bond0"},
        {"b0:bond0:bond\nb2:bond2:bond\n", "bond1"},
        {"b0:bond0:bond:extra\n", "bond0"},        // exactly three fields
        {"b0:bond0:802-3-ethernet\n", "bond0"},    // not a bond profile
        {"b0:bond0:Bond\n", "bond0"},
        {"x:team0:bond\nb0:bond0:bond\n", "bond1"},
        {"b0:bond00:bond\n", "bond0"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(kNameDeviceType, Answer::exit(1, c.listing));
        EXPECT_EQ(find_available_bond_name(host.ctx), c.expected) << c.listing;
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{{kNameDeviceType, RunMode::Query}}));
    }
}

TEST(FreeBondName, AllHundredTaken) {
    std::string listing;
    for (int i = 99; i >= 0; --i) listing += "p:bond" + std::to_string(i) + ":bond\n";
    FakeHost host;
    host.runner.on(kNameDeviceType, Answer::ok(listing));
    EXPECT_EQ(find_available_bond_name(host.ctx), std::nullopt);

    host.runner.on(kNameDeviceType, Answer::ok(listing + "p:bond100:bond\n"));
    EXPECT_EQ(find_available_bond_name(host.ctx), std::nullopt);

    FakeHost none;
    none.runner.missing("nmcli");
    EXPECT_EQ(find_available_bond_name(none.ctx), std::nullopt);
}

// A /sys/class/net stand-in below the fake root.
class SysClassNet {
public:
    explicit SysClassNet(const FakeHost& host) : dir_(host.file("/sys/class/net")) {
        std::filesystem::create_directories(dir_);
    }
    void add(const std::string& name, const std::string& device_target) const {
        std::filesystem::create_directories(dir_ / name);
        std::filesystem::create_directory_symlink(device_target, dir_ / name / "device");
    }
    void add_virtual(const std::string& name) const { std::filesystem::create_directories(dir_ / name); }
    // Names in the order the directory lists them.
    std::vector<std::string> listing() const {
        std::vector<std::string> v;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) v.push_back(e.path().filename().string());
        return v;
    }
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
};

TEST(PhysicalInterfaces, SortedByPciAddress) {
    FakeHost host;
    SysClassNet net(host);
    net.add("enp3s0", "../../../0000:03:00.0");
    net.add("eno1", "../../../0000:00:1f.6");
    net.add("enp2s0", "../../../0000:02:00.0");
    net.add("lo", "../../../0000:00:00.0");
    net.add("bare", "0000:01:00.0");  // no slash: the whole target is the key
    net.add_virtual("br0");
    net.add_virtual("vswitch0");
    EXPECT_EQ(physical_interfaces_pci_order(host.ctx),
              (std::vector<std::string>{"eno1", "bare", "enp2s0", "enp3s0"}));
}

TEST(PhysicalInterfaces, EqualAddressesKeepListingOrder) {
    FakeHost host;
    SysClassNet net(host);
    for (const char* n : {"p0a", "p0b", "p0c", "p0d", "p0e", "p0f"}) net.add(n, "../../../0000:05:00.0");
    net.add("first", "../../../0000:01:00.0");
    std::vector<std::string> expected{"first"};
    for (const auto& n : net.listing())
        if (n != "first") expected.push_back(n);
    EXPECT_EQ(physical_interfaces_pci_order(host.ctx), expected);
}

TEST(PhysicalInterfaces, SkipsUnusableEntries) {
    FakeHost host;
    SysClassNet net(host);
    net.add("good", "../../../0000:01:00.0");
    net.add("bad\xff", "../../../0000:00:00.0");      // name not UTF-8
    net.add("badtarget", "../../../0000:00:\xff.0");  // target not UTF-8
    std::filesystem::create_directories(net.dir() / "plainfile");
    std::ofstream(net.dir() / "plainfile" / "device") << "not a link";
    std::ofstream(net.dir() / "notadir") << "x";
    EXPECT_EQ(physical_interfaces_pci_order(host.ctx), (std::vector<std::string>{"good"}));
}

TEST(PhysicalInterfaces, MissingDirectoryGivesNothing) {
    FakeHost host;
    EXPECT_TRUE(physical_interfaces_pci_order(host.ctx).empty());
}

const Argv kNameUuidTypeDevice{"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"};
const Argv kUuidFilename{"nmcli", "-t", "-f", "UUID,FILENAME", "connection", "show"};

TEST(ProfileForDevice, NamesTheProfileBoundToTheDevice) {
    struct Case {
        std::string what;
        std::string listing;
        std::map<std::string, std::string> interface_names;  // UUID -> connection.interface-name
        std::string files;                                   // UUID:FILENAME lines, when asked
        std::string expected;
    };
    const std::string on_disk = "/etc/NetworkManager/system-connections/";
    const std::string in_memory = "/run/NetworkManager/system-connections/";
    const std::vector<Case> cases = {
        {"a profile named like the device", "vswitch0:u-1:bridge:vswitch0\n", {}, "", "vswitch0"},
        {"named like the device, inactive", "vswitch0:u-1:bridge:\n", {}, "", "vswitch0"},
        {"named like the device but of another type",
         "Management Network:u-1:bridge:vswitch0\nvswitch0:u-2:802-3-ethernet:eth9\n", {}, "", "u-1"},
        {"named like the device but active on another",
         "vswitch0:u-2:bridge:vswitch9\nManagement Network:u-1:bridge:vswitch0\n", {}, "", "u-1"},
        {"an active bridge under another name", "eth1:u-0:802-3-ethernet:eth1\nManagement Network:u-1:bridge:vswitch0\n",
         {}, "", "u-1"},
        {"an active bond", "Management Uplink:u-7:bond:vswitch0\n", {}, "", "u-7"},
        {"an inactive bridge found by its interface name",
         "other:u-3:bridge:\nManagement Network:u-1:bridge:\n", {{"u-3", "vswitch5\n"}, {"u-1", "vswitch0\n"}}, "",
         "u-1"},
        {"the made-up profile of a restart yields to the stored one",
         "vswitch0:u-g:bridge:vswitch0\nManagement Network:u-1:bridge:\n", {{"u-1", "vswitch0\n"}},
         "u-g:" + in_memory + "vswitch0.nmconnection\nu-1:" + on_disk + "Management Network.nmconnection\n", "u-1"},
        {"a stored profile of the device's name keeps it",
         "vswitch0:u-2:bridge:vswitch0\nManagement Network:u-1:bridge:\n", {{"u-1", "vswitch0\n"}},
         "u-2:" + on_disk + "vswitch0.nmconnection\nu-1:" + on_disk + "Management Network.nmconnection\n", "vswitch0"},
        {"an in-memory profile of the device's name, the other one in memory too",
         "vswitch0:u-g:bridge:vswitch0\nManagement Network:u-1:bridge:\n", {{"u-1", "vswitch0\n"}},
         "u-g:" + in_memory + "vswitch0.nmconnection\nu-1:" + in_memory + "Management Network.nmconnection\n",
         "vswitch0"},
        {"files unknown: the device's name",
         "vswitch0:u-g:bridge:vswitch0\nManagement Network:u-1:bridge:\n", {{"u-1", "vswitch0\n"}}, "", "vswitch0"},
        {"an ethernet profile on the device does not count", "lan:u-9:802-3-ethernet:vswitch0\n", {}, "", "vswitch0"},
        {"nothing bound: the device name", "lan:u-9:802-3-ethernet:eth0\n", {}, "", "vswitch0"},
        {"a name with a colon is not split into a match", "a:b:u-1:bridge:vswitch0\n", {}, "", "vswitch0"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(kNameUuidTypeDevice, Answer::ok(c.listing));
        for (const auto& [uuid, ifname] : c.interface_names) host.runner.on(interface_name_of(uuid), Answer::ok(ifname));
        host.runner.on(kUuidFilename, Answer::ok(c.files));
        EXPECT_EQ(profile_for_device(host.ctx, "vswitch0"), c.expected) << c.what;
        for (const auto& call : host.runner.calls) EXPECT_EQ(call.mode, RunMode::Query) << c.what;
    }
}

TEST(ProfileForDevice, AsksNoMoreThanTheListingWhereNothingElseCanBeBound) {
    FakeHost host;
    host.runner.on(kNameUuidTypeDevice, Answer::ok("bond0:u-b0:bond:bond0\nStorage:u-s:bridge:vswitch1\n"));
    EXPECT_EQ(profile_for_device(host.ctx, "bond0"), "bond0");
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{kNameUuidTypeDevice}));
}

TEST(ProfileForDevice, KeepsTheDeviceNameWhenNmcliCannotStart) {
    FakeHost host;
    host.runner.missing("nmcli");
    EXPECT_EQ(profile_for_device(host.ctx, "bond0"), "bond0");
}

}  // namespace
}  // namespace qm
