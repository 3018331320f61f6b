// Veth joins between bridges against a real NetworkManager and kernel: `vswitch connect`,
// `vswitch veth restore`, `vswitch disconnect`, and `vswitch delete` of a bridge that has
// joins in both roles. The pairs are made with `ip` alone; what counts is the live links and
// their masters, the topology file, the ledger and the veth units.

#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";
constexpr const char* kMasters = "/var/lib/quillmar/master_bridges.json";

class Veth : public realnm::RealNmTest {
protected:
    void create(const std::string& name) {
        auto r = nm.run_quillmar({"vswitch", "create", "--name", name, "--uplink", "none"});
        ASSERT_EQ(r.status, 0) << r;
        ASSERT_EQ(r.err, "") << r;
        EXPECT_THAT(r.refusals(), IsEmpty()) << r;
    }

    // `end` is a live veth whose peer is `peer`, up, and a port of `master`, as the kernel says.
    void expect_end(const std::string& end, const std::string& peer, const std::string& master) {
        SCOPED_TRACE(end);
        EXPECT_EQ(nm.link_master(end), master) << nm.diagnostics();
        auto details = nm.exec({"ip", "-d", "link", "show", end});
        ASSERT_EQ(details.status, 0) << details;
        EXPECT_THAT(details.out, HasSubstr(end + "@" + peer + ": <")) << details.out;
        EXPECT_THAT(details.out, HasSubstr(",UP,LOWER_UP> ")) << details.out;
        EXPECT_THAT(details.out, HasSubstr(" master " + master + " ")) << details.out;
        EXPECT_THAT(details.out, HasSubstr("\n    veth")) << details.out;
        EXPECT_THAT(details.out, HasSubstr("bridge_slave")) << details.out;
    }
    void expect_gone(const std::vector<std::string>& ends) {
        for (const auto& end : ends)
            EXPECT_TRUE(nm.wait_for([&] { return !nm.link_exists(end); })) << end << nm.diagnostics();
    }
    // The ports the kernel has on `bridge`.
    std::string ports_of(const std::string& bridge) { return nm.ip({"-o", "link", "show", "master", bridge}); }

    // Every nmcli refusal of `r` is one of `expected`: the profiles named after a join exist
    // only after a backup restore, so their deletion and activation are refused here.
    void expect_only_refused(const realnm::Result& r, const std::vector<realnm::Args>& expected) {
        for (const auto& c : r.refusals()) {
            EXPECT_THAT(expected, testing::Contains(c.argv)) << c;
            EXPECT_THAT(c.err, HasSubstr("unknown connection")) << c;
        }
        EXPECT_THAT(r.refusals({}, "ip"), IsEmpty()) << r;
    }
};

