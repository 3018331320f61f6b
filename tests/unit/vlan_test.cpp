#include "cmds/vlan/vlan.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_host.hpp"
#include "support/transcripts.hpp"
#include "utils/links.hpp"

namespace qm::test {

// Readable failure output for recorded calls.
inline void PrintTo(const Call& c, std::ostream* os) {
    static const char* const modes[] = {"Change", "Query", "QueryWithStderr", "Shown", "Detached"};
    *os << modes[static_cast<int>(c.mode)] << " [";
    for (std::size_t i = 0; i < c.argv.size(); ++i) *os << (i ? ", " : "") << '"' << c.argv[i] << '"';
    *os << "]";
}

}  // namespace qm::test

namespace qm {
namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::Call;
using test::FakeHost;
using ::testing::HasSubstr;
using ::testing::Not;
using Argv = std::vector<std::string>;

Argv nm(Argv args) {
    args.insert(args.begin(), "nmcli");
    return args;
}
Call change(Argv argv) { return {std::move(argv), RunMode::Change}; }
Call query(Argv argv) { return {std::move(argv), RunMode::Query}; }

const Argv kListing = nm({"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"});
const Argv kDeviceStatus = nm({"device", "status"});
const Argv kProfiles = nm({"-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"});
const char* const kIpShow =
    "7: vswitch0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue state UP mode DEFAULT\n"
    "    link/ether 52:54:00:12:34:56 brd ff:ff:ff:ff:ff:ff\n";
constexpr std::string_view kLedger = "/var/lib/quillmar/managed_resources.json";

bool has_call(const FakeHost& host, const Argv& argv) {
    for (const auto& c : host.runner.calls)
        if (c.argv == argv) return true;
    return false;
}
bool has_call_prefix(const FakeHost& host, const Argv& prefix) {
    for (const auto& c : host.runner.calls)
        if (c.argv.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), c.argv.begin())) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------
// vlan create

// A host where VLAN 100 does not exist yet, its device shows at once and vswitch0 has a MAC.
class VlanCreate : public ::testing::Test {
protected:
    void SetUp() override {
        host.runner.on(nm({"connection", "show", "Vlan 100"}), Answer::exit(10));
        host.runner.on(kDeviceStatus, Answer::ok("DEVICE        TYPE    STATE      CONNECTION\n"
                                                 "vswitch0.100  vlan    connected  Vlan 100\n"));
        host.runner.on({"ip", "link", "show", "vswitch0"}, Answer::ok(kIpShow));
    }
    std::string ledger() const { return host.read_file(kLedger).value_or(""); }

    FakeHost host;
};

TEST_F(VlanCreate, RunsEveryStepInOrder) {
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));

    std::vector<Call> expected = {
        change(nm({"connection", "show", "Vlan 100"})),
        change(nm({"connection", "add", "ifname", "vswitch0.100", "type", "vlan", "con-name", "Vlan 100",
                   "vlan.parent", "vswitch0", "vlan.id", "100"})),
        change(nm({"connection", "modify", "Vlan 100", "ipv4.method", "disabled"})),
        change(nm({"connection", "modify", "Vlan 100", "ipv6.method", "ignore"})),
        query(kDeviceStatus),
        change(nm({"connection", "add", "ifname", "vlan100br", "type", "bridge", "con-name", "vlan100br"})),
        change(nm({"connection", "modify", "vlan100br", "ipv4.method", "disabled"})),
        change(nm({"connection", "modify", "vlan100br", "ipv6.method", "ignore"})),
        change(nm({"connection", "modify", "Vlan 100", "master", "vlan100br"})),
        change(nm({"connection", "modify", "Vlan 100", "slave-type", "bridge"})),
        query({"ip", "link", "show", "vswitch0"}),
        query(kProfiles),
        change(nm({"connection", "up", "vswitch0"})),
        change(nm({"connection", "up", "Vlan 100"})),
        change(nm({"connection", "up", "vlan100br"})),
        change({"ip", "link", "set", "vswitch0", "address", "52:54:00:12:34:56"}),
        change(nm({"connection", "up", "Vlan 100"})),
    };
    EXPECT_EQ(host.runner.calls, expected);
    EXPECT_EQ(host.out.str(), test::transcripts::kVlan100Created);
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.sleeper.pauses, (std::vector<std::chrono::milliseconds>{500ms, 1000ms}));
    EXPECT_THAT(ledger(), HasSubstr("\"vlan100br\""));
}

