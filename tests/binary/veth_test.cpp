// Joins between bridges as a user and the boot units run them (`vswitch connect`,
// `vswitch veth restore`, `vswitch disconnect`) and `vswitch delete`, against scripted host
// tools and a fake /sys/class/net that the fake `ip` changes.

#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";
constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kNet = "/sys/class/net/";

class VethCli : public sb::SandboxTest {
protected:
    void SetUp() override {
        sb::SandboxTest::SetUp();
        if (IsSkipped()) return;
        sb.iface("vswitch0");
        sb.iface("vswitch1");
        sb.tool("nmcli").on({"-t", "-f", "DEVICE,TYPE", "device", "status"},
                            sb::ok("vswitch0:bridge\nvswitch1:bridge\nlo:loopback\n"));
    }
    // What `nmcli device status` shows: the two bridges and these interfaces.
    void listed(const std::vector<std::string>& extra) {
        std::string text = "DEVICE    TYPE      STATE      CONNECTION\n"
                           "vswitch0  bridge    connected  Management Network\n"
                           "vswitch1  bridge    connected  vswitch1\n";
        for (const auto& e : extra) text += e + "  veth  unmanaged  --\n";
        sb.tool("nmcli").on({"device", "status"}, sb::ok(text));
    }
    // The fake `ip` makes and enslaves vvs1_vs0 and vvs0_vs1 in the fake /sys/class/net.
    void ip_builds_the_pair() {
        sb.tool("ip")
            .on({"link", "add", "vvs1_vs0", "type", "veth", "peer", "name", "vvs0_vs1"},
                sb::ok().makes_dir(std::string(kNet) + "vvs1_vs0").makes_dir(std::string(kNet) + "vvs0_vs1"))
            .on({"link", "set", "vvs1_vs0", "master", "vswitch1"},
                sb::ok().removes(std::string(kNet) + "vvs1_vs0/master")
                    .links(std::string(kNet) + "vvs1_vs0/master", "../vswitch1"))
            .on({"link", "set", "vvs0_vs1", "master", "vswitch0"},
                sb::ok().removes(std::string(kNet) + "vvs0_vs1/master")
                    .links(std::string(kNet) + "vvs0_vs1/master", "../vswitch0"))
            .on({"link", "delete", "vvs1_vs0"},
                sb::ok().removes(std::string(kNet) + "vvs1_vs0").removes(std::string(kNet) + "vvs0_vs1"));
    }
    // Calls of the last runs, less the profile activations the restore leaves running: the
    // sandbox ends them with the program, maybe before they are logged.
    sb::Argvs waited_calls() const {
        sb::Argvs v;
        for (const auto& argv : sb.argvs())
            if (!(argv.size() == 4 && argv[0] == "nmcli" && argv[1] == "connection" && argv[2] == "up")) v.push_back(argv);
        return v;
    }
};

