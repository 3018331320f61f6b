#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/dispatch.hpp"
#include "cli/parser.hpp"
#include "cmds/bridge/topology.hpp"
#include "cmds/bridge/vswitch.hpp"
#include "support/fake_host.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

using std::chrono::milliseconds;
using test::Answer;
using test::FakeHost;
using ::testing::HasSubstr;
using ::testing::Not;
using Argv = std::vector<std::string>;
using Pauses = std::vector<milliseconds>;

constexpr const char* kMac = "52:54:00:00:00:02";

// Calls that read the host rather than change it.
bool is_listing(const Argv& argv) {
    for (const auto& word : argv)
        if (word == "show" || word == "status" || word == "list") return true;
    return false;
}

std::vector<Argv> changes(const FakeHost& host) {
    std::vector<Argv> v;
    for (const auto& argv : host.runner.argvs())
        if (!is_listing(argv)) v.push_back(argv);
    return v;
}

// Messages of the event log, without their time stamps.
std::vector<std::string> log_messages(const FakeHost& host) {
    std::vector<std::string> v;
    auto text = host.read_file("/var/log/quillmar.log");
    if (!text) return v;
    for (const auto& line : split_lines(*text)) v.push_back(line.substr(line.find("] ") + 2));
    return v;
}

Argv del(const std::string& name) { return {"nmcli", "connection", "delete", name}; }
Argv up(const std::string& name) { return {"nmcli", "connection", "up", name}; }
Argv pin(const std::string& profile) { return {"nmcli", "connection", "modify", profile, "bridge.mac-address", kMac}; }
// The pinned MAC put on the running bridge right after the profile's.
Argv live(const std::string& device) { return {"ip", "link", "set", device, "address", kMac}; }
Argv direct(const std::string& ifname, const std::string& profile, const std::string& device) {
    return {"nmcli", "connection", "add", "type", "ethernet", "ifname", ifname, "con-name", profile,
            "master", device, "connection.autoconnect", "yes"};
}
Argv autoconnect_slaves(const std::string& device) {
    return {"nmcli", "connection", "modify", device, "connection.autoconnect-slaves", "1"};
}

// A host with the state and log directories in place, and ways to script it.
struct UplinkHost {
    FakeHost host;
    UplinkHost() {
        std::filesystem::create_directories(host.file("/var/lib/quillmar"));
        std::filesystem::create_directories(host.file("/var/log"));
    }

    // A bridge profile on a device as name resolution, the IPv4-method lookup and the MAC
    // preservation see it; `name_type` adds lines to the NAME,TYPE listing.
    void bridge(const std::string& profile, const std::string& device, const std::string& method = "manual",
                const std::string& name_type = "") {
        host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                       Answer::ok(profile + ":bridge\n" + name_type));
        host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", profile},
                       Answer::ok(device + "\n"));
        host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE,DEVICE", "connection", "show"},
                       Answer::ok(profile + ":bridge:" + device + "\n"));
        host.runner.on({"nmcli", "-g", "ipv4.method", "connection", "show", profile}, Answer::ok(method + "\n"));
        host.runner.on({"ip", "link", "show", device},
                       Answer::ok("5: " + device + ": <UP> mtu 1500\n    link/ether " + kMac + " brd ff:ff:ff:ff:ff:ff\n"));
        // No uplink profile yet unless a test says otherwise.
        uplink_profile_exists(profile == "Management Network" || device == "vswitch0" ? "Management Uplink"
                                                                                      : profile + " Uplink",
                              false);
    }
    void uplink_profile_exists(const std::string& profile, bool exists) {
        host.runner.on({"nmcli", "connection", "show", profile}, exists ? Answer::ok("connection.id: x\n") : Answer::exit(10));
    }
    void master_of(const std::string& profile, const std::string& master) {
        host.runner.on({"nmcli", "-g", "connection.master", "connection", "show", profile}, Answer::ok(master + "\n"));
    }
    void physical(const std::string& name, const std::string& pci) {
        auto dir = host.file("/sys/class/net/" + name);
        std::filesystem::create_directories(dir);
        std::filesystem::create_symlink("../../../devices/pci0000:00/" + pci, dir / "device");
    }
    Status change(const std::string& name, const std::string& uplinks, bool master = false) {
        return configure_bridge_uplink(host.ctx, name, uplinks, master);
    }
};