TEST_F(Veth, ConnectRestoreAndDisconnectTwoIsolatedBridges) {
    create("Lab");  // vswitch1
    create("Dmz");  // vswitch2

    auto connected = run_ok({"vswitch", "connect", "--bridge", "Dmz", "--to", "Lab"});
    EXPECT_THAT(connected.out, StartsWith("[+] Connecting bridge 'Dmz' to master 'Lab'\n"
                                          "[+] Allowing kernel to process veth pair creation...\n"
                                          "[+] Successfully added veth 'vvs2_vs1' to bridge 'vswitch2'\n"
                                          "[+] Allowing kernel to process first bridge attachment...\n"
                                          "[+] Successfully added veth 'vvs1_vs2' to master bridge 'vswitch1'\n"))
        << connected;
    EXPECT_THAT(connected.out,
                EndsWith("[+] Successfully connected bridge 'Dmz' to master 'Lab' with persistent veth pairs\n"));
    EXPECT_THAT(connected.refusals(), IsEmpty()) << connected;
    EXPECT_THAT(connected.refusals({}, "ip"), IsEmpty()) << connected;
    expect_end("vvs2_vs1", "vvs1_vs2", "vswitch2");
    expect_end("vvs1_vs2", "vvs2_vs1", "vswitch1");
    EXPECT_EQ(nm.read(kJoins), "{\n  \"vswitch1\": [\n    \"vswitch2\"\n  ]\n}");
    EXPECT_FALSE(nm.exists(kMasters));
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Lab", "Dmz"}, {}, {"vvs2_vs1", "vvs1_vs2"}));
    // The first join installs the units that bring the pairs back after a reboot.
    for (const std::string unit : {"quillmar-veth-restore.service", "quillmar-veth-check.service"})
        EXPECT_THAT(nm.read("/etc/systemd/system/" + unit).value_or(""),
                    HasSubstr("\nExecStart=/usr/sbin/quillmar vswitch veth restore\n"))
            << unit;
    EXPECT_THAT(nm.read("/etc/systemd/system/quillmar-veth-check.timer").value_or(""),
                HasSubstr("\nOnUnitActiveSec=3min\n"));
    EXPECT_THAT(connected.argvs_of("systemctl"),
                testing::IsSupersetOf(std::vector<realnm::Args>{{"systemctl", "enable", "quillmar-veth-restore"},
                                                                {"systemctl", "enable", "quillmar-veth-check.timer"},
                                                                {"systemctl", "start", "quillmar-veth-check.timer"}}));
    // The bridges stay up under their own profiles.
    EXPECT_TRUE(nm.active("Lab"));
    EXPECT_TRUE(nm.active("Dmz"));
    const auto joins = nm.read(kJoins);
    const auto ledger = nm.ledger();

    // One end taken off its master by hand: only that end is put back.
    nm.ip({"link", "set", "vvs1_vs2", "nomaster"});
    ASSERT_TRUE(nm.wait_for([&] { return nm.link_master("vvs1_vs2") == ""; }));
    auto fixed = run_ok({"vswitch", "veth", "restore"});
    EXPECT_EQ(fixed.out,
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] Restoring veth pair between 'vswitch2' and 'vswitch1'\n"
              "[+] Veth pair 'vvs2_vs1' <-> 'vvs1_vs2' exists but has incorrect masters, fixing...\n"
              "[+] Fixed master for 'vvs1_vs2' -> 'vswitch1'\n"
              "[+] Successfully restored 1 veth pairs\n")
        << fixed;
    EXPECT_EQ(fixed.argvs_of("ip"),
              (std::vector<realnm::Args>{{"ip", "link", "set", "vvs1_vs2", "master", "vswitch1"}}));
    EXPECT_THAT(fixed.refusals(), IsEmpty()) << fixed;
    expect_end("vvs2_vs1", "vvs1_vs2", "vswitch2");
    expect_end("vvs1_vs2", "vvs2_vs1", "vswitch1");

    // The pair deleted by hand (one end takes its peer): made again, with both masters.
    nm.ip({"link", "delete", "vvs2_vs1"});
    expect_gone({"vvs2_vs1", "vvs1_vs2"});
    auto restored = run_ok({"vswitch", "veth", "restore"});
    EXPECT_EQ(restored.out,
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] Restoring veth pair between 'vswitch2' and 'vswitch1'\n"
              "[+] Successfully added veth 'vvs2_vs1' to bridge 'vswitch2'\n"
              "[+] Successfully added veth 'vvs1_vs2' to master bridge 'vswitch1'\n"
              "[+] Successfully restored veth pair 'vvs2_vs1' <-> 'vvs1_vs2'\n"
              "[+] Successfully restored 1 veth pairs\n")
        << restored;
    EXPECT_EQ(restored.argvs_of("ip"),
              (std::vector<realnm::Args>{
                  {"ip", "link", "add", "vvs2_vs1", "type", "veth", "peer", "name", "vvs1_vs2"},
                  {"ip", "link", "set", "vvs2_vs1", "master", "vswitch2"},
                  {"ip", "link", "set", "vvs1_vs2", "master", "vswitch1"},
                  {"ip", "link", "set", "vvs2_vs1", "up"},
                  {"ip", "link", "set", "vvs1_vs2", "up"},
              }));
    expect_only_refused(restored, {{"nmcli", "connection", "up", "veth-vswitch2-vswitch1"},
                                   {"nmcli", "connection", "up", "veth-vswitch1-vswitch2"}});
    expect_end("vvs2_vs1", "vvs1_vs2", "vswitch2");
    expect_end("vvs1_vs2", "vvs2_vs1", "vswitch1");
    // The restore changes the host only.
    EXPECT_EQ(nm.read(kJoins), joins);
    EXPECT_EQ(nm.ledger(), ledger);

    auto steady = run_ok({"vswitch", "veth", "restore"});
    EXPECT_THAT(steady.out, EndsWith("[+] Veth pair 'vvs2_vs1' <-> 'vvs1_vs2' already exists with correct masters, "
                                     "skipping\n[+] No veth pairs needed to be restored\n"))
        << steady;
    EXPECT_THAT(steady.argvs_of("ip"), IsEmpty()) << steady;

    auto disconnected = run_ok({"vswitch", "disconnect", "--bridge", "Dmz", "--from", "Lab"});
    EXPECT_EQ(disconnected.out,
              "[+] Disconnecting bridge 'Dmz' from master 'Lab'\n"
              "[+] Successfully disconnected bridge 'Dmz' from master 'Lab'\n")
        << disconnected;
    EXPECT_EQ(disconnected.argvs_of("ip"), (std::vector<realnm::Args>{{"ip", "link", "delete", "vvs2_vs1"}}));
    expect_only_refused(disconnected, {{"nmcli", "connection", "delete", "veth-vswitch2-vswitch1"},
                                       {"nmcli", "connection", "delete", "veth-vswitch1-vswitch2"}});
    expect_gone({"vvs2_vs1", "vvs1_vs2"});
    EXPECT_EQ(ports_of("vswitch1"), "");
    EXPECT_EQ(ports_of("vswitch2"), "");
    EXPECT_EQ(nm.read(kJoins), "{}");
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Lab", "Dmz"}));
    EXPECT_TRUE(nm.active("Lab"));
    EXPECT_TRUE(nm.active("Dmz"));
    // The units stay for the next join.
    EXPECT_TRUE(nm.exists("/etc/systemd/system/quillmar-veth-restore.service"));

    auto nothing = run_ok({"vswitch", "veth", "restore"});
    EXPECT_EQ(nothing.out,
              "[+] Restoring veth pairs from stored bridge connections...\n"
              "[+] No bridge connections found to restore\n")
        << nothing;
}