TEST_F(VethCli, ConnectThenRestoreFindsNothingToDoThenDisconnect) {
    ip_builds_the_pair();
    listed({"vvs1_vs0", "vvs0_vs1"});

    auto connect = sb.run({"vswitch", "connect", "--bridge", "vswitch1", "--to", "vswitch0"});
    EXPECT_EQ(connect.status, 0) << connect;
    EXPECT_EQ(connect.err, "");
    EXPECT_EQ(connect.out,
              "[+] Connecting bridge 'vswitch1' to master 'vswitch0'\n"
              "[+] Allowing kernel to process veth pair creation...\n"
              "[+] Successfully added veth 'vvs1_vs0' to bridge 'vswitch1'\n"
              "[+] Allowing kernel to process first bridge attachment...\n"
              "[+] Successfully added veth 'vvs0_vs1' to master bridge 'vswitch0'\n"
              "[+] Creating systemd service for veth persistence...\n"
              "[+] Systemd service 'quillmar-veth-restore' created and enabled\n"
              "[+] Veth pairs will be automatically restored on boot\n"
              "[+] Creating systemd timer for periodic veth pair checking...\n"
              "[+] Systemd timer 'quillmar-veth-check' created and started\n"
              "[+] Veth pairs will be checked and restored every 3 minutes if needed\n"
              "[+] Successfully connected bridge 'vswitch1' to master 'vswitch0' with persistent veth pairs\n");
    EXPECT_EQ(sb.argvs_of("ip"), (sb::Argvs{{"ip", "link", "add", "vvs1_vs0", "type", "veth", "peer", "name", "vvs0_vs1"},
                                            {"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"},
                                            {"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"},
                                            {"ip", "link", "set", "vvs1_vs0", "up"},
                                            {"ip", "link", "set", "vvs0_vs1", "up"}}))
        << sb.dump();
    EXPECT_EQ(sb.argvs_of("systemctl"),
              (sb::Argvs{{"systemctl", "daemon-reload"},
                         {"systemctl", "enable", "quillmar-veth-restore"},
                         {"systemctl", "daemon-reload"},
                         {"systemctl", "enable", "quillmar-veth-check.timer"},
                         {"systemctl", "start", "quillmar-veth-check.timer"}}));
    for (const char* unit : {"quillmar-veth-restore.service", "quillmar-veth-check.service", "quillmar-veth-check.timer"})
        EXPECT_TRUE(sb.exists(std::string("/etc/systemd/system/") + unit)) << unit;
    EXPECT_EQ(sb.read(kJoins), "{\n  \"vswitch0\": [\n    \"vswitch1\"\n  ]\n}");
    const std::string ledger = sb.read(kLedger).value_or("");
    EXPECT_NE(ledger.find("\"veth_pairs\": [\n    \"vvs1_vs0\",\n    \"vvs0_vs1\"\n  ]"), std::string::npos) << ledger;
    EXPECT_EQ(sb.link_target(std::string(kNet) + "vvs1_vs0/master"), "../vswitch1");

    // What the boot units run: the pair is there with its masters.
    sb.clear_calls();
    auto restore = sb.run({"vswitch", "veth", "restore"});
    EXPECT_EQ(restore.status, 0) << restore;
    EXPECT_EQ(restore.err, "");
    EXPECT_EQ(restore.out,
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] Restoring veth pair between 'vswitch1' and 'vswitch0'\n"
              "[+] Veth pair 'vvs1_vs0' <-> 'vvs0_vs1' already exists with correct masters, skipping\n"
              "[+] No veth pairs needed to be restored\n");
    EXPECT_EQ(sb.argvs_of("ip"), sb::Argvs{}) << sb.dump();

    sb.clear_calls();
    auto disconnect = sb.run({"vswitch", "disconnect", "--bridge", "vswitch1", "--from", "vswitch0"});
    EXPECT_EQ(disconnect.status, 0) << disconnect;
    EXPECT_EQ(disconnect.err, "");
    EXPECT_EQ(disconnect.out,
              "[+] Disconnecting bridge 'vswitch1' from master 'vswitch0'\n"
              "[+] Successfully disconnected bridge 'vswitch1' from master 'vswitch0'\n");
    EXPECT_EQ(sb.argvs_of("ip"), (sb::Argvs{{"ip", "link", "delete", "vvs1_vs0"}}));
    EXPECT_FALSE(sb.exists(std::string(kNet) + "vvs0_vs1"));
    EXPECT_EQ(sb.read(kJoins), "{}");
    EXPECT_NE(sb.read(kLedger).value_or("").find("\"veth_pairs\": []"), std::string::npos) << *sb.read(kLedger);
}