// Bringing vswitch0 up again makes NetworkManager release the ends of its joins: vswitch0 is
// joined to vswitch7 and is the master of vswitch1. Both ends are put back afterwards.
TEST_F(VlanCreate, PutsTheJoinsEndsBackOnTheReactivatedBridge) {
    host.write_file("/var/lib/quillmar/bridge_connections.json", R"({"vswitch0": ["vswitch1"], "vswitch7": ["vswitch0"]})");
    const auto net = host.file("/sys/class/net");
    for (const char* end : {"vvs0_vs1", "vvs0_vs7"}) {
        std::filesystem::create_directories(net / end);
        std::filesystem::create_symlink("../vswitch0", net / end / "master");
    }
    host.runner.while_running = [&](const Argv& argv) {
        if (argv == nm({"connection", "up", "vswitch0"}))
            for (const char* end : {"vvs0_vs1", "vvs0_vs7"}) std::filesystem::remove(net / end / "master");
    };

    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));

    std::vector<Argv> after_up;
    bool seen = false;
    for (const auto& c : host.runner.calls) {
        if (seen && c.argv[0] == "ip" && c.argv[3] != "vswitch0") after_up.push_back(c.argv);
        seen = seen || c.argv == nm({"connection", "up", "vswitch0"});
    }
    EXPECT_EQ(after_up, (std::vector<Argv>{{"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"},
                                           {"ip", "link", "set", "vvs0_vs7", "master", "vswitch0"}}));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Allowing NetworkManager to stabilize...\n"
                                          "[+] Put veth end 'vvs0_vs1' back on bridge 'vswitch0'\n"
                                          "[+] Put veth end 'vvs0_vs7' back on bridge 'vswitch0'\n"
                                          "[+] Activating VLAN interface...\n"));
}

TEST_F(VlanCreate, ExistingProfileIsReportedBeforeAnythingIsCreated) {
    host.runner.on(nm({"connection", "show", "Vlan 100"}), Answer::ok());
    auto r = create_vlan(host.ctx, 100, "vswitch0");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), VlanError::already_exists(100));
    EXPECT_EQ(r.error().display(), "VLAN 100 already exists");
    EXPECT_EQ(host.runner.calls, (std::vector<Call>{change(nm({"connection", "show", "Vlan 100"}))}));
    EXPECT_EQ(host.out.str(), "[+] Creating VLAN 100\n");
}

TEST_F(VlanCreate, ProfileNameIsResolvedAndBroughtUpAsTyped) {
    host.runner.on(kListing, Answer::ok("Management Network:vswitch0:bridge:activated\n"));
    ASSERT_TRUE(create_vlan(host.ctx, 100, "Management Network"));
    EXPECT_TRUE(has_call(host, nm({"connection", "add", "ifname", "vswitch0.100", "type", "vlan", "con-name",
                                   "Vlan 100", "vlan.parent", "vswitch0", "vlan.id", "100"})));
    EXPECT_TRUE(has_call(host, nm({"connection", "up", "Management Network"})));
    EXPECT_FALSE(has_call(host, nm({"connection", "up", "vswitch0"})));
}

// The parent named by its device, whose profile is named otherwise: brought up by its UUID.
TEST_F(VlanCreate, DeviceNameBringsUpTheProfileBoundToIt) {
    host.runner.on(kProfiles, Answer::ok("Management Network:u-mgmt:bridge:vswitch0\n"));
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));
    EXPECT_TRUE(has_call(host, nm({"connection", "up", "u-mgmt"})));
    EXPECT_FALSE(has_call(host, nm({"connection", "up", "vswitch0"})));
    EXPECT_TRUE(has_call(host, nm({"connection", "add", "ifname", "vswitch0.100", "type", "vlan", "con-name",
                                   "Vlan 100", "vlan.parent", "vswitch0", "vlan.id", "100"})));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] Preserving vswitch0 MAC address for stability\n"));
}

