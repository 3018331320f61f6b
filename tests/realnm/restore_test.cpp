// `config restore` against a real NetworkManager: a backup of two bridges, a bridge port and a
// veth pair between the bridges is put back onto a host that lacks them; the profiles, the
// live bridges and ports, the veth pair with its profiles and the files are checked afterwards.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;

const std::string kVeth = R"({"veth_name": "vvs4_vs5", "veth_peer": "vvs5_vs4", "bridge1": "vswitch4",
      "bridge2": "vswitch5", "created_at": "2024-01-02T03:04:05Z", "connection_id": "vswitch4_vswitch5"})";

// The backup: bridges Lab (vswitch4, its MAC pinned, eth1 as its port) and Hub (vswitch5),
// joined by a veth pair; Hub is the master.
const std::string kBackup = R"({
  "metadata": {"name": "lab", "description": null, "created_at": "2024-01-02T03:04:05Z",
               "version": "1.0.0", "is_default": false},
  "network_manager": {"connections": [
    {"name": "Lab", "uuid": "vswitch4", "type_": "bridge", "interface_name": "vswitch4",
     "bridge_mac_address": "52:54:00:AB:00:04", "ipv4_method": "disabled", "ipv6_method": "ignore",
     "autoconnect": true},
    {"name": "Hub", "uuid": "vswitch5", "type_": "bridge", "interface_name": "vswitch5",
     "ipv4_method": "disabled", "ipv6_method": "ignore", "autoconnect": true},
    {"name": "Lab Uplink", "uuid": "eth1", "type_": "802-3-ethernet", "interface_name": "eth1",
     "master": "vswitch4", "slave_type": "bridge", "autoconnect": true}
  ]},
  "libvirt_networks": [],
  "bridge_mac_addresses": {"vswitch4": "52:54:00:ab:00:04"},
  "veth_connections": [)" + kVeth + R"(],
  "bridge_topology": {"master_bridges": ["vswitch5"], "bridge_connections": {"vswitch5": ["vswitch4"]},
                      "veth_pairs": [)" + kVeth + R"(]},
  "managed_resources": {"vswitches": ["Lab", "Hub"], "vlan_bridges": [], "veth_pairs": ["vvs4_vs5", "vvs5_vs4"],
                        "bonds": [], "created_at": "2024-01-02T03:04:05+00:00"}
})";

class Restore : public realnm::RealNmTest {
protected:
    void write_inside(const std::string& path, const std::string& content) {
        auto r = nm.exec({"sh", "-c", "mkdir -p \"$(dirname \"$2\")\" && printf %s \"$1\" >\"$2\"", "sh", content, path});
        ASSERT_EQ(r.status, 0) << r;
    }
    void expect_veth_profile(const std::string& name, const std::string& ifname) {
        SCOPED_TRACE(name);
        auto p = nm.profile(name);
        ASSERT_TRUE(p.has_value()) << nm.diagnostics();
        EXPECT_EQ(p->type, "802-3-ethernet");
        EXPECT_EQ(nm.field(name, "connection.interface-name"), ifname);
        EXPECT_EQ(nm.field(name, "connection.autoconnect"), "yes");
        EXPECT_EQ(nm.field(name, "connection.autoconnect-priority"), "400");
        EXPECT_EQ(nm.field(name, "ipv4.method"), "disabled");
        EXPECT_EQ(nm.field(name, "ipv6.method"), "disabled");
    }
};

