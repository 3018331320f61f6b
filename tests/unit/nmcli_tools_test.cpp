#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <utility>

#include "support/fake_host.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;
using Argv = std::vector<std::string>;

const std::string kNoNmcli = "No such file or directory (os error 2)";

struct ChangeCase {
    const char* label;
    std::function<Status(const Context&)> op;
    Argv argv;
    std::string failure;
};

std::vector<ChangeCase> change_cases() {
    return {
        {"add",
         [](const Context& c) { return add_connection(c, "bridge", "My Bridge:1", "br0", {"bridge.stp", "no"}); },
         {"nmcli", "connection", "add", "ifname", "br0", "type", "bridge", "con-name", "My Bridge:1", "bridge.stp",
          "no"},
         "Failed to add connection 'My Bridge:1'"},
        {"add without extra", [](const Context& c) { return add_connection(c, "bond", "bond0", "bond0"); },
         {"nmcli", "connection", "add", "ifname", "bond0", "type", "bond", "con-name", "bond0"},
         "Failed to add connection 'bond0'"},
        {"delete", [](const Context& c) { return delete_connection(c, "Wired connection 1"); },
         {"nmcli", "connection", "delete", "Wired connection 1"},
         "Failed to delete connection 'Wired connection 1'"},
        {"up", [](const Context& c) { return up_connection(c, "vswitch0"); },
         {"nmcli", "connection", "up", "vswitch0"}, "Failed to bring up connection 'vswitch0'"},
        {"modify",
         [](const Context& c) { return modify_connection(c, "a b", "ipv4.method", "disabled"); },
         {"nmcli", "connection", "modify", "a b", "ipv4.method", "disabled"},
         "Failed to modify connection 'a b' property 'ipv4.method'"},
        {"modify together",
         [](const Context& c) {
             return modify_connection_settings(c, "a b", {{"master", "br0"}, {"slave-type", "bridge"}});
         },
         {"nmcli", "connection", "modify", "a b", "master", "br0", "slave-type", "bridge"},
         "Failed to modify connection 'a b' properties 'master', 'slave-type'"},
        {"priority", [](const Context& c) { return set_autoconnect_priority(c, "br0", 600); },
         {"nmcli", "connection", "modify", "br0", "connection.autoconnect-priority", "600"},
         "Failed to set autoconnect priority for connection 'br0'"},
        {"priority max", [](const Context& c) { return set_autoconnect_priority(c, "br0", 4294967295u); },
         {"nmcli", "connection", "modify", "br0", "connection.autoconnect-priority", "4294967295"},
         "Failed to set autoconnect priority for connection 'br0'"},
        {"vlan", [](const Context& c) { return create_vlan_connection(c, "vlan 7", "eth0.7", "eth0", 7); },
         {"nmcli", "connection", "add", "ifname", "eth0.7", "type", "vlan", "con-name", "vlan 7", "vlan.parent",
          "eth0", "vlan.id", "7"},
         "Failed to add connection 'vlan 7'"},
    };
}

TEST(ProfileChanges, SendTheirArgumentsAsChangeRuns) {
    for (const auto& c : change_cases()) {
        FakeHost host;
        auto r = c.op(host.ctx);
        EXPECT_TRUE(r) << c.label;
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{{c.argv, RunMode::Change}})) << c.label;
    }
}

TEST(ProfileChanges, NonZeroExitGivesTheFixedMessage) {
    for (const auto& c : change_cases()) {
        FakeHost host;
        host.runner.on(c.argv, Answer::exit(4, "ignored"));
        auto r = c.op(host.ctx);
        ASSERT_FALSE(r) << c.label;
        EXPECT_EQ(r.error().message, c.failure) << c.label;
    }
}

