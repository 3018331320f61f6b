// The commands that concern the program itself rather than the network.
#pragma once

#include <string>

#include "cli/commands.hpp"
#include "utils/context.hpp"

namespace qm::cli {

// `install-self`: puts the running program at /sbin/quillmar (mode 0755) and has the copy
// install its bash completion. Returns the exit status: 1 without root privileges or when
// the installation fails, else 0.
int install_self(const Context& ctx);

// `post-install`: writes the bash completion file. Returns 1 when it cannot be written, else 0.
int post_install(const Context& ctx);

// `completion --shell <shell>`: the script for bash, zsh or fish on standard output; any
// other name is refused on standard error.
void print_completion(const Context& ctx, const std::string& shell);
void run_completion(const Context& ctx, const Commands::Completion& command);

// `enable-service`: makes sure the veth restore unit is installed and enabled.
void enable_service(const Context& ctx);

}  // namespace qm::cli