struct Uplink : ::testing::Test, UplinkHost {};

TEST_F(Uplink, DirectUplinkReplacesTheProfilesEnslavedToTheBridge) {
    bridge("Storage", "vswitch2");
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE", "connection", "show"},
                   Answer::ok("Storage:vswitch2\nOld Uplink:eno9\neno1:\nOld Bond:bond0\nWired:enp3s0\n"));
    master_of("Old Uplink", "vswitch2");
    master_of("Old Bond", "vswitch2");
    // Named like the new uplink interface: left alone even though its master is the bridge.
    master_of("eno1", "vswitch2");

    ASSERT_TRUE(change("Storage", " eno1 "));
    EXPECT_EQ(changes(host), (std::vector<Argv>{
                                 del("Old Uplink"),
                                 del("Old Bond"),
                                 del("bond0"),
                                 direct("eno1", "Storage Uplink", "vswitch2"),
                                 autoconnect_slaves("vswitch2"),
                                 up("vswitch2"),
                                 up("Storage Uplink"),
                                 pin("vswitch2"),
                                 live("vswitch2"),
                             }));
    EXPECT_EQ(host.out.str(),
              "[+] Found bridge device: 'vswitch2'\n"
              "[!] Warning: No original MAC address found for vswitch2, using current MAC\n"
              "[+] Preserving existing IPv4 method for vswitch2: manual\n"
              "[+] Configuring 'eno1' as direct bridge uplink\n"
              "[+] Enhanced MAC preservation for vswitch2 with uplink eno1\n"
              "[+] Using original MAC for continuity: 52:54:00:00:00:02\n"
              "[+] Applying MAC preservation strategy: 52:54:00:00:00:02\n"
              "[+] Stored original MAC address for vswitch2: 52:54:00:00:00:02\n"
              "[+] Saved network identity for vswitch2\n");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.sleeper.pauses, Pauses{});
    EXPECT_THAT(host.runner.calls, ::testing::Contains(test::Call{direct("eno1", "Storage Uplink", "vswitch2"),
                                                                  RunMode::Change}));
}

// Bringing the bridge up again releases its joins' ends; the change puts them back after it.
TEST_F(Uplink, TheJoinsEndsGoBackOnTheReactivatedBridge) {
    bridge("Storage", "vswitch2");
    host.write_file("/var/lib/quillmar/bridge_connections.json", R"({"vswitch2": ["vswitch1"]})");
    const auto net = host.file("/sys/class/net");
    std::filesystem::create_directories(net / "vvs2_vs1");
    std::filesystem::create_symlink("../vswitch2", net / "vvs2_vs1" / "master");
    host.runner.while_running = [&](const Argv& argv) {
        if (argv == up("vswitch2")) std::filesystem::remove(net / "vvs2_vs1" / "master");
    };

    ASSERT_TRUE(change("Storage", "eno1"));
    const auto calls = host.runner.argvs();
    const auto activation = std::find(calls.begin(), calls.end(), up("vswitch2"));
    ASSERT_NE(activation, calls.end());
    EXPECT_NE(std::find(activation, calls.end(), Argv{"ip", "link", "set", "vvs2_vs1", "master", "vswitch2"}),
              calls.end());
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Put veth end 'vvs2_vs1' back on bridge 'vswitch2'\n"));
}