TEST_F(VlanCreate, UnknownVswitchIsInvalid) {
    // A bridge profile on a device that is not a vswitch does not count either.
    host.runner.on(kListing, Answer::ok("O'Brien \"lab\":br0:bridge:activated\n"));
    auto r = create_vlan(host.ctx, 100, "O'Brien \"lab\"");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, VlanError::Kind::InvalidVswitch);
    EXPECT_EQ(r.error().display(), "Invalid vswitch: vSwitch 'O'Brien \"lab\"' does not exist");
    EXPECT_FALSE(has_call_prefix(host, nm({"connection", "add"})));
    EXPECT_EQ(host.out.str(), "[+] Creating VLAN 100\n");
}

TEST_F(VlanCreate, VswitchNameIsTakenAsTheDeviceWithoutLookup) {
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch42"));
    EXPECT_FALSE(has_call(host, kListing));
    EXPECT_TRUE(has_call(host, nm({"connection", "add", "ifname", "vswitch42.100", "type", "vlan", "con-name",
                                   "Vlan 100", "vlan.parent", "vswitch42", "vlan.id", "100"})));
}

struct Rollback {
    const char* what;
    Argv failing;         // the nmcli call that fails
    std::string display;  // the error text
    std::vector<Argv> deletes;
};

void PrintTo(const Rollback& r, std::ostream* os) { *os << r.what; }

class VlanCreateRollback : public VlanCreate, public ::testing::WithParamInterface<Rollback> {};

TEST_P(VlanCreateRollback, RemovesWhatWasAddedAndWritesNoLedger) {
    const auto& p = GetParam();
    host.runner.on(p.failing, Answer::exit(1));
    // A failing clean-up does not change the error.
    host.runner.on_prefix(nm({"connection", "delete"}), Answer::exit(1));

    auto r = create_vlan(host.ctx, 100, "vswitch0");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, VlanError::Kind::CommandFailed);
    EXPECT_EQ(r.error().display(), p.display);

    std::vector<Argv> deletes;
    std::size_t after_failure = 0;
    for (std::size_t i = 0; i < host.runner.calls.size(); ++i) {
        const auto& argv = host.runner.calls[i].argv;
        if (argv == p.failing) after_failure = i + 1;
        if (argv.size() > 2 && argv[2] == "delete") deletes.push_back(argv);
    }
    EXPECT_EQ(deletes, p.deletes);
    // Clean-up is all that runs after the failure.
    EXPECT_EQ(host.runner.calls.size(), after_failure + p.deletes.size());
    EXPECT_FALSE(host.read_file(kLedger));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, VlanCreateRollback,
    ::testing::Values(
        Rollback{"vlan_add",
                 nm({"connection", "add", "ifname", "vswitch0.100", "type", "vlan", "con-name", "Vlan 100",
                     "vlan.parent", "vswitch0", "vlan.id", "100"}),
                 "Command failed: Failed to create VLAN interface: Failed to add connection 'Vlan 100'",
                 {}},
        Rollback{"bridge_add",
                 nm({"connection", "add", "ifname", "vlan100br", "type", "bridge", "con-name", "vlan100br"}),
                 "Command failed: Failed to create VLAN 100 bridge: Failed to add connection 'vlan100br'",
                 {nm({"connection", "delete", "Vlan 100"})}},
        Rollback{"master", nm({"connection", "modify", "Vlan 100", "master", "vlan100br"}),
                 "Command failed: Failed to attach VLAN 100 to bridge: Failed to modify connection 'Vlan 100' "
                 "property 'master'",
                 {nm({"connection", "delete", "Vlan 100"}), nm({"connection", "delete", "vlan100br"})}},
        Rollback{"slave_type", nm({"connection", "modify", "Vlan 100", "slave-type", "bridge"}),
                 "Command failed: Failed to attach VLAN 100 to bridge: Failed to modify connection 'Vlan 100' "
                 "property 'slave-type'",
                 {nm({"connection", "delete", "Vlan 100"}), nm({"connection", "delete", "vlan100br"})}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(VlanCreate, IgnoresFailedPropertyChangesAndEarlyActivations) {
    host.runner.on_prefix(nm({"connection", "modify", "Vlan 100", "ipv4.method"}), Answer::exit(1));
    host.runner.on_prefix(nm({"connection", "modify", "vlan100br", "ipv6.method"}), Answer::exit(1));
    host.runner.on(nm({"connection", "up", "vswitch0"}), Answer::exit(4));
    host.runner.on(nm({"connection", "up", "vlan100br"}), Answer::missing());
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));
    EXPECT_THAT(host.out.str(), HasSubstr("[+] VLAN 100 created successfully\n"));
}

