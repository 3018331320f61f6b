// Matching the process's arguments against the command tree.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/command_tree.hpp"
#include "cli/commands.hpp"

namespace qm::cli {

// Either a parsed command line, or what to print and the status to end with
// (help and version: standard output, status 0; usage errors: standard error, status 2).
struct ParseOutcome {
    std::optional<Cli> cli;
    int status = 0;
    std::string out;
    std::string err;
};

// args[0] is the program path; the rest are the command line. All texts are valid UTF-8.
ParseOutcome parse_command_line(const std::vector<std::string>& args);

}  // namespace qm::cli