TEST(ProfileChanges, DeathBySignalIsAFailure) {
    FakeHost host;
    Answer killed;
    killed.signal = 9;
    host.runner.on_prefix({"nmcli"}, killed);
    auto r = up_connection(host.ctx, "x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "Failed to bring up connection 'x'");
}

TEST(ProfileChanges, StartFailureGivesTheSystemText) {
    for (const auto& c : change_cases()) {
        FakeHost host;
        host.runner.missing("nmcli");
        auto r = c.op(host.ctx);
        ASSERT_FALSE(r) << c.label;
        EXPECT_EQ(r.error().message, kNoNmcli) << c.label;
    }
}

// nmcli's own words where a profile is expected follow "id" too: "connection up help" prints
// help and exits 0, "connection delete id" misses its argument.
TEST(ProfileSelector, ANameBeginningWithADashOrLikeNmclisOwnWordsFollowsId) {
    const std::vector<std::pair<std::string, Argv>> cases = {
        {"help", {"id", "help"}},
        {"h", {"id", "h"}},
        {"hel", {"id", "hel"}},
        {"id", {"id", "id"}},
        {"uuid", {"id", "uuid"}},
        {"path", {"id", "path"}},
        {"apath", {"id", "apath"}},
        {"filename", {"id", "filename"}},
        {"ifname", {"id", "ifname"}},
        {"helpful", {"helpful"}},
        {"Help", {"Help"}},
        {"ap", {"ap"}},
        {"i", {"i"}},
        {"--help", {"id", "--help"}},
        {"-x", {"id", "-x"}},
        {"-", {"id", "-"}},
        {"--help Uplink", {"id", "--help Uplink"}},
        {"Lab", {"Lab"}},
        {"a-b", {"a-b"}},
        {" -x", {" -x"}},
        {"5d1e9c2a-0b7e-4b8e-9f61-2a4c7a0b9e11", {"5d1e9c2a-0b7e-4b8e-9f61-2a4c7a0b9e11"}},
        {"", {""}},
    };
    for (const auto& [name, words] : cases) {
        EXPECT_EQ(profile_selector(name), words) << name;
        Argv argv{"nmcli", "-g", "connection.uuid", "connection", "show"};
        argv.insert(argv.end(), words.begin(), words.end());
        argv.push_back("tail");
        EXPECT_EQ(nmcli_profile_argv({"-g", "connection.uuid", "connection", "show"}, name, {"tail"}), argv) << name;
    }
}

// Every toolkit call that names a profile where nmcli parses options; the plain names of the
// tables above keep their vectors.
TEST(ProfileSelector, ToolkitCallsNameAProfileLikeAnOptionAfterId) {
    struct Case {
        const char* label;
        std::function<void(const Context&)> op;
        Argv argv;
        RunMode mode;
    };
    const std::vector<Case> cases = {
        {"delete", [](const Context& c) { (void)delete_connection(c, "--help"); },
         {"nmcli", "connection", "delete", "id", "--help"}, RunMode::Change},
        {"up", [](const Context& c) { (void)up_connection(c, "--help"); },
         {"nmcli", "connection", "up", "id", "--help"}, RunMode::Change},
        {"modify", [](const Context& c) { (void)modify_connection(c, "-x", "ipv4.method", "disabled"); },
         {"nmcli", "connection", "modify", "id", "-x", "ipv4.method", "disabled"}, RunMode::Change},
        {"modify together",
         [](const Context& c) {
             (void)modify_connection_settings(c, "-x", {{"master", "-br"}, {"slave-type", "bridge"}});
         },
         {"nmcli", "connection", "modify", "id", "-x", "master", "-br", "slave-type", "bridge"}, RunMode::Change},
        {"priority", [](const Context& c) { (void)set_autoconnect_priority(c, "-x", 600); },
         {"nmcli", "connection", "modify", "id", "-x", "connection.autoconnect-priority", "600"}, RunMode::Change},
        {"exists", [](const Context& c) { (void)connection_exists(c, "--help"); },
         {"nmcli", "connection", "show", "id", "--help"}, RunMode::Change},
        {"info", [](const Context& c) { (void)get_connection_info(c, "--help"); },
         {"nmcli", "connection", "show", "id", "--help"}, RunMode::Query},
        {"master", [](const Context& c) { (void)get_connection_master(c, "-x"); },
         {"nmcli", "-g", "connection.master", "connection", "show", "id", "-x"}, RunMode::Query},
        // After a keyword of `connection add` nmcli takes any value literally.
        {"add", [](const Context& c) { (void)add_connection(c, "bridge", "--help", "-br"); },
         {"nmcli", "connection", "add", "ifname", "-br", "type", "bridge", "con-name", "--help"}, RunMode::Change},
    };
    for (const auto& c : cases) {
        FakeHost host;
        c.op(host.ctx);
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{{c.argv, c.mode}})) << c.label;
    }
}