TEST_F(VlanCreate, PollsTheDeviceTenTimesThenGoesOn) {
    host.runner.on(kDeviceStatus, Answer::ok("DEVICE    TYPE    STATE      CONNECTION\n"
                                             "vswitch0  bridge  connected  vswitch0\n"));
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));
    EXPECT_EQ(host.runner.argvs().size(), 17u + 9u);
    std::size_t probes = 0;
    for (const auto& c : host.runner.calls) probes += c.argv == kDeviceStatus;
    EXPECT_EQ(probes, 10u);
    std::vector<std::chrono::milliseconds> pauses(10, 300ms);
    pauses.insert(pauses.end(), {500ms, 1000ms});
    EXPECT_EQ(host.sleeper.pauses, pauses);
    EXPECT_THAT(host.out.str(), HasSubstr("[+] VLAN 100 created successfully\n"));
}

TEST_F(VlanCreate, StopsPollingOnceTheDeviceShows) {
    const Answer absent = Answer::ok("DEVICE  TYPE  STATE  CONNECTION\n");
    host.runner.on(kDeviceStatus, {absent, absent, Answer::ok("vswitch0.100 vlan connected Vlan 100\n")});
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));
    std::size_t probes = 0;
    for (const auto& c : host.runner.calls) probes += c.argv == kDeviceStatus;
    EXPECT_EQ(probes, 3u);
    EXPECT_EQ(host.sleeper.pauses, (std::vector<std::chrono::milliseconds>{300ms, 300ms, 500ms, 1000ms}));
}

TEST_F(VlanCreate, RetriesTheActivationOnce) {
    // The first "up" of the VLAN profile (with the bridges) succeeds; the final activation fails once.
    host.runner.on(nm({"connection", "up", "Vlan 100"}), {Answer::ok(), Answer::exit(4), Answer::ok()});
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));
    EXPECT_THAT(host.out.str(),
                HasSubstr("[+] Activating VLAN interface...\n"
                          "[!] Warning: Could not activate VLAN interface 'vswitch0.100': Failed to bring up "
                          "connection 'Vlan 100'\n"
                          "[+] Retrying VLAN activation after additional delay...\n"
                          "[+] VLAN interface 'vswitch0.100' activated on retry\n"
                          "[+] VLAN 100 created successfully\n"));
    EXPECT_EQ(host.sleeper.pauses, (std::vector<std::chrono::milliseconds>{500ms, 1000ms, 1000ms}));
    EXPECT_THAT(ledger(), HasSubstr("\"vlan100br\""));
}

TEST_F(VlanCreate, FailedRetryIsOnlyAWarning) {
    host.runner.on(nm({"connection", "up", "Vlan 100"}), {Answer::ok(), Answer::exit(4), Answer::missing()});
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));
    EXPECT_THAT(host.out.str(),
                HasSubstr("[+] Retrying VLAN activation after additional delay...\n"
                          "[!] Warning: VLAN interface activation failed after retry: No such file or directory "
                          "(os error 2)\n"
                          "[+] VLAN 100 created successfully\n"));
    std::size_t ups = 0;
    for (const auto& c : host.runner.calls) ups += c.argv == nm({"connection", "up", "Vlan 100"});
    EXPECT_EQ(ups, 3u);
    EXPECT_THAT(ledger(), HasSubstr("\"vlan100br\""));
}

