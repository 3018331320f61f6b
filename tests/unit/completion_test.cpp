// The generated completion scripts, loaded and driven by the real shells.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_tree.hpp"
#include "cli/completion.hpp"
#include "support/fake_host.hpp"
#include "utils/process.hpp"

namespace qm::cli {
namespace {

using Words = std::set<std::string>;

const Words kVswitchSubcommands = {"create",  "delete",   "change", "set-master", "connect",
                                   "disconnect", "isolate", "quarantine", "topology", "list",
                                   "usage",   "veth",     "help"};
const Words kBackupOptions = {"-n", "--name", "-d", "--description", "-h", "--help"};

struct Ran {
    int status = -1;
    std::string out, err;
};

Ran run(const std::vector<std::string>& argv) {
    PosixRunner runner;
    auto r = runner.run(argv, RunMode::QueryWithStderr);
    if (!r) return {-1, "", r.error().message()};
    return {r->exit_code, r->out, r->err};
}

// The shells are dependencies of the test suite (scripts/install-deps installs them).
bool have(const std::string& shell) {
    if (run({"sh", "-c", "command -v " + shell}).status == 0) return true;
    ADD_FAILURE() << shell << " is not installed; scripts/install-deps installs it";
    return false;
}

std::string write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

Words lines_of(const std::string& text, char cut_at = '\n') {
    Words words;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find(cut_at));
        if (!line.empty()) words.insert(line);
    }
    return words;
}

// A command line being typed: the words before the cursor, the last one the one completed.
struct Typed {
    std::vector<std::string> words;
    Words offered;
};

std::string line_of(const std::vector<std::string>& words) {
    std::string line;
    for (std::size_t i = 0; i < words.size(); ++i) line += (i && words[i] != "=" && words[i - 1] != "=" ? " " : "") + words[i];
    return line;
}

const std::vector<Typed> kTyped = {
    {{"quillmar", "vs"}, {"vswitch"}},
    {{"quillmar", "vswitch", ""}, kVswitchSubcommands},
    {{"quillmar", "config", "backup", "-"}, kBackupOptions},
    {{"quillmar", "config", "backup", "--d"}, {"--description"}},
    {{"quillmar", "help", "vswitch", "veth", ""}, {"restore"}},
    {{"quillmar", "vswitch", "veth", "r"}, {"restore"}},
    {{"quillmar", "-"}, {"-h", "--help", "-V", "--version"}},
    // The hidden --name of bond create is accepted but not offered.
    {{"quillmar", "bond", "create", "--"}, {"--members", "--mode", "--help"}},
    // Nothing is offered for the value of an option.
    {{"quillmar", "config", "backup", "-n", ""}, {}},
};

class CompletionScripts : public ::testing::Test {
protected:
    test::TempDir dir;
    const CommandDef tree = build_command_tree();
};

TEST_F(CompletionScripts, BashLoadsThroughBashCompletionAndCompletesTheTree) {
    if (!have("bash")) return;
    // Where post-install puts it: a directory bash-completion reads at start.
    write(dir.path() / "compat/quillmar.bash", bash_completion_script(tree));
    const std::string load = "export HOME=" + dir.path().string() +
                             "; BASH_COMPLETION_COMPAT_DIR=" + (dir.path() / "compat").string() +
                             "; . /usr/share/bash-completion/bash_completion || exit 9\n";

    Ran loaded = run({"bash", "--norc", "--noprofile", "-c", load + "complete -p quillmar"});
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.err, "");
    EXPECT_EQ(loaded.out, "complete -F _quillmar quillmar\n");

    auto typed_cases = kTyped;
    // bash hands "--name=" over as three words.
    typed_cases.push_back({{"quillmar", "config", "backup", "--name", "=", ""}, {}});
    typed_cases.push_back({{"quillmar", "config", "backup", "--name", "="}, {}});
    for (const auto& t : typed_cases) {
        std::string words;
        for (const auto& w : t.words) words += " '" + w + "'";
        const std::string drive = load + "COMP_WORDS=(" + words + ")\n" +
                                  "COMP_CWORD=" + std::to_string(t.words.size() - 1) + "\n" +
                                  "COMP_LINE='" + line_of(t.words) + "'; COMP_POINT=${#COMP_LINE}\n" +
                                  "_quillmar quillmar \"${COMP_WORDS[COMP_CWORD]}\" "
                                  "\"${COMP_WORDS[COMP_CWORD-1]}\" || exit 8\n"
                                  "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
        Ran r = run({"bash", "--norc", "--noprofile", "-c", drive});
        EXPECT_EQ(r.status, 0) << line_of(t.words) << "\n" << r.err;
        EXPECT_EQ(r.err, "") << line_of(t.words);
        EXPECT_EQ(lines_of(r.out), t.offered) << line_of(t.words);
    }
}

// Types a line into an interactive zsh on a pseudo-terminal, presses Tab and records every
// match the completion system offers (compadd -O gives the matches without adding them).
constexpr const char* kZshHarness = R"ZSH(
script_dir=$1 work=$2 line=$3
zmodload zsh/zpty || exit 3
out=$work/offers done=$work/done
rm -f $out $done
zpty qz QM_OFFERS=$out HOME=$work zsh -f -i
zpty -w qz "PS1='READY''> '; fpath=(${(q)script_dir} \$fpath); autoload -Uz compinit; compinit -u -d $work/zcompdump; source $work/record.zsh"
seen= chunk=
integer n=0
until [[ $seen == *'READY> '* ]] || (( n++ > 400 )); do
  zpty -rt qz chunk && seen+=$chunk || sleep 0.05
