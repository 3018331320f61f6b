// Shell completion scripts for bash, zsh and fish, generated from the command tree, so a
// command or option added to the tree is offered by every shell without further work.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_tree.hpp"

namespace qm::cli {

// One place a command line can have reached: the program name followed by command words
// ("quillmar vswitch veth"), with what may come next. Besides the tree's own commands and
// options this holds what the parser adds: `help` in every group (its words name further
// commands), -h/--help everywhere, -V/--version on the root. Hidden options are left out.
struct CompletionState {
    struct Choice {
        std::string name;
        std::string about;
    };
    struct Option {
        std::string long_name;  // without "--"
        char short_name = 0;    // 0 when none
        bool takes_value = false;
        std::string value_name;
        std::string help;
    };

    std::string id;  // the words joined by "__": "quillmar__vswitch__veth"
    std::vector<Choice> subcommands;  // a subcommand S leads to the state `id + "__" + S`
    std::vector<Option> options;
};

// Every state, the root first, each group before the states below it.
std::vector<CompletionState> completion_states(const CommandDef& root);

std::string bash_completion_script(const CommandDef& root);
std::string zsh_completion_script(const CommandDef& root);
std::string fish_completion_script(const CommandDef& root);

// The script for "bash", "zsh" or "fish" (exactly so); absent for any other shell name.
std::optional<std::string> completion_script(std::string_view shell, const CommandDef& root);

}  // namespace qm::cli
