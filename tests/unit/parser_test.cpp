#include <gtest/gtest.h>

#include "cli/parser.hpp"
#include "utils/text.hpp"

namespace qm::cli {
namespace {

ParseOutcome parse(std::vector<std::string> words) {
    words.insert(words.begin(), "/usr/sbin/quillmar");
    return parse_command_line(words);
}

Commands parsed(std::vector<std::string> words) {
    ParseOutcome o = parse(words);
    EXPECT_TRUE(o.cli.has_value()) << o.err;
    return o.cli ? o.cli->command : Commands{};
}

Commands make(auto value) {
    Commands c;
    c.value = value;
    return c;
}

TEST(Parser, CommandLinesBecomeCommandValues) {
    struct Case {
        std::vector<std::string> words;
        Commands expected;
    };
    const std::vector<Case> cases = {
        {{"bond", "create", "--members", "ens161,ens256"},
         make(BondCommands{BondCommands::Create{std::nullopt, "ens161,ens256", "active-backup"}})},
        {{"bond", "create", "--members", "a", "--name", "bond0", "--mode", "802.3ad"},
         make(BondCommands{BondCommands::Create{"bond0", "a", "802.3ad"}})},
        {{"bond", "create", "--members", " eth0"}, make(BondCommands{BondCommands::Create{std::nullopt, " eth0", "active-backup"}})},
        {{"bond", "change", "--name", "bond0"}, make(BondCommands{BondCommands::Change{"bond0", std::nullopt, std::nullopt}})},
        {{"vlan", "create", "--vlan-id", "0", "--vswitch", "Trunk vSwitch"},
         make(VlanCommands{VlanCommands::Create{0, "Trunk vSwitch"}})},
        {{"vlan", "delete", "--force", "--vlan-id=65535"}, make(VlanCommands{VlanCommands::Delete{65535, true}})},
        {{"vswitch", "create", "--uplink", "none", "--name", "lab", "--master"},
         make(VswitchCommands{VswitchCommands::Create{"lab", "none", true}})},
        {{"vswitch", "veth", "restore"}, make(VswitchCommands{VswitchCommands::Veth{VethCommands{VethCommands::Restore{}}}})},
        {{"vswitch", "disconnect", "--bridge", "b", "--from", "m"},
         make(VswitchCommands{VswitchCommands::Disconnect{"b", "m"}})},
        {{"network", "create", "--name", "n"}, make(NetworkCommands{NetworkCommands::Create{"n", std::nullopt, std::nullopt}})},
        {{"network", "create", "--name", "n", "--vlan-id", "100"},
         make(NetworkCommands{NetworkCommands::Create{"n", std::nullopt, 100}})},
        {{"network", "change", "--name", "n", "--vswitch="}, make(NetworkCommands{NetworkCommands::Change{"n", "", std::nullopt}})},
        {{"network", "move", "--vm", "web 1", "--from", "a", "--to", "b"},
         make(NetworkCommands{NetworkCommands::Move{"web 1", "a", "b"}})},
        {{"config", "backup", "-n", "before-upgrade", "-d", "Backup before system upgrade"},
         make(ConfigCommands{ConfigCommands::Backup{"before-upgrade", "Backup before system upgrade"}})},
        {{"config", "backup", "--name", "before-upgrade", "--description=Backup before system upgrade"},
         make(ConfigCommands{ConfigCommands::Backup{"before-upgrade", "Backup before system upgrade"}})},
        {{"config", "backup", "-nx", "-d=y"}, make(ConfigCommands{ConfigCommands::Backup{"x", "y"}})},
        {{"config", "restore"}, make(ConfigCommands{ConfigCommands::Restore{std::nullopt}})},
        {{"config", "smart-cleanup"}, make(ConfigCommands{ConfigCommands::SmartCleanup{}})},
        {{"baseline"}, make(Commands::Baseline{false, false})},
        {{"baseline", "--auto", "--force"}, make(Commands::Baseline{true, true})},
        {{"completion", "--shell", "tcsh"}, make(Commands::Completion{"tcsh"})},
        {{"sync-vm-interfaces-usage"}, make(Commands::SyncVmInterfacesUsage{})},
        {{"install-self"}, make(Commands::InstallSelf{})},
        {{"post-install"}, make(Commands::PostInstall{})},
        {{"usage"}, make(Commands::Usage{})},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& w : c.words) line += w + " ";
        EXPECT_EQ(parsed(c.words), c.expected) << line;
    }
}

TEST(Parser, UsageErrorsEndWithStatusTwoOnStandardError) {
    const std::vector<std::vector<std::string>> cases = {
        {"frobnicate"},
        {"bond", "create", "--mode", "802.3ad"},
        {"bond", "--name", "x"},
        {"vlan", "create", "--vlan-id", "65536", "--vswitch", "v"},
        {"vlan", "create", "--vlan-id", "-1", "--vswitch", "v"},
        {"vlan", "create", "--vlan-id", "abc", "--vswitch", "v"},
        {"vlan", "create", "--vlan-id", "", "--vswitch", "v"},
        {"vlan", "create", "--vlan-id=", "--vswitch", "v"},
        {"vlan", "create", "--vlan-id", "99999999999999999999", "--vswitch", "v"},
        {"vlan", "add-libvirt"},
        {"vlan", "create", "--vlan-id", "1", "--vswitch", "v", "--libvirt"},
        {"vswitch", "cleanup"},
        {"vswitch", "create", "--name", "lab", "--uplink", "none", "--master", "--master"},
        {"vswitch", "create", "--name", "a", "--name", "b", "--uplink", "none"},
        {"vswitch", "create", "--name", "lab", "--uplink", "none", "--master=yes"},
        {"vswitch", "create", "--name"},
        {"network", "attach", "vm1", "net1"},
        {"network", "create", "--name", "n", "--autostart"},
        {"completion"},
        {"config", "backup", "-x"},
        {"config", "backup", "-n"},
        {"help", "nope"},
        {"bond", "list", "extra"},
        {"-\xc3\xa9"},
        {"config", "backup", "-\xc3\xa9x"},
    };
    for (const auto& words : cases) {
        ParseOutcome o = parse(words);
        std::string line;
        for (const auto& w : words) line += w + " ";
        EXPECT_FALSE(o.cli.has_value()) << line;
        EXPECT_EQ(o.status, 2) << line;
        EXPECT_TRUE(o.out.empty()) << line;
        EXPECT_NE(o.err.find("Usage: "), std::string::npos) << line << "\n" << o.err;
        EXPECT_TRUE(is_valid_utf8(o.err)) << line << "\n" << o.err;
    }
    EXPECT_NE(parse({"config", "backup", "-\xc3\xa9x"}).err.find("'-\xc3\xa9'"), std::string::npos);
}

TEST(Parser, OverrideUsageLineShowsInErrors) {
    ParseOutcome o = parse({"bond", "create", "--mode", "802.3ad"});
    EXPECT_NE(o.err.find("Usage: quillmar bond create --name <NAME> --members <MEMBERS> [--mode (default: active-backup)]\n"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("--members <MEMBERS>"), std::string::npos);
}

TEST(Parser, HelpAndVersionGoToStandardOutput) {
    for (auto words : std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"help"}}) {
        ParseOutcome o = parse(words);
        EXPECT_EQ(o.status, 0);
        EXPECT_TRUE(o.err.empty());
        EXPECT_EQ(o.out.substr(0, 25), "Usage: quillmar <COMMAND>");
    }
    ParseOutcome v = parse({"-Vh"});
    EXPECT_EQ(v.out, "quillmar 1.0.0\n");
    ParseOutcome leaf = parse({"help", "vswitch", "veth", "restore"});
    EXPECT_EQ(leaf.status, 0);
    EXPECT_NE(leaf.out.find("Usage: quillmar vswitch veth restore"), std::string::npos) << leaf.out;
    ParseOutcome sub = parse({"vswitch", "create", "--name", "x", "--help"});
    EXPECT_EQ(sub.status, 0);
    EXPECT_NE(sub.out.find("Usage: quillmar vswitch create [OPTIONS] --name <NAME> --uplink <UPLINK>"), std::string::npos);
}