TEST(ConnectionExists, TrueOnlyForStatusZero) {
    FakeHost host;
    host.runner.on({"nmcli", "connection", "show", "here"}, Answer::ok());
    host.runner.on({"nmcli", "connection", "show", "gone"}, Answer::exit(10));
    EXPECT_TRUE(connection_exists(host.ctx, "here"));
    EXPECT_FALSE(connection_exists(host.ctx, "gone"));
    EXPECT_EQ(host.runner.calls.at(0).mode, RunMode::Change);

    FakeHost none;
    none.runner.missing("nmcli");
    EXPECT_FALSE(connection_exists(none.ctx, "here"));
}

struct QueryCase {
    const char* label;
    std::function<Result<std::string>(const Context&)> op;
    Argv argv;
    std::string failure;
};

std::vector<QueryCase> query_cases() {
    return {
        {"info", [](const Context& c) { return get_connection_info(c, "Wired: 1"); },
         {"nmcli", "connection", "show", "Wired: 1"}, "Failed to get connection info for 'Wired: 1'"},
        {"connections", [](const Context& c) { return get_all_connections(c); },
         {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}, "Failed to get all connections"},
        {"devices", [](const Context& c) { return get_all_devices(c); }, {"nmcli", "device", "status"},
         "Failed to get all devices"},
    };
}

TEST(StrictQueries, ReturnTheWholeOutputUnchanged) {
    for (const auto& c : query_cases()) {
        FakeHost host;
        host.runner.on(c.argv, Answer::ok("  a:b:c:d\r\nsecond line\n"));
        auto r = c.op(host.ctx);
        ASSERT_TRUE(r) << c.label;
        EXPECT_EQ(*r, "  a:b:c:d\r\nsecond line\n") << c.label;
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{{c.argv, RunMode::Query}})) << c.label;
    }
}

TEST(StrictQueries, ExitStatusIsTestedBeforeDecoding) {
    for (const auto& c : query_cases()) {
        FakeHost host;
        host.runner.on(c.argv, Answer::exit(1, "bad \xff bytes"));
        auto r = c.op(host.ctx);
        ASSERT_FALSE(r) << c.label;
        EXPECT_EQ(r.error().message, c.failure) << c.label;
    }
}

TEST(StrictQueries, InvalidUtf8IsAnError) {
    for (const auto& c : query_cases()) {
        FakeHost host;
        const std::string bytes = "eth0 \xc3\x28\n";
        host.runner.on(c.argv, Answer::ok(bytes));
        auto r = c.op(host.ctx);
        ASSERT_FALSE(r) << c.label;
        EXPECT_EQ(r.error().message, decode_utf8_strict(bytes).error().message) << c.label;
    }
}

TEST(StrictQueries, StartFailureGivesTheSystemText) {
    for (const auto& c : query_cases()) {
        FakeHost host;
        host.runner.missing("nmcli");
        auto r = c.op(host.ctx);
        ASSERT_FALSE(r) << c.label;
        EXPECT_EQ(r.error().message, kNoNmcli) << c.label;
    }
}

TEST(ConnectionMaster, IsALenientTrimmedQuery) {
    const Argv argv{"nmcli", "-g", "connection.master", "connection", "show", "eth1 slave"};
    struct Case {
        Answer answer;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {Answer::ok("bond0\n"), "bond0"},
        {Answer::ok("--\n"), "--"},
        {Answer::ok("\xC2\xA0" "bond0\xE2\x80\x83\n"), "bond0"},  // Unicode blanks trimmed too
        {Answer::ok(" \t\n\n"), std::nullopt},
        {Answer::ok(""), std::nullopt},
        {Answer::exit(10, "bond1\n"), "bond1"},
        {Answer::ok("b\xffnd\n"), "b\xEF\xBF\xBDnd"},
        {Answer::missing(), std::nullopt},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(argv, c.answer);
        EXPECT_EQ(get_connection_master(host.ctx, "eth1 slave"), c.expected) << c.answer.out;
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{{argv, RunMode::Query}}));
    }
}