// Ports made by hand name the bridge by its profile, which nmcli stores as the profile's UUID:
// they are the old uplink all the same. A port of another bridge stays.
TEST_F(Uplink, PortsNamingTheBridgeByProfileNameOrUuidGoWithTheOldUplink) {
    bridge("Lab", "vswitch5");
    host.runner.on({"nmcli", "-t", "-f", "NAME,UUID,DEVICE,TYPE", "connection", "show"},
                   Answer::ok("Lab:u-lab:vswitch5:bridge\nOther:u-oth:vswitch6:bridge\n"));
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE", "connection", "show"},
                   Answer::ok("Lab:vswitch5\nLab Port:eth2\nBy Name:eth4\nElsewhere:eth7\nLab Bond:bond1\n"));
    master_of("Lab Port", "u-lab");
    master_of("By Name", "Lab");
    master_of("Elsewhere", "u-oth");
    master_of("Lab Bond", "u-lab");

    ASSERT_TRUE(change("Lab", "eth3"));
    EXPECT_EQ(changes(host), (std::vector<Argv>{
                                 del("Lab Port"),
                                 del("By Name"),
                                 del("Lab Bond"),
                                 del("bond1"),
                                 direct("eth3", "Lab Uplink", "vswitch5"),
                                 autoconnect_slaves("vswitch5"),
                                 up("vswitch5"),
                                 up("Lab Uplink"),
                                 pin("vswitch5"),
                                 live("vswitch5"),
                             }));
    EXPECT_EQ(host.err.str(), "");
}

// "none" in any case, or nothing, is no uplink, as for `vswitch create`: the old uplink and
// every other port go, and no profile is made.
TEST_F(Uplink, NoneRemovesTheOldUplinkAndMakesNoNewOne) {
    for (const std::string none : {"none", "NONE", " None ", ""}) {
        SCOPED_TRACE("'" + none + "'");
        UplinkHost t;
        t.bridge("Lab", "vswitch5");
        t.uplink_profile_exists("Lab Uplink", true);
        t.host.runner.on({"nmcli", "-t", "-f", "NAME,UUID,DEVICE,TYPE", "connection", "show"},
                         Answer::ok("Lab:u-lab:vswitch5:bridge\n"));
        t.host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE", "connection", "show"},
                         Answer::ok("Lab:vswitch5\nLab Port:eth2\nWired:enp3s0\n"));
        t.master_of("Lab Port", "u-lab");
        ASSERT_TRUE(t.change("Lab", none));
        EXPECT_EQ(changes(t.host), (std::vector<Argv>{del("Lab Uplink"), del("Lab Port")}));
        EXPECT_EQ(t.host.out.str(),
                  "[+] Found bridge device: 'vswitch5'\n"
                  "[!] Warning: No original MAC address found for vswitch5, using current MAC\n"
                  "[+] Removing the uplink of 'vswitch5': no uplink\n");
        EXPECT_EQ(t.host.err.str(), "");
    }
}

