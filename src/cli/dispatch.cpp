#include "cli/dispatch.hpp"

#include <ostream>

#include "cli/command_cases.hpp"
#include "cmds/config/lookup.hpp"

namespace qm::cli {

void print_bond_types(const Context& ctx) {
    ctx.out << "Available bond types:\n"
               "  - balance-rr\n"
               "  - active-backup\n"
               "  - balance-xor\n"
               "  - broadcast\n"
               "  - 802.3ad\n"
               "  - balance-tlb\n"
               "  - balance-alb\n";
}

void check_first_run(const Context& ctx) { qm::check_first_run(ctx); }

const CommandDef* find_leaf(const CommandDef& root, const Commands& commands) {
    const CommandDef* cmd = &root;
    for (const std::type_info* value_case : case_path(commands)) {
        cmd = cmd->find_case(*value_case);
        if (!cmd) return nullptr;
    }
    return cmd->run ? cmd : nullptr;
}

int dispatch_command(const Context& ctx, const Cli& cli) {
    const CommandDef root = build_command_tree();
    const CommandDef* leaf = find_leaf(root, cli.command);
    if (!leaf) {
        // The tree's tests make sure every command has its row.
        ctx.err << "[-] Internal error: the command has no handler\n";
        return 1;
    }
    return leaf->run(ctx, cli.command);
}

}  // namespace qm::cli
