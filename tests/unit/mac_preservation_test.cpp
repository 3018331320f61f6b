#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cmds/bridge/mac_preservation.hpp"
#include "support/fake_host.hpp"
#include "utils/links.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;
using ::testing::HasSubstr;
using Argv = std::vector<std::string>;

std::string ip_link(const std::string& dev, const std::string& mac) {
    return "3: " + dev + ": <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue state UP\n    link/ether " + mac +
           " brd ff:ff:ff:ff:ff:ff\n";
}

// A host with the state directory in place and the clock at 1000 s past the epoch.
struct MacTest : ::testing::Test {
    FakeHost host;
    MacTest() {
        std::filesystem::create_directories(host.file("/var/lib/quillmar"));
        host.clock.t = std::chrono::system_clock::time_point(std::chrono::seconds(1000));
    }
    void bridge_mac(const std::string& dev, const std::string& mac) {
        host.runner.on({"ip", "link", "show", dev}, Answer::ok(ip_link(dev, mac)));
    }
    void ipv4_method(const std::string& dev, const std::string& method) {
        host.runner.on({"nmcli", "-g", "ipv4.method", "connection", "show", dev}, Answer::ok(method + "\n"));
    }
    std::vector<Argv> mac_pins() const {
        std::vector<Argv> pins;
        for (const auto& argv : host.runner.argvs_of("nmcli"))
            if (argv.size() == 6 && argv[1] == "connection" && argv[2] == "modify" && argv[4] == "bridge.mac-address")
                pins.push_back(argv);
        return pins;
    }
    std::optional<BridgeNetworkIdentity> identity(const std::string& bridge) const {
        auto text = host.read_file(*network_identity_path(bridge));
        if (!text) return std::nullopt;
        return parse_network_identity(*text);
    }
};