// On a real host the bridge's profile is named otherwise than its device and nmcli knows no
// profile "vswitch2": every step that means the bridge's profile names it by its UUID, and the
// messages still name the device.
TEST_F(Uplink, BridgeProfileNamedOtherwiseIsAddressedByItsUuid) {
    bridge("Storage", "vswitch2");
    host.runner.on({"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
                   Answer::ok("Storage:u-st:bridge:vswitch2\nStorage Uplink:u-up:802-3-ethernet:eno9\n"));
    host.runner.on({"nmcli", "-g", "ipv4.method", "connection", "show", "u-st"}, Answer::ok("auto\n"));
    ASSERT_TRUE(change("Storage", "eno1"));
    EXPECT_EQ(changes(host), (std::vector<Argv>{
                                 direct("eno1", "Storage Uplink", "vswitch2"),
                                 autoconnect_slaves("u-st"),
                                 up("u-st"),
                                 up("Storage Uplink"),
                                 pin("u-st"),
                                 live("vswitch2"),
                             }));
    EXPECT_THAT(host.runner.argvs(), ::testing::Contains(Argv{"nmcli", "-g", "ipv4.method", "connection", "show",
                                                              "u-st"}));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Enhanced MAC preservation for vswitch2 with uplink eno1\n"));
    auto id = host.read_file("/var/lib/quillmar/vswitch2_network_identity.json");
    ASSERT_TRUE(id);
    EXPECT_THAT(*id, HasSubstr("\"dhcp_enabled\": true"));

    // An existing bond as the uplink: the bridge is brought up by its UUID as well.
    UplinkHost t;
    t.bridge("Storage", "vswitch2");
    t.host.runner.on({"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
                     Answer::ok("Storage:u-st:bridge:vswitch2\n"));
    t.host.runner.on({"nmcli", "-g", "connection.type", "connection", "show", "Trunk"}, Answer::ok("bond\n"));
    ASSERT_TRUE(t.change("Storage", "Trunk"));
    EXPECT_EQ(changes(t.host), (std::vector<Argv>{up("u-st"), {"nmcli", "connection", "modify", "Trunk", "master",
                                                                "vswitch2", "slave-type", "bridge"},
                                                  up("Trunk")}));
}

TEST_F(Uplink, TwoInterfacesMakeAnActiveBackupBondOnAFreeName) {
    bridge("Management Network", "vswitch0", "auto");
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE", "connection", "show"}, Answer::ok("Old:bond0:bond\n"));
    physical("eno1", "0000:00:19.0");
    physical("eno2", "0000:02:00.0");
    physical("eno3", "0000:03:00.0");

    ASSERT_TRUE(change("Management Network", "eno2, eno3"));
    const Argv member2 = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "eno2",
                          "con-name", "eno2", "master", "bond1", "slave-type", "bond"};
    const Argv member3 = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "eno3",
                          "con-name", "eno3", "master", "bond1", "slave-type", "bond"};
    EXPECT_EQ(changes(host),
              (std::vector<Argv>{
                  {"nmcli", "connection", "add", "type", "bond", "ifname", "bond1", "con-name", "Management Uplink",
                   "mode", "active-backup", "bond.options", "mode=active-backup,miimon=100", "connection.autoconnect",
                   "yes", "connection.autoconnect-slaves", "1"},
                  {"nmcli", "connection", "mod", "Management Uplink", "ipv4.method", "auto", "ipv6.method", "ignore"},
                  del("eno2"),
                  member2,
                  del("eno3"),
                  member3,
                  up("bond1"),
                  up("eno2"),
                  up("eno3"),
                  {"nmcli", "connection", "mod", "Management Uplink", "connection.master", "vswitch0",
                   "connection.slave-type", "bridge"},
                  up("vswitch0"),
                  up("Management Uplink"),
                  pin("vswitch0"),
                  live("vswitch0"),
              }));
    EXPECT_EQ(host.sleeper.pauses, (Pauses{milliseconds(300), milliseconds(500), milliseconds(300)}));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Creating bond1 with: eno2,eno3\n"
                                          "[+] Allowing NetworkManager to process bond creation...\n"
                                          "[+] Allowing NetworkManager to process slave connections...\n"
                                          "[+] Allowing NetworkManager to process bond activation...\n"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Enhanced MAC preservation for vswitch0 with uplink eno2,eno3\n"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Control file created: quillmar is managing network configuration\n"));
    EXPECT_EQ(host.read_file("/var/lib/quillmar/control-file"), "");
    EXPECT_EQ(log_messages(host), (std::vector<std::string>{
                                      "Control file created: quillmar is managing network configuration",
                                      R"(vswitch0 change: uplink changed to ["eno2", "eno3"])",
                                  }));
}

// The bridge's bond uplink: the first bond profile whose own master setting is the bridge
// (nmcli's listing has no master column), whatever its name.
struct BondToSingle : Uplink, ::testing::WithParamInterface<std::string> {};

