// The baseline's checks and profiles, and the baseline run in both modes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cmds/baseline/baseline.hpp"
#include "cmds/baseline/baseline_runs.hpp"
#include "support/fake_host.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/paths.hpp"

namespace qm {
namespace {

using std::chrono::milliseconds;
using test::Answer;
using test::Call;
using test::FakeHost;
using ::testing::HasSubstr;
using ::testing::Not;
using Argv = std::vector<std::string>;
using Argvs = std::vector<Argv>;

const Argv kShowVswitch0 = {"ip", "link", "show", "vswitch0"};
const Argv kShowVeth0 = {"ip", "link", "show", "veth0"};
const Argv kIpListing = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"};
const Argv kStaleListing = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE,ACTIVE", "connection", "show"};
const std::string kMacFile = *original_mac_path("vswitch0");

Argv setting(const std::string& field, const std::string& profile) {
    return {"nmcli", "-g", field, "connection", "show", profile};
}
Argv static_settings(const std::string& uuid) {
    return {"nmcli", "-g", "ipv4.method,ipv6.method,ipv4.addresses", "connection", "show", uuid};
}
std::string link_show(const std::string& dev, const std::string& mac) {
    return "7: " + dev + ": <BROADCAST,MULTICAST,UP> mtu 1500 qdisc noqueue\n    link/ether " + mac +
           " brd ff:ff:ff:ff:ff:ff\n";
}

// A profile as connection_matches reads it.
// The calls that change the host, in order: everything but the listings and probes.
Argvs changes(const FakeHost& host) {
    Argvs v;
    for (const auto& argv : host.runner.argvs()) {
        if (argv.size() < 3) continue;
        if ((argv[0] == "ip" && argv[2] != "show") || (argv[1] == "connection" && argv[2] != "show"))
            v.push_back(argv);
    }
    return v;
}

void profile(FakeHost& host, const std::string& name, const std::string& type, const std::string& ifname,
             const std::string& ipv4, const std::string& ipv6 = "ignore") {
    host.runner.on(setting("connection.id", name), Answer::ok(name + "\n"));
    host.runner.on(setting("connection.type", name), Answer::ok(type + "\n"));
    host.runner.on(setting("connection.interface-name", name), Answer::ok(ifname + "\n"));
    host.runner.on(setting("ipv4.method", name), Answer::ok(ipv4 + "\n"));
    host.runner.on(setting("ipv6.method", name), Answer::ok(ipv6 + "\n"));
}

// A host for the building blocks, with the tally of failed changes that a run keeps.
struct BlockHost : FakeHost {
    baseline::Changes changes{ctx};
};

// ------------------------------------------------------------------ vswitch0 and its MAC

TEST(Vswitch0Exists, OnlyWhenIpShowsIt) {
    FakeHost yes, no, missing;
    no.runner.on(kShowVswitch0, Answer::exit(1));
    missing.runner.missing("ip");
    EXPECT_TRUE(vswitch0_exists(yes.ctx));
    EXPECT_FALSE(vswitch0_exists(no.ctx));
    EXPECT_FALSE(vswitch0_exists(missing.ctx));
    EXPECT_EQ(yes.runner.argvs(), Argvs{kShowVswitch0});
}

struct MacCase {
    const char* what;
    std::optional<std::string> stored;  // absent: no file
    std::string current_show;           // output of ip link show vswitch0
    std::string out;
    Argvs nmcli;
    friend void PrintTo(const MacCase& c, std::ostream* os) { *os << c.what; }
};

class RestoreMac : public testing::TestWithParam<MacCase> {};

TEST_P(RestoreMac, ComparesTheTrimmedStoredMacWithTheLiveOne) {
    const MacCase& c = GetParam();
    BlockHost host;
    std::filesystem::create_directories(host.file("/var/log"));
    if (c.stored) host.write_file(kMacFile, *c.stored);
    host.runner.on(kShowVswitch0, Answer::ok(c.current_show));

    ASSERT_TRUE(restore_vswitch0_mac(host.ctx, host.changes)) << c.what;
    EXPECT_EQ(host.out.str(), c.out) << c.what;
    EXPECT_EQ(host.runner.argvs_of("nmcli"), c.nmcli) << c.what;
    const bool restored = !c.nmcli.empty();
    // The profile's MAC goes on the running bridge too, before it is taken down.
    if (restored) {
        const Argv set_live{"ip", "link", "set", "vswitch0", "address", c.nmcli.front().back()};
        EXPECT_EQ(host.runner.argvs(), (Argvs{kShowVswitch0, c.nmcli[0], set_live, c.nmcli[1], c.nmcli[2]}))
            << c.what;
    } else {
        EXPECT_LE(host.runner.argvs_of("ip").size(), 1u) << c.what;
    }
    EXPECT_EQ(host.sleeper.pauses, restored ? std::vector<milliseconds>{milliseconds(500)} : std::vector<milliseconds>{})
        << c.what;
    EXPECT_EQ(host.read_file(kLogPath).has_value(), restored) << c.what;
}

Argvs restore_steps(const std::string& mac) {
    return {{"nmcli", "connection", "modify", "Management Network", "bridge.mac-address", mac},
            {"nmcli", "connection", "down", "Management Network"},
            {"nmcli", "connection", "up", "Management Network"}};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestoreMac,
    testing::Values(
        MacCase{"no stored MAC", std::nullopt, "", "[+] No stored MAC address for vswitch0, using default\n", {}},
        MacCase{"only white space", " \n", "", "[+] Stored MAC address file is empty, using default\n", {}},
        MacCase{"same MAC, stored with a line feed", "52:54:00:aa:bb:cc\n", link_show("vswitch0", "52:54:00:aa:bb:cc"),
                "[+] vswitch0 already has correct MAC address: 52:54:00:aa:bb:cc\n", {}},
        MacCase{"the case of the letters differs", "52:54:00:AA:BB:CC\n", link_show("vswitch0", "52:54:00:aa:bb:cc"),
                "[+] Restoring original MAC address for vswitch0: 52:54:00:AA:BB:CC (was: 52:54:00:aa:bb:cc)\n"
                "[+] vswitch0 MAC address restored successfully\n",
                restore_steps("52:54:00:AA:BB:CC")},
        MacCase{"no link/ether line", "52:54:00:aa:bb:cc", "7: vswitch0: <BROADCAST> mtu 1500\n",
                "[+] Restoring original MAC address for vswitch0: 52:54:00:aa:bb:cc (was: )\n"
                "[+] vswitch0 MAC address restored successfully\n",
                restore_steps("52:54:00:aa:bb:cc")}));

TEST(RestoreMacErrors, AnUnreadableFileOrAToolThatCannotStartIsTheError) {
    {
        BlockHost host;
        std::filesystem::create_directories(host.file(kMacFile));
        auto s = restore_vswitch0_mac(host.ctx, host.changes);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "Is a directory (os error 21)");
        EXPECT_TRUE(host.runner.calls.empty());
    }
    {
        BlockHost host;
        host.write_file(kMacFile, "52:54:00:aa:bb:\xff");
        EXPECT_FALSE(restore_vswitch0_mac(host.ctx, host.changes));
        EXPECT_TRUE(host.runner.calls.empty());
    }
    {
        BlockHost host;
        host.write_file(kMacFile, "52:54:00:aa:bb:cc");
        host.runner.missing("nmcli");
        auto s = restore_vswitch0_mac(host.ctx, host.changes);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
        EXPECT_EQ(host.runner.calls.size(), 2u);  // ip link show, then the modify that could not start
        EXPECT_THAT(host.out.str(), Not(HasSubstr("restored successfully")));
    }
    const Argv set_live = {"ip", "link", "set", "vswitch0", "address", "52:54:00:aa:bb:cc"};
    {
        BlockHost host;
        host.write_file(kMacFile, "52:54:00:aa:bb:cc");
        host.runner.on(set_live, Answer::missing());
        auto s = restore_vswitch0_mac(host.ctx, host.changes);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
        EXPECT_EQ(host.runner.argvs().back(), set_live);
    }
    {
        BlockHost host;  // a refused address change is not looked at
        host.write_file(kMacFile, "52:54:00:aa:bb:cc");
        host.runner.on(set_live, Answer::exit(2));
        ASSERT_TRUE(restore_vswitch0_mac(host.ctx, host.changes));
        EXPECT_EQ(host.runner.argvs().back(), (Argv{"nmcli", "connection", "up", "Management Network"}));
    }
}

// ------------------------------------------------------------------ the checks

TEST(ConnectionMatches, StopsAtTheFirstQueryThatFails) {
    {
        FakeHost host;
        host.runner.on(setting("connection.id", "Management Network"), Answer::exit(10));
        EXPECT_FALSE(connection_matches(host.ctx, "Management Network", "bridge", "vswitch0", "auto"));
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{{setting("connection.id", "Management Network"),
                                                         RunMode::Query}}));
    }
    {
        FakeHost host;  // exit 0 but nothing printed
        EXPECT_FALSE(connection_matches(host.ctx, "Management Network", "bridge", "vswitch0", "auto"));
        EXPECT_EQ(host.runner.calls.size(), 1u);
    }
    {
        FakeHost host;  // the uplink was changed to a bond
        profile(host, "Management Uplink", "bond", "bond0", "disabled");
        EXPECT_FALSE(connection_matches(host.ctx, "Management Uplink", "ethernet", "bond0", "disabled"));
        EXPECT_EQ(host.runner.calls.size(), 2u);
    }
}