TEST_F(VethCli, RestoreRecreatesAVanishedPairAndReenslavesAMovedEnd) {
    ip_builds_the_pair();
    sb.write(kJoins, "{\"vswitch0\": [\"vswitch1\"]}");
    const std::string ledger = "{\"vswitches\": [], \"vlan_bridges\": [], \"veth_pairs\": [\"vvs1_vs0\", \"vvs0_vs1\"],"
                               " \"created_at\": \"2026-12-10T10:00:00+00:00\"}";
    sb.write(kLedger, ledger);

    // After a reboot: no pair at all.
    listed({});
    auto created = sb.run({"vswitch", "veth", "restore"});
    EXPECT_EQ(created.status, 0) << created;
    EXPECT_EQ(created.err, "");
    EXPECT_EQ(created.out,
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] Restoring veth pair between 'vswitch1' and 'vswitch0'\n"
              "[+] Successfully added veth 'vvs1_vs0' to bridge 'vswitch1'\n"
              "[+] Successfully added veth 'vvs0_vs1' to master bridge 'vswitch0'\n"
              "[+] Successfully restored veth pair 'vvs1_vs0' <-> 'vvs0_vs1'\n"
              "[+] Successfully restored 1 veth pairs\n");
    EXPECT_EQ(sb.argvs_of("ip"), (sb::Argvs{{"ip", "link", "add", "vvs1_vs0", "type", "veth", "peer", "name", "vvs0_vs1"},
                                            {"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"},
                                            {"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"},
                                            {"ip", "link", "set", "vvs1_vs0", "up"},
                                            {"ip", "link", "set", "vvs0_vs1", "up"}}))
        << sb.dump();
    EXPECT_EQ(sb.link_target(std::string(kNet) + "vvs0_vs1/master"), "../vswitch0");

    // The pair is back; then its bridge end drops out of its bridge. Only /sys/class/net
    // tells the two cases apart.
    listed({"vvs1_vs0", "vvs0_vs1"});
    sb.remove(std::string(kNet) + "vvs1_vs0/master");
    sb.clear_calls();
    auto fixed = sb.run({"vswitch", "veth", "restore"});
    EXPECT_EQ(fixed.status, 0) << fixed;
    EXPECT_EQ(fixed.err, "");
    EXPECT_EQ(fixed.out,
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] Restoring veth pair between 'vswitch1' and 'vswitch0'\n"
              "[+] Veth pair 'vvs1_vs0' <-> 'vvs0_vs1' exists but has incorrect masters, fixing...\n"
              "[+] Fixed master for 'vvs1_vs0' -> 'vswitch1'\n"
              "[+] Successfully restored 1 veth pairs\n");
    EXPECT_EQ(waited_calls(),
              (sb::Argvs{{"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                         {"nmcli", "-t", "-f", "DEVICE,TYPE", "device", "status"},
                         {"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                         {"nmcli", "-t", "-f", "DEVICE,TYPE", "device", "status"},
                         {"nmcli", "device", "status"},
                         {"nmcli", "device", "status"},
                         {"ip", "link", "set", "vvs1_vs0", "master", "vswitch1"}}))
        << sb.dump();

    sb.clear_calls();
    auto settled = sb.run({"vswitch", "veth", "restore"});
    EXPECT_TRUE(settled.out.ends_with("[+] No veth pairs needed to be restored\n")) << settled;
    EXPECT_EQ(sb.argvs_of("ip"), sb::Argvs{});
    // The restore changes only the host.
    EXPECT_EQ(sb.read(kJoins), "{\"vswitch0\": [\"vswitch1\"]}");
    EXPECT_EQ(sb.read(kLedger), ledger);
}

class VswitchDeleteCli : public sb::SandboxTest {};

TEST_F(VswitchDeleteCli, AMasterJoinedToTwoBridgesTakesBothPairsWithIt) {
    for (const char* dev : {"vswitch1", "vswitch2", "vswitch3", "vvs2_vs1", "vvs1_vs2", "vvs3_vs1", "vvs1_vs3"})
        sb.iface(dev);
    sb.tool("nmcli")
        .on({"-g", "connection.uuid", "connection", "show", "Hub"}, sb::ok("6f1c0a52-hub\n"))
        .on({"-t", "-f", "NAME,TYPE", "connection", "show"},
            sb::ok("Hub:bridge\neno2:802-3-ethernet\nLab:bridge\nHub Uplink:802-3-ethernet\n"))
        .on({"-g", "connection.master", "connection", "show", "eno2"}, sb::ok("6f1c0a52-hub\n"))
        .on({"-g", "connection.master", "connection", "show", "Hub Uplink"}, sb::ok("vswitch1\n"))
        .on({"-g", "connection.interface-name", "connection", "show", "Hub"}, sb::ok("vswitch1\n"))
        .on({"-g", "connection.interface-name", "connection", "show", "Lab"}, sb::ok("vswitch2\n"))
        .on({"-t", "-f", "DEVICE,TYPE", "device", "status"},
            sb::ok("vswitch1:bridge\nvswitch2:bridge\nvswitch3:bridge\n"))
        .on({"-t", "-f", "NAME,UUID,DEVICE", "connection", "show"}, sb::ok("Lab:u-lab:vswitch2\n"));
    sb.tool("ip")
        .on({"link", "delete", "vvs2_vs1"}, sb::ok().removes("/sys/class/net/vvs2_vs1").removes("/sys/class/net/vvs1_vs2"))
        .on({"link", "delete", "vvs3_vs1"}, sb::ok().removes("/sys/class/net/vvs3_vs1").removes("/sys/class/net/vvs1_vs3"));
    sb.write(kJoins, "{\"vswitch1\": [\"vswitch2\", \"vswitch3\"], \"vswitch9\": [\"vswitch3\"]}");
    sb.write(kLedger,
             "{\"vswitches\": [\"Hub\", \"Lab\"], \"vlan_bridges\": [], \"veth_pairs\": [\"vvs2_vs1\", \"vvs1_vs2\", "
             "\"vvs3_vs1\", \"vvs1_vs3\"], \"bonds\": [], \"created_at\": \"2026-12-10T10:00:00+00:00\"}");

    auto r = sb.run({"vswitch", "delete", "--name", "Hub"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Cleaning up veth pairs associated with bridge 'Hub'\n"
              "[+] Found connection: vswitch1 -> vswitch2 (master relationship)\n"
              "[+] Deleting veth pair: vswitch2 <-> vswitch1 (interfaces: vvs2_vs1 <-> vvs1_vs2)\n"
              "  - Successfully deleted veth pair: vvs2_vs1 <-> vvs1_vs2\n"
              "[+] Found connection: vswitch1 -> vswitch3 (master relationship)\n"
              "[+] Deleting veth pair: vswitch3 <-> vswitch1 (interfaces: vvs3_vs1 <-> vvs1_vs3)\n"
              "  - Successfully deleted veth pair: vvs3_vs1 <-> vvs1_vs3\n"
              "[+] Cleaned up 2 veth pairs associated with bridge 'vswitch1'\n"
              "[+] Cleaning up stale NetworkManager connections...\n"
              "[+] No stale connections found\n");
    sb::Argvs changes;
    for (const auto& argv : sb.argvs())
        if (argv[0] == "ip" || (argv.size() > 2 && argv[1] == "connection" && argv[2] == "delete")) changes.push_back(argv);
    // The uplink goes once, as the port it is.
    EXPECT_EQ(changes, (sb::Argvs{{"nmcli", "connection", "delete", "eno2"},
                                  {"nmcli", "connection", "delete", "Hub Uplink"},
                                  {"nmcli", "connection", "delete", "veth-vswitch2-vswitch1"},
                                  {"nmcli", "connection", "delete", "veth-vswitch1-vswitch2"},
                                  {"ip", "link", "delete", "vvs2_vs1"},
                                  {"nmcli", "connection", "delete", "veth-vswitch3-vswitch1"},
                                  {"nmcli", "connection", "delete", "veth-vswitch1-vswitch3"},
                                  {"ip", "link", "delete", "vvs3_vs1"},
                                  {"nmcli", "connection", "delete", "Hub"}}))
        << sb.dump();
    for (const char* veth : {"vvs2_vs1", "vvs1_vs2", "vvs3_vs1", "vvs1_vs3"})
        EXPECT_FALSE(sb.exists(std::string("/sys/class/net/") + veth)) << veth;
    // The master's own key is gone; vswitch3 stays joined to the other master.
    EXPECT_EQ(sb.read(kJoins), "{\n  \"vswitch9\": [\n    \"vswitch3\"\n  ]\n}");
    EXPECT_EQ(sb.read(kLedger), "{\n  \"vswitches\": [\n    \"Lab\"\n  ],\n  \"vlan_bridges\": [],\n  \"veth_pairs\": [],\n"
                                "  \"bonds\": [],\n  \"created_at\": \"2026-12-10T10:00:00+00:00\"\n}");
}

}  // namespace