TEST_P(BondToSingle, CleansUpTheBondAndItsMembers) {
    const std::string bond = GetParam();
    bridge("Storage", "vswitch2", "manual",
           "Spare Bond:bond\n" + bond + ":bond\neno1:802-3-ethernet\nWired:802-3-ethernet\neno2:802-3-ethernet\n");
    master_of("Spare Bond", "vswitch9");
    master_of(bond, "vswitch2");
    master_of("eno1", "bond0");
    master_of("eno2", "bond0");
    // Its master is the bond profile's name, not the bond device: not a member here.
    master_of("Wired", bond);
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", bond}, Answer::ok("bond0\n"));
    track_managed_resource(host.ctx, "bond", bond);
    track_managed_resource(host.ctx, "bond", "Other Bond");

    ASSERT_TRUE(change("Storage", "eno3"));
    EXPECT_EQ(changes(host), (std::vector<Argv>{
                                 del("eno1"),
                                 del("eno2"),
                                 del(bond),
                                 del("Storage Uplink"),
                                 direct("eno3", "Storage Uplink", "vswitch2"),
                                 autoconnect_slaves("vswitch2"),
                                 up("vswitch2"),
                                 up("Storage Uplink"),
                                 pin("vswitch2"),
                                 live("vswitch2"),
                             }));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Found existing bond uplink: " + bond + "\n"
                                          "[+] Changing from bond '" + bond + "' to single interface 'eno3'\n"
                                          "[+] Cleaning up bond '" + bond + "' and its slaves...\n"
                                          "[+] Bond device name: bond0\n"
                                          "[+] Found 2 slave connections to clean up\n"
                                          "  - Deleting slave connection: eno1\n"
                                          "  - Deleting slave connection: eno2\n"
                                          "  - Deleting bond connection: " + bond + "\n"
                                          "[+] Preserving existing IPv4 method for vswitch2: manual\n"
                                          "[+] Configuring 'eno3' as direct bridge uplink\n"));
    for (const auto& argv : host.runner.argvs())
        for (const auto& word : argv) EXPECT_EQ(word.find("MASTER"), std::string::npos) << join(argv, " ");
    auto ledger = host.read_file(kManagedResourcesPath);
    ASSERT_TRUE(ledger);
    EXPECT_THAT(*ledger, Not(HasSubstr(bond)));
    EXPECT_THAT(*ledger, HasSubstr("Other Bond"));
}

INSTANTIATE_TEST_SUITE_P(Named, BondToSingle, ::testing::Values("Uplink Bond", "bond-a"));

TEST_F(Uplink, BondCleanupThatCannotAskIsAnError) {
    // The bond's device name, or a profile's master, cannot be asked.
    for (const std::string unaskable : {"interface-name", "master"}) {
        SCOPED_TRACE(unaskable);
        UplinkHost t;
        t.bridge("Storage", "vswitch2", "manual", "Uplink Bond:bond\neno1:802-3-ethernet\n");
        t.master_of("Uplink Bond", "vswitch2");
        t.host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "Uplink Bond"},
                         unaskable == "interface-name" ? Answer::missing() : Answer::ok("bond0\n"));
        if (unaskable == "master")
            t.host.runner.on({"nmcli", "-g", "connection.master", "connection", "show", "eno1"}, Answer::missing());
        auto r = t.change("Storage", "eno3");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message, "No such file or directory (os error 2)");
        EXPECT_EQ(changes(t.host), std::vector<Argv>{});
    }
}