TEST(SplitTerse, SplitsAtTheSeparatingColonsAndUndoesNmclisEscapes) {
    struct Case {
        std::string line;
        Argv fields;
    };
    const Case cases[] = {
        {"", {""}},
        {"a", {"a"}},
        {"a::b", {"a", "", "b"}},
        {"a:", {"a", ""}},
        {":", {"", ""}},
        {"Lab\\: DMZ:vswitch1", {"Lab: DMZ", "vswitch1"}},  // an escaped colon is part of its value
        {"Back\\\\slash\\:x:bridge", {"Back\\slash:x", "bridge"}},
        {"a\\\\:b", {"a\\", "b"}},  // an escaped backslash, then a separator
        {"a\\n\\", {"a\\n\\"}},   // other backslashes stay
        {" a : b ", {" a ", " b "}},  // fields are not trimmed
    };
    for (const auto& c : cases) EXPECT_EQ(split_terse(c.line), c.fields) << testing::PrintToString(c.line);
}

TEST(UnescapeTerse, UndoesNmclisEscapesOnly) {
    EXPECT_EQ(unescape_terse("52\\:54\\:00\\:5E\\:00\\:01"), "52:54:00:5E:00:01");
    EXPECT_EQ(unescape_terse("a\\\\b"), "a\\b");
    EXPECT_EQ(unescape_terse("a\\\\\\:b"), "a\\:b");
    EXPECT_EQ(unescape_terse("a\\nb\\"), "a\\nb\\");  // other backslashes stay
    EXPECT_EQ(unescape_terse(""), "");
}

TEST(ArgvBuilders, NameTheProfileAsProfileSelectorDoes) {
    EXPECT_EQ(connection_up_argv("help"), (Argv{"nmcli", "connection", "up", "id", "help"}));
    EXPECT_EQ(connection_down_argv("Management Network"),
              (Argv{"nmcli", "connection", "down", "Management Network"}));
    EXPECT_EQ(connection_delete_argv("-x"), (Argv{"nmcli", "connection", "delete", "id", "-x"}));
    EXPECT_EQ(connection_delete_uuid_argv("u-1"), (Argv{"nmcli", "connection", "delete", "uuid", "u-1"}));
    EXPECT_EQ(connection_modify_argv("Up", {"a", "1"}, "mod"), (Argv{"nmcli", "connection", "mod", "Up", "a", "1"}));
    EXPECT_EQ(connection_add_argv({"type", "bond"}, "con"), (Argv{"nmcli", "con", "add", "type", "bond"}));
}

TEST(TerseRecords, CutsEveryLine) {
    EXPECT_EQ(terse_records(""), std::vector<TerseRecord>{});
    const std::string listing = "a\\:b:vswitch0:bridge\r\n\nlast";
    const std::vector<TerseRecord> records{{"a:b", "vswitch0", "bridge"}, {""}, {"last"}};
    EXPECT_EQ(terse_records(listing), records);
}

TEST(ProfileSetting, ReadsOneAnswerThreeWays) {
    const Argv argv{"nmcli", "-g", "ipv4.method", "connection", "show", "id", "help"};
    struct Case {
        Answer answer;
        SettingRead how;
        std::string raw;                     // read_profile_settings
        std::optional<std::string> setting;  // read_profile_setting
    };
    const Case cases[] = {
        {Answer::ok(" auto\n"), {}, " auto\n", "auto"},
        {Answer::ok("--\n"), {}, "--\n", std::nullopt},
        {Answer::ok("\n"), {}, "\n", std::nullopt},
        {Answer::exit(10, "auto\n"), {}, "auto\n", "auto"},  // the exit status is not looked at
        {Answer::exit(10, "auto\n"), {.success_only = true}, "", std::nullopt},
        {Answer::ok("a\xff\n"), {}, "a\xEF\xBF\xBD\n", "a\xEF\xBF\xBD"},
        {Answer::ok("a\xff\n"), {.valid_utf8_only = true}, "", std::nullopt},
        {Answer::ok("manual\n"), {.mode = RunMode::QueryWithStderr}, "manual\n", "manual"},
        // nmcli's escapes are undone; any other backslash stays.
        {Answer::ok("52\\:54\\:00\\:5E\\:00\\:01\n"), {}, "52:54:00:5E:00:01\n", "52:54:00:5E:00:01"},
        {Answer::ok("C\\\\lab\\:1\\n\n"), {.valid_utf8_only = true}, "C\\lab:1\\n\n", "C\\lab:1\\n"},
        {Answer::ok("a\\:b\nc\\\\d\n"), {}, "a:b\nc\\d\n", "a:b\nc\\d"},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(argv, c.answer);
        EXPECT_EQ(read_profile_settings(host.ctx, "help", "ipv4.method", c.how).value(), c.raw) << c.answer.out;
        EXPECT_EQ(read_profile_setting_text(host.ctx, "help", "ipv4.method", c.how).value(), trim(c.raw));
        EXPECT_EQ(read_profile_setting(host.ctx, "help", "ipv4.method", c.how).value(), c.setting) << c.answer.out;
        EXPECT_EQ(host.runner.calls, (std::vector<Call>(3, Call{argv, c.how.mode})));
    }
    FakeHost none;
    none.runner.missing("nmcli");
    EXPECT_EQ(read_profile_setting(none.ctx, "help", "ipv4.method").error().message(), kNoNmcli);
}