TEST(ConnectionMatches, AllFiveSettingsMustBeExact) {
    FakeHost host;
    profile(host, "Management Network", "bridge", "vswitch0", "auto");
    EXPECT_TRUE(connection_matches(host.ctx, "Management Network", "bridge", "vswitch0", "auto"));
    EXPECT_EQ(host.runner.argvs(),
              (Argvs{setting("connection.id", "Management Network"), setting("connection.type", "Management Network"),
                     setting("connection.interface-name", "Management Network"),
                     setting("ipv4.method", "Management Network"), setting("ipv6.method", "Management Network")}));
    EXPECT_FALSE(connection_matches(host.ctx, "Management Network", "bridge", "vswitch0", "Auto"));
    EXPECT_FALSE(connection_matches(host.ctx, "Management Network", "bridge", "vswitch1", "auto"));

    profile(host, "Management Network", "bridge", "vswitch0", "auto", "disabled");
    EXPECT_FALSE(connection_matches(host.ctx, "Management Network", "bridge", "vswitch0", "auto"));
    // Output that is not UTF-8 is an empty value.
    host.runner.on(setting("ipv6.method", "Management Network"), Answer::ok("ignore\xff"));
    EXPECT_FALSE(connection_matches(host.ctx, "Management Network", "bridge", "vswitch0", "auto"));
}