TEST_F(Uplink, BondWithoutDeviceNameTakesNoUnrelatedProfileForAMember) {
    bridge("Storage", "vswitch2", "manual", "Uplink Bond:bond\nWired:802-3-ethernet\nHome:802-3-ethernet\n");
    master_of("Uplink Bond", "vswitch2");
    ASSERT_TRUE(change("Storage", "eno3"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Found 0 slave connections to clean up\n"));
    EXPECT_THAT(changes(host), Not(::testing::Contains(del("Wired"))));
}

TEST_F(Uplink, ExistingBondProfileBecomesTheUplinkItself) {
    bridge("Storage", "vswitch2");
    uplink_profile_exists("Storage Uplink", true);
    host.runner.on({"nmcli", "-g", "connection.type", "connection", "show", "Trunk"}, Answer::ok("bond\n"));
    const Argv enslave = {"nmcli", "connection", "modify", "Trunk", "master", "vswitch2", "slave-type", "bridge"};

    ASSERT_TRUE(change("Storage", "Trunk", /*master=*/true));
    EXPECT_EQ(changes(host), (std::vector<Argv>{del("Storage Uplink"), up("vswitch2"), enslave, up("Trunk")}));
    EXPECT_THAT(host.runner.calls, ::testing::Contains(test::Call{enslave, RunMode::ChangeWithStderr}));
    EXPECT_EQ(host.sleeper.pauses, (Pauses{milliseconds(500), milliseconds(300)}));
    EXPECT_EQ(host.out.str(),
              "[+] Found bridge device: 'vswitch2'\n"
              "[!] Warning: No original MAC address found for vswitch2, using current MAC\n"
              "[+] Configuring existing bond 'Trunk' as bridge uplink\n"
              "[+] Allowing NetworkManager to process bridge state changes...\n"
              "[+] Successfully configured bond 'Trunk' as bridge uplink\n"
              "[+] Allowing NetworkManager to process bond modification...\n");
    // No master mark, no MAC work: the bond keeps its own set-up.
    EXPECT_FALSE(host.read_file(kMasterBridgesPath));
    EXPECT_FALSE(host.read_file("/var/lib/quillmar/vswitch2_network_identity.json"));
}

TEST_F(Uplink, ExistingBondThatRefusesTheBridgeShowsNmcliError) {
    bridge("Storage", "vswitch2");
    host.runner.on({"nmcli", "-g", "connection.type", "connection", "show", "Trunk"}, Answer::ok("bond\n"));
    host.runner.on({"nmcli", "connection", "modify", "Trunk", "master", "vswitch2", "slave-type", "bridge"},
                   [] {
                       auto a = Answer::exit(1);
                       a.err = "Error: nope.\n";
                       return a;
                   }());
    ASSERT_TRUE(change("Storage", "Trunk"));
    EXPECT_EQ(host.err.str(), "[-] Failed to configure bond 'Trunk' as bridge uplink\n[-] Error: Error: nope.\n\n");
    EXPECT_THAT(changes(host), Not(::testing::Contains(up("Trunk"))));
    EXPECT_EQ(host.sleeper.pauses, Pauses{milliseconds(500)});
}

TEST_F(Uplink, ManagementBridgeRecordsWhetherItLeftTheBaselineUplink) {
    struct Case {
        std::string profile, device, uplink;
        bool control_file_before, control_file_after;
        std::vector<std::string> log;
    };
    const std::vector<Case> cases = {
        {"Management Network", "vswitch0", "eno1", true, true,
         {"vswitch0 change: returning to baseline uplink eno1 (keeping control file)"}},
        {"Management Network", "vswitch0", "eno1", false, false,
         {"vswitch0 change: returning to baseline uplink eno1 (keeping control file)"}},
        {"vswitch0", "vswitch0", "eno2", false, true,
         {"Control file created: quillmar is managing network configuration",
          R"(vswitch0 change: uplink changed to ["eno2"])"}},
        {"Management Network", "vswitch5", "eno2", false, true,
         {"Control file created: quillmar is managing network configuration",
          R"(vswitch0 change: uplink changed to ["eno2"])"}},
        {"vswitch0", "vswitch0", "eno2,a\"b\\c", false, true,
         {"Control file created: quillmar is managing network configuration",
          R"(vswitch0 change: uplink changed to ["eno2", "a\"b\\c"])"}},
        {"Storage", "vswitch2", "eno2", false, false, {}},
    };
    for (const auto& c : cases) {
        UplinkHost t;
        t.bridge(c.profile, c.device);
        t.physical("eno2", "0000:02:00.0");
        t.physical("eno1", "0000:00:19.0");
        if (c.control_file_before) t.host.write_file("/var/lib/quillmar/control-file", "");
        ASSERT_TRUE(t.change(c.profile, c.uplink));
        EXPECT_EQ(t.host.read_file("/var/lib/quillmar/control-file").has_value(), c.control_file_after)
            << c.profile << " " << c.uplink;
        EXPECT_EQ(log_messages(t.host), c.log) << c.profile << " " << c.uplink;
        EXPECT_EQ(t.host.out.str().find("[+] Control file created") != std::string::npos,
                  !c.control_file_before && c.control_file_after);
    }
}

TEST_F(Uplink, ControlFileFailureIsAWarningAndTheChangeIsStillLogged) {
    bridge("Management Network", "vswitch0");
    // A directory where the file should be: the rename over it fails.
    std::filesystem::create_directories(host.file("/var/lib/quillmar/control-file"));
    ASSERT_TRUE(change("Management Network", "eno2"));
    EXPECT_THAT(host.out.str(), HasSubstr("[!] Warning: Failed to create control file: Is a directory (os error 21)\n"));
    EXPECT_EQ(log_messages(host), std::vector<std::string>{R"(vswitch0 change: uplink changed to ["eno2"])"});
}

TEST_F(Uplink, ControlFileIsNeverWrittenThroughALinkAtItsTemporaryName) {
    bridge("Management Network", "vswitch0");
    host.write_file("/victim", "precious");
    std::filesystem::create_symlink(host.file("/victim"), host.file("/var/lib/quillmar/control-file.tmp"));
    ASSERT_TRUE(change("Management Network", "eno2"));
    EXPECT_EQ(host.read_file("/victim"), "precious");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(host.file(kControlFilePath))));
    EXPECT_EQ(host.read_file(kControlFilePath), "");
}

