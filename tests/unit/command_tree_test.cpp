// The command tree as one declaration: every leaf row builds its own command value and
// reaches its own handler, and every case of the command enums has its row. The tests walk
// the tree and the enums, so a new command is covered without touching them.

#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>
#include <typeinfo>
#include <variant>
#include <vector>

#include "cli/command_rows.hpp"
#include "cli/command_tree.hpp"
#include "cli/dispatch.hpp"
#include "cli/parser.hpp"
#include "support/fake_host.hpp"

namespace qm::cli {
namespace {

// Converts to anything: counts the fields of an aggregate by how many it takes.
struct AnyField {
    template <class U>
    operator U() const;
};

template <class T, class... Seen>
constexpr std::size_t field_count() {
    if constexpr (requires { T{Seen{}..., AnyField{}}; }) return field_count<T, Seen..., AnyField>();
    else return sizeof...(Seen);
}

// Every leaf case the command enums declare, in declaration order: the index of each case
// from the top-level enum down (as case_path gives it for a value), the leaf's type and how
// many fields it has.
struct CasePath {
    std::vector<std::size_t> indices;
    const std::type_info* leaf = nullptr;
    std::size_t fields = 0;
};

template <class Node>
void collect_case_paths(std::vector<std::size_t>& prefix, std::vector<CasePath>& out);

template <class... Cases>
void collect_cases(const std::variant<Cases...>*, std::vector<std::size_t>& prefix, std::vector<CasePath>& out) {
    std::size_t index = 0;
    (
        [&] {
            prefix.push_back(index++);
            collect_case_paths<Cases>(prefix, out);
            prefix.pop_back();
        }(),
        ...);
}

template <class Node>
void collect_case_paths(std::vector<std::size_t>& prefix, std::vector<CasePath>& out) {
    if constexpr (requires { Node::command; }) {
        collect_case_paths<decltype(Node::command)>(prefix, out);
    } else if constexpr (requires { Node::value; }) {
        collect_cases(static_cast<const decltype(Node::value)*>(nullptr), prefix, out);
    } else {
        out.push_back({prefix, &typeid(Node), field_count<Node>()});
    }
}

std::vector<CasePath> all_case_paths() {
    std::vector<std::size_t> prefix;
    std::vector<CasePath> out;
    collect_case_paths<Commands>(prefix, out);
    return out;
}

struct Leaf {
    const CommandDef* def;
    std::vector<std::string> words;  // the command names below the root
};

void collect_leaves(const CommandDef& cmd, std::vector<std::string>& words, std::vector<Leaf>& out) {
    for (const auto& sub : cmd.subcommands) {
        words.push_back(sub.name);
        if (sub.is_group()) collect_leaves(sub, words, out);
        else out.push_back({&sub, words});
        words.pop_back();
    }
}

std::vector<Leaf> leaves_of(const CommandDef& root) {
    std::vector<std::string> words;
    std::vector<Leaf> out;
    collect_leaves(root, words, out);
    return out;
}

std::string joined(const std::vector<std::string>& words) {
    std::string s;
    for (const auto& w : words) s += (s.empty() ? "" : " ") + w;
    return s;
}

// The command line of `leaf` with just its required options.
std::vector<std::string> minimal_line(const Leaf& leaf) {
    std::vector<std::string> line{"quillmar"};
    line.insert(line.end(), leaf.words.begin(), leaf.words.end());
    for (const auto& o : leaf.def->options) {
        if (!o.required) continue;
        line.push_back("--" + o.long_name);
        line.push_back(o.type == ValueType::U16 ? "7" : "x");
    }
    return line;
}

TEST(CommandTree, EveryLeafParsesToItsOwnCaseAndReachesItsOwnHandler) {
    const CommandDef root = build_command_tree();
    const auto leaves = leaves_of(root);
    ASSERT_FALSE(leaves.empty());
    for (const auto& leaf : leaves) {
        const std::string name = joined(leaf.words);
        EXPECT_TRUE(leaf.def->build && leaf.def->run) << name;
        ParseOutcome parsed = parse_command_line(minimal_line(leaf));
        ASSERT_TRUE(parsed.cli.has_value()) << name << "\n" << parsed.err;
        // The case the parse gives is the leaf's, inside the groups the tree puts it in ...
        std::vector<std::optional<std::size_t>> tree_path;
        const CommandDef* at = &root;
        for (const auto& word : leaf.words) {
            at = at->find_subcommand(word);
            tree_path.push_back(at->case_index);
        }
        auto value_path = case_path(parsed.cli->command);
        ASSERT_EQ(value_path.size(), tree_path.size()) << name;
        for (std::size_t i = 0; i < tree_path.size(); ++i)
            EXPECT_TRUE(tree_path[i] && *tree_path[i] == value_path[i]) << name << " at level " << i;
        // ... and the dispatch picks this very row for it.
        EXPECT_EQ(find_leaf(root, parsed.cli->command), leaf.def) << name;
    }
}

TEST(CommandTree, EveryCaseOfTheCommandEnumsHasExactlyOneRow) {
    const CommandDef root = build_command_tree();
    const auto cases = all_case_paths();
    std::set<const CommandDef*> reached;
    for (const auto& path : cases) {
        const CommandDef* at = &root;
        for (std::size_t index : path.indices) {
            at = at->find_case(index);
            if (!at) break;
        }
        ASSERT_NE(at, nullptr) << "no row for " << path.leaf->name();
        EXPECT_FALSE(at->is_group()) << path.leaf->name();
        EXPECT_TRUE(at->run != nullptr) << path.leaf->name();
        EXPECT_EQ(at->options.size(), path.fields) << "every field of " << path.leaf->name() << " has its option";
        reached.insert(at);
    }
    EXPECT_EQ(reached.size(), cases.size());
    EXPECT_EQ(leaves_of(root).size(), cases.size()) << "a row without its own case";
}

void expect_unique_names(const CommandDef& cmd, const std::string& where) {
    std::set<std::string> names, ids, longs;
    std::set<std::size_t> cases;
    std::set<char> shorts;
    for (const auto& sub : cmd.subcommands) {
        EXPECT_TRUE(names.insert(sub.name).second) << where << ": command " << sub.name << " twice";
        ASSERT_TRUE(sub.case_index.has_value()) << where << " " << sub.name;
        EXPECT_TRUE(cases.insert(*sub.case_index).second) << where << ": " << sub.name << " shares a case";
        expect_unique_names(sub, where + " " + sub.name);
    }
    for (const auto& o : cmd.options) {
        EXPECT_TRUE(ids.insert(o.id).second) << where << ": option " << o.id << " twice";
        EXPECT_TRUE(longs.insert(o.long_name).second) << where << ": --" << o.long_name << " twice";
        if (o.short_name) {
            EXPECT_TRUE(shorts.insert(o.short_name).second) << where << ": -" << o.short_name << " twice";
        }
        EXPECT_EQ(o.is_flag(), o.value_name.empty()) << where << " --" << o.long_name;
    }
}

TEST(CommandTree, NamesAreUniqueWithinEachCommand) {
    const CommandDef root = build_command_tree();
    expect_unique_names(root, "quillmar");
}

// With every option given, changing any one of them changes the command value: each option
// fills a field of its own.
TEST(CommandTree, EachOptionFillsItsOwnField) {
    const CommandDef root = build_command_tree();
    for (const auto& leaf : leaves_of(root)) {
        const auto& options = leaf.def->options;
        auto line_with = [&](std::size_t changed) {
            std::vector<std::string> line{"quillmar"};
            line.insert(line.end(), leaf.words.begin(), leaf.words.end());
            for (std::size_t i = 0; i < options.size(); ++i) {
                const auto& o = options[i];
                if (o.is_flag()) {
                    if (i != changed) line.push_back("--" + o.long_name);
                    continue;
                }
                line.push_back("--" + o.long_name);
                if (o.type == ValueType::U16) line.push_back(std::to_string(i == changed ? 1000 + i : i));
                else line.push_back((i == changed ? "changed " : "given ") + std::to_string(i));
            }
            return line;
        };
        ParseOutcome all = parse_command_line(line_with(options.size()));
        ASSERT_TRUE(all.cli.has_value()) << joined(leaf.words) << "\n" << all.err;
        for (std::size_t i = 0; i < options.size(); ++i) {
            ParseOutcome one = parse_command_line(line_with(i));
            ASSERT_TRUE(one.cli.has_value()) << joined(leaf.words) << "\n" << one.err;
            EXPECT_NE(one.cli->command, all.cli->command) << joined(leaf.words) << " --" << options[i].long_name;
        }
    }
}

void quiet_handler(const Context&, const Commands::InstallSelf&) {}
int refusing_handler(const Context& ctx) {
    ctx.err << "no\n";
    return 1;
}

TEST(CommandTree, AHandlersStatusIsTheExitStatus) {
    using namespace rows;
    test::FakeHost host;
    const Commands value{Commands::InstallSelf{}};
    CommandDef quiet = root("quillmar", "", leaf<Commands::InstallSelf, quiet_handler>("install-self", ""));
    CommandDef refusing = root("quillmar", "", leaf<Commands::InstallSelf, refusing_handler>("install-self", ""));
    EXPECT_EQ(find_leaf(quiet, value)->run(host.ctx, value), 0);
    EXPECT_EQ(find_leaf(refusing, value)->run(host.ctx, value), 1);
    EXPECT_EQ(host.err.str(), "no\n");
}

TEST(CommandTree, DispatchRunsTheRowsHandler) {
    struct Case {
        std::vector<std::string> line;
        std::string err;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"quillmar", "completion", "--shell", "tcsh"}, "Unsupported shell: tcsh\n", ""},
        {{"quillmar", "vswitch", "veth", "restore"},
         "",
         "[+] Restoring veth pairs from stored bridge connections...\n"
         "[+] No bridge connections found to restore\n"},
        {{"quillmar", "baseline", "--force"},
         "",
         "[+] Starting baseline configuration (mode: Force)\n"
         "[?] This will reset all managed network resources to baseline. Continue? [y/N]: "
         "[+] Baseline configuration cancelled by user\n"},
        {{"quillmar", "network", "change", "--name", "n"}, "Error: Either --vswitch or --vlan-id must be specified.\n",
         ""},
    };
    for (const auto& [line, err, out] : cases) {
        test::FakeHost host;
        auto parsed = parse_command_line(line);
        ASSERT_TRUE(parsed.cli.has_value()) << parsed.err;
        EXPECT_EQ(dispatch_command(host.ctx, *parsed.cli), 0);
        EXPECT_EQ(host.err.str(), err);
        EXPECT_EQ(host.out.str(), out);
    }
}

}  // namespace
}  // namespace qm::cli
