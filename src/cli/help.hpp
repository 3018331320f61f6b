// Help pages, usage lines and the version display, rendered from the command tree.
#pragma once

#include <string>
#include <vector>

#include "cli/command_tree.hpp"

namespace qm::cli {

// The commands from the root down to one of them.
using CommandChain = std::vector<const CommandDef*>;

// The usage line of the last command of `chain` (its override usage where it has one);
// `bin` is the program's name as it was started.
std::string usage_line(const CommandChain& chain, const std::string& bin);

// The help of the last command of `chain`: the root's from its fixed template, any other
// command's from its about text, usage line, subcommands and options.
std::string render_help(const CommandChain& chain, const std::string& bin);

// The help of the command reached by `path` below the root (empty path: the root help).
std::string render_help(const CommandDef& root, const std::vector<std::string>& path, const std::string& bin);

// What the root's version flag prints.
std::string render_version();

}  // namespace qm::cli