TEST(ExtractLeaseValue, TakesTheTokenAfterTheKeyWords) {
    struct Case {
        std::string text, key;
        std::optional<std::string> want;
    };
    const std::vector<Case> cases = {
        {"  fixed-address 192.168.1.50;\n", "fixed-address", "192.168.1.50"},
        {"  hardware ethernet 52:54:00:12:34:56;\n", "hardware ethernet", "52:54:00:12:34:56"},
        {"  option domain-name \"example.org\";\n", "option domain-name", "example.org"},
        // A line that holds the key but no value is passed over.
        {"fixed-address\nfixed-address 10.0.0.7;\n", "fixed-address", "10.0.0.7"},
        // Nothing is left of an empty quoted value: passed over as well.
        {"  hardware ethernet \"\";\n  hardware ethernet 52:54:00:12:34:56;\n", "hardware ethernet",
         "52:54:00:12:34:56"},
        {"  fixed-address 10.0.0.7;\n", "hardware ethernet", std::nullopt},
        {"", "fixed-address", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(extract_lease_value(c.text, c.key), c.want) << c.text;
}

TEST_F(MacTest, StoredMacIsWrittenWithoutLineEnd) {
    store_original_mac(host.ctx, "vswitch1", "52:54:00:aa:bb:cc");
    EXPECT_EQ(host.read_file("/var/lib/quillmar/vswitch1_original_mac"), "52:54:00:aa:bb:cc");
    EXPECT_EQ(host.out.str(), "[+] Stored original MAC address for vswitch1: 52:54:00:aa:bb:cc\n");
    EXPECT_EQ(load_original_mac(host.ctx, "vswitch1"), "52:54:00:aa:bb:cc");
}

TEST(StoreOriginalMac, WarnsWithoutCreatingTheDirectory) {
    FakeHost host;
    store_original_mac(host.ctx, "vswitch1", "52:54:00:aa:bb:cc");
    EXPECT_EQ(host.out.str(), "");
    EXPECT_EQ(host.err.str(),
              "[!] Warning: Failed to store original MAC for vswitch1: No such file or directory (os error 2)\n");
    EXPECT_FALSE(std::filesystem::exists(host.file("/var/lib/quillmar")));
}

TEST_F(MacTest, ABridgeNameThatLeavesTheStateDirectoryNamesNoFile) {
    const std::string bad = "vswitch9/../../pwned";
    // With vswitch9 there, the files would land in /var.
    std::filesystem::create_directories(host.file("/var/lib/quillmar/vswitch9"));
    host.write_file("/var/pwned_original_mac", "52:54:00:66:66:66");
    bridge_mac(bad, "52:54:00:00:00:09");

    store_original_mac(host.ctx, bad, "52:54:00:00:00:09");
    EXPECT_EQ(host.out.str(), "");
    EXPECT_EQ(host.err.str(), "[!] Warning: Failed to store original MAC for " + bad + ": Invalid device name '" + bad +
                                  "': a device name must not contain '/' or NUL, nor be '.' or '..'\n");
    EXPECT_EQ(host.read_file("/var/pwned_original_mac"), "52:54:00:66:66:66");
    EXPECT_EQ(load_original_mac(host.ctx, bad), std::nullopt);

    auto kept = preserve_bridge_network_identity(host.ctx, bad, "eno1");
    ASSERT_FALSE(kept);
    EXPECT_THAT(kept.error().message, HasSubstr("Invalid device name"));
    EXPECT_TRUE(host.runner.calls.empty());
    EXPECT_FALSE(host.read_file("/var/pwned_network_identity.json"));
}

TEST_F(MacTest, LoadedMacLeavesALineEndOfTheFileBehind) {
    host.write_file("/var/lib/quillmar/vswitch1_original_mac", "52:54:00:aa:bb:cc\n");
    EXPECT_EQ(load_original_mac(host.ctx, "vswitch1"), "52:54:00:aa:bb:cc");
    host.write_file("/var/lib/quillmar/vswitch1_original_mac", " \n");
    EXPECT_EQ(load_original_mac(host.ctx, "vswitch1"), std::nullopt);
    EXPECT_EQ(load_original_mac(host.ctx, "vswitch2"), std::nullopt);
}

TEST_F(MacTest, InterfaceMacFromIpLinkShow) {
    bridge_mac("eno1", "52:54:00:00:00:01");
    auto mac = get_interface_mac(host.ctx, "eno1");
    ASSERT_TRUE(mac);
    EXPECT_EQ(*mac, "52:54:00:00:00:01");
    EXPECT_EQ(host.runner.calls.back().mode, RunMode::QueryWithStderr);

    auto none = get_interface_mac(host.ctx, "lo");
    ASSERT_TRUE(none);
    EXPECT_EQ(*none, std::nullopt);

    host.runner.missing("ip");
    auto failed = get_interface_mac(host.ctx, "eno1");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "No such file or directory (os error 2)");
}

TEST(NetworkIdentityFile, PrettyJsonInKeyOrder) {
    BridgeNetworkIdentity id{"vswitch0", "52:54:00:00:00:01", std::nullopt, "10.0.0.5", true, "eno1", 100, 200};
    const std::string text = network_identity_to_json(id);
    EXPECT_EQ(text,
              "{\n"
              "  \"bridge_name\": \"vswitch0\",\n"
              "  \"original_mac\": \"52:54:00:00:00:01\",\n"
              "  \"lease_mac\": null,\n"
              "  \"current_ip\": \"10.0.0.5\",\n"
              "  \"dhcp_enabled\": true,\n"
              "  \"last_uplink\": \"eno1\",\n"
              "  \"creation_timestamp\": 100,\n"
              "  \"last_update\": 200\n"
              "}");
    EXPECT_EQ(parse_network_identity(text), id);
}

TEST(NetworkIdentityFile, ReadingRules) {
    const BridgeNetworkIdentity want{"vswitch0", "m", std::nullopt, std::nullopt, false, "eno1", 1, 2};
    struct Case {
        std::string text;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {R"({"last_update":2,"creation_timestamp":1,"last_uplink":"eno1","dhcp_enabled":false,
            "original_mac":"m","bridge_name":"vswitch0","extra":[1,{"x":null}]})",
         true},
        {R"({"bridge_name":"vswitch0","original_mac":"m","lease_mac":null,"current_ip":null,
            "dhcp_enabled":false,"last_uplink":"eno1","creation_timestamp":1,"last_update":2}  )",
         true},
        {R"(["vswitch0","m",null,null,false,"eno1",1,2])", true},
        {R"({"bridge_name":"vswitch0","original_mac":"m","dhcp_enabled":"yes","last_uplink":"eno1",
            "creation_timestamp":1,"last_update":2})",
         false},
        {R"({"bridge_name":"vswitch0","original_mac":"m","dhcp_enabled":false,"last_uplink":"eno1",
            "creation_timestamp":1})",
         false},
        {R"({"bridge_name":"vswitch0","original_mac":"m","dhcp_enabled":false,"last_uplink":"eno1",
            "creation_timestamp":1,"last_update":2} x)",
         false},
        {R"(["vswitch0","m",null,null,false])", false},
        {"", false},
        {"not json", false},
    };
    for (const auto& c : cases) {
        auto got = parse_network_identity(c.text);
        if (c.accepted)
            EXPECT_EQ(got, want) << c.text;
        else
            EXPECT_EQ(got, std::nullopt) << c.text;
    }
}

