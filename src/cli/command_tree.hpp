// The grammar of the command line, declared once as data. Parsing, help, dispatch and
// shell completion all read this one tree.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "utils/context.hpp"

namespace qm::cli {

// What the parser adds by itself: -h/--help on every command, -V/--version on the root,
// and a `help` subcommand on every command that has subcommands.
inline constexpr std::string_view kHelpFlagAbout = "Print help";
inline constexpr std::string_view kVersionFlagAbout = "Print version";
inline constexpr std::string_view kHelpSubcommandAbout = "Print this message or the help of the given subcommand(s)";

enum class ValueType {
    Text,  // any text, unchanged
    U16,   // a decimal integer from 0 to 65535
    Flag,  // takes no value
};

// The special members are defined in command_tree.cpp, so the many rows of the tree call them
// instead of each carrying its own copy.
struct OptionDef {
    OptionDef();
    OptionDef(const OptionDef&);
    OptionDef(OptionDef&&) noexcept;
    OptionDef& operator=(const OptionDef&);
    OptionDef& operator=(OptionDef&&) noexcept;
    ~OptionDef();

    std::string id;          // field name, e.g. "vlan_id"
    std::string long_name;   // e.g. "vlan-id"
    char short_name = 0;     // 0 when none
    std::string value_name;  // e.g. "VLAN_ID"; empty for flags
    std::string help;        // empty when none
    ValueType type = ValueType::Text;
    bool required = false;
    std::optional<std::string> default_value;
    bool hidden = false;

    bool is_flag() const { return type == ValueType::Flag; }
    // "--name <NAME>" or "--master": how help and errors show the option.
    std::string display() const;
};

// What the parser found for one leaf command's options, by option id.
struct OptionValues {
    std::map<std::string, std::string> values;  // text and number options as typed, defaults filled in
    std::set<std::string> flags;                // flags that were given
};

struct CommandDef {
    CommandDef();
    CommandDef(const CommandDef&);
    CommandDef(CommandDef&&) noexcept;
    CommandDef& operator=(const CommandDef&);
    CommandDef& operator=(CommandDef&&) noexcept;
    ~CommandDef();

    std::string name;
    std::string about;
    std::optional<std::string> override_usage;
    std::optional<int> display_order;
    // Groups require a subcommand and show their help when nothing follows them.
    bool subcommand_required = false;
    bool help_when_empty = false;
    std::vector<OptionDef> options;
    std::vector<CommandDef> subcommands;

    // Which case of its parent's command values this command stands for: the index of its
    // struct (a leaf) or of its enum (a group; for a group inside a group, of the case that
    // wraps it) among the parent's cases. Absent for the root.
    std::optional<std::size_t> case_index;
    // Leaves only: the command value made from the options found, and its handler, which
    // returns the process's exit status.
    std::function<Commands(const OptionValues&)> build;
    std::function<int(const Context&, const Commands&)> run;

    bool is_group() const { return !subcommands.empty(); }
    const CommandDef* find_subcommand(std::string_view name) const;
    const CommandDef* find_case(std::size_t case_index) const;
    const OptionDef* find_long(std::string_view long_name) const;
    const OptionDef* find_short(char short_name) const;
};

// Builds the whole tree afresh: the root "quillmar" with every command below it.
CommandDef build_command_tree();

// The root's fixed help template; "{usage}" is replaced by the usage line.
extern const std::string_view kRootHelpTemplate;

}  // namespace qm::cli