TEST_F(Restore, PutsBridgesTheirPortAndAVethPairBack) {
    // The host before: a bridge the program made that the backup does not hold, and one it
    // did not make.
    auto made = nm.run_quillmar({"vswitch", "create", "--name", "Old", "--uplink", "none"});
    ASSERT_EQ(made.status, 0) << made;
    nm.nmcli({"connection", "add", "type", "bridge", "ifname", "br-other", "con-name", "Other", "ipv4.method",
              "disabled", "ipv6.method", "ignore"});
    write_inside("/var/lib/quillmar/backups/lab.json", kBackup);

    auto r = nm.run_quillmar({"config", "restore", "--name", "lab"});
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_THAT(r.out, HasSubstr("[-] Removing managed connection 'Old' (not in backup)\n"));
    EXPECT_THAT(r.out, HasSubstr("  + Restored veth connection: vvs4_vs5 <-> vvs5_vs4 (bridges: vswitch4 <-> "
                                 "vswitch5) with NetworkManager persistence\n"))
        << r << nm.diagnostics();
    EXPECT_THAT(r.out, HasSubstr("[+] Configuration restore completed successfully\n"));
    // Only the existence checks of the profiles and the veth pair it then adds are refused.
    for (const auto& refused : r.refusals())
        EXPECT_THAT(refused.argv, testing::ElementsAre("nmcli", "connection", "show", testing::_)) << refused;
    EXPECT_THAT(r.refusals({}, "ip"),
                testing::ElementsAre(testing::Field(&realnm::ToolCall::argv,
                                                    realnm::Args{"ip", "link", "show", "vvs4_vs5"})))
        << r;

    // The profiles, with the properties of the backup.
    EXPECT_FALSE(nm.profile("Old").has_value());
    EXPECT_TRUE(nm.profile("Other").has_value());
    for (const auto& [name, dev] : std::vector<std::pair<std::string, std::string>>{{"Lab", "vswitch4"},
                                                                                    {"Hub", "vswitch5"}}) {
        SCOPED_TRACE(name);
        auto p = nm.profile(name);
        ASSERT_TRUE(p.has_value()) << nm.diagnostics();
        EXPECT_EQ(p->type, "bridge");
        EXPECT_EQ(nm.field(name, "connection.interface-name"), dev);
        EXPECT_EQ(nm.field(name, "ipv4.method"), "disabled");
        EXPECT_EQ(nm.field(name, "ipv6.method"), "ignore");
        EXPECT_EQ(nm.field(name, "connection.autoconnect"), "yes");
    }
    EXPECT_EQ(nm.field("Lab", "bridge.mac-address"), "52:54:00:AB:00:04");
    EXPECT_EQ(nm.field("Lab Uplink", "connection.interface-name"), "eth1");
    EXPECT_EQ(nm.field("Lab Uplink", "connection.master"), "vswitch4");
    EXPECT_EQ(nm.field("Lab Uplink", "connection.slave-type"), "bridge");
    expect_veth_profile("veth-vswitch4-vswitch5", "vvs4_vs5");
    expect_veth_profile("veth-vswitch5-vswitch4", "vvs5_vs4");

    // The bridges run on their devices, with the pinned MAC, and each veth end is on its
    // bridge, also once NetworkManager has activated the end's profile.
    EXPECT_TRUE(nm.wait_for([&] {
        auto lab = nm.profile("Lab"), hub = nm.profile("Hub");
        return lab && lab->device == "vswitch4" && hub && hub->device == "vswitch5";
    })) << nm.diagnostics();
    EXPECT_EQ(nm.link_mac("vswitch4"), "52:54:00:ab:00:04");
    auto veth_on_bridges = [&] {
        return nm.link_master("vvs4_vs5") == "vswitch4" && nm.link_master("vvs5_vs4") == "vswitch5";
    };
    EXPECT_TRUE(nm.wait_for(veth_on_bridges)) << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return !nm.link_exists("vswitch1"); })) << nm.diagnostics();

    // The files: the topology and the backup's ledger.
    EXPECT_EQ(nm.read("/var/lib/quillmar/master_bridges.json"), "[\n  \"vswitch5\"\n]");
    EXPECT_EQ(nm.read("/var/lib/quillmar/bridge_connections.json"), "{\n  \"vswitch5\": [\n    \"vswitch4\"\n  ]\n}");
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Lab", "Hub"}, {}, {"vvs4_vs5", "vvs5_vs4"}));

    // After a restart NetworkManager shows each enslaved veth end under a profile of the end's
    // name, which the ledger tracks. A second restore keeps them, finds everything else in
    // place and changes nothing.
    nm.restart_nm();
    ASSERT_TRUE(nm.wait_for(veth_on_bridges)) << nm.diagnostics();
    auto again = nm.run_quillmar({"config", "restore", "--name", "lab"});
    ASSERT_EQ(again.status, 0) << again;
    EXPECT_EQ(again.err, "") << again;
    EXPECT_THAT(again.out, HasSubstr("  - Connection 'Lab' already exists, skipping\n"));
    EXPECT_THAT(again.out, HasSubstr("  - Veth pair 'vvs4_vs5' already exists, skipping\n"));
    for (const auto& argv : again.argvs_of("nmcli")) {
        EXPECT_NE(argv[1], "add") << testing::PrintToString(argv);
        EXPECT_NE(argv[2], "delete") << testing::PrintToString(argv);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(veth_on_bridges()) << nm.diagnostics();
    // The port profile was born a port: its interface is on the bridge without anyone's help,
    // and holds no address of its own.
    EXPECT_EQ(nm.link_master("eth1"), "vswitch4") << nm.diagnostics();
    EXPECT_EQ(nm.ip({"-4", "-o", "addr", "show", "dev", "eth1"}), "");
}

}  // namespace