TEST(ProfileListing, DecodesAsAskedAndNeverLooksAtTheExitStatus) {
    const Argv argv{"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"};
    const std::string out = "a:bridge\nb\xff:bond\nc:vlan\n";
    struct Case {
        ListingText text;
        std::vector<TerseRecord> records;
    };
    const Case cases[] = {
        {ListingText::Lossy, {{"a", "bridge"}, {"b\xEF\xBF\xBD", "bond"}, {"c", "vlan"}}},
        {ListingText::ValidLines, {{"a", "bridge"}, {"c", "vlan"}}},
        {ListingText::ValidOrNone, {}},
    };
    for (const auto& c : cases) {
        FakeHost host;
        host.runner.on(argv, Answer::exit(8, out));
        EXPECT_EQ(list_profiles(host.ctx, "NAME,TYPE", RunMode::QueryWithStderr, c.text).value(), c.records);
        EXPECT_EQ(host.runner.calls, (std::vector<Call>{{argv, RunMode::QueryWithStderr}}));
    }
    FakeHost values;
    values.runner.on({"nmcli", "-g", "NAME,DEVICE", "connection", "show"}, Answer::ok("a:vswitch1\n"));
    EXPECT_EQ(list_profile_values(values.ctx, "NAME,DEVICE", RunMode::Query).value(),
              (std::vector<TerseRecord>{{"a", "vswitch1"}}));
    FakeHost none;
    none.runner.missing("nmcli");
    EXPECT_EQ(list_profiles(none.ctx, "NAME").error().message(), kNoNmcli);
}

const Argv kControllersListing{"nmcli", "-t", "-f", "NAME,UUID,DEVICE,TYPE", "connection", "show"};

Argv master_query(const std::string& profile) {
    return {"nmcli", "-g", "connection.master", "connection", "show", profile};
}