// nmcli names an ethernet profile's type "802-3-ethernet", and a port of vswitch0 (the uplink
// as the baseline makes it) has no IP settings: its methods print empty.
TEST(ConnectionMatches, FindsTheUplinkAsNmcliReportsIt) {
    const std::string uplink = "Management Uplink";
    {
        FakeHost host;
        profile(host, uplink, "802-3-ethernet", "eth0", "", "");
        host.runner.on(setting("connection.master", uplink), Answer::ok("vswitch0\n"));
        EXPECT_TRUE(connection_matches(host.ctx, uplink, "ethernet", "eth0", "disabled"));
        EXPECT_EQ(host.runner.argvs(),
                  (Argvs{setting("connection.id", uplink), setting("connection.type", uplink),
                         setting("connection.interface-name", uplink), setting("ipv4.method", uplink),
                         setting("connection.master", uplink)}));
        // A port has no address of its own to give.
        EXPECT_FALSE(connection_matches(host.ctx, uplink, "ethernet", "eth0", "auto"));
        EXPECT_FALSE(connection_matches(host.ctx, uplink, "ethernet", "eth1", "disabled"));
        EXPECT_FALSE(connection_matches(host.ctx, uplink, "bridge", "eth0", "disabled"));
    }
    {
        FakeHost host;  // a stand-alone ethernet profile with IP switched off
        profile(host, uplink, "802-3-ethernet", "eth0", "disabled");
        EXPECT_TRUE(connection_matches(host.ctx, uplink, "ethernet", "eth0", "disabled"));
        EXPECT_EQ(host.runner.argvs().back(), setting("ipv6.method", uplink));
        profile(host, uplink, "ethernet", "eth0", "disabled");
        EXPECT_TRUE(connection_matches(host.ctx, uplink, "ethernet", "eth0", "disabled"));
        // Only "ethernet" has a second name.
        EXPECT_FALSE(connection_matches(host.ctx, uplink, "802-3-ethernet-x", "eth0", "disabled"));
    }
    {
        FakeHost host;  // empty methods without a controller: not a port, no match
        profile(host, uplink, "802-3-ethernet", "eth0", "", "");
        EXPECT_FALSE(connection_matches(host.ctx, uplink, "ethernet", "eth0", "disabled"));
        EXPECT_EQ(host.runner.argvs().back(), setting("connection.master", uplink));
    }
}

TEST(IpConnectionMatches, LooksAtEveryEthernetRowOfThatNameOnThatInterface) {
    FakeHost host;
    host.runner.on(kIpListing, Answer::ok("Internal Control Network:u1:ethernet:veth0\n"
                                          "Internal Control Network:u2:802-3-ethernet:veth0\n"
                                          "Internal Control Network:u3:802-3-ethernet:eth1\n"
                                          "Internal Control Network:u4:802-3-ethernet:veth0\n"));
    host.runner.on(static_settings("u2"), Answer::ok("auto\nignore\n\n"));
    host.runner.on(static_settings("u4"), Answer::ok("manual\nignore\n172.16.254.2/24\n"));
    EXPECT_TRUE(ip_connection_matches(host.ctx, "Internal Control Network", "veth0", "172.16.254.2/24"));
    EXPECT_EQ(host.runner.argvs(), (Argvs{kIpListing, static_settings("u2"), static_settings("u4")}));
    EXPECT_FALSE(ip_connection_matches(host.ctx, "Internal Control Network", "veth0", "172.16.254.1/24"));
}

TEST(IpConnectionMatches, NeedsThreeValuesAndATextListing) {
    FakeHost host;
    host.runner.on(kIpListing, Answer::ok("Hypervisor Network:u1:802-3-ethernet:veth1\n"
                                          "Hyper\\:visor:u2:802-3-ethernet:veth1\n"));
    host.runner.on(static_settings("u1"), Answer::ok("manual\nignore"));
    EXPECT_FALSE(ip_connection_matches(host.ctx, "Hypervisor Network", "veth1", ""));
    host.runner.on(static_settings("u1"), Answer::ok("manual\nignore\n172.16.254.1/24"));
    EXPECT_TRUE(ip_connection_matches(host.ctx, "Hypervisor Network", "veth1", "172.16.254.1/24"));
    // A name with ':' comes escaped in the listing and matches.
    host.runner.on(static_settings("u2"), Answer::ok("manual\nignore\n172.16.254.1/24"));
    EXPECT_TRUE(ip_connection_matches(host.ctx, "Hyper:visor", "veth1", "172.16.254.1/24"));

    host.runner.on(kIpListing, Answer::ok("Hypervisor Network:u1:802-3-ethernet:veth1\n\xff\n"));
    host.runner.calls.clear();
    EXPECT_FALSE(ip_connection_matches(host.ctx, "Hypervisor Network", "veth1", "172.16.254.1/24"));
    EXPECT_EQ(host.runner.calls.size(), 1u);
}

