// Hands a parsed command to the handler its row in the command tree binds.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <vector>

#include "cli/command_tree.hpp"
#include "cli/commands.hpp"
#include "utils/context.hpp"

namespace qm::cli {

// The cases `commands` holds, from the top-level case down to the leaf, each as its index
// among the cases of the level above (CommandDef::case_index).
std::vector<std::size_t> case_path(const Commands& commands);

// The leaf of `root` whose row stands for the command `commands` holds; null when none does.
const CommandDef* find_leaf(const CommandDef& root, const Commands& commands);

// Runs the command's handler; returns the process's exit status.
int dispatch_command(const Context& ctx, const Cli& cli);

// Runs the whole of a run and gives its exit status. An exception that would otherwise end
// the process with an abort (an allocation failure, or any other) ends it with one line on
// err and status 1 instead, after what out holds so far is flushed.
int run_guarded(std::ostream& out, std::ostream& err, const std::function<int()>& body);

}  // namespace qm::cli