// Each source of the applied MAC, winning in its turn.
TEST_F(MacTest, DhcpLeaseMacWinsOverTheOriginal) {
    bridge_mac("vswitch0", "52:54:00:00:00:01");
    ipv4_method("vswitch0", "auto");
    host.write_file(kDhcpLeasesPath,
                    "lease {\n  interface \"vswitch0\";\n  fixed-address 192.168.1.50;\n"
                    "  hardware ethernet 52:54:00:12:34:56;\n}\n");
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch0", "eno1"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Using DHCP lease MAC for IP continuity: 52:54:00:12:34:56\n"
                                          "[+] Applying MAC preservation strategy: 52:54:00:12:34:56\n"));
    EXPECT_EQ(mac_pins(), (std::vector<Argv>{
                              {"nmcli", "connection", "modify", "vswitch0", "bridge.mac-address", "52:54:00:12:34:56"}}));
    auto id = identity("vswitch0");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->lease_mac, "52:54:00:12:34:56");
    EXPECT_EQ(id->original_mac, "52:54:00:00:00:01");
    EXPECT_TRUE(id->dhcp_enabled);
}

// The applied MAC goes to the profile and, at once, to the running bridge; where the bridge's
// profile is named otherwise, nmcli is asked about and told to change it by its UUID.
TEST_F(MacTest, AppliedMacReachesTheProfileBoundToTheBridgeAndTheBridgeItself) {
    bridge_mac("vswitch0", "52:54:00:00:00:07");
    host.write_file("/var/lib/quillmar/vswitch0_network_identity.json",
                    R"({"bridge_name":"vswitch0","original_mac":"52:54:00:00:00:01","dhcp_enabled":false,
                        "last_uplink":"eno1","creation_timestamp":7,"last_update":8})");
    host.runner.on({"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
                   Answer::ok("Management Network:u-mgmt:bridge:vswitch0\n"));
    ipv4_method("u-mgmt", "auto");
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch0", "eno2"));
    EXPECT_EQ(mac_pins(), (std::vector<Argv>{
                              {"nmcli", "connection", "modify", "u-mgmt", "bridge.mac-address", "52:54:00:00:00:01"}}));
    auto argvs = host.runner.argvs();
    auto at = std::find(argvs.begin(), argvs.end(), mac_pins().front());
    ASSERT_NE(at, argvs.end());
    ASSERT_NE(at + 1, argvs.end());
    EXPECT_EQ(*(at + 1), (Argv{"ip", "link", "set", "vswitch0", "address", "52:54:00:00:00:01"}));
    EXPECT_EQ(host.runner.calls[static_cast<std::size_t>(at + 1 - argvs.begin())].mode, RunMode::Change);
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Applying MAC preservation strategy: 52:54:00:00:00:01\n"));
    auto id = identity("vswitch0");
    ASSERT_TRUE(id);
    EXPECT_TRUE(id->dhcp_enabled);
}

TEST(DhcpLease, NoLeaseMacWithoutABridgeLeaseThatNamesBothValues) {
    // A client's lease history holds no "hardware ethernet" line; and a lease of another
    // interface whose name only begins like the bridge's is not the bridge's.
    std::string history;
    for (int i = 0; i < 500; ++i)
        history += "lease {\n  interface \"vswitch0\";\n  fixed-address 192.168.1." + std::to_string(i % 200 + 2) +
                   ";\n  option dhcp-lease-time 600;\n  renew 4 2024/01/04 10:00:00;\n}\n";
    const std::vector<std::string> files = {
        history,
        "lease {\n  interface \"vswitch01\";\n  fixed-address 192.168.1.50;\n"
        "  hardware ethernet 52:54:00:12:34:56;\n}\n",
    };
    for (const auto& leases : files) {
        FakeHost h;
        std::filesystem::create_directories(h.file("/var/lib/quillmar"));
        h.runner.on({"ip", "link", "show", "vswitch0"}, Answer::ok(ip_link("vswitch0", "52:54:00:00:00:01")));
        h.runner.on({"nmcli", "-g", "ipv4.method", "connection", "show", "vswitch0"}, Answer::ok("auto\n"));
        h.write_file(kDhcpLeasesPath, leases);
        ASSERT_TRUE(preserve_bridge_network_identity(h.ctx, "vswitch0", "eno1"));
        EXPECT_THAT(h.out.str(), HasSubstr("[+] Using original MAC for continuity: 52:54:00:00:00:01\n"));
        auto text = h.read_file(*network_identity_path("vswitch0"));
        ASSERT_TRUE(text);
        EXPECT_THAT(*text, HasSubstr("\"lease_mac\": null"));
    }
}