// ------------------------------------------------------------------ internal networks

const Argv kAddControlVeth = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "veth0", "con-name",
                              "Internal Control Network", "connection.autoconnect", "yes",
                              "connection.autoconnect-priority", "700"};
const Argv kModifyControl = {"nmcli", "connection", "modify", "Internal Control Network", "ipv4.addresses",
                             "172.16.254.2/24", "ipv4.method", "manual", "ipv6.method", "ignore"};
const Argv kUpControl = {"nmcli", "connection", "up", "Internal Control Network"};
const Argv kAddHypervisor = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "veth1", "con-name",
                             "Hypervisor Network", "connection.autoconnect", "yes",
                             "connection.autoconnect-priority", "600"};
const Argv kModifyHypervisor = {"nmcli", "connection", "modify", "Hypervisor Network", "ipv4.addresses",
                                "172.16.254.1/24", "ipv4.method", "manual", "ipv6.method", "ignore"};
const Argv kUpHypervisor = {"nmcli", "connection", "up", "Hypervisor Network"};
const Argv kAddVethPair = {"ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1"};

TEST(InternalControlVeth, MakesThePairAndTheProfileAndRecordsBothEnds) {
    BlockHost host;
    host.runner.on(kShowVeth0, Answer::exit(1, ""));
    ASSERT_TRUE(setup_internal_control_veth(host.ctx, host.changes));
    EXPECT_EQ(host.out.str(),
              "[+] Creating veth0 for Internal Control Network\n"
              "[+] Internal Control Network configured on veth0 (172.16.254.2/24)\n");
    EXPECT_EQ(host.runner.argvs(), (Argvs{kIpListing, kShowVeth0, kAddVethPair, kAddControlVeth, kModifyControl,
                                          kUpControl}));
    EXPECT_EQ(host.sleeper.pauses, std::vector<milliseconds>{milliseconds(300)});
    EXPECT_THAT(host.read_file(kManagedResourcesPath).value_or(""),
                HasSubstr("\"veth_pairs\": [\n    \"veth0\",\n    \"veth1\"\n  ]"));
}

TEST(InternalControlVeth, AnExistingPairGetsOnlyTheProfileAndIsStillRecorded) {
    BlockHost host;
    ASSERT_TRUE(setup_internal_control_veth(host.ctx, host.changes));
    EXPECT_EQ(host.out.str(),
              "[+] Creating veth0 for Internal Control Network\n"
              "[+] veth0-veth1 pair already exists\n"
              "[+] Internal Control Network configured on veth0 (172.16.254.2/24)\n");
    EXPECT_EQ(host.runner.argvs(), (Argvs{kIpListing, kShowVeth0, kAddControlVeth, kModifyControl, kUpControl}));
    EXPECT_THAT(host.read_file(kManagedResourcesPath).value_or(""), HasSubstr("\"veth1\""));
}

TEST(InternalControlVeth, AMatchingProfileIsLeftAlone) {
    BlockHost host;
    host.runner.on(kIpListing, Answer::ok("Internal Control Network:u1:802-3-ethernet:veth0\n"));
    host.runner.on(static_settings("u1"), Answer::ok("manual\nignore\n172.16.254.2/24\n"));
    ASSERT_TRUE(setup_internal_control_veth(host.ctx, host.changes));
    EXPECT_EQ(host.out.str(), "[+] Internal Control Network already exists and is correctly configured\n");
    EXPECT_EQ(host.runner.calls.size(), 2u);
}

TEST(InternalControlVeth, AToolThatCannotStartEndsItWithWhatWasDone) {
    BlockHost host;
    host.runner.on(kShowVeth0, Answer::missing());
    host.runner.on(kAddVethPair, Answer::missing());
    auto s = setup_internal_control_veth(host.ctx, host.changes);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
    EXPECT_EQ(host.runner.argvs().back(), kAddVethPair);

    BlockHost up_fails;
    up_fails.runner.on(kUpControl, Answer::missing());
    EXPECT_FALSE(setup_internal_control_veth(up_fails.ctx, up_fails.changes));
    // The ledger was written before the activation was tried.
    EXPECT_TRUE(up_fails.read_file(kManagedResourcesPath).has_value());
}