TEST_F(VlanCreate, WithoutMacThereIsNoPreservation) {
    host.runner.on({"ip", "link", "show", "vswitch0"}, Answer::exit(1));
    ASSERT_TRUE(create_vlan(host.ctx, 100, "vswitch0"));
    EXPECT_THAT(host.out.str(), Not(HasSubstr("MAC")));
    EXPECT_FALSE(has_call_prefix(host, {"ip", "link", "set"}));
    EXPECT_EQ(host.sleeper.pauses, (std::vector<std::chrono::milliseconds>{500ms, 1000ms}));
}

TEST(VlanCreateIds, SmallestAndLargestIdsNameEveryObject) {
    for (std::uint16_t id : {std::uint16_t{0}, std::uint16_t{65535}}) {
        SCOPED_TRACE(id);
        const std::string n = std::to_string(id);
        FakeHost host;
        host.runner.on(nm({"connection", "show", "Vlan " + n}), Answer::exit(10));
        ASSERT_TRUE(create_vlan(host.ctx, id, "vswitch3"));
        EXPECT_TRUE(has_call(host, nm({"connection", "add", "ifname", "vswitch3." + n, "type", "vlan", "con-name",
                                       "Vlan " + n, "vlan.parent", "vswitch3", "vlan.id", n})));
        EXPECT_TRUE(has_call(host, nm({"connection", "add", "ifname", "vlan" + n + "br", "type", "bridge",
                                       "con-name", "vlan" + n + "br"})));
        EXPECT_THAT(host.out.str(), HasSubstr("[+] VLAN " + n + " created successfully\n"));
    }
}

// ---------------------------------------------------------------------------------------------
// MAC address helpers

TEST(MacAddress, ReadsTheSecondWordOfTheFirstEtherLine) {
    struct Case {
        const char* what;
        std::optional<Answer> answer;  // absent: ip cannot be started
        std::optional<std::string> mac;
    };
    const Case cases[] = {
        {"usual", Answer::ok(kIpShow), "52:54:00:12:34:56"},
        {"exit status ignored", Answer::exit(1, "    link/ether aa:bb:cc:dd:ee:ff brd ff:ff:ff:ff:ff:ff\n"),
         "aa:bb:cc:dd:ee:ff"},
        {"first line wins", Answer::ok("link/ether 11:11:11:11:11:11\nlink/ether 22:22:22:22:22:22\n"),
         "11:11:11:11:11:11"},
        {"first line without a second word", Answer::ok("    link/ether\nlink/ether 22:22:22:22:22:22\n"),
         std::nullopt},
        {"invalid bytes", Answer::ok("x\xff\n    link/ether 02:00:00:00:00:01 brd\n"), "02:00:00:00:00:01"},
        {"no ether line", Answer::ok("7: vswitch0: <UP>\n    link/none\n"), std::nullopt},
        {"ip missing", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHost host;
        host.runner.on({"ip", "link", "show", "vswitch0"}, c.answer.value_or(Answer::missing()));
        EXPECT_EQ(get_mac_address(host.ctx, "vswitch0"), c.mac);
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{query({"ip", "link", "show", "vswitch0"})}));
    }
}

TEST(MacAddress, SetAnnouncesAndIgnoresFailure) {
    FakeHost host;
    host.runner.missing("ip");
    set_mac_address(host.ctx, "vswitch0", "52:54:00:12:34:56");
    EXPECT_EQ(host.out.str(), "[+] Restoring vswitch0 MAC address to: 52:54:00:12:34:56\n");
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{change({"ip", "link", "set", "vswitch0", "address", "52:54:00:12:34:56"})}));
}

// ---------------------------------------------------------------------------------------------
// vlan list

std::string list_with(const std::string& listing) {
    FakeHost host;
    host.runner.on(kListing, Answer::ok(listing));
    list_vlans(host.ctx);
    EXPECT_EQ(host.err.str(), "");
    return host.out.str();
}

TEST(VlanList, NoVlans) {
    const std::string empty = "\n=== VLANs ===\n  (no VLANs configured)\n\n";
    EXPECT_EQ(list_with(""), empty);
    EXPECT_EQ(list_with("Management Network:vswitch0:bridge:activated\n"
                        "Vlan 5:vswitch0.5:bridge:activated\n"
                        "Vlan 65536:vswitch0.1:vlan:activated\n"
                        "Vlan -1:vswitch0.2:vlan:activated\n"
                        "Vlan 7a:vswitch0.3:vlan:activated\n"
                        "Vlan :vswitch0.4:vlan:activated\n"
                        "Vlan +:vswitch0.6:vlan:activated\n"
                        "vlan 8:vswitch0.8:vlan:activated\n"
                        "Vlan 9:vswitch0.9\n"),
              empty);
}