TEST_F(MacTest, FirstRunOfAStaticBridgeKeepsItsOwnMacAsOriginal) {
    bridge_mac("vswitch2", "52:54:00:00:00:02");
    ipv4_method("vswitch2", "manual");
    host.runner.on({"ip", "addr", "show", "vswitch2"},
                   Answer::ok("    inet 127.0.0.1/8 scope host lo\n    inet 10.1.2.3/24 brd 10.1.2.255 scope global\n"));
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch2", "eno1"));
    EXPECT_EQ(host.out.str(),
              "[+] Enhanced MAC preservation for vswitch2 with uplink eno1\n"
              "[+] Using original MAC for continuity: 52:54:00:00:00:02\n"
              "[+] Applying MAC preservation strategy: 52:54:00:00:00:02\n"
              "[+] Stored original MAC address for vswitch2: 52:54:00:00:00:02\n"
              "[+] Saved network identity for vswitch2\n");
    EXPECT_EQ(host.read_file("/var/lib/quillmar/vswitch2_original_mac"), "52:54:00:00:00:02");
    EXPECT_EQ(identity("vswitch2"), (BridgeNetworkIdentity{"vswitch2", "52:54:00:00:00:02", std::nullopt, "10.1.2.3",
                                                           false, "eno1", 1000, 1000}));
}

TEST_F(MacTest, UplinkMacWhenTheBridgeHasNoneYet) {
    bridge_mac("eno1", "52:54:00:00:00:e1");
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch3", "eno1"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Using uplink MAC for new bridge: 52:54:00:00:00:e1\n"));
    EXPECT_EQ(host.read_file("/var/lib/quillmar/vswitch3_original_mac"), "52:54:00:00:00:e1");
}

TEST_F(MacTest, CurrentBridgeMacAsLastResort) {
    // The bridge shows no address at first and one by the time the uplinks are looked at;
    // a comma-separated uplink list names no single interface.
    host.runner.on({"ip", "link", "show", "vswitch3"},
                   std::vector<Answer>{Answer::ok(""), Answer::ok(ip_link("vswitch3", "52:54:00:00:00:03"))});
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch3", "eno1,eno2"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Using current bridge MAC as fallback: 52:54:00:00:00:03\n"));
    EXPECT_THAT(host.runner.argvs_of("ip"), ::testing::Contains(Argv{"ip", "link", "show", "eno1,eno2"}));
}

TEST_F(MacTest, NoMacSourceIsAnError) {
    auto r = preserve_bridge_network_identity(host.ctx, "vswitch3", "eno1");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "No suitable MAC address found for preservation");
    EXPECT_EQ(mac_pins(), std::vector<Argv>{});
    EXPECT_FALSE(host.read_file(*network_identity_path("vswitch3")));
}

TEST_F(MacTest, ToolThatCannotStartIsAnError) {
    host.runner.missing("ip");
    auto r = preserve_bridge_network_identity(host.ctx, "vswitch3", "eno1");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "No such file or directory (os error 2)");
}