TEST(HypervisorNetwork, ConfiguresVeth1WithoutTouchingTheLedger) {
    BlockHost host;
    ASSERT_TRUE(setup_hypervisor_network(host.ctx, host.changes));
    EXPECT_EQ(host.out.str(),
              "[+] Configuring veth1 for Hypervisor Network\n"
              "[+] Hypervisor Network configured on veth1 (172.16.254.1/24)\n");
    EXPECT_EQ(host.runner.argvs(), (Argvs{kIpListing, kAddHypervisor, kModifyHypervisor, kUpHypervisor}));
    EXPECT_EQ(host.sleeper.pauses, std::vector<milliseconds>{milliseconds(300)});
    EXPECT_FALSE(host.read_file(kManagedResourcesPath).has_value());
    EXPECT_EQ(host.changes.failed(), 0);
}

// A change that runs and fails is a warning with the command, its object, how it ended and
// what it said; the steps after it still run.
TEST(BaselineChanges, AFailedChangeIsAWarningAndTheStepGoesOn) {
    struct Case {
        const char* what;
        Answer answer;
        std::string warning;
    };
    auto answer = [](int code, int signal, std::string err) {
        Answer a = Answer::exit(code);
        a.signal = signal;
        a.err = std::move(err);
        return a;
    };
    const std::vector<Case> cases = {
        {"exit status and complaint", answer(4, 0, "Error: Failed to add 'Hypervisor Network' connection: no.\n"),
         "[!] Warning: nmcli connection add 'Hypervisor Network' failed (exit status: 4): Error: Failed to add "
         "'Hypervisor Network' connection: no.\n"},
        {"several lines", answer(2, 0, "Error: first\r\nsecond\n\n"),
         "[!] Warning: nmcli connection add 'Hypervisor Network' failed (exit status: 2): Error: first\n"
         "    second\n"},
        {"killed, nothing said", answer(0, 9, ""),
         "[!] Warning: nmcli connection add 'Hypervisor Network' failed (signal: 9 (SIGKILL))\n"},
        {"bytes that are not UTF-8", answer(1, 0, "bad \xff\n"),
         "[!] Warning: nmcli connection add 'Hypervisor Network' failed (exit status: 1): bad \xEF\xBF\xBD\n"},
    };
    for (const auto& c : cases) {
        BlockHost host;
        host.runner.on(kAddHypervisor, c.answer);
        ASSERT_TRUE(setup_hypervisor_network(host.ctx, host.changes)) << c.what;
        EXPECT_EQ(host.out.str(), "[+] Configuring veth1 for Hypervisor Network\n" + c.warning +
                                      "[+] Hypervisor Network configured on veth1 (172.16.254.1/24)\n")
            << c.what;
        EXPECT_EQ(host.runner.argvs(), (Argvs{kIpListing, kAddHypervisor, kModifyHypervisor, kUpHypervisor}))
            << c.what;
        EXPECT_EQ(host.changes.failed(), 1) << c.what;
    }
}

TEST(InternalControlInterface, OneAddThenAnImmediateActivation) {
    BlockHost host;
    ASSERT_TRUE(setup_internal_control_interface(host.ctx, "eth1", host.changes));
    EXPECT_EQ(host.out.str(),
              "[+] Configuring eth1 as Internal Control Network for virtual appliance\n"
              "[+] Internal Control Network configured on eth1 (172.16.254.2/24)\n");
    EXPECT_EQ(host.runner.argvs(),
              (Argvs{kIpListing,
                     {"nmcli", "connection", "add", "type", "ethernet", "ifname", "eth1", "con-name",
                      "Internal Control Network", "ipv4.addresses", "172.16.254.2/24", "ipv4.method", "manual",
                      "ipv6.method", "ignore", "connection.autoconnect", "yes", "connection.autoconnect-priority",
                      "700"},
                     kUpControl}));
    EXPECT_TRUE(host.sleeper.pauses.empty());
    EXPECT_THAT(host.read_file(kManagedResourcesPath).value_or(""),
                HasSubstr("\"vswitches\": [\n    \"Internal Control Network\"\n  ]"));

    BlockHost configured;
    configured.runner.on(kIpListing, Answer::ok("Internal Control Network:u1:802-3-ethernet:eth1\n"));
    configured.runner.on(static_settings("u1"), Answer::ok("manual\nignore\n172.16.254.2/24\n"));
    ASSERT_TRUE(setup_internal_control_interface(configured.ctx, "eth1", configured.changes));
    EXPECT_EQ(configured.out.str(),
              "[+] Internal Control Network already exists and is correctly configured on eth1\n");
}

// ------------------------------------------------------------------ the run

// A host for whole runs: physical interfaces under /sys/class/net, no vswitch0 and no veth0.
struct BaselineHost {
    FakeHost host;
    BaselineHost() {
        std::filesystem::create_directories(host.file(kSysClassNet));
        host.runner.on(kShowVswitch0, Answer::exit(1));
        host.runner.on(kShowVeth0, Answer::exit(1));
    }
    void nic(const std::string& name, const std::string& pci) {
        auto dir = host.file(std::string(kSysClassNet) + "/" + name);
        std::filesystem::create_directories(dir);
        std::filesystem::create_symlink("../../../devices/pci0000:00/" + pci, dir / "device");
    }
    void physical() { host.runner.on({"systemd-detect-virt"}, Answer::ok("none\n")); }
    Status run(BaselineMode mode) { return run_baseline(host.ctx, mode); }
    std::string out() const { return host.out.str(); }
};