TEST(Parser, RootAndGroupsWithoutArgumentsShowHelpOnStandardError) {
    for (auto words : std::vector<std::vector<std::string>>{{}, {"bond"}, {"vswitch", "veth"}, {"config"}}) {
        ParseOutcome o = parse(words);
        EXPECT_EQ(o.status, 2);
        EXPECT_TRUE(o.out.empty());
        EXPECT_NE(o.err.find("Usage: quillmar"), std::string::npos) << o.err;
    }
    EXPECT_EQ(parse({}).err, parse({"--help"}).out);
}

TEST(Parser, RootHelpFollowsTheFixedTemplate) {
    std::string help = parse({"--help"}).out;
    EXPECT_NE(help.find("\n    fix-boot-priorities Fix autoconnect priorities for all bonds\n"), std::string::npos);
    EXPECT_NE(help.find("\n    help           Print this message or the help of the given subcommand(s)\n"),
              std::string::npos);
    EXPECT_TRUE(help.ends_with("\nOptions:\n")) << help;
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 21);
    // The usage line names the program as it was started.
    EXPECT_EQ(parse_command_line({"./qm", "--help"}).out.substr(0, 19), "Usage: qm <COMMAND>");
    // Even a name that looks like one of the template's placeholders.
    std::string odd = parse_command_line({"/x/{after-help}", "--help"}).out;
    EXPECT_EQ(odd.substr(0, 30), "Usage: {after-help} <COMMAND>\n");
    EXPECT_TRUE(odd.ends_with("\nOptions:\n")) << odd;
}

TEST(Parser, HiddenOptionIsAcceptedButNotListed) {
    std::string help = parse({"bond", "create", "--help"}).out;
    EXPECT_EQ(help.find("--name", help.find("Options:")), std::string::npos) << help;
    EXPECT_NE(help.find("[default: active-backup]"), std::string::npos) << help;
}

}  // namespace
}  // namespace qm::cli