TEST_F(MacTest, LaterRunKeepsOriginalCreationAndLastFoundValues) {
    host.write_file(*network_identity_path("vswitch0"),
                    R"({"bridge_name":"vswitch0","original_mac":"52:54:00:00:00:01","lease_mac":"52:54:00:12:34:56",
                        "dhcp_enabled":true,"last_uplink":"eno1","creation_timestamp":7,"last_update":8})");
    bridge_mac("vswitch0", "52:54:00:99:99:99");
    ipv4_method("vswitch0", "auto");
    // A lease file without a fixed address gives no new lease MAC; the stored one still counts.
    host.write_file(kDhcpLeasesPath, "lease {\n  interface \"vswitch0\";\n  hardware ethernet 52:54:00:77:77:77;\n}\n");
    host.runner.on({"ip", "addr", "show", "vswitch0"}, Answer::ok("    inet 127.0.0.1/8 scope host lo\n"));
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch0", "eno2"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Using DHCP lease MAC for IP continuity: 52:54:00:12:34:56\n"));
    EXPECT_EQ(identity("vswitch0"), (BridgeNetworkIdentity{"vswitch0", "52:54:00:00:00:01", "52:54:00:12:34:56",
                                                           std::nullopt, true, "eno2", 7, 1000}));
    EXPECT_THAT(*host.read_file(*network_identity_path("vswitch0")), HasSubstr("\"current_ip\": null"));
}

// The tools run with no state lock held; what another run wrote to the record meanwhile is kept
// where this run learned nothing new.
TEST_F(MacTest, ToolsRunWithoutTheStateLockAndTheRecordIsReadAgainBeforeItsSave) {
    bridge_mac("vswitch0", "52:54:00:00:00:02");
    ipv4_method("vswitch0", "manual");
    std::vector<Argv> under_lock;
    host.runner.while_running = [&](const Argv& argv) {
        if (host.state_lock_taken()) under_lock.push_back(argv);
        if (argv == Argv{"ip", "addr", "show", "vswitch0"})
            host.write_file(*network_identity_path("vswitch0"),
                            R"({"bridge_name":"vswitch0","original_mac":"52:54:00:00:00:09","current_ip":"10.0.0.9",
                                "dhcp_enabled":true,"last_uplink":"eno7","creation_timestamp":5,"last_update":6})");
    };
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch0", "eno1"));
    EXPECT_TRUE(under_lock.empty()) << testing::PrintToString(under_lock);
    EXPECT_EQ(identity("vswitch0"), (BridgeNetworkIdentity{"vswitch0", "52:54:00:00:00:09", std::nullopt,
                                                           std::string("10.0.0.9"), false, "eno1", 5, 1000}));
}

TEST_F(MacTest, DamagedIdentityFileIsReplacedByANewRecord) {
    host.write_file(*network_identity_path("vswitch0"),
                    R"({"bridge_name":"vswitch0","original_mac":"52:54:00:00:00:01","dhcp_enabled":"yes",
                        "last_uplink":"eno1","creation_timestamp":7,"last_update":8})");
    bridge_mac("vswitch0", "52:54:00:00:00:02");
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch0", "eno1"));
    auto id = identity("vswitch0");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->creation_timestamp, 1000u);
    EXPECT_EQ(id->original_mac, "52:54:00:00:00:02");
}

TEST_F(MacTest, RecordNamingAnotherBridgeNeverOverwritesThatBridgesFile) {
    const std::string other = R"({"bridge_name":"vswitch9","original_mac":"52:54:00:00:00:09","dhcp_enabled":false,
                                  "last_uplink":"eno9","creation_timestamp":7,"last_update":8})";
    host.write_file(*network_identity_path("vswitch2"), other);
    host.write_file(*network_identity_path("vswitch9"), other);
    bridge_mac("vswitch2", "52:54:00:00:00:02");
    ASSERT_TRUE(preserve_bridge_network_identity(host.ctx, "vswitch2", "eno1"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Using original MAC for continuity: 52:54:00:00:00:02\n"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Saved network identity for vswitch2\n"));
    EXPECT_EQ(host.read_file(*network_identity_path("vswitch9")), other);
    auto id = identity("vswitch2");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->bridge_name, "vswitch2");
}

TEST_F(MacTest, IdentityWriteFailureIsAnErrorAfterThePin) {
    bridge_mac("vswitch2", "52:54:00:00:00:02");
    // Room for the stored MAC, not for the record.
    auto r = [&] {
        test::FileSizeLimit limit(64);
        return preserve_bridge_network_identity(host.ctx, "vswitch2", "eno1");
    }();
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().message, HasSubstr("os error"));
    EXPECT_EQ(mac_pins().size(), 1u);
    EXPECT_EQ(host.read_file("/var/lib/quillmar/vswitch2_original_mac"), "52:54:00:00:00:02");
}

