// `config restore` and `config restore-veth` as a user runs them, against scripted host tools.

#include <algorithm>
#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kMasters = "/var/lib/quillmar/master_bridges.json";
constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";
const sb::Args kListing = {"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};

const std::string kVeth = R"({
        "veth_name": "vvs1_vs0",
        "veth_peer": "vvs0_vs1",
        "bridge1": "vswitch1",
        "bridge2": "vswitch0",
        "created_at": "2024-01-02T03:04:05Z",
        "connection_id": "vswitch1_vswitch0"
      })";

const std::string kBackupLedger =
    "{\n  \"vswitches\": [\n    \"Lab\"\n  ],\n  \"vlan_bridges\": [],\n  \"veth_pairs\": [\n"
    "    \"vvs1_vs0\",\n    \"vvs0_vs1\"\n  ],\n  \"bonds\": [],\n"
    "  \"created_at\": \"2024-01-02T03:04:05+00:00\"\n}";

// A backup holding a bridge with its uplink port, a libvirt network on it, its MAC, a veth
// pair to vswitch0, the topology and (unless `with_ledger` is false) a ledger.
std::string backup_document(const std::string& name, bool with_ledger = true) {
    return R"({
  "metadata": {"name": ")" + name + R"(", "description": null, "created_at": "2024-01-02T03:04:05Z",
               "version": "1.0.0", "is_default": false},
  "network_manager": {"connections": [
    {"name": "Lab", "uuid": "vswitch1", "type_": "bridge", "interface_name": "vswitch1",
     "bridge_mac_address": "52:54:00:AA:00:01", "ipv4_method": "disabled", "ipv6_method": "ignore",
     "autoconnect": true},
    {"name": "Lab Uplink", "uuid": "eth1", "type_": "802-3-ethernet", "interface_name": "eth1",
     "master": "vswitch1", "slave_type": "bridge", "autoconnect": true}
  ]},
  "libvirt_networks": [
    {"name": "labnet", "uuid": "0b1c", "active": true, "persistent": true, "autostart": false,
     "bridge": "vswitch1", "xml_config": "<network>\n  <name>labnet</name>\n  <bridge name='vswitch1'/>\n</network>\n"}
  ],
  "bridge_mac_addresses": {"vswitch1": "52:54:00:aa:00:01"},
  "veth_connections": [)" + kVeth + R"(],
  "bridge_topology": {"master_bridges": ["vswitch0"], "bridge_connections": {"vswitch0": ["vswitch1"]},
                      "veth_pairs": [)" + kVeth + R"(]},
  "managed_resources": )" + (with_ledger ? kBackupLedger : std::string("null")) + "\n}";
}

class RestoreCli : public sb::SandboxTest {
protected:
    // `ip link set <end> master <bridge>` shows in /sys as the kernel's does.
    void enslaving_works() {
        sb.tool("ip")
            .on({"link", "set", "vvs1_vs0", "master", "vswitch1"},
                sb::ok().links("/sys/class/net/vvs1_vs0/master", "../vswitch1"))
            .on({"link", "set", "vvs0_vs1", "master", "vswitch0"},
                sb::ok().links("/sys/class/net/vvs0_vs1/master", "../vswitch0"));
    }
    // A host with the management bridge (untracked) and a tracked bridge the backup lacks;
    // the bridges of the backup exist as links, the veth pair does not.
    void host_before_restore() {
        sb.iface("vswitch0");
        sb.iface("vswitch1");
        sb.iface("eth1");
        sb.write(kLedger, "{\"vswitches\": [\"Old\"], \"vlan_bridges\": [], \"veth_pairs\": [], "
                          "\"created_at\": \"2023-01-01T00:00:00+00:00\"}");
        sb.tool("nmcli")
            .on(kListing, {sb::ok("Mgmt:vswitch0:bridge:activated\nOld:vswitch3:bridge:activated\n"), kListingAfter})
            .on({"connection", "show", "Lab"}, sb::fail(10, "Error: no such connection profile.\n"))
            .on({"connection", "show", "Lab Uplink"}, sb::fail(10, "Error: no such connection profile.\n"))
            .on({"connection", "show", "veth-vswitch1-vswitch0"}, sb::fail(10, "Error: no such connection profile.\n"))
            .on({"connection", "show", "veth-vswitch0-vswitch1"}, sb::fail(10, "Error: no such connection profile.\n"))
            // "Old" goes as `vswitch delete` takes it: it has no ports.
            .on({"-g", "connection.uuid", "connection", "show", "Old"}, sb::ok("u-old\n"))
            .on({"-g", "connection.interface-name", "connection", "show", "Old"}, sb::ok("vswitch3\n"))
            .on({"-t", "-f", "NAME,TYPE", "connection", "show"}, sb::ok("Mgmt:bridge\nOld:bridge\n"))
            // Born a port, the profile's interface goes on the bridge.
            .on(kUplinkAdd, sb::ok().links("/sys/class/net/eth1/master", "../vswitch1"));
        sb.tool("virsh").on({"net-info", "labnet"}, sb::fail(1, "error: network not found\n"));
        sb.tool("ip").on({"link", "show", "vvs1_vs0"}, sb::fail(1, "Device \"vvs1_vs0\" does not exist.\n"));
        enslaving_works();
    }
    // The profile listing once the profiles are back.
    const sb::Reply kListingAfter = sb::ok("Mgmt:vswitch0:bridge:activated\nLab:vswitch1:bridge:activating\n"
                                           "Lab Uplink:eth1:802-3-ethernet:activated\n");
    static inline const sb::Args kUplinkAdd = {"connection", "add", "ifname", "eth1", "type", "ethernet", "con-name",
                                               "Lab Uplink", "master", "vswitch1", "slave-type", "bridge",
                                               "connection.autoconnect", "yes"};
};