namespace {

// A backup the program took of this host, restored once its bridges are gone: every port comes
// back with its master and slave type. The backup holds none of the profiles NetworkManager makes
// up in memory for the veth ends; a backup that does (as older ones did, with the UUID of a bridge
// profile that is gone as master) does not get them stored.
TEST_F(Restore, ABackupOfThisHostGivesEveryPortItsMasterBack) {
    for (const realnm::Args& args : {
             realnm::Args{"vswitch", "create", "--name", "Storage", "--uplink", "eth2"},
             realnm::Args{"vswitch", "create", "--name", "Lab", "--uplink", "none"},
             realnm::Args{"vswitch", "connect", "--bridge", "Lab", "--to", "Storage"},
         }) {
        auto made = nm.run_quillmar(args);
        ASSERT_EQ(made.status, 0) << made;
    }
    const std::string storage = nm.field("Storage", "connection.uuid").value_or("");
    ASSERT_FALSE(storage.empty());
    ASSERT_TRUE(nm.wait_for([&] { return nm.field("vvs1_vs2", "connection.master") == storage; }))
        << nm.diagnostics();
    auto backup = nm.run_quillmar({"config", "backup", "--name", "live"});
    ASSERT_EQ(backup.status, 0) << backup;
    const std::string live = nm.read("/var/lib/quillmar/backups/live.json").value_or("");
    EXPECT_THAT(live, HasSubstr("\"master\": \"vswitch1\",\n        \"slave_type\": \"bridge\""));
    EXPECT_THAT(live, testing::Not(HasSubstr(storage))) << live;
    EXPECT_THAT(live, testing::Not(HasSubstr("\"name\": \"lo\""))) << live;
    // The same backup as an older program wrote it, with the made-up profile of a veth end.
    std::string old = live;
    const std::string list = "\"connections\": [";
    ASSERT_NE(old.find(list), std::string::npos);
    old.insert(old.find(list) + list.size(),
               R"({"name": "vvs1_vs2", "uuid": "vvs1_vs2", "type_": "802-3-ethernet", "interface_name": "vvs1_vs2",
                   "master": ")" + storage + R"(", "slave_type": "bridge", "autoconnect": false},)");
    write_inside("/var/lib/quillmar/backups/old.json", old);

    for (const char* backup_name : {"live", "old"}) {
        SCOPED_TRACE(backup_name);
        for (const char* name : {"Storage", "Lab"}) {
            auto deleted = nm.run_quillmar({"vswitch", "delete", "--name", name});
            ASSERT_EQ(deleted.status, 0) << deleted;
        }
        ASSERT_FALSE(nm.profile("Storage Uplink").has_value()) << nm.diagnostics();
        ASSERT_TRUE(nm.wait_for([&] { return !nm.profile("vvs1_vs2").has_value(); })) << nm.diagnostics();

        auto r = nm.run_quillmar({"config", "restore", "--name", backup_name});
        ASSERT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.err, "") << r;
        EXPECT_THAT(r.out, HasSubstr("[+] Configuration restore completed successfully\n"));
        // Refused: only the existence checks of what it then adds.
        EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile}), IsEmpty()) << r;
        EXPECT_THAT(r.refusals_except({realnm::kAbsentLink}, "ip"), IsEmpty()) << r;
        EXPECT_THAT(r.argvs_of("nmcli"),
                    testing::Contains(realnm::Args{"nmcli", "connection", "add", "ifname", "eth2", "type", "ethernet",
                                                   "con-name", "Storage Uplink", "master", "vswitch1", "slave-type",
                                                   "bridge", "connection.autoconnect", "yes"}));
        if (std::string(backup_name) == "old") {
            EXPECT_THAT(r.out, HasSubstr("  - Skipping 'vvs1_vs2': its master '" + storage +
                                         "' is neither on this host nor in the backup\n"));
        }
        EXPECT_EQ(nm.field("Storage Uplink", "connection.master"), "vswitch1");
        EXPECT_EQ(nm.field("Storage Uplink", "connection.slave-type"), "bridge");
        // No stored profile is left waiting for a master that is not there.
        for (const auto& p : nm.profiles()) {
            auto master = nm.field(p.name, "connection.master").value_or("");
            if (master.empty() || master == "--") continue;
            EXPECT_TRUE(nm.profile(master).has_value() || nm.link_exists(master) ||
                        nm.nmcli_result({"connection", "show", master}).status == 0)
                << p.name << " -> " << master << "\n" << nm.diagnostics();
        }
        // The pair is back between the bridges, and the port's interface is on its bridge.
        EXPECT_TRUE(nm.wait_for([&] {
            return nm.link_master("vvs1_vs2") == "vswitch1" && nm.link_master("vvs2_vs1") == "vswitch2";
        })) << nm.diagnostics();
        EXPECT_EQ(nm.link_master("eth2"), "vswitch1") << nm.diagnostics();
    }
}

}  // namespace
