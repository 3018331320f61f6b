// Hands a parsed command to its handler and prints what the handler returns.
#pragma once

#include "cli/commands.hpp"
#include "utils/context.hpp"

namespace qm::cli {

// The first-run check that runs before every parsed command.
void check_first_run(const Context& ctx);

// Runs the command; returns the process's exit status.
int dispatch_command(const Context& ctx, const Cli& cli);

// "Available bond types:" and the seven modes, for `bond create` with blank members.
void print_bond_types(const Context& ctx);

}  // namespace qm::cli