const std::string kRestoreOutput =
    "[+] Restoring NetworkManager connections...\n"
    "[-] Removing managed connection 'Old' (not in backup)\n"
    "[+] Connection restoration order:\n"
    "  - Lab (type: physical, priority: 900)\n"
    "  - Lab Uplink (type: physical, priority: 900)\n"
    "  + Restored bridge connection 'Lab'\n"
    "  + Restored ethernet connection 'Lab Uplink'\n"
    "[+] Restoring libvirt networks...\n"
    "  + Restored libvirt network 'labnet'\n"
    "[+] Restoring bridge MAC addresses...\n"
    "  + Restored MAC address 52:54:00:aa:00:01 for bridge 'vswitch1'\n"
    "[+] Restoring veth connections...\n"
    "  + Restored veth connection: vvs1_vs0 <-> vvs0_vs1 (bridges: vswitch1 <-> vswitch0) with NetworkManager "
    "persistence\n"
    "[+] Restoring bridge topology...\n"
    "  + Restored bridge topology with 1 master bridges and 1 veth connections\n"
    "[+] Restored managed resources tracking\n"
    "[+] Configuration restore completed successfully\n";

const sb::Args kVethProfileAdd = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "vvs1_vs0",
                                   "connection.id", "veth-vswitch1-vswitch0", "connection.autoconnect", "yes",
                                   "connection.autoconnect-priority", "400", "ipv4.method", "disabled",
                                   "ipv6.method", "disabled"};
const sb::Args kPeerProfileAdd = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "vvs0_vs1",
                                  "connection.id", "veth-vswitch0-vswitch1", "connection.autoconnect", "yes",
                                  "connection.autoconnect-priority", "400", "ipv4.method", "disabled",
                                  "ipv6.method", "disabled"};
const sb::Args kVethProfileUp = {"nmcli", "connection", "up", "veth-vswitch1-vswitch0"};
const sb::Args kPeerProfileUp = {"nmcli", "connection", "up", "veth-vswitch0-vswitch1"};