struct AnswerCase {
    const char* input;
    bool proceeds;
    friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.input)); }
};

class Confirmation : public testing::TestWithParam<AnswerCase> {};

TEST_P(Confirmation, OnlyYOrYesGoesOn) {
    BaselineHost b;
    b.nic("eth0", "0000:01:00.0");
    b.host.in.str(GetParam().input);
    ASSERT_TRUE(b.run(BaselineMode::Force));
    const std::string question =
        "[+] Starting baseline configuration (mode: Force)\n"
        "[?] This will reset all managed network resources to baseline. Continue? [y/N]: ";
    if (GetParam().proceeds) {
        EXPECT_THAT(b.out(), testing::StartsWith(question + "[+] Resetting all managed resources to baseline\n"));
        EXPECT_FALSE(b.host.runner.calls.empty());
    } else {
        EXPECT_EQ(b.out(), question + "[+] Baseline configuration cancelled by user\n");
        EXPECT_TRUE(b.host.runner.calls.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, Confirmation,
                         testing::Values(AnswerCase{" YES \n", true}, AnswerCase{"y\n", true},
                                         AnswerCase{"Yes", true}, AnswerCase{"\tyes\r\n", true},
                                         AnswerCase{"ye\n", false}, AnswerCase{"n\n", false},
                                         AnswerCase{"\n", false}, AnswerCase{"", false},
                                         AnswerCase{"yes please\n", false}, AnswerCase{"y\xff\n", false},
                                         AnswerCase{"\nyes\n", false}));

TEST(BaselineRun, AutoOnAPhysicalApplianceLaysDownEverything) {
    BaselineHost b;
    b.physical();
    b.nic("eth0", "0000:05:00.0");
    b.nic("eth1", "0000:01:00.0");
    b.host.write_file(kControlFilePath, "");
    std::filesystem::create_directories(b.host.file("/var/log"));

    ASSERT_TRUE(b.run(BaselineMode::Auto));
    EXPECT_EQ(b.out(),
              "[+] Starting baseline configuration (mode: Auto)\n"
              "[+] Control file exists: quillmar is managing network configuration\n"
              "[+] Cleaning up stale baseline connections...\n"
              "[+] Detected appliance type: Physical\n"
              "[+] Physical interfaces (PCI order): [\"eth1\", \"eth0\"]\n"
              "[+] Creating vswitch0 as Management Network\n"
              "[+] Creating Management Uplink connection\n"
              "[+] Management Network configured with uplink: eth1\n"
              "[+] Creating veth0 for Internal Control Network\n"
              "[+] Internal Control Network configured on veth0 (172.16.254.2/24)\n"
              "[+] Configuring veth1 for Hypervisor Network\n"
              "[+] Hypervisor Network configured on veth1 (172.16.254.1/24)\n"
              "[+] Baseline configuration completed successfully\n");
    EXPECT_EQ(changes(b.host),
              (Argvs{{"ip", "link", "add", "name", "vswitch0", "type", "bridge"},
                     {"nmcli", "connection", "add", "type", "bridge", "ifname", "vswitch0", "con-name",
                      "Management Network", "forward-delay", "2", "ipv4.method", "auto", "ipv6.method", "ignore",
                      "connection.autoconnect", "yes", "connection.autoconnect-priority", "900"},
                     {"nmcli", "connection", "add", "type", "ethernet", "ifname", "eth1", "con-name",
                      "Management Uplink", "master", "vswitch0", "connection.autoconnect", "yes",
                      "connection.autoconnect-priority", "800"},
                     {"nmcli", "connection", "up", "Management Network"},
                     {"nmcli", "connection", "up", "Management Uplink"},
                     kAddVethPair, kAddControlVeth, kModifyControl, kUpControl, kAddHypervisor, kModifyHypervisor,
                     kUpHypervisor}));
    EXPECT_EQ(b.host.sleeper.pauses, (std::vector<milliseconds>{milliseconds(500), milliseconds(300),
                                                                milliseconds(300)}));
    const std::string ledger = b.host.read_file(kManagedResourcesPath).value_or("");
    EXPECT_THAT(ledger, HasSubstr("\"vswitches\": [\n    \"Management Network\",\n    \"Management Uplink\"\n  ]"));
    EXPECT_THAT(ledger, HasSubstr("\"veth_pairs\": [\n    \"veth0\",\n    \"veth1\"\n  ]"));
    const std::string log = b.host.read_file(kLogPath).value_or("");
    EXPECT_THAT(log, HasSubstr("[INFO] Starting baseline configuration (mode: Auto)\n"));
    EXPECT_THAT(log, HasSubstr("[INFO] Control file exists: quillmar is managing network configuration\n"));
}

TEST(BaselineRun, AfterFailedChangesItGoesOnAndDoesNotClaimSuccess) {
    BaselineHost b;
    b.physical();
    b.nic("eth0", "0000:01:00.0");
    Answer in_use = Answer::exit(4);
    in_use.err = "Error: Failed to add 'Management Network' connection: in use.\n";
    const Argv add_bridge = {"nmcli", "connection", "add", "type", "bridge", "ifname", "vswitch0", "con-name",
                             "Management Network", "forward-delay", "2", "ipv4.method", "auto", "ipv6.method",
                             "ignore", "connection.autoconnect", "yes", "connection.autoconnect-priority", "900"};
    b.host.runner.on(add_bridge, in_use);
    b.host.runner.on(kUpControl, Answer::exit(1));

    ASSERT_TRUE(b.run(BaselineMode::Auto));
    EXPECT_EQ(b.out(),
              "[+] Starting baseline configuration (mode: Auto)\n"
              "[+] Cleaning up stale baseline connections...\n"
              "[+] Detected appliance type: Physical\n"
              "[+] Physical interfaces (PCI order): [\"eth0\"]\n"
              "[+] Creating vswitch0 as Management Network\n"
              "[!] Warning: nmcli connection add 'Management Network' failed (exit status: 4): Error: Failed to add "
              "'Management Network' connection: in use.\n"
              "[+] Creating Management Uplink connection\n"
              "[+] Management Network configured with uplink: eth0\n"
              "[+] Creating veth0 for Internal Control Network\n"
              "[!] Warning: nmcli connection up 'Internal Control Network' failed (exit status: 1)\n"
              "[+] Internal Control Network configured on veth0 (172.16.254.2/24)\n"
              "[+] Configuring veth1 for Hypervisor Network\n"
              "[+] Hypervisor Network configured on veth1 (172.16.254.1/24)\n"
              "[!] Baseline configuration finished with 2 failed changes; see the warnings above\n");
    // Every later change was still made.
    EXPECT_EQ(changes(b.host).size(), 12u);
}

TEST(BaselineRun, TracksOnlyWhatItMade) {
    const Argv add_bridge = {"nmcli", "connection", "add", "type", "bridge", "ifname", "vswitch0", "con-name",
                             "Management Network", "forward-delay", "2", "ipv4.method", "auto", "ipv6.method",
                             "ignore", "connection.autoconnect", "yes", "connection.autoconnect-priority", "900"};
    const Argv add_uplink = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "eth0", "con-name",
                             "Management Uplink", "master", "vswitch0", "connection.autoconnect", "yes",
                             "connection.autoconnect-priority", "800"};
    struct Case {
        const char* what;
        std::optional<Argv> failing;
        std::vector<std::string> vswitches, veth_pairs;
    };
    const std::vector<Case> cases = {
        {"all made", std::nullopt, {"Management Network", "Management Uplink"}, {"veth0", "veth1"}},
        {"bridge refused", add_bridge, {"Management Uplink"}, {"veth0", "veth1"}},
        {"uplink refused", add_uplink, {"Management Network"}, {"veth0", "veth1"}},
        {"veth pair refused", kAddVethPair, {"Management Network", "Management Uplink"}, {}},
    };
    for (const auto& c : cases) {
        BaselineHost b;
        b.physical();
        b.nic("eth0", "0000:01:00.0");
        if (c.failing) b.host.runner.on(*c.failing, Answer::exit(4));
        ASSERT_TRUE(b.run(BaselineMode::Auto)) << c.what;
        const auto ledger = load_managed_resources(b.host.ctx);
        ASSERT_EQ(ledger.state, LedgerFile::State::Loaded) << c.what;
        EXPECT_EQ(ledger.value.vswitches, c.vswitches) << c.what;
        EXPECT_EQ(ledger.value.veth_pairs, c.veth_pairs) << c.what;
    }
}

TEST(InternalControlInterface, AProfileThatWasNotAddedIsNotTracked) {
    for (const bool refused : {false, true}) {
        BlockHost host;
        if (refused) host.runner.on_prefix({"nmcli", "connection", "add"}, Answer::exit(4));
        ASSERT_TRUE(setup_internal_control_interface(host.ctx, "eth1", host.changes));
        const auto ledger = load_managed_resources(host.ctx);
        EXPECT_EQ(ledger.state == LedgerFile::State::Loaded &&
                      ledger.value.vswitches == std::vector<std::string>{"Internal Control Network"},
                  !refused);
    }
}

TEST(BaselineRun, AutoKeepsAnExistingVswitch0AndWarnsWhenItsMacCannotBeRestored) {
    BaselineHost b;
    b.nic("eth0", "0000:01:00.0");
    b.host.runner.on(kShowVswitch0, Answer::ok(link_show("vswitch0", "52:54:00:00:00:01")));
    b.host.write_file(kMacFile, "52:54:00:00:00:02");
    b.host.runner.on({"nmcli", "connection", "modify", "Management Network", "bridge.mac-address", "52:54:00:00:00:02"},
                     Answer::missing());
    ASSERT_TRUE(b.run(BaselineMode::Auto));
    EXPECT_EQ(b.out(),
              "[+] Starting baseline configuration (mode: Auto)\n"
              "[+] Cleaning up stale baseline connections...\n"
              "[+] Detected appliance type: Virtual\n"
              "[+] Physical interfaces (PCI order): [\"eth0\"]\n"
              "[+] vswitch0 already exists, checking MAC address restoration\n"
              "[+] Restoring original MAC address for vswitch0: 52:54:00:00:00:02 (was: 52:54:00:00:00:01)\n"
              "[!] Warning: Failed to restore vswitch0 MAC address: No such file or directory (os error 2)\n"
              "[+] Preserving existing vswitch0 configuration\n"
              "[!] Warning: Only one physical interface found, cannot configure ICN for virtual appliance\n"
              "[+] Baseline configuration completed successfully\n");
    // The stale listing found nothing, so the only change tried is the MAC pin.
    EXPECT_EQ(changes(b.host),
              (Argvs{{"nmcli", "connection", "modify", "Management Network", "bridge.mac-address", "52:54:00:00:00:02"}}));
}

TEST(BaselineRun, ForceOnAnExistingVswitch0RunsTheChecksAndBringsBothProfilesUp) {
    BaselineHost b;
    b.physical();
    b.nic("eth0", "0000:01:00.0");
    b.host.in.str("yes\n");
    b.host.runner.on(kShowVswitch0, Answer::ok(link_show("vswitch0", "52:54:00:00:00:01")));
    profile(b.host, "Management Network", "bridge", "vswitch0", "auto");
    profile(b.host, "Management Uplink", "802-3-ethernet", "eth0", "", "");
    b.host.runner.on(setting("connection.master", "Management Uplink"), Answer::ok("vswitch0\n"));
    b.host.runner.on(kIpListing, Answer::ok("Internal Control Network:c1:802-3-ethernet:veth0\n"
                                            "Hypervisor Network:h1:802-3-ethernet:veth1\n"));
    b.host.runner.on(static_settings("c1"), Answer::ok("manual\nignore\n172.16.254.2/24\n"));
    b.host.runner.on(static_settings("h1"), Answer::ok("manual\nignore\n172.16.254.1/24\n"));

    ASSERT_TRUE(b.run(BaselineMode::Force));
    EXPECT_THAT(b.out(), HasSubstr("[+] Physical interfaces (PCI order): [\"eth0\"]\n"
                                   "[+] Management Network already exists and is correctly configured\n"
                                   "[+] Management Uplink already exists and is correctly configured\n"
                                   "[+] Management Network configured with uplink: eth0\n"
                                   "[+] Internal Control Network already exists and is correctly configured\n"
                                   "[+] Hypervisor Network already exists and is correctly configured\n"
                                   "[+] Baseline configuration completed successfully\n"));
    EXPECT_EQ(changes(b.host), (Argvs{{"nmcli", "connection", "up", "Management Network"},
                              {"nmcli", "connection", "up", "Management Uplink"}}));
}

TEST(BaselineRun, AVirtualApplianceWithTwoInterfacesGetsTheControlNetworkOnTheSecond) {
    BaselineHost b;
    b.host.runner.on({"systemd-detect-virt"}, Answer::ok("\n"));
    b.nic("ens4", "0000:00:04.0");
    b.nic("ens3", "0000:00:03.0");
    ASSERT_TRUE(b.run(BaselineMode::Auto));
    EXPECT_THAT(b.out(), HasSubstr("[+] Detected appliance type: Virtual\n"
                                   "[+] Physical interfaces (PCI order): [\"ens3\", \"ens4\"]\n"));
    EXPECT_THAT(b.out(), HasSubstr("[+] Management Network configured with uplink: ens3\n"
                                   "[+] Configuring ens4 as Internal Control Network for virtual appliance\n"));
}

TEST(BaselineRun, StopsWithAnErrorWhenNothingCanBeBuiltOn) {
    {
        BaselineHost b;  // no physical interface: after the mode step, before any profile
        b.physical();
        auto s = b.run(BaselineMode::Auto);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "No physical network interfaces found");
        EXPECT_EQ(b.host.runner.argvs(), (Argvs{kStaleListing, {"systemd-detect-virt"}}));
    }
    {
        BaselineHost b;
        b.nic("eth0", "0000:01:00.0");
        b.host.runner.missing("systemd-detect-virt");
        auto s = b.run(BaselineMode::Auto);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
    }
    {
        BaselineHost b;
        b.nic("eth0", "0000:01:00.0");
        b.host.runner.missing("nmcli");
        auto s = b.run(BaselineMode::Auto);
        ASSERT_FALSE(s);
        EXPECT_EQ(b.host.runner.argvs(), Argvs{kStaleListing});
    }
    {
        BaselineHost b;
        b.nic("eth0", "0000:01:00.0");
        b.host.runner.on({"nmcli", "connection", "up", "Management Network"}, Answer::missing());
        auto s = b.run(BaselineMode::Auto);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
        EXPECT_THAT(b.out(), Not(HasSubstr("configured with uplink")));
    }
}

}  // namespace
}  // namespace qm