TEST_F(Uplink, TapSyncThatCannotStartCostsNeitherTheMasterMarkNorTheControlFile) {
    struct Case {
        const char* name;
        std::string err;
    };
    for (const auto& c : {Case{"no virsh", "Failed to list VMs: No such file or directory (os error 2)\n"},
                          Case{"no ip for the tap", "Failed to get link status for vnet0\n"}}) {
        SCOPED_TRACE(c.name);
        UplinkHost t;
        t.bridge("Management Network", "vswitch0");
        if (c.err.find("VMs") != std::string::npos) {
            t.host.runner.missing("virsh");
        } else {
            t.host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("web01\n"));
            t.host.runner.on({"virsh", "dumpxml", "web01"},
                             Answer::ok("<source bridge='vswitch0'/>\n<target dev='vnet0'/>\n"));
            t.host.runner.on({"ip", "link", "show", "vnet0"}, Answer::missing());
        }
        ASSERT_TRUE(t.change("Management Network", "eno2", /*master=*/true));
        EXPECT_EQ(t.host.err.str(), c.err);
        EXPECT_THAT(t.host.out.str(), HasSubstr("[+] Marking bridge 'Management Network' as master bridge\n"));
        EXPECT_EQ(load_master_bridges(t.host.ctx), MasterBridgeList{"vswitch0"});
        EXPECT_EQ(t.host.read_file("/var/lib/quillmar/control-file"), "");
        EXPECT_EQ(log_messages(t.host).back(), R"(vswitch0 change: uplink changed to ["eno2"])");
    }
}

TEST_F(Uplink, NoFreeBondNameStillMarksTheMaster) {
    bridge("Storage", "vswitch2");
    std::string bonds;
    for (int i = 0; i < 100; ++i) bonds += "B" + std::to_string(i) + ":bond" + std::to_string(i) + ":bond\n";
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE", "connection", "show"}, Answer::ok(bonds));
    ASSERT_TRUE(change("Storage", "eno1,eno2", /*master=*/true));
    EXPECT_EQ(host.err.str(), "[-] Failed to find available bond name\n");
    EXPECT_EQ(changes(host), std::vector<Argv>{});
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Marking bridge 'Storage' as master bridge\n"));
    EXPECT_EQ(load_master_bridges(host.ctx), MasterBridgeList{"vswitch2"});
}

TEST_F(Uplink, MasterMarkAfterADirectUplink) {
    bridge("Storage", "vswitch2");
    ASSERT_TRUE(change("Storage", "eno1", /*master=*/true));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Marking bridge 'Storage' as master bridge\n"));
    EXPECT_EQ(load_master_bridges(host.ctx), MasterBridgeList{"vswitch2"});
}