// Each profile is added once with its saved settings; the listing at the end checks what came back.
const sb::Argvs kRestoreNmcli = {
    {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
    // "Old" goes with its ports (none here), as `vswitch delete` takes it.
    {"nmcli", "-g", "connection.uuid", "connection", "show", "Old"},
    {"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
    {"nmcli", "-g", "connection.interface-name", "connection", "show", "Old"},
    {"nmcli", "-t", "-f", "NAME,UUID,DEVICE,TYPE", "connection", "show"},  // the names its ports may use
    {"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
    {"nmcli", "connection", "delete", "Old"},
    {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},  // what the removals left
    {"nmcli", "connection", "show", "Lab"},
    {"nmcli", "connection", "add", "ifname", "vswitch1", "type", "bridge", "con-name", "Lab", "bridge.mac-address",
     "52:54:00:AA:00:01", "ipv4.method", "disabled", "ipv6.method", "ignore", "connection.autoconnect", "yes"},
    {"nmcli", "connection", "show", "Lab Uplink"},
    {"nmcli", "connection", "add", "ifname", "eth1", "type", "ethernet", "con-name", "Lab Uplink", "master",
     "vswitch1", "slave-type", "bridge", "connection.autoconnect", "yes"},
    {"nmcli", "connection", "show", "veth-vswitch1-vswitch0"},
    kVethProfileAdd,
    {"nmcli", "connection", "show", "veth-vswitch0-vswitch1"},
    kPeerProfileAdd,
    kVethProfileUp,
    kPeerProfileUp,
    {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
};

void expect_restored_files(const sb::Sandbox& sb) {
    EXPECT_EQ(sb.read(kMasters), "[\n  \"vswitch0\"\n]");
    EXPECT_EQ(sb.read(kJoins), "{\n  \"vswitch0\": [\n    \"vswitch1\"\n  ]\n}");
    EXPECT_EQ(sb.read(kLedger), kBackupLedger);
}

TEST_F(RestoreCli, RestoresANamedBackupStepByStep) {
    sb.write("/var/lib/quillmar/backups/lab.json", backup_document("lab"));
    host_before_restore();

    auto r = sb.run({"config", "restore", "--name", "lab"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out, "[+] Restoring network configuration from backup 'lab'...\n" + kRestoreOutput);
    EXPECT_EQ(sb.argvs_of("nmcli"), kRestoreNmcli) << sb.dump();
    EXPECT_EQ(sb.argvs_of("ip"), (sb::Argvs{{"ip", "link", "show", "vswitch1"},
                                            {"ip", "link", "set", "vswitch1", "address", "52:54:00:aa:00:01"},
                                            {"ip", "link", "show", "vvs1_vs0"},
                                            {"ip", "link", "show", "vswitch1"},
                                            {"ip", "link", "show", "vswitch0"},
                                            {"ip", "link", "add", "vvs1_vs0", "type", "veth", "peer", "name",
                                             "vvs0_vs1"},
                                            {"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"},
                                            {"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}}))
        << sb.dump();

    // The network's saved XML reached virsh in a private file that is gone afterwards.
    auto virsh = sb.calls_of("virsh");
    ASSERT_EQ(virsh.size(), 3u) << sb.dump();
    EXPECT_EQ(virsh[0].argv, (sb::Args{"virsh", "net-info", "labnet"}));
    ASSERT_EQ(virsh[1].argv.size(), 3u);
    EXPECT_EQ(virsh[1].argv[1], "net-define");
    const std::string definition = virsh[1].argv[2];
    EXPECT_EQ(definition.rfind("/tmp/config-restore_labnet.", 0), 0u) << definition;
    EXPECT_EQ(virsh[1].files.at(definition), "<network>\n  <name>labnet</name>\n  <bridge name='vswitch1'/>\n</network>\n");
    EXPECT_FALSE(sb.exists(definition));
    EXPECT_EQ(virsh[2].argv, (sb::Args{"virsh", "net-start", "labnet"}));

    expect_restored_files(sb);
    EXPECT_EQ(sb.list("/var/lib/quillmar"), (std::vector<std::string>{"backups", "bridge_connections.json",
                                                                      "managed_resources.json",
                                                                      "master_bridges.json"}));
}

TEST_F(RestoreCli, RestoresTheDefaultConfigurationWithoutAName) {
    sb.write("/etc/quillmar/config.json", backup_document("default"));
    host_before_restore();

    auto r = sb.run({"config", "restore"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out, "[+] Restoring network configuration from backup...\n" + kRestoreOutput);
    EXPECT_EQ(sb.argvs_of("nmcli"), kRestoreNmcli) << sb.dump();
    expect_restored_files(sb);
}

TEST_F(RestoreCli, BackupThenRestorePutsBackWhatWasLost) {
    // The host as it is backed up: a bridge with its port, a libvirt network, the topology, the ledger.
    const std::string ledger = "{\n  \"vswitches\": [\n    \"Lab\"\n  ],\n  \"vlan_bridges\": [],\n"
                               "  \"veth_pairs\": [\n    \"vvs1_vs0\",\n    \"vvs0_vs1\"\n  ],\n  \"bonds\": [],\n"
                               "  \"created_at\": \"2024-05-06T07:08:09+00:00\"\n}";
    sb.write(kLedger, ledger);
    sb.write(kMasters, "[\n  \"vswitch0\"\n]");
    sb.write(kJoins, "{\n  \"vswitch0\": [\n    \"vswitch1\"\n  ]\n}");
    const std::string xml = "<network>\n  <name>labnet</name>\n  <bridge name='vswitch1'/>\n</network>\n";
    sb.tool("nmcli")
        .on(kListing, sb::ok("Lab:vswitch1:bridge:activated\nLab Uplink:eth1:802-3-ethernet:activated\n"))
        .on({"connection", "show", "Lab"}, sb::ok("connection.id:                 Lab\n"
                                                  "connection.interface-name:     vswitch1\n"
                                                  "connection.autoconnect:        yes\n"
                                                  "connection.autoconnect-priority: 600\n"
                                                  "ipv4.method:                   disabled\n"
                                                  "ipv6.method:                   ignore\n"
                                                  "bridge.mac-address:            52:54:00:AA:00:01\n"))
        .on({"connection", "show", "Lab Uplink"}, sb::ok("connection.id:                 Lab Uplink\n"
                                                         "connection.interface-name:     eth1\n"
                                                         "connection.autoconnect:        yes\n"
                                                         "connection.master:             vswitch1\n"
                                                         "connection.slave-type:         bridge\n"
                                                         "802-3-ethernet.mac-address:    --\n"));
    sb.tool("virsh")
        .on({"net-list", "--all", "--name"}, sb::ok("labnet\n\n"))
        .on({"net-info", "labnet"}, sb::ok("Name:           labnet\nUUID:           0b1c\nActive:         yes\n"
                                          "Persistent:     yes\nAutostart:      no\nBridge:         vswitch1\n"))
        .on({"net-dumpxml", "labnet"}, sb::ok(xml));
    sb.tool("ip").on({"link", "show", "type", "bridge"},
                     sb::ok("5: vswitch1: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue state UP\n"
                            "    link/ether 52:54:00:aa:00:01 brd ff:ff:ff:ff:ff:ff\n"));
    auto backup = sb.run({"config", "backup", "--name", "lab"});
    ASSERT_EQ(backup.status, 0) << backup;
    ASSERT_EQ(backup.err, "") << backup;
    ASSERT_TRUE(sb.exists("/var/lib/quillmar/backups/lab.json")) << backup;

    // Then the bridge, its port, the network and the topology files are lost, and a bridge
    // the program made later is in the ledger instead.
    sb.remove(kMasters);
    sb.remove(kJoins);
    host_before_restore();
    sb.write(kLedger, "{\"vswitches\": [\"Old\"], \"vlan_bridges\": [], \"veth_pairs\": [], "
                      "\"created_at\": \"2025-01-01T00:00:00+00:00\"}");
    sb.clear_calls();

    auto r = sb.run({"config", "restore", "--name", "lab"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out, "[+] Restoring network configuration from backup 'lab'...\n" + kRestoreOutput);
    EXPECT_EQ(sb.argvs_of("nmcli"), kRestoreNmcli) << sb.dump();
    auto virsh = sb.calls_of("virsh");
    ASSERT_EQ(virsh.size(), 3u) << sb.dump();
    EXPECT_EQ(virsh[1].files.at(virsh[1].argv.at(2)), xml);
    EXPECT_EQ(virsh[2].argv, (sb::Args{"virsh", "net-start", "labnet"}));

    // The files are those of the backup: the topology, and the ledger as it was then.
    EXPECT_EQ(sb.read(kMasters), "[\n  \"vswitch0\"\n]");
    EXPECT_EQ(sb.read(kJoins), "{\n  \"vswitch0\": [\n    \"vswitch1\"\n  ]\n}");
    EXPECT_EQ(sb.read(kLedger), ledger);
    EXPECT_EQ(sb.list("/var/lib/quillmar"), (std::vector<std::string>{"backups", "bridge_connections.json",
                                                                      "managed_resources.json",
                                                                      "master_bridges.json"}));
}

// A backup taken before in-memory profiles were left out: it holds the loopback profile and the
// profile NetworkManager made up for a veth end, whose master is the UUID of a bridge profile
// that is gone. It also holds a VLAN made by `vlan create`, a bond that is a bridge's uplink,
// and a veth pair that still exists with one end off its bridge. What the host does not bring
// back is named, and the restore says it is incomplete.
TEST_F(RestoreCli, AnOldBackupComesBackAsFarAsTheHostAllows) {
    const std::string veth = R"({"veth_name": "vvs2_vs0", "veth_peer": "vvs0_vs2", "bridge1": "vswitch2",
        "bridge2": "vswitch0", "created_at": "2024-01-02T03:04:05Z", "connection_id": "vswitch2_vswitch0"})";
    sb.write("/var/lib/quillmar/backups/old.json", R"({
  "metadata": {"name": "old", "description": null, "created_at": "2024-01-02T03:04:05Z",
               "version": "1.0.0", "is_default": false},
  "network_manager": {"connections": [
    {"name": "lo", "uuid": "lo", "type_": "loopback", "interface_name": "lo", "ipv4_method": "manual",
     "ipv6_method": "manual", "autoconnect": false},
    {"name": "vvs0_vs2", "uuid": "vvs0_vs2", "type_": "802-3-ethernet", "interface_name": "vvs0_vs2",
     "master": "182efc88-2d10-4dfb-a55c-8bfffbde4ce5", "slave_type": "bridge", "autoconnect": false},
    {"name": "Vlan 100", "uuid": "", "type_": "vlan", "interface_name": "vswitch0.100", "master": "vlan100br",
     "slave_type": "bridge", "autoconnect": true},
    {"name": "Backup Uplink", "uuid": "", "type_": "bond", "interface_name": "bond0", "master": "vswitch3",
     "slave_type": "bridge", "bond_options": "mode=active-backup,miimon=100", "autoconnect": true}
  ]},
  "libvirt_networks": [],
  "bridge_mac_addresses": {},
  "veth_connections": [)" + veth + R"(],
  "bridge_topology": {"master_bridges": [], "bridge_connections": {"vswitch0": ["vswitch2"]},
                      "veth_pairs": [)" + veth + R"(]},
  "managed_resources": null
})");
    for (const char* bridge : {"vswitch0", "vswitch2", "vswitch3", "vlan100br"}) sb.iface(bridge);
    sb.iface("vvs2_vs0").master("vswitch2");
    sb.iface("vvs0_vs2");
    const sb::Args vlan_add = {"connection", "add", "ifname", "vswitch0.100", "type", "vlan", "con-name", "Vlan 100",
                               "vlan.parent", "vswitch0", "vlan.id", "100", "master", "vlan100br", "slave-type",
                               "bridge", "connection.autoconnect", "yes"};
    const sb::Args bond_add = {"connection", "add", "ifname", "bond0", "type", "bond", "con-name", "Backup Uplink",
                               "bond.options", "mode=active-backup,miimon=100", "master", "vswitch3", "slave-type",
                               "bridge", "connection.autoconnect", "yes"};
    sb.tool("nmcli")
        .on(kListing, {sb::ok("lo:lo:loopback:activated\n"),
                       // The bond comes up on its bridge; the VLAN's device is never made.
                       sb::ok("lo:lo:loopback:activated\nVlan 100::vlan:\nBackup Uplink:bond0:bond:activated\n")})
        .on_prefix({"connection", "show"}, sb::fail(10, "Error: no such connection profile.\n"))
        .on({"connection", "show", "lo"}, sb::ok())
        .on(bond_add, sb::ok().makes_dir("/sys/class/net/bond0").links("/sys/class/net/bond0/master", "../vswitch3"));
    sb.tool("ip").on({"link", "set", "vvs0_vs2", "master", "vswitch0"},
                     sb::ok().links("/sys/class/net/vvs0_vs2/master", "../vswitch0"));

    auto r = sb.run({"config", "restore", "--name", "old"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out,
              "[+] Restoring network configuration from backup 'old'...\n"
              "[+] Restoring NetworkManager connections...\n"
              "[+] Connection restoration order:\n"
              "  - lo (type: physical, priority: 900)\n"
              "  - vvs0_vs2 (type: physical, priority: 900)\n"
              "  - Vlan 100 (type: physical, priority: 900)\n"
              "  - Backup Uplink (type: physical, priority: 900)\n"
              "  - Connection 'lo' already exists, skipping\n"
              "  - Skipping 'vvs0_vs2': its master '182efc88-2d10-4dfb-a55c-8bfffbde4ce5' is neither on this host "
              "nor in the backup\n"
              "  + Restored VLAN connection 'Vlan 100'\n"
              "  + Restored bond connection 'Backup Uplink'\n"
              "[+] Restoring libvirt networks...\n"
              "[+] Restoring bridge MAC addresses...\n"
              "[+] Restoring veth connections...\n"
              "  + Put veth end 'vvs0_vs2' back on bridge 'vswitch0'\n"
              "[+] Restoring bridge topology...\n"
              "  + Restored bridge topology with 0 master bridges and 1 veth connections\n"
              "[+] Cleared managed resources tracking (not in backup)\n"
              "[!] Configuration restore incomplete: 1 item did not come back (see the warnings above)\n");
    EXPECT_EQ(r.err, "[!] Warning: Port 'Vlan 100' is not on its master: vswitch0.100 has no master, not on "
                     "vlan100br\n");
    const sb::Args listing = {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};
    sb::Argvs nmcli = sb.argvs_of("nmcli");
    ASSERT_GE(nmcli.size(), 8u) << sb.dump();
    EXPECT_EQ(nmcli[0], listing);
    EXPECT_EQ(nmcli[3], (sb::Args{"nmcli", "connection", "show", "182efc88-2d10-4dfb-a55c-8bfffbde4ce5"}));
    sb::Args want_vlan{"nmcli"}, want_bond{"nmcli"};
    want_vlan.insert(want_vlan.end(), vlan_add.begin(), vlan_add.end());
    want_bond.insert(want_bond.end(), bond_add.begin(), bond_add.end());
    EXPECT_EQ(nmcli[5], want_vlan);
    EXPECT_EQ(nmcli[7], want_bond);
    // Ten looks at the listing, the last nine after a pause each; nothing else is changed.
    EXPECT_EQ(std::count(nmcli.begin(), nmcli.end(), listing), 11) << sb.dump();
    for (const auto& a : nmcli) EXPECT_NE(a[2], "modify") << sb::Call{a, {}}.str();
}

// A network name holding a NUL byte used to let the restore delete the managed profiles, then stop
// at the definition with a file left in /tmp and nothing else put back.
TEST_F(RestoreCli, ABackupWithAnUnusableNameIsRefusedBeforeAnythingChanges) {
    std::string document = backup_document("lab");
    const std::string name = "\"name\": \"labnet\"";
    document.replace(document.find(name), name.size(), "\"name\": \"lab\\u0000net\"");
    sb.write("/var/lib/quillmar/backups/lab.json", document);
    host_before_restore();

    auto r = sb.run({"config", "restore", "--name", "lab"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "[+] Restoring network configuration from backup 'lab'...\n");
    EXPECT_EQ(r.err, "Error: Refusing the backup before any change: libvirt network 'lab\\x00net' holds a NUL byte\n");
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
    EXPECT_TRUE(sb.list("/tmp").empty());
    EXPECT_EQ(sb.read(kLedger), "{\"vswitches\": [\"Old\"], \"vlan_bridges\": [], \"veth_pairs\": [], "
                                "\"created_at\": \"2023-01-01T00:00:00+00:00\"}");
}

TEST_F(RestoreCli, ABackupWithoutALedgerRemovesIt) {
    sb.write("/var/lib/quillmar/backups/bare.json", backup_document("bare", false));
    host_before_restore();

    auto r = sb.run({"config", "restore", "--name", "bare"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_NE(r.out.find("  + Restored bridge topology with 1 master bridges and 1 veth connections\n"
                         "[+] Cleared managed resources tracking (not in backup)\n"
                         "[+] Configuration restore completed successfully\n"),
              std::string::npos)
        << r;
    EXPECT_FALSE(sb.exists(kLedger));
    EXPECT_EQ(sb.read(kMasters), "[\n  \"vswitch0\"\n]");

    // Once more: nothing to remove, the same line, no error.
    auto again = sb.run({"config", "restore", "--name", "bare"});
    EXPECT_EQ(again.err, "") << again;
    EXPECT_NE(again.out.find("[+] Cleared managed resources tracking (not in backup)\n"), std::string::npos) << again;
    EXPECT_FALSE(sb.exists(kLedger));
}

TEST_F(RestoreCli, AMissingBackupIsAnErrorBeforeAnythingRuns) {
    auto r = sb.run({"config", "restore", "--name", "nope"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "[+] Restoring network configuration from backup 'nope'...\n");
    EXPECT_EQ(r.err, "Error: Backup 'nope' not found at /var/lib/quillmar/backups/nope.json\n");
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

TEST_F(RestoreCli, ALibvirtStepThatCannotRunEndsTheRestore) {
    sb.write("/var/lib/quillmar/backups/lab.json", backup_document("lab"));
    host_before_restore();
    sb.missing("virsh");

    auto r = sb.run({"config", "restore", "--name", "lab"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "Error: No such file or directory (os error 2)\n") << r;
    EXPECT_TRUE(r.out.ends_with("  + Restored ethernet connection 'Lab Uplink'\n[+] Restoring libvirt networks...\n"))
        << r;
    EXPECT_TRUE(sb.argvs_of("ip").empty()) << sb.dump();
    EXPECT_FALSE(sb.exists(kMasters));
    // Only "Old", removed before the stop, has left the host's ledger.
    EXPECT_EQ(sb.read(kLedger), "{\n  \"vswitches\": [],\n  \"vlan_bridges\": [],\n  \"veth_pairs\": [],\n"
                                "  \"bonds\": [],\n  \"created_at\": \"2023-01-01T00:00:00+00:00\"\n}");
}

TEST_F(RestoreCli, RestoreVethRecreatesOnlyThePairsOfTheDefaultConfiguration) {
    sb.write("/etc/quillmar/config.json", backup_document("default"));
    sb.tool("ip").on({"link", "show", "vvs1_vs0"}, sb::fail(1, "Device \"vvs1_vs0\" does not exist.\n"));
    sb.tool("nmcli")
        .on({"connection", "show", "veth-vswitch1-vswitch0"}, sb::fail(10, "Error: no such connection profile.\n"))
        .on({"connection", "show", "veth-vswitch0-vswitch1"}, sb::fail(10, "Error: no such connection profile.\n"));
    enslaving_works();

    auto r = sb.run({"config", "restore-veth"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "[+] Restoring veth connections from backup...\n"
              "[+] Restoring veth connections...\n"
              "  + Restored veth connection: vvs1_vs0 <-> vvs0_vs1 (bridges: vswitch1 <-> vswitch0) with "
              "NetworkManager persistence\n"
              "[+] Veth connections restore completed successfully\n");
    EXPECT_EQ(sb.argvs(),
              (sb::Argvs{{"ip", "link", "show", "vvs1_vs0"},
                         {"ip", "link", "show", "vswitch1"},
                         {"ip", "link", "show", "vswitch0"},
                         {"ip", "link", "add", "vvs1_vs0", "type", "veth", "peer", "name", "vvs0_vs1"},
                         {"nmcli", "connection", "show", "veth-vswitch1-vswitch0"},
                         kVethProfileAdd,
                         {"nmcli", "connection", "show", "veth-vswitch0-vswitch1"},
                         kPeerProfileAdd,
                         {"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"},
                         {"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"},
                         kVethProfileUp,
                         kPeerProfileUp}))
        << sb.dump();
    EXPECT_TRUE(sb.list("/var/lib/quillmar").empty());
}

// A pair that is not in place afterwards is a warning of its own, and the run says it is
// incomplete in place of the completion line; the exit status stays.
TEST_F(RestoreCli, RestoreVethThatLeavesAPairOutSaysSo) {
    sb.write("/etc/quillmar/config.json", backup_document("default"));
    sb.tool("ip")
        .on({"link", "show", "vvs1_vs0"}, sb::fail(1, "Device \"vvs1_vs0\" does not exist.\n"))
        .on({"link", "show", "vswitch0"}, sb::fail(1, "Device \"vswitch0\" does not exist.\n"));

    auto r = sb.run({"config", "restore-veth"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "[!] Warning: Skipped veth pair 'vvs1_vs0': one or both bridges don't exist\n") << r;
    EXPECT_EQ(r.out,
              "[+] Restoring veth connections from backup...\n"
              "[+] Restoring veth connections...\n"
              "  - Skipping veth pair 'vvs1_vs0': one or both bridges don't exist\n"
              "[!] Veth connections restore incomplete: 1 pair not in place (see the warnings above)\n");
    EXPECT_EQ(sb.argvs_of("nmcli"), sb::Argvs{}) << sb.dump();
}

}  // namespace