TEST_F(Veth, DeletingABridgeTakesItsJoinsInBothRoles) {
    create("Core");  // vswitch1: master of Dmz and Lab, itself joined to Edge
    create("Dmz");   // vswitch2
    create("Lab");   // vswitch3
    create("Edge");  // vswitch4
    run_ok({"vswitch", "connect", "--bridge", "Dmz", "--to", "Core"});
    run_ok({"vswitch", "connect", "--bridge", "Lab", "--to", "vswitch1"});
    run_ok({"vswitch", "connect", "--bridge", "Core", "--to", "Edge"});
    run_ok({"vswitch", "set-master", "--name", "Core"});
    expect_end("vvs2_vs1", "vvs1_vs2", "vswitch2");
    expect_end("vvs1_vs2", "vvs2_vs1", "vswitch1");
    expect_end("vvs3_vs1", "vvs1_vs3", "vswitch3");
    expect_end("vvs1_vs3", "vvs3_vs1", "vswitch1");
    expect_end("vvs1_vs4", "vvs4_vs1", "vswitch1");
    expect_end("vvs4_vs1", "vvs1_vs4", "vswitch4");
    auto joins = nm.read(kJoins).value_or("");
    EXPECT_THAT(joins, HasSubstr("\"vswitch1\": [\n    \"vswitch2\",\n    \"vswitch3\"\n  ]"));
    EXPECT_THAT(joins, HasSubstr("\"vswitch4\": [\n    \"vswitch1\"\n  ]"));
    EXPECT_EQ(nm.read(kMasters), "[\n  \"vswitch1\"\n]");
    EXPECT_EQ(nm.ledger(),
              realnm::ledger_json({"Core", "Dmz", "Lab", "Edge"}, {},
                                  {"vvs2_vs1", "vvs1_vs2", "vvs3_vs1", "vvs1_vs3", "vvs1_vs4", "vvs4_vs1"}));

    auto deleted = run_ok({"vswitch", "delete", "--name", "Core"});
    EXPECT_THAT(deleted.out, StartsWith("[+] Cleaning up veth pairs associated with bridge 'Core'\n")) << deleted;
    for (const std::string line : {
             "[+] Found connection: vswitch1 -> vswitch2 (master relationship)\n"
             "[+] Deleting veth pair: vswitch2 <-> vswitch1 (interfaces: vvs2_vs1 <-> vvs1_vs2)\n"
             "  - Successfully deleted veth pair: vvs2_vs1 <-> vvs1_vs2\n",
             "[+] Found connection: vswitch1 -> vswitch3 (master relationship)\n"
             "[+] Deleting veth pair: vswitch3 <-> vswitch1 (interfaces: vvs3_vs1 <-> vvs1_vs3)\n"
             "  - Successfully deleted veth pair: vvs3_vs1 <-> vvs1_vs3\n",
             "[+] Found connection: vswitch1 -> vswitch4 (connected to master)\n"
             "[+] Deleting veth pair: vswitch1 <-> vswitch4 (interfaces: vvs1_vs4 <-> vvs4_vs1)\n"
             "  - Successfully deleted veth pair: vvs1_vs4 <-> vvs4_vs1\n",
         })
        EXPECT_THAT(deleted.out, HasSubstr(line)) << deleted;
    EXPECT_THAT(deleted.out, EndsWith("[+] Cleaned up 3 veth pairs associated with bridge 'vswitch1'\n"
                                      "[+] Cleaning up stale NetworkManager connections...\n"
                                      "[+] No stale connections found\n"))
        << deleted;
    EXPECT_THAT(deleted.argvs_of("nmcli"), testing::Contains(realnm::Args{"nmcli", "connection", "delete", "Core"}));
    // Refused: the profiles named after the joins. The uplink profile this bridge never had is
    // not asked for.
    EXPECT_THAT(deleted.argvs_of("nmcli"),
                testing::Not(testing::Contains(realnm::Args{"nmcli", "connection", "delete", "Core Uplink"})));
    std::vector<realnm::Args> absent;
    for (const std::string join : {"vswitch2-vswitch1", "vswitch1-vswitch2", "vswitch3-vswitch1", "vswitch1-vswitch3",
                                   "vswitch1-vswitch4", "vswitch4-vswitch1"})
        absent.push_back({"nmcli", "connection", "delete", "veth-" + join});
    expect_only_refused(deleted, absent);
    EXPECT_THAT(deleted.device_as_profile(), IsEmpty()) << deleted;
    EXPECT_THAT(deleted.invalid_fields(), IsEmpty()) << deleted;

    expect_gone({"vvs2_vs1", "vvs1_vs2", "vvs3_vs1", "vvs1_vs3", "vvs1_vs4", "vvs4_vs1", "vswitch1"});
    EXPECT_FALSE(nm.profile("Core").has_value()) << nm.diagnostics();
    for (const char* name : {"Dmz", "Lab", "Edge"}) EXPECT_TRUE(nm.active(name)) << name << nm.diagnostics();
    for (const char* bridge : {"vswitch2", "vswitch3", "vswitch4"}) EXPECT_EQ(ports_of(bridge), "") << bridge;
    EXPECT_EQ(nm.read(kJoins), "{}");
    EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Dmz", "Lab", "Edge"}));
    // Being a master is recorded apart from the bridge, and outlives it.
    EXPECT_EQ(nm.read(kMasters), "[\n  \"vswitch1\"\n]");
}

}  // namespace
