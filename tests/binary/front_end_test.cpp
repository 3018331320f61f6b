// The command line as a user meets it: version line, help, usage errors, the checks made
// before any handler runs, and the stored usage texts.

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

class FrontEnd : public sb::SandboxTest {};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string joined(const sb::Args& args) {
    std::string s;
    for (const auto& a : args) s += (s.empty() ? "" : " ") + ("[" + a + "]");
    return s;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ------------------------------------------------------------------ version

const std::regex kVersionLine("quillmar 1\\.0\\.0 \\([^()\\s]{7}\\)\n");

TEST_F(FrontEnd, VersionLineForAnExactFirstArgument) {
    for (const sb::Args& args : {sb::Args{"-V"}, sb::Args{"--version"}, sb::Args{"--version", "extra", "words"},
                                 sb::Args{"-V", "bond", "create"}, sb::Args{"--version", "--help"}}) {
        auto r = sb.run(args);
        EXPECT_EQ(r.status, 0) << joined(args) << r;
        EXPECT_TRUE(std::regex_match(r.out, kVersionLine)) << joined(args) << r;
        EXPECT_EQ(r.err, "") << joined(args);
    }
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

TEST_F(FrontEnd, VersionFlagAfterACommandGoesToTheParser) {
    auto r = sb.run({"bond", "--version"});
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::regex_search(r.err, std::regex("quillmar 1\\.0\\.0 \\("))) << r;
}

// ------------------------------------------------------------------ root and group help

const char* const kRootHelp =
    "Usage: quillmar <COMMAND>\n"
    "\n"
    "Main Commands:\n"
    "    bond               Manage bonded interfaces\n"
    "    vswitch            Manage virtual switch bridges\n"
    "    vlan               Manage VLAN interfaces and bridges\n"
    "    network            Manage libvirt networks\n"
    "    vm                 Manage and list VMs\n"
    "    config             Manage network configuration and backups\n"
    "    baseline           Configure baseline network setup for Ostrel appliances\n"
    "    sync-vm-interfaces Reattach vnet interfaces to expected vswitches\n"
    "    list               Show interfaces and connections\n"
    "    fix-boot-priorities Fix autoconnect priorities for all bonds\n"
    "    enable-service     Create systemd service for veth persistence from managed resources\n"
    "\n"
    "Helper Commands:\n"
    "    usage          Show comprehensive command list and usage examples\n"
    "    completion     Generate shell completions\n"
    "    help           Print this message or the help of the given subcommand(s)\n"
    "\n"
    "Options:";

// The empty line left by the template's first placeholder and the line ends after
// "Options:" may vary; everything between them is fixed.
std::string help_core(std::string text) {
    text.erase(0, text.find_first_not_of('\n'));
    text.erase(text.find_last_not_of(" \n") + 1);
    return text;
}

TEST_F(FrontEnd, RootHelpOnStdoutWhenAskedFor) {
    for (const sb::Args& args : {sb::Args{"-h"}, sb::Args{"--help"}, sb::Args{"help"}}) {
        auto r = sb.run(args);
        EXPECT_EQ(r.status, 0) << joined(args) << r;
        EXPECT_EQ(help_core(r.out), kRootHelp) << joined(args);
        EXPECT_EQ(r.err, "") << joined(args);
    }
}

TEST_F(FrontEnd, RootHelpOnStderrWithoutArguments) {
    auto r = sb.run({});
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(help_core(r.err), kRootHelp);
    EXPECT_EQ(r.err, sb.run({"--help"}).out) << "the same help on either stream";
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

TEST_F(FrontEnd, GroupAloneShowsItsHelpOnStderr) {
    auto r = sb.run({"bond"});
    EXPECT_EQ(r.status, 2) << r;
    EXPECT_EQ(r.out, "");
    for (const char* about : {"Manage bonded network interfaces", "Create a new bonded interface",
                              "Modify an existing bonded interface", "Delete a bonded interface",
                              "List all bonded interfaces", "Show usage examples and help"})
        EXPECT_TRUE(contains(r.err, about)) << about << r;

    auto veth = sb.run({"vswitch", "veth"});
    EXPECT_EQ(veth.status, 2) << veth;
    EXPECT_EQ(veth.out, "");
    EXPECT_TRUE(contains(veth.err, "Restore all veth pairs from stored bridge connections and fix missing masters"))
        << veth;
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

TEST_F(FrontEnd, HelpSubcommandNamesANestedCommand) {
    auto r = sb.run({"help", "vswitch", "veth", "restore"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(contains(r.out, "Restore all veth pairs from stored bridge connections and fix missing masters")) << r;
    EXPECT_TRUE(contains(r.out, "quillmar vswitch veth restore")) << r;
    EXPECT_EQ(sb.run({"vswitch", "veth", "restore", "--help"}).out, r.out);
}

TEST_F(FrontEnd, GroupHelpIsNotTheStoredUsageText) {
    auto help = sb.run({"bond", "--help"});
    auto usage = sb.run({"bond", "usage"});
    EXPECT_EQ(help.status, 0) << help;
    EXPECT_EQ(usage.status, 0) << usage;
    EXPECT_NE(help.out, usage.out);
    EXPECT_EQ(sb.run({"bond", "-h"}).out, help.out);
    EXPECT_EQ(sb.run({"help", "bond"}).out, help.out);
    // The hidden --name of bond create is listed in no help.
    auto create = sb.run({"bond", "create", "--help"});
    EXPECT_EQ(create.status, 0) << create;
    EXPECT_TRUE(contains(create.out, "--members")) << create;
    EXPECT_TRUE(contains(create.out, "active-backup")) << create;
    for (const auto& line : lines_of(create.out))
        EXPECT_NE(line.substr(line.find_first_not_of(' ') == std::string::npos ? 0 : line.find_first_not_of(' '), 6),
                  "--name")
            << create;
}

// ------------------------------------------------------------------ usage errors

struct UsageError {
    sb::Args args;
    std::string usage;  // what stderr must show of the command's usage line
};

void PrintTo(const UsageError& c, std::ostream* os) { *os << joined(c.args); }

class UsageErrors : public sb::SandboxTest, public testing::WithParamInterface<UsageError> {};

TEST_P(UsageErrors, StopBeforeAnyCommandRuns) {
    const auto& c = GetParam();
    auto r = sb.run(c.args);
    EXPECT_EQ(r.status, 2) << joined(c.args) << r;
    EXPECT_EQ(r.out, "") << joined(c.args);
    EXPECT_TRUE(contains(r.err, c.usage)) << joined(c.args) << "\nwanted: " << c.usage << r;
    EXPECT_TRUE(sb.calls().empty()) << joined(c.args) << sb.dump();
    EXPECT_EQ(sb.list("/var/lib/quillmar"), std::vector<std::string>{}) << joined(c.args);
}

const char* const kBondCreateUsage =
    "quillmar bond create --name <NAME> --members <MEMBERS> [--mode (default: active-backup)]";
const char* const kBondChangeUsage =
    "quillmar bond change --name <NAME> --members <MEMBERS> | --mode <MODE> (see 'bond usage' for all modes)";
const char* const kNetworkCreateUsage =
    "quillmar network create --name <NAME> (--vswitch <VSWITCH> | --vlan-id <VLAN_ID>)";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageErrors,
    testing::Values(
        // fixed usage lines
        UsageError{{"bond", "create", "--mode", "802.3ad"}, kBondCreateUsage},
        UsageError{{"bond", "create", "--members"}, kBondCreateUsage},
        UsageError{{"bond", "change", "--members", "ens192"}, kBondChangeUsage},
        UsageError{{"network", "create", "--vswitch", "vswitch0"}, kNetworkCreateUsage},
        UsageError{{"network", "create", "--name", "n", "--vswitch", "v", "--autostart"}, kNetworkCreateUsage},
        UsageError{{"network", "create", "--name", "n", "--vlan-id", "100", "--vlan-id", "101"}, kNetworkCreateUsage},
        // 16-bit values
        UsageError{{"vlan", "create", "--vlan-id", "65536", "--vswitch", "vswitch0"}, "quillmar vlan create"},
        UsageError{{"vlan", "create", "--vlan-id", "-1", "--vswitch", "vswitch0"}, "quillmar vlan create"},
        UsageError{{"vlan", "create", "--vlan-id", "abc", "--vswitch", "vswitch0"}, "quillmar vlan create"},
        UsageError{{"vlan", "create", "--vlan-id", "", "--vswitch", "vswitch0"}, "quillmar vlan create"},
        UsageError{{"vlan", "delete", "--vlan-id=70000"}, "quillmar vlan delete"},
        UsageError{{"network", "change", "--name", "n", "--vlan-id", "1e3"}, "quillmar network change"},
        // forms the stored usage texts show but the command line does not have
        UsageError{{"vlan", "add-libvirt", "--vlan-id", "3008"}, "quillmar vlan"},
        UsageError{{"vlan", "remove-libvirt", "--vlan-id", "3008"}, "quillmar vlan"},
        UsageError{{"vlan", "create", "--vlan-id", "3008", "--vswitch", "vswitch0", "--libvirt"}, "quillmar vlan create"},
        UsageError{{"vswitch", "cleanup"}, "quillmar vswitch"},
        UsageError{{"network", "attach", "Allarme", "WinServer1"}, "quillmar network attach"},
        UsageError{{"network", "move", "WinServer1", "VM Network", "Allarme"}, "quillmar network move"},
        // shape of options
        UsageError{{"vswitch", "create", "--name", "lab", "--uplink", "none", "--master", "--master"},
                   "quillmar vswitch create"},
        UsageError{{"vswitch", "create", "--name", "a", "--name", "b", "--uplink", "none"}, "quillmar vswitch create"},
        UsageError{{"vswitch", "create", "--uplink", "none", "--name"}, "quillmar vswitch create"},
        UsageError{{"vswitch", "create", "--name", "lab", "--uplink", "none", "--master=yes"}, "quillmar vswitch create"},
        UsageError{{"vlan", "delete", "--vlan-id", "5", "--force", "now"}, "quillmar vlan delete"},
        UsageError{{"list", "physical", "extra"}, "quillmar list physical"},
        UsageError{{"bond", "--name", "bond0"}, "quillmar bond"},
        UsageError{{"completion"}, "quillmar completion"},
        UsageError{{"config", "backup", "-x"}, "quillmar config backup"},
        UsageError{{"frobnicate"}, "quillmar <COMMAND>"},
        UsageError{{"Bond", "list"}, "quillmar <COMMAND>"}));

// ------------------------------------------------------------------ checks made before handlers

struct OptionCheck {
    sb::Args args;
    std::string err;
};

void PrintTo(const OptionCheck& c, std::ostream* os) { *os << joined(c.args); }

class OptionChecks : public sb::SandboxTest, public testing::WithParamInterface<OptionCheck> {};

TEST_P(OptionChecks, PrintTheirLineAndCallNothing) {
    const auto& c = GetParam();
    auto r = sb.run(c.args);
    EXPECT_EQ(r.status, 0) << joined(c.args) << r;
    EXPECT_EQ(r.out, "") << joined(c.args);
    EXPECT_EQ(r.err, c.err) << joined(c.args);
    EXPECT_TRUE(sb.calls().empty()) << joined(c.args) << sb.dump();
}

const char* const kEither = "Error: Either --vswitch or --vlan-id must be specified.\n";
const char* const kExclusive = "Error: --vswitch and --vlan-id are mutually exclusive. Use only one.\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, OptionChecks,
    testing::Values(OptionCheck{{"network", "create", "--name", "n"}, kEither},
                    OptionCheck{{"network", "change", "--name", "n"}, kEither},
                    OptionCheck{{"network", "create", "--name", "n", "--vswitch", "vswitch0", "--vlan-id", "100"},
                                kExclusive},
                    OptionCheck{{"network", "change", "--vlan-id", "7", "--name", "n", "--vswitch", "v"}, kExclusive},
                    // an empty --vswitch still counts as given
                    OptionCheck{{"network", "create", "--name", "n", "--vswitch", "", "--vlan-id", "0"}, kExclusive},
                    OptionCheck{{"network", "create", "--name=n", "--vswitch=", "--vlan-id=65535"}, kExclusive},
                    OptionCheck{{"baseline", "--auto", "--force"}, "Error: --auto and --force are mutually exclusive\n"},
                    OptionCheck{{"baseline", "--force", "--auto"},
                                "Error: --auto and --force are mutually exclusive\n"}));

TEST_F(FrontEnd, BlankBondMembersListTheBondTypes) {
    const std::string types =
        "Available bond types:\n"
        "  - balance-rr\n"
        "  - active-backup\n"
        "  - balance-xor\n"
        "  - broadcast\n"
        "  - 802.3ad\n"
        "  - balance-tlb\n"
        "  - balance-alb\n";
    for (const sb::Args& args : {sb::Args{"bond", "create", "--members", "  "}, sb::Args{"bond", "create", "--members", ""},
                                 sb::Args{"bond", "create", "--members= \t ", "--mode", "802.3ad", "--name", "bond7"}}) {
        auto r = sb.run(args);
        EXPECT_EQ(r.status, 0) << joined(args) << r;
        EXPECT_EQ(r.out, types) << joined(args);
        EXPECT_EQ(r.err, "") << joined(args);
    }
    EXPECT_TRUE(sb.calls().empty()) << "no bond is created" << sb.dump();
    EXPECT_EQ(sb.list("/var/lib/quillmar"), std::vector<std::string>{});
}

// ------------------------------------------------------------------ stored usage texts

struct UsageText {
    sb::Args args;
    std::size_t lines;  // the final empty line included
    std::string first;
    std::string last;   // the last line that is not empty
};

void PrintTo(const UsageText& c, std::ostream* os) { *os << joined(c.args); }

class UsageTexts : public sb::SandboxTest, public testing::WithParamInterface<UsageText> {};

TEST_P(UsageTexts, PrintedExactlyAsStored) {
    const auto& c = GetParam();
    auto r = sb.run(c.args);
    EXPECT_EQ(r.status, 0) << joined(c.args) << r;
    EXPECT_EQ(r.err, "") << joined(c.args);
    EXPECT_EQ(static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n')), c.lines) << joined(c.args) << r;
    ASSERT_GE(r.out.size(), 2u);
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "\n\n") << "ends with an empty line";
    EXPECT_EQ(r.out.find_first_of("\t\r"), std::string::npos);
    auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), c.first);
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(lines[lines.size() - 2], c.last);
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageTexts,
    testing::Values(
        UsageText{{"usage"}, 108, "quillmar - Ostrel NetworkManager Control Utility",
                  "    - Protected interfaces (like enp0s5f0) should not be modified"},
        UsageText{{"bond", "usage"}, 55, "Usage: quillmar bond <SUBCOMMAND> [OPTIONS]",
                  "    - Use 'fix-boot-priorities' to fix existing bonds that may have incorrect priorities"},
        UsageText{{"vlan", "usage"}, 45, "Usage: quillmar vlan <SUBCOMMAND> [OPTIONS]",
                  "    - VM interfaces are automatically synced after VLAN operations"},
        UsageText{{"vswitch", "usage"}, 55, "Usage: quillmar vswitch <SUBCOMMAND> [OPTIONS]",
                  "    - Persistent topology storage"},
        UsageText{{"network", "usage"}, 56, "Usage: quillmar network <SUBCOMMAND> [OPTIONS]",
                  "    - Automatically handles network start/stop operations"},
        UsageText{{"vm", "usage"}, 25, "Usage: quillmar vm <SUBCOMMAND> [OPTIONS]",
                  "    - Helps identify which VMs are using specific networks"},
        UsageText{{"list", "usage"}, 26, "Usage: quillmar list <SUBCOMMAND>",
                  "    - Use 'quillmar list <subcommand> --help' for detailed help on each subcommand"},
        UsageText{{"config", "usage"}, 56, "Usage: quillmar config <SUBCOMMAND> [OPTIONS]",
                  "    - Network topology is reconstructed"},
        UsageText{{"sync-vm-interfaces-usage"}, 35, "Usage: quillmar sync-vm-interfaces",
                  "    - Can be run manually for troubleshooting"},
        UsageText{{"baseline"}, 35, "Usage: quillmar baseline [OPTIONS]",
                  "    - --force mode resets all managed resources to baseline"}));

TEST_F(FrontEnd, UsageTextsKeepTheirExactLines) {
    auto overview = lines_of(sb.run({"usage"}).out);
    ASSERT_EQ(overview.size(), 108u);
    EXPECT_EQ(overview[3], "    quillmar <COMMAND> [OPTIONS]");
    EXPECT_EQ(overview[24], "        cleanup         Smart cleanup of managed resources");
    auto spaces = std::find(overview.begin(), overview.end(), "        Examples:");
    ASSERT_NE(spaces, overview.end());
    EXPECT_EQ(*(spaces - 1), "        ") << "the line of 8 spaces stays";
    EXPECT_EQ(*(spaces + 1),
              "          quillmar config backup --name \"before-upgrade\" --description \"Backup before system upgrade\"");
    EXPECT_NE(std::find(overview.begin(), overview.end(),
                        "    fix-boot-priorities Fix autoconnect priorities for all bonds to prevent boot-time race "
                        "conditions"),
              overview.end());

    auto baseline = lines_of(sb.run({"baseline"}).out);
    ASSERT_EQ(baseline.size(), 35u);
    EXPECT_EQ(std::count(baseline.begin(), baseline.end(), "    "), 3) << "three lines of 4 spaces";
    EXPECT_EQ(baseline[5], "    --auto    Boot-time mode: minimal setup, respects existing vswitch0 configuration");
    EXPECT_EQ(baseline[16], "    - veth1: Hypervisor Network (172.16.254.1/24)");

    auto network = lines_of(sb.run({"network", "usage"}).out);
    ASSERT_EQ(network.size(), 56u);
    EXPECT_EQ(network[12], "    quillmar network create --name \"Management Network\" --vswitch vswitch0");
    EXPECT_EQ(network[33], "    quillmar network attach \"Allarme\" WinServer1");

    auto vm = lines_of(sb.run({"vm", "usage"}).out);
    ASSERT_EQ(vm.size(), 25u);
    EXPECT_EQ(vm[9], "    quillmar vm list");
    EXPECT_EQ(vm[12], "    quillmar vm usage");

    auto bond = lines_of(sb.run({"bond", "usage"}).out);
    ASSERT_EQ(bond.size(), 55u);
    EXPECT_EQ(bond[7], "    fix-boot-priorities  Fix autoconnect priorities to prevent boot-time race conditions");
    EXPECT_EQ(bond[40], "    active-backup     One active interface, others as backup (default)");
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

TEST_F(FrontEnd, UsageTextKeepsItsProgramNameWhateverTheProgramIsCalled) {
    auto r = sb.exec({"/qmbin/quillmar", "vm", "usage"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, sb.run({"vm", "usage"}).out);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Usage: quillmar vm <SUBCOMMAND> [OPTIONS]");
}

// ------------------------------------------------------------------ arguments that are not text

TEST_F(FrontEnd, ArgumentThatIsNotUtf8StopsBeforeAnyParse) {
    for (const sb::Args& args : {sb::Args{"vswitch", "create", "--name", "lab\xff", "--uplink", "none"},
                                 sb::Args{"--version", "\xc3\x28"}, sb::Args{"\xfe"}}) {
        auto r = sb.run(args);
        EXPECT_NE(r.status, 0) << joined(args) << r;
        EXPECT_EQ(r.out, "") << joined(args) << "no version line, no help";
        EXPECT_EQ(lines_of(r.err).size(), 1u) << joined(args) << r;
        EXPECT_EQ(r.err.find_first_of("\xff\xfe\xc3"), std::string::npos) << "the raw bytes are not echoed" << r;
    }
    auto r = sb.run({"vswitch", "create", "--name", "lab\xff", "--uplink", "none"});
    EXPECT_TRUE(contains(r.err, "lab\\xff")) << r;
    // The program path is an argument too: help would show its last component.
    sb.symlink("/qmbin/qm\xff", "quillmar");
    auto path = sb.exec({"qm\xff", "--help"});
    EXPECT_NE(path.status, 0) << path;
    EXPECT_EQ(path.out, "") << path;
    EXPECT_EQ(lines_of(path.err).size(), 1u) << path;
    EXPECT_TRUE(contains(path.err, "qm\\xff")) << path;
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
    EXPECT_EQ(sb.list("/var/lib/quillmar"), std::vector<std::string>{});
}

}  // namespace