TEST(Ports, AreFoundByMasterInListingOrderAskingOnlyTheAcceptedProfiles) {
    FakeHost host;
    host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                   Answer::ok("e1:802-3-ethernet\nbr:bridge\ne2:802-3-ethernet\ne3:802-3-ethernet\ne4:802-3-ethernet\n"));
    host.runner.on(master_query("e1"), Answer::ok("u-1\n"));
    host.runner.on(master_query("e2"), Answer::ok("--\n"));
    host.runner.on(master_query("e3"), Answer::missing());
    host.runner.on(master_query("e4"), Answer::ok("bond0\n"));
    auto ethernet = [](const TerseRecord& f) { return f.size() == 2 && f[1] == "802-3-ethernet"; };
    const PortSearch search{.fields = "NAME,TYPE", .listing_mode = RunMode::QueryWithStderr,
                            .master_mode = RunMode::Query, .stop_on_master_failure = false};
    EXPECT_EQ(ports_of(host.ctx, search, {"u-1", "bond0"}, ethernet).value(), (Argv{"e1", "e4"}));
    EXPECT_EQ(host.runner.calls, (std::vector<Call>{{kControllersListing, RunMode::QueryWithStderr},
                                                    {{"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                                                     RunMode::QueryWithStderr},
                                                    {master_query("e1"), RunMode::Query},
                                                    {master_query("e2"), RunMode::Query},
                                                    {master_query("e3"), RunMode::Query},
                                                    {master_query("e4"), RunMode::Query}}));

    // Stopping on a master that cannot be asked: the error, and no question after it.
    host.runner.calls.clear();
    auto stopped = ports_of(host.ctx, {.stop_on_master_failure = true}, {"bond0"}, ethernet);
    EXPECT_EQ(stopped.error().message(), kNoNmcli);
    EXPECT_EQ(host.runner.calls.back().argv, master_query("e3"));
}

// A bridge profile "Lab" (u-lab) and a stored, inactive second profile "Lab Old" (u-old) on
// vswitch5; a bond profile "Uplink Bond" (u-ub) whose device is unknown; another bridge elsewhere.
const std::vector<ControllerProfile> kControllers{{"Lab", "u-lab", "vswitch5"},
                                                  {"Lab Old", "u-old", "vswitch5"},
                                                  {"Uplink Bond", "u-ub", ""},
                                                  {"Other", "u-oth", "vswitch6"}};

TEST(ControllerIdentities, AControllerNamedAnyWayIsItsInterfaceAndEveryProfileBoundToIt) {
    const std::set<std::string> lab{"vswitch5", "Lab", "u-lab", "Lab Old", "u-old"};
    struct Case {
        std::vector<std::string> given;
        std::set<std::string> identities;
    };
    const Case cases[] = {
        {{"vswitch5"}, lab},
        {{"Lab"}, lab},
        {{"u-lab"}, lab},
        {{"u-old"}, lab},
        // No interface known: the profile's own name and UUID.
        {{"Uplink Bond"}, {"Uplink Bond", "u-ub"}},
        // A name that is none of them stands for itself only.
        {{"br-x"}, {"br-x"}},
        {{"", "u-oth"}, {"vswitch6", "Other", "u-oth"}},
    };
    for (const auto& c : cases) EXPECT_EQ(controller_identities(kControllers, c.given), c.identities) << c.given.back();
}

TEST(Ports, AMasterNamingTheControllerByInterfaceProfileNameOrUuidIsAPort) {
    FakeHost host;
    host.runner.on(kControllersListing, Answer::ok("Lab:u-lab:vswitch5:bridge\n"
                                                   "Lab Old:u-old::bridge\n"
                                                   "Lab Port:u-p:eth2:802-3-ethernet\n"
                                                   "Other:u-oth:vswitch6:bridge\n"));
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "u-old"},
                   Answer::ok("vswitch5\n"));
    host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                   Answer::ok("by-device:802-3-ethernet\nby-name:802-3-ethernet\nby-uuid:802-3-ethernet\n"
                              "by-old-uuid:802-3-ethernet\nelsewhere:802-3-ethernet\nunknown:802-3-ethernet\n"
                              "none:802-3-ethernet\n"));
    host.runner.on(master_query("by-device"), Answer::ok("vswitch5\n"));
    host.runner.on(master_query("by-name"), Answer::ok("Lab\n"));
    host.runner.on(master_query("by-uuid"), Answer::ok("u-lab\n"));
    host.runner.on(master_query("by-old-uuid"), Answer::ok("u-old\n"));
    host.runner.on(master_query("elsewhere"), Answer::ok("u-oth\n"));
    host.runner.on(master_query("unknown"), Answer::ok("Lab Port\n"));
    host.runner.on(master_query("none"), Answer::ok("--\n"));
    auto all = [](const TerseRecord&) { return true; };
    const Argv lab{"by-device", "by-name", "by-uuid", "by-old-uuid"};
    for (const std::string given : {"vswitch5", "Lab", "u-lab"})
        EXPECT_EQ(ports_of(host.ctx, {}, {given}, all).value(), lab) << given;
    // A controller that is none of the host's bridges or bonds matches only itself.
    EXPECT_EQ(ports_of(host.ctx, {}, {"Lab Port"}, all).value(), Argv{"unknown"});
    EXPECT_EQ(ports_of(host.ctx, {}, {"br-x"}, all).value(), Argv{});

    FakeHost none;
    none.runner.missing("nmcli");
    EXPECT_EQ(controller_identities(none.ctx, {"Lab"}).error().message(), kNoNmcli);
}

TEST(Ports, AMasterGivenAsAUuidIsShownAsItsProfile) {
    FakeHost host;
    const std::string uuid = "1560956f-2c5b-4a8e-9d7e-0123456789ab";
    host.runner.on({"nmcli", "-g", "connection.id", "connection", "show", uuid}, Answer::ok("Lab\\:1\n"));
    EXPECT_EQ(master_display_name(host.ctx, uuid), "Lab:1");
    // Not a UUID: shown as stored, nothing asked.
    EXPECT_EQ(master_display_name(host.ctx, "vswitch5"), "vswitch5");
    EXPECT_EQ(host.runner.calls.size(), 1u);
    // A UUID no profile has, or nmcli refusing: the UUID itself.
    host.runner.on({"nmcli", "-g", "connection.id", "connection", "show", uuid}, Answer::exit(10, "x\n"));
    EXPECT_EQ(master_display_name(host.ctx, uuid), uuid);
}

