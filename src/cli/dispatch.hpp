// Hands a parsed command to the handler its row in the command tree binds.
#pragma once

#include "cli/command_tree.hpp"
#include "cli/commands.hpp"
#include "utils/context.hpp"

namespace qm::cli {

// The first-run check that runs before every parsed command.
void check_first_run(const Context& ctx);

// The leaf of `root` whose row stands for the command `commands` holds; null when none does.
const CommandDef* find_leaf(const CommandDef& root, const Commands& commands);

// Runs the command's handler; returns the process's exit status.
int dispatch_command(const Context& ctx, const Cli& cli);

// "Available bond types:" and the seven modes, for `bond create` with blank members.
void print_bond_types(const Context& ctx);

}  // namespace qm::cli
