#include "cli/dispatch.hpp"

#include <exception>
#include <new>
#include <ostream>
#include <variant>

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

namespace {

// A group holds its cases in `value`; `vswitch veth` wraps its group in `command`.
template <class Node>
void append_case_path(const Node& node, std::vector<std::size_t>& path) {
    if constexpr (requires { node.value.index(); }) {
        path.push_back(node.value.index());
        std::visit([&path](const auto& held) { append_case_path(held, path); }, node.value);
    } else if constexpr (requires { node.command.value; }) {
        append_case_path(node.command, path);
    }
}

}  // namespace

std::vector<std::size_t> case_path(const Commands& commands) {
    std::vector<std::size_t> path;
    append_case_path(commands, path);
    return path;
}

const CommandDef* find_leaf(const CommandDef& root, const Commands& commands) {
    const CommandDef* cmd = &root;
    for (std::size_t index : case_path(commands)) {
        cmd = cmd->find_case(index);
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
