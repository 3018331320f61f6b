#include <gtest/gtest.h>

#include <dirent.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "cmds/list/list.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;

const std::vector<std::string> kDeviceStatus = {"nmcli", "device", "status"};
const std::vector<std::string> kConnectionListing = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection",
                                                     "show"};

struct SpeedCase {
    Expected<std::uint16_t, OsError> reported;
    std::string text;
};

TEST(LinkSpeed, KernelSpeedsMapToTheirNames) {
    const std::vector<SpeedCase> cases = {
        {std::uint16_t{10}, "Ethernet 10baseT"},
        {std::uint16_t{100}, "Ethernet 100baseT"},
        {std::uint16_t{1000}, "Ethernet 1000baseT"},
        {std::uint16_t{2500}, "Ethernet 2.5GbaseT"},
        {std::uint16_t{10000}, "Ethernet 10GbaseT"},
        {std::uint16_t{25000}, "Ethernet (unknown speed)"},
        {std::uint16_t{0}, "Ethernet (unknown speed)"},
        // What the kernel reports for a link that is down.
        {std::uint16_t{65535}, "Ethernet (unknown speed)"},
        {unexpected(OsError{EOPNOTSUPP}), "unknown"},
        {unexpected(OsError{ENODEV}), "unknown"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.platform.speeds["eno1"] = c.reported;
        EXPECT_EQ(query_link_speed(host.ctx, "eno1"), c.text);
        EXPECT_EQ(host.platform.speed_queries, std::vector<std::string>{"eno1"});
    }
}

// Names of a directory in the order a listing yields them.
std::vector<std::string> listing_order(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (const dirent* e = d ? ::readdir(d) : nullptr) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (d) ::closedir(d);
    return names;
}

// An entry of the fake /sys/class/net; `device` makes it physical.
void iface(const FakeHost& host, const std::string& name, bool device, const std::string& carrier,
           const std::string& address) {
    const std::string dir = "/sys/class/net/" + name;
    std::filesystem::create_directories(host.file(dir));
    if (device) {
        std::filesystem::create_directories(host.file("/sys/devices/pci0000:00/0000:00:19.0/" + name));
        std::filesystem::create_directory_symlink("../../../devices/pci0000:00/0000:00:19.0/" + name,
                                                  host.file(dir + "/device"));
    }
    if (!carrier.empty()) host.write_file(dir + "/carrier", carrier);
    if (!address.empty()) host.write_file(dir + "/address", address);
}

TEST(ListPhysical, ShowsEachPhysicalInterfaceInListingOrder) {
    FakeHost host;
    iface(host, "lo", true, "1\n", "00:00:00:00:00:00\n");
    iface(host, "eno1", true, "1\n", "52:54:00:00:00:e1\n");
    iface(host, "eno2", true, "0\n", "  52:54:00:00:00:e2  \n");
    iface(host, "ens3", true, "", "52:54:00:00:00:03\n");       // no carrier file
    iface(host, "ens4", true, "2\n", "");                       // odd carrier, no address file
    iface(host, "vswitch0", false, "1\n", "52:54:00:00:00:aa\n");  // virtual: no device
    // A device link that leads nowhere does not count.
    std::filesystem::create_directories(host.file("/sys/class/net/ens5"));
    std::filesystem::create_directory_symlink("../../../devices/gone", host.file("/sys/class/net/ens5/device"));
    host.platform.speeds["eno1"] = std::uint16_t{1000};
    host.platform.speeds["eno2"] = std::uint16_t{65535};
    host.platform.speeds["ens4"] = std::uint16_t{2500};

    list_physical_interfaces(host.ctx);

    std::string expected = "\n=== Physical Interfaces ===\n";
    std::vector<std::string> asked;
    for (const auto& name : listing_order(host.file("/sys/class/net"))) {
        if (name == "eno1") expected += "eno1 52:54:00:00:00:e1 [link up] - Ethernet 1000baseT\n";
        if (name == "eno2") expected += "eno2 52:54:00:00:00:e2 [link down] - Ethernet (unknown speed)\n";
        if (name == "ens3") expected += "ens3 52:54:00:00:00:03 [unknown] - unknown\n";
        if (name == "ens4") expected += "ens4 unknown [unknown] - Ethernet 2.5GbaseT\n";
        if (name.rfind("en", 0) == 0 && name != "ens5") asked.push_back(name);
    }
    EXPECT_EQ(host.out.str(), expected);
    EXPECT_EQ(host.platform.speed_queries, asked);
    EXPECT_EQ(host.err.str(), "");
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST(ListPhysical, WithoutPhysicalInterfacesOrSysfsOnlyTheHeading) {
    FakeHost host;
    list_physical_interfaces(host.ctx);  // no /sys/class/net at all
    EXPECT_EQ(host.out.str(), "\n=== Physical Interfaces ===\n");

    FakeHost other;
    iface(other, "lo", true, "1\n", "00:00:00:00:00:00\n");
    iface(other, "br0", false, "1\n", "52:54:00:00:00:01\n");
    list_physical_interfaces(other.ctx);
    EXPECT_EQ(other.out.str(), "\n=== Physical Interfaces ===\n");
    EXPECT_TRUE(other.platform.speed_queries.empty());
}

TEST(ListInterfaces, PrintsTheDeviceListLineByLineHeaderIncluded) {
    FakeHost host;
    host.runner.on(kDeviceStatus, Answer::ok("DEVICE    TYPE      STATE      CONNECTION\r\n"
                                             "vswitch0  bridge    connected  Management Network\n"
                                             "eno1      ethernet  connected  eno1"));
    list_interfaces(host.ctx);
    EXPECT_EQ(host.out.str(),
              "\n=== Interfaces (nmcli device status) ===\n"
              "DEVICE    TYPE      STATE      CONNECTION\n"
              "vswitch0  bridge    connected  Management Network\n"
              "eno1      ethernet  connected  eno1\n");
    EXPECT_EQ(host.runner.calls, (std::vector<test::Call>{{kDeviceStatus, RunMode::Query}}));
}

TEST(ListConnections, PrintsTheTerseLinesUnchanged) {
    FakeHost host;
    host.runner.on(kConnectionListing, Answer::ok("Management Network:vswitch0:bridge:activated\n"
                                                  "bridge-slave-eno1:eno1:802-3-ethernet:activated\n"
                                                  "Storage::bridge:\n"));
    list_connections(host.ctx);
    EXPECT_EQ(host.out.str(),
              "\n=== Connections (nmcli connection show) ===\n"
              "Management Network:vswitch0:bridge:activated\n"
              "bridge-slave-eno1:eno1:802-3-ethernet:activated\n"
              "Storage::bridge:\n");
}

TEST(Listings, AFailingNmcliPrintsItsOneLineOnStandardOutput) {
    for (bool missing : {false, true}) {
        FakeHost host;
        if (missing) {
            host.runner.missing("nmcli");
        } else {
            host.runner.on(kDeviceStatus, Answer::exit(8, "partial\n"));
            host.runner.on(kConnectionListing, Answer::exit(10, "partial\n"));
        }
        list_interfaces(host.ctx);
        list_connections(host.ctx);
        EXPECT_EQ(host.out.str(),
                  "\n=== Interfaces (nmcli device status) ===\n"
                  "Failed to get device status\n"
                  "\n=== Connections (nmcli connection show) ===\n"
                  "Failed to get connections\n");
        EXPECT_EQ(host.err.str(), "");
    }
}

}  // namespace
}  // namespace qm
