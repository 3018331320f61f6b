// The grammar of the command line, declared once as data. Parsing, help and shell
// completion all read this one tree.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::cli {

inline constexpr std::string_view kProgramName = "quillmar";
inline constexpr std::string_view kVersion = "1.0.0";

enum class ValueType {
    Text,  // any text, unchanged
    U16,   // a decimal integer from 0 to 65535
    Flag,  // takes no value
};

struct OptionSpec {
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

struct CommandSpec {
    std::string name;
    std::string about;
    std::optional<std::string> override_usage;
    std::optional<int> display_order;
    // Groups require a subcommand and show their help when nothing follows them.
    bool subcommand_required = false;
    bool help_when_empty = false;
    std::vector<OptionSpec> options;
    std::vector<CommandSpec> subcommands;

    bool is_group() const { return !subcommands.empty(); }
    const CommandSpec* find_subcommand(std::string_view name) const;
    const OptionSpec* find_long(std::string_view long_name) const;
    const OptionSpec* find_short(char short_name) const;
};

// Builds the whole tree afresh: the root "quillmar" with every command below it.
CommandSpec build_command_tree();

// The root's fixed help template; "{usage}" is replaced by the usage line.
extern const std::string_view kRootHelpTemplate;

}  // namespace qm::cli