TEST(VlanList, GroupsByTrunkInByteOrderAndPadsByCharacters) {
    const std::string out = list_with(
        "Vlan 10:vswitch1.10:vlan:activated\r\n"
        "Vlan 20:vswitch0.20:vlan:activated\n"
        "Vlan 0100:vswitch1.100:vlan:activating\n"
        "Vlan +7:vswitch0.7:vlan:deactivated-long\n"
        "Vlan 30:brü.30:vlan:activated\n"
        "Vlan 65535:an-interface-name-longer-than-18.65535:vlan:activated\n"
        "Vlan 9::vlan:\n"
        "Vlan 0:Zeta:vlan:activated:extra\n");
    EXPECT_EQ(out,
              "\n=== VLANs ===\n"
              "\n[Trunk: ]\n"
              "  VLAN 9     Interface:                    Bridge: vlan9br        State:         \n"
              "\n[Trunk: Zeta]\n"
              "  VLAN 0     Interface: Zeta               Bridge: vlan0br        State: activated\n"
              "\n[Trunk: an-interface-name-longer-than-18]\n"
              "  VLAN 65535 Interface: an-interface-name-longer-than-18.65535 Bridge: vlan65535br    State: "
              "activated\n"
              "\n[Trunk: brü]\n"
              "  VLAN 30    Interface: brü.30             Bridge: vlan30br       State: activated\n"
              "\n[Trunk: vswitch0]\n"
              "  VLAN 20    Interface: vswitch0.20        Bridge: vlan20br       State: activated\n"
              "  VLAN 7     Interface: vswitch0.7         Bridge: vlan7br        State: deactivated-long\n"
              "\n[Trunk: vswitch1]\n"
              "  VLAN 10    Interface: vswitch1.10        Bridge: vlan10br       State: activated\n"
              "  VLAN 100   Interface: vswitch1.100       Bridge: vlan100br      State: activating\n"
              "\n");
}

TEST(VlanList, ProfileWithoutDeviceColumn) {
    // Only three fields: no device, and the third field stands in the state column.
    auto vlans = parse_vlan_listing("Vlan 12:vswitch0.12:vlan\n");
    ASSERT_EQ(vlans.size(), 1u);
    EXPECT_EQ(vlans[0], (VlanInfo{"", "vlan12br", "", "vlan", 12}));
}

TEST(VlanList, ListingFailureStopsWithMessage) {
    FakeHost host;
    host.runner.missing("nmcli");
    list_vlans(host.ctx);
    EXPECT_EQ(host.out.str(), "");
    EXPECT_EQ(host.err.str(), "Failed to list NM connections: No such file or directory (os error 2)\n");
}

// ---------------------------------------------------------------------------------------------
// vlan delete

constexpr std::string_view kLedgerWithVlan = R"({
  "vswitches": [],
  "vlan_bridges": [
    "vlan100br"
  ],
  "veth_pairs": [],
  "bonds": [],
  "created_at": "2024-01-02T03:04:05+00:00"
})";

// VLAN 100 exists with its bridge; no machine uses it and no libvirt network belongs to it.
void script_vlan_100(FakeHost& host) {
    host.runner.on(kListing, Answer::ok("Management Network:vswitch0:bridge:activated\n"
                                        "Vlan 100:vswitch0.100:vlan:activated\n"
                                        "vlan100br:vlan100br:bridge:activated\n"));
    host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok(""));
    host.runner.on({"virsh", "net-info", "VLAN 100"}, Answer::exit(1));
    host.write_file(kLedger, kLedgerWithVlan);
}

std::vector<Argv> nm_deletes(const FakeHost& host) {
    std::vector<Argv> v;
    for (const auto& c : host.runner.calls)
        if (c.argv.size() > 2 && c.argv[0] == "nmcli" && c.argv[2] == "delete") v.push_back(c.argv);
    return v;
}