TEST_F(Uplink, NothingHappensWithoutUplinksOrWithoutTheBridge) {
    bridge("Storage", "vswitch2");
    ASSERT_TRUE(change("Storage", " , ,, "));
    EXPECT_EQ(host.err.str(), "[-] No uplink interfaces specified.\n");
    EXPECT_EQ(changes(host), std::vector<Argv>{});

    FakeHost other;
    ASSERT_TRUE(configure_bridge_uplink(other.ctx, "Nowhere", "eno1", false));
    EXPECT_EQ(other.err.str(), "[-] Bridge 'Nowhere' not found\n");
    EXPECT_EQ(other.out.str(), "");
    EXPECT_EQ(changes(other), std::vector<Argv>{});
}

TEST_F(Uplink, ListingThatCannotStartStopsTheCommand) {
    bridge("Storage", "vswitch2");
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE", "connection", "show"}, Answer::missing());
    auto r = change_bridge_uplink(host.ctx, "Storage", "eno1", true);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, UplinkOutcome::Stopped);
    EXPECT_EQ(host.err.str(), "Failed to list connections: No such file or directory (os error 2)\n");
    EXPECT_EQ(changes(host), std::vector<Argv>{});
    EXPECT_FALSE(host.read_file(kMasterBridgesPath));
}

TEST_F(Uplink, CommandLineShowsTheErrorOfTheChangeWithItsPrefix) {
    host.write_file("/usr/lib/systemd/system/quillmar-baseline.service", "[Unit]\n");
    host.runner.on({"systemctl", "is-enabled", "quillmar-baseline"}, Answer::ok("enabled\n"));
    bridge("Storage", "vswitch2", "manual", "Uplink Bond:bond\n");
    master_of("Uplink Bond", "vswitch2");
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "Uplink Bond"}, Answer::missing());

    auto parsed = cli::parse_command_line({"quillmar", "vswitch", "change", "--name", "Storage", "--uplink", "eno3"});
    ASSERT_TRUE(parsed.cli) << parsed.err;
    EXPECT_EQ(cli::dispatch_command(host.ctx, *parsed.cli), 0);
    EXPECT_EQ(host.err.str(), "[-] Failed to change bridge: No such file or directory (os error 2)\n");
    EXPECT_EQ(host.runner.argvs().front(), (Argv{"systemctl", "is-enabled", "quillmar-baseline"}));
}

TEST(BridgeIpv4Method, ExistingMethodOrTheDefault) {
    struct Case {
        std::string device, listing;
        std::vector<std::pair<std::string, std::string>> methods;  // profile -> `-g ipv4.method`
        std::string want, printed;
    };
    const std::vector<Case> cases = {
        {"vswitch0", "", {}, "auto", ""},
        {"vswitch5", "", {}, "disabled", ""},
        {"vswitch5", "A:bridge:vswitch5\nB:ethernet:vswitch5\nC:bridge:vswitch5\nD:bridge:vswitch6\n",
         {{"A", "--"}, {"B", "auto"}, {"C", "manual"}, {"D", "shared"}},
         "manual",
         "[+] Preserving existing IPv4 method for vswitch5: manual\n"},
        {"vswitch0", "A:bridge:vswitch0\n", {{"A", "  \n"}}, "auto", ""},
        {"vswitch0", "A:bridge:vswitch0\n\xff\n", {{"A", "manual"}}, "auto", ""},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE,DEVICE", "connection", "show"}, Answer::ok(c.listing));
        for (const auto& [profile, method] : c.methods)
            host.runner.on({"nmcli", "-g", "ipv4.method", "connection", "show", profile}, Answer::ok(method));
        EXPECT_EQ(get_bridge_ipv4_method(host.ctx, c.device), c.want) << c.listing;
        EXPECT_EQ(host.out.str(), c.printed);
    }
}

}  // namespace
}  // namespace qm