TEST(Ports, VisitSeesEachMasterBeforeTheNextQuestionAndMayStop) {
    FakeHost host;
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE", "connection", "show"}, Answer::ok("a:\nb:\nc:\n"));
    host.runner.on(master_query("a"), Answer::ok("\n"));
    host.runner.on(master_query("b"), Answer::ok("vswitch1\n"));
    std::vector<std::pair<std::string, std::optional<std::string>>> seen;
    auto visited = visit_profile_masters(
        host.ctx, {.fields = "NAME,DEVICE"}, [](const TerseRecord&) { return true; },
        [&](const TerseRecord& f, const std::optional<std::string>& master) {
            seen.emplace_back(f[0], master);
            (void)host.ctx.run({"mark", f[0]}, RunMode::Change);
            return f[0] != "b";
        });
    ASSERT_TRUE(visited);
    EXPECT_EQ(seen, (decltype(seen){{"a", std::nullopt}, {"b", "vswitch1"}}));
    EXPECT_EQ(host.runner.argvs(),
              (std::vector<Argv>{{"nmcli", "-t", "-f", "NAME,DEVICE", "connection", "show"}, master_query("a"),
                                 {"mark", "a"}, master_query("b"), {"mark", "b"}}));
}

TEST(BondRemoval, DeletesTheMembersThenTheBondAndDropsItsLedgerEntry) {
    FakeHost host;
    host.write_file("/var/lib/quillmar/managed_resources.json",
                    R"({"vswitches": [], "vlan_bridges": [], "veth_pairs": [], "bonds": ["Uplink Bond"],)"
                    R"( "created_at": "2024-01-01T00:00:00+00:00"})");
    host.runner.on({"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                   Answer::ok("Uplink Bond:bond\neno1:802-3-ethernet\neno2:802-3-ethernet\n"));
    host.runner.on(master_query("eno1"), Answer::ok("bond0\n"));
    host.runner.on(master_query("eno2"), Answer::ok("bond0\n"));
    std::vector<std::string> said;
    auto removed = remove_bond(
        host.ctx, {.profile = "Uplink Bond",
                   .controllers = {"bond0"},
                   .search = {},
                   .accept = [](const TerseRecord& f) { return f.size() == 2 && f[1] != "bond"; },
                   .delete_mode = RunMode::ChangeShowingStderr,
                   .ledger_name = "Uplink Bond",
                   .on_found = [&](std::size_t n) { said.push_back(std::to_string(n)); },
                   .on_member = [&](const std::string& m) { said.push_back(m); },
                   .on_bond = [&] { said.push_back("bond"); }});
    ASSERT_TRUE(removed);
    EXPECT_EQ(said, (Argv{"2", "eno1", "eno2", "bond"}));
    const auto& calls = host.runner.calls;
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(std::vector<Call>(calls.begin() + 4, calls.end()),
              (std::vector<Call>{{{"nmcli", "connection", "delete", "eno1"}, RunMode::ChangeShowingStderr},
                                 {{"nmcli", "connection", "delete", "eno2"}, RunMode::ChangeShowingStderr},
                                 {{"nmcli", "connection", "delete", "Uplink Bond"}, RunMode::ChangeShowingStderr}}));
    const auto ledger = host.read_file("/var/lib/quillmar/managed_resources.json");
    ASSERT_TRUE(ledger.has_value());
    EXPECT_EQ(ledger->find("Uplink Bond"), std::string::npos) << *ledger;
    EXPECT_NE(ledger->find("\"bonds\": []"), std::string::npos) << *ledger;

    // Members that cannot be searched for: the error, and nothing is deleted.
    FakeHost none;
    none.runner.missing("nmcli");
    BondRemoval removal;
    removal.profile = "b";
    removal.accept = [](const TerseRecord&) { return true; };
    EXPECT_EQ(remove_bond(none.ctx, removal).error().message(), kNoNmcli);
    EXPECT_EQ(none.runner.calls.size(), 1u);
}

}  // namespace
}  // namespace qm