const std::vector<Argv> kBothDeletes = {nm({"connection", "delete", "Vlan 100"}),
                                        nm({"connection", "delete", "vlan100br"})};

class VlanDelete : public ::testing::Test {
protected:
    void SetUp() override { script_vlan_100(host); }
    // Two machines on the VLAN bridge, one elsewhere.
    void machines_on_bridge() {
        host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("web 1\nother\ndb2\n\n"));
        host.runner.on({"virsh", "dumpxml", "web 1"}, Answer::ok("<interface type='bridge'>\n"
                                                                 "  <source bridge='vlan100br'/>\n"));
        host.runner.on({"virsh", "dumpxml", "other"}, Answer::ok("  <source bridge='vswitch0'/>\n"));
        host.runner.on({"virsh", "dumpxml", "db2"}, Answer::ok("  <source bridge='vlan100br'/>\n"));
    }
    // The network "VLAN 100" exists; "vm3" reaches it by name, through no bridge of its own.
    void network_used_by_name() {
        host.runner.on({"virsh", "net-info", "VLAN 100"}, Answer::ok());
        host.runner.on({"virsh", "list", "--all", "--name"}, Answer::ok("vm3\n"));
        host.runner.on({"virsh", "dumpxml", "vm3"}, Answer::ok("  <source network='VLAN 100'/>\n"));
    }
    std::vector<Argv> nm_deletes() const { return qm::nm_deletes(host); }
    std::string ledger() const { return host.read_file(kLedger).value_or(""); }

    FakeHost host;
};

TEST_F(VlanDelete, RemovesBothProfilesAndTheLedgerEntry) {
    ASSERT_TRUE(delete_vlan(host.ctx, 100, false));
    EXPECT_EQ(host.out.str(), "[+] Deleting VLAN 100\n[+] VLAN 100 deleted successfully\n");
    EXPECT_EQ(nm_deletes(), kBothDeletes);
    for (const auto& c : host.runner.calls) {
        if (c.argv[0] != "nmcli") continue;
        EXPECT_EQ(c.mode, c.argv == kListing ? RunMode::Query : RunMode::Change);
    }
    EXPECT_THAT(ledger(), Not(HasSubstr("vlan100br")));
}

TEST_F(VlanDelete, MissingVlanIsNotFound) {
    struct Case {
        const char* what;
        Answer listing;
    };
    const Case cases[] = {
        {"no profile", Answer::ok("Management Network:vswitch0:bridge:activated\n")},
        {"profile of another type", Answer::ok("Vlan 100:vlan100:bridge:activated\n")},
        {"other spelling", Answer::ok("Vlan 0100:vswitch0.100:vlan:activated\n")},
        {"listing fails", Answer::exit(8)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host.runner.on(kListing, c.listing);
        auto r = delete_vlan(host.ctx, 100, true);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), VlanError::not_found(100));
        EXPECT_EQ(r.error().display(), "VLAN 100 not found");
    }
    EXPECT_EQ(nm_deletes(), std::vector<Argv>{});
    EXPECT_FALSE(has_call_prefix(host, {"virsh"}));
}

TEST_F(VlanDelete, MachinesOnTheBridgeBlockDeletion) {
    machines_on_bridge();
    auto r = delete_vlan(host.ctx, 100, false);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), VlanError::in_use(100, {"VM: web 1 (direct bridge)", "VM: db2 (direct bridge)"}));
    EXPECT_EQ(r.error().display(), "VLAN 100 is in use by: VM: web 1 (direct bridge), VM: db2 (direct bridge)");
    EXPECT_EQ(nm_deletes(), std::vector<Argv>{});
    EXPECT_FALSE(has_call_prefix(host, {"virsh", "net-info"}));
    EXPECT_EQ(host.out.str(), "[+] Deleting VLAN 100\n");
    EXPECT_EQ(ledger(), kLedgerWithVlan);
}