done
zpty -w -n qz "$line"$'\t'$'\C-a\C-k'
zpty -w qz "print -r ok > ${(q)done}"
n=0
while [[ ! -e $done ]] && (( n++ < 400 )); do
  zpty -rt qz chunk || sleep 0.05
done
zpty -d qz
[[ -e $done ]] || { print -u2 "zsh did not answer"; exit 4; }
[[ -e $out ]] && cat $out
exit 0
)ZSH";

constexpr const char* kZshRecorder = R"ZSH(
compadd() {
  if (( ${@[(I)-[ODA]*]} )); then builtin compadd "$@"; return; fi
  local -a __hits
  builtin compadd -O __hits "$@"
  (( $#__hits )) && print -rl -- $__hits >> $QM_OFFERS
  builtin compadd "$@"
}
)ZSH";

TEST_F(CompletionScripts, ZshLoadsAndCompletesTheTree) {
    if (!have("zsh")) return;
    const std::string script = write(dir.path() / "functions/_quillmar", zsh_completion_script(tree));
    const std::string work = (dir.path() / "work").string();
    std::filesystem::create_directories(work);

    // Sourced after compinit, as `source <(quillmar completion --shell zsh)` does.
    Ran sourced = run({"zsh", "-f", "-c",
                       "HOME=" + work + "; autoload -Uz compinit; compinit -u -d " + work +
                           "/dump; source " + script + " || exit 9; print -r -- $_comps[quillmar]"});
    EXPECT_EQ(sourced.status, 0) << sourced.err;
    EXPECT_EQ(sourced.err, "");
    EXPECT_EQ(sourced.out, "_quillmar\n");

    // Found on $fpath, as an installed _quillmar is.
    const std::string harness = write(dir.path() / "harness.zsh", kZshHarness);
    write(dir.path() / "work/record.zsh", kZshRecorder);
    for (const auto& t : kTyped) {
        Ran r = run({"zsh", "-f", harness, (dir.path() / "functions").string(), work, line_of(t.words)});
        EXPECT_EQ(r.status, 0) << line_of(t.words) << "\n" << r.err;
        EXPECT_EQ(lines_of(r.out), t.offered) << line_of(t.words);
    }
}

TEST_F(CompletionScripts, FishLoadsAndCompletesTheTree) {
    if (!have("fish")) return;
    const std::string script = write(dir.path() / "quillmar.fish", fish_completion_script(tree));
    const std::string home = dir.path().string();
    auto fish = [&](const std::string& commands) {
        return run({"env", "HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config", "XDG_DATA_HOME=" + home + "/data",
                    "fish", "--no-config", "-c", commands});
    };

    Ran loaded = fish("source " + script + "; or exit 9; complete -c quillmar | count >/dev/null");
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.err, "");

    for (const auto& t : kTyped) {
        Ran r = fish("source " + script + "; complete -C '" + line_of(t.words) + "'");
        EXPECT_EQ(r.status, 0) << line_of(t.words) << "\n" << r.err;
        EXPECT_EQ(r.err, "") << line_of(t.words);
        EXPECT_EQ(lines_of(r.out, '\t'), t.offered) << line_of(t.words);
    }
}

TEST(CompletionStates, EveryCommandOfTheTreeHasItsPlace) {
    const CommandDef tree = build_command_tree();
    const auto states = completion_states(tree);
    std::set<std::string> ids;
    for (const auto& s : states) ids.insert(s.id);

    // Walks the tree: each command is a state, and its parent offers it.
    std::vector<std::pair<const CommandDef*, std::string>> todo = {{&tree, "quillmar"}};
    while (!todo.empty()) {
        // Named copies, not a structured binding: the lambdas below capture them.
        const CommandDef* cmd = todo.back().first;
        const std::string id = todo.back().second;
        todo.pop_back();
        ASSERT_TRUE(ids.count(id)) << id;
        const auto& state = *std::find_if(states.begin(), states.end(), [&](const auto& s) { return s.id == id; });
        for (const auto& o : cmd->options) {
            const bool offered = std::any_of(state.options.begin(), state.options.end(),
                                             [&](const auto& so) { return so.long_name == o.long_name; });
            EXPECT_EQ(offered, !o.hidden) << id << " --" << o.long_name;
        }
        for (const auto& sub : cmd->subcommands) {
            EXPECT_TRUE(std::any_of(state.subcommands.begin(), state.subcommands.end(),
                                    [&](const auto& c) { return c.name == sub.name && c.about == sub.about; }))
                << id << " " << sub.name;
            todo.push_back({&sub, id + "__" + sub.name});
        }
    }
}

TEST(CompletionScript, OnlyTheThreeShellsByTheirExactNames) {
    const CommandDef tree = build_command_tree();
    EXPECT_EQ(completion_script("bash", tree), bash_completion_script(tree));
    EXPECT_EQ(completion_script("zsh", tree), zsh_completion_script(tree));
    EXPECT_EQ(completion_script("fish", tree), fish_completion_script(tree));
    for (const char* other : {"Bash", "tcsh", "", "bash "}) EXPECT_FALSE(completion_script(other, tree)) << other;
}

}  // namespace
}  // namespace qm::cli
