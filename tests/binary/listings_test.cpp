// The read-only views as a user runs them: list physical|interfaces|connections, vswitch
// list and vswitch topology.

#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

class Listings : public sb::SandboxTest {};

TEST_F(Listings, PhysicalInterfacesComeFromSysfsAndTheKernel) {
    sb.iface("eth0").pci("0000:03:00.0").mac("52:54:00:12:34:56").carrier(true);
    sb.iface("eth1").pci("0000:04:00.0").mac("52:54:00:12:34:57");
    sb.iface("vswitch0").mac("52:54:00:12:34:56").carrier(true);
    auto r = sb.run({"list", "physical"});
    EXPECT_EQ(r.status, 0) << r;
    std::string expected = "\n=== Physical Interfaces ===\n";
    // The sandbox's network namespace has no such devices, so the kernel gives no speed.
    for (const auto& name : sb.listing_order("/sys/class/net")) {
        if (name == "eth0") expected += "eth0 52:54:00:12:34:56 [link up] - unknown\n";
        if (name == "eth1") expected += "eth1 52:54:00:12:34:57 [unknown] - unknown\n";
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

TEST_F(Listings, InterfacesAndConnectionsAreNmcliListingsAsTheyCome) {
    sb.tool("nmcli")
        .on({"device", "status"}, sb::ok("DEVICE  TYPE      STATE      CONNECTION\neno1    ethernet  connected  eno1\n"))
        .on({"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
            sb::ok("Management Network:vswitch0:bridge:activated\neno1:eno1:802-3-ethernet:activated\n"));
    auto devices = sb.run({"list", "interfaces"});
    EXPECT_EQ(devices.status, 0) << devices;
    EXPECT_EQ(devices.out,
              "\n=== Interfaces (nmcli device status) ===\n"
              "DEVICE  TYPE      STATE      CONNECTION\n"
              "eno1    ethernet  connected  eno1\n");
    auto profiles = sb.run({"list", "connections"});
    EXPECT_EQ(profiles.out,
              "\n=== Connections (nmcli connection show) ===\n"
              "Management Network:vswitch0:bridge:activated\n"
              "eno1:eno1:802-3-ethernet:activated\n");

    sb.missing("nmcli");
    auto failed = sb.run({"list", "connections"});
    EXPECT_EQ(failed.status, 0) << failed;
    EXPECT_EQ(failed.out, "\n=== Connections (nmcli connection show) ===\nFailed to get connections\n");
    EXPECT_EQ(failed.err, "");
}

TEST_F(Listings, VswitchListShowsBridgesWithPortsAndFiltersTapsOnStandardError) {
    sb.tool("nmcli")
        .on({"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
            sb::ok("Storage:vswitch1:bridge:activated\nvnet3:vnet3:tun:activated\neno2:eno2:802-3-ethernet:activated\n"))
        .on({"-t", "-f", "NAME,UUID", "connection", "show"},
            sb::ok("Storage:5e1f0b2c-2222-4c3e-9d10-000000000000\nvnet3:u-vnet3\neno2:u-eno2\n"))
        .on({"-t", "-f", "NAME", "connection", "show"}, sb::ok("Storage\nvnet3\neno2\n"))
        .on({"-g", "connection.master,connection.slave-type", "connection", "show", "vnet3"},
            sb::ok("5e1f0b2c-2222-4c3e-9d10-000000000000\nbridge\n"))
        .on({"-g", "connection.master,connection.slave-type", "connection", "show", "eno2"},
            sb::ok("5e1f0b2c-2222-4c3e-9d10-000000000000\nbridge\n"))
        .on({"-g", "connection.interface-name", "connection", "show", "vnet3"}, sb::ok("vnet3\n"))
        .on({"-g", "connection.interface-name", "connection", "show", "eno2"}, sb::ok("eno2\n"));
    sb.write("/var/lib/quillmar/master_bridges.json", R"(["vswitch1"])");
    sb.write("/var/lib/quillmar/bridge_connections.json", R"({"vswitch1": ["vswitch2"]})");
    auto r = sb.run({"vswitch", "list"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out,
              "\n=== Virtual Switches ===\n"
              "--- General purpose Virtual Switches ---\n"
              "\x1b[32mStorage                   vswitch1     bridge   activated [MASTER]\x1b[0m\n"
              "  └─ Connected: vswitch2\n"
              "  └─ eno2 (eno2)\n"
              "\n--- VLAN-Dedicated Virtual Switches ---\n"
              "\n");
    EXPECT_EQ(r.err, "DEBUG: Filtering out vnet interface: vnet3 for bridge: Storage\n");

    auto topology = sb.run({"vswitch", "topology"});
    EXPECT_EQ(topology.out, "\n=== Bridge Topology ===\n\n[Master: vswitch1]\n  └─ vswitch2\n");
}

}  // namespace