TEST_F(VlanDelete, ForceIgnoresMachines) {
    machines_on_bridge();
    ASSERT_TRUE(delete_vlan(host.ctx, 100, true));
    EXPECT_EQ(host.out.str(),
              "[+] Deleting VLAN 100\n"
              "[!] Force deleting VLAN 100 (ignoring 2 dependencies)\n"
              "[+] VLAN 100 deleted successfully\n");
    EXPECT_EQ(nm_deletes(), kBothDeletes);
}

TEST_F(VlanDelete, RemovesTheLibvirtNetworkFirst) {
    host.runner.on({"virsh", "net-info", "VLAN 100"}, Answer::ok());
    ASSERT_TRUE(delete_vlan(host.ctx, 100, false));
    EXPECT_EQ(host.out.str(),
              "[+] Deleting VLAN 100\n"
              "[+] Deleting libvirt network 'VLAN 100'\n"
              "[+] Libvirt network 'VLAN 100' deleted successfully\n"
              "[+] Deleted libvirt network 'VLAN 100'\n"
              "[+] VLAN 100 deleted successfully\n");
    EXPECT_TRUE(has_call(host, {"virsh", "net-undefine", "VLAN 100"}));
    EXPECT_EQ(nm_deletes(), kBothDeletes);
}

TEST_F(VlanDelete, NetworkInUseStopsWithoutForce) {
    network_used_by_name();
    auto r = delete_vlan(host.ctx, 100, false);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, VlanError::Kind::CommandFailed);
    EXPECT_EQ(r.error().display(),
              "Command failed: Cannot delete libvirt network: Network 'VLAN 100' is in use by VMs: vm3");
    EXPECT_EQ(nm_deletes(), std::vector<Argv>{});
    EXPECT_FALSE(has_call_prefix(host, {"virsh", "net-undefine"}));
    EXPECT_EQ(ledger(), kLedgerWithVlan);
}

TEST_F(VlanDelete, NetworkInUseIsForceDeletedWithForce) {
    network_used_by_name();
    host.runner.on({"virsh", "net-undefine", "VLAN 100"}, Answer::exit(1));  // its failure is ignored
    ASSERT_TRUE(delete_vlan(host.ctx, 100, true));
    EXPECT_EQ(host.out.str(),
              "[+] Deleting VLAN 100\n"
              "[+] Deleting libvirt network 'VLAN 100'\n"
              "[!] Force deleting libvirt network\n"
              "[!] Force deleting libvirt network 'VLAN 100'\n"
              "[+] VLAN 100 deleted successfully\n");
    EXPECT_TRUE(has_call(host, {"virsh", "net-destroy", "VLAN 100"}));
    EXPECT_EQ(nm_deletes(), kBothDeletes);
}

TEST(VlanDeleteFailure, FailedProfileDeletionKeepsTheLedgerEntry) {
    struct Case {
        Argv failing;
        std::string display;
        std::size_t deletes;
    };
    const Case cases[] = {
        {nm({"connection", "delete", "Vlan 100"}),
         "Command failed: Failed to delete VLAN 100 connection: Failed to delete connection 'Vlan 100'", 1},
        {nm({"connection", "delete", "vlan100br"}),
         "Command failed: Failed to delete VLAN 100 bridge: Failed to delete connection 'vlan100br'", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.display);
        FakeHost host;
        script_vlan_100(host);
        host.runner.on(c.failing, Answer::exit(1));
        auto r = delete_vlan(host.ctx, 100, false);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), c.display);
        EXPECT_EQ(nm_deletes(host), std::vector<Argv>(kBothDeletes.begin(), kBothDeletes.begin() + c.deletes));
        EXPECT_EQ(host.read_file(kLedger), std::string(kLedgerWithVlan));
    }
}

TEST(VlanErrorText, EveryCase) {
    EXPECT_EQ(VlanError::not_found(0).display(), "VLAN 0 not found");
    EXPECT_EQ(VlanError::already_exists(65535).display(), "VLAN 65535 already exists");
    EXPECT_EQ(VlanError::invalid_vswitch("x").display(), "Invalid vswitch: x");
    EXPECT_EQ(VlanError::command_failed("y").display(), "Command failed: y");
    EXPECT_EQ(VlanError::in_use(7, {"a", "b"}).display(), "VLAN 7 is in use by: a, b");
}

}  // namespace
}  // namespace qm