// nmcli prints the value escaped and in upper case; the running bridge is still given the MAC,
// which it may have lost to a port.
TEST(EnsureMacPersistence, LeavesAProfileThatHoldsTheStoredMac) {
    const Argv listing = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"};
    const Argv show = {"nmcli", "-g", "bridge.mac-address", "connection", "show", "vswitch1"};
    const Argv live = {"ip", "link", "set", "vswitch1", "address", "52:54:00:aa:bb:cc"};
    for (const std::string stored : {"52:54:00:aa:bb:cc", "52:54:00:aa:bb:cc\n"})
        for (const std::string shown : {"52:54:00:aa:bb:cc\n", "52\\:54\\:00\\:AA\\:BB\\:CC\n"}) {
            FakeHost h;
            h.write_file("/var/lib/quillmar/vswitch1_original_mac", stored);
            h.runner.on(show, Answer::ok(shown));
            ensure_mac_persistence(h.ctx, "vswitch1");
            EXPECT_EQ(h.runner.argvs(), (std::vector<Argv>{listing, show, live})) << shown;
            EXPECT_EQ(h.out.str(), "") << shown;
        }
}

TEST_F(MacTest, EnsurePersistencePinsTheStoredMac) {
    host.write_file("/var/lib/quillmar/vswitch1_original_mac", "52:54:00:aa:bb:cc");
    host.runner.on({"nmcli", "-g", "bridge.mac-address", "connection", "show", "vswitch1"}, Answer::ok("--\n"));
    ensure_mac_persistence(host.ctx, "vswitch1");
    EXPECT_EQ(host.out.str(), "[+] Ensuring vswitch1 MAC address persistence: 52:54:00:aa:bb:cc\n");
    EXPECT_EQ(mac_pins(), (std::vector<Argv>{
                              {"nmcli", "connection", "modify", "vswitch1", "bridge.mac-address", "52:54:00:aa:bb:cc"}}));
    EXPECT_EQ(host.runner.argvs().back(), (Argv{"ip", "link", "set", "vswitch1", "address", "52:54:00:aa:bb:cc"}));
    EXPECT_EQ(host.runner.calls.back().mode, RunMode::Change);
}

TEST_F(MacTest, EnsurePersistencePinsAnotherMacOnTheProfileBoundToTheBridge) {
    host.write_file("/var/lib/quillmar/vswitch1_original_mac", "52:54:00:aa:bb:cc");
    host.runner.on({"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
                   Answer::ok("Storage:u-st:bridge:vswitch1\n"));
    host.runner.on({"nmcli", "-g", "bridge.mac-address", "connection", "show", "u-st"},
                   Answer::ok("52\\:54\\:00\\:AA\\:BB\\:CD\n"));
    ensure_mac_persistence(host.ctx, "vswitch1");
    EXPECT_EQ(host.out.str(), "[+] Ensuring vswitch1 MAC address persistence: 52:54:00:aa:bb:cc\n");
    EXPECT_EQ(mac_pins(), (std::vector<Argv>{
                              {"nmcli", "connection", "modify", "u-st", "bridge.mac-address", "52:54:00:aa:bb:cc"}}));
    EXPECT_EQ(host.runner.argvs().back(), (Argv{"ip", "link", "set", "vswitch1", "address", "52:54:00:aa:bb:cc"}));
}

TEST_F(MacTest, EnsurePersistenceStoresTheBridgesOwnMacFirst) {
    bridge_mac("vswitch1", "52:54:00:00:00:11");
    ensure_mac_persistence(host.ctx, "vswitch1");
    EXPECT_EQ(host.out.str(),
              "[+] Stored original MAC address for vswitch1: 52:54:00:00:00:11\n"
              "[+] Ensuring vswitch1 MAC address persistence: 52:54:00:00:00:11\n");
    EXPECT_EQ(host.read_file("/var/lib/quillmar/vswitch1_original_mac"), "52:54:00:00:00:11");
}

TEST_F(MacTest, EnsurePersistenceStopsSilentlyWithoutAMac) {
    ensure_mac_persistence(host.ctx, "vswitch1");
    EXPECT_EQ(host.runner.argvs(), (std::vector<Argv>{{"ip", "link", "show", "vswitch1"}}));
    EXPECT_EQ(host.out.str() + host.err.str(), "");
}

}  // namespace
}  // namespace qm
