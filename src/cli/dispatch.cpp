#include "cli/dispatch.hpp"

#include <exception>
#include <new>
#include <ostream>

#include "cli/command_cases.hpp"

namespace qm::cli {

int run_guarded(std::ostream& out, std::ostream& err, const std::function<int()>& body) {
    // Inside the handlers: the exception's text lives only as long as the exception.
    auto report = [&](const char* why) {
        try {
            out.flush();
            err << "error: " << why << "\n";
            err.flush();
        } catch (...) {
        }
        return 1;
    };
    try {
        return body();
    } catch (const std::bad_alloc&) {
        // No text is built here: there may be no memory for it.
        return report("out of memory");
    } catch (const std::exception& e) {
        return report(e.what());
    } catch (...) {
        return report("unexpected failure");
    }
}

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
