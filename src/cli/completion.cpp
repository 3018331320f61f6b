#include "cli/completion.hpp"

#include <string>
#include <utility>

namespace qm::cli {
namespace {

using Option = CompletionState::Option;

const std::string kHelpSubcommand = "help";

Option help_flag() { return {"help", 'h', false, "", std::string(kHelpFlagAbout)}; }
Option version_flag() { return {"version", 'V', false, "", std::string(kVersionFlagAbout)}; }

std::string child_id(const std::string& id, const std::string& name) { return id + "__" + name; }

// The words of `help` in a group name the group's commands, and below a group its commands
// again; they take no options.
void add_help_states(const CommandDef& group, const std::string& id, std::vector<CompletionState>& out) {
    CompletionState state;
    state.id = id;
    for (const auto& sub : group.subcommands) state.subcommands.push_back({sub.name, sub.about});
    out.push_back(std::move(state));
    for (const auto& sub : group.subcommands) {
        if (sub.is_group())
            add_help_states(sub, child_id(id, sub.name), out);
        else
            out.push_back({child_id(id, sub.name), {}, {}});
    }
}

void add_states(const CommandDef& cmd, const std::string& id, bool root, std::vector<CompletionState>& out) {
    CompletionState state;
    state.id = id;
    for (const auto& sub : cmd.subcommands) state.subcommands.push_back({sub.name, sub.about});
    if (cmd.is_group()) state.subcommands.push_back({kHelpSubcommand, std::string(kHelpSubcommandAbout)});
    for (const auto& o : cmd.options) {
        if (o.hidden) continue;
        state.options.push_back({o.long_name, o.short_name, !o.is_flag(), o.value_name, o.help});
    }
    state.options.push_back(help_flag());
    if (root) state.options.push_back(version_flag());
    out.push_back(std::move(state));

    for (const auto& sub : cmd.subcommands) add_states(sub, child_id(id, sub.name), false, out);
    if (cmd.is_group()) add_help_states(cmd, child_id(id, kHelpSubcommand), out);
}

// The spellings of an option as typed: "-n" and "--name".
std::vector<std::string> spellings(const Option& o) {
    std::vector<std::string> v;
    if (o.short_name != 0) v.push_back(std::string("-") + o.short_name);
    v.push_back("--" + o.long_name);
    return v;
}

std::string join_words(const std::vector<std::string>& words) {
    std::string s;
    for (const auto& w : words) {
        if (!s.empty()) s += ' ';
        s += w;
    }
    return s;
}

// A word inside single quotes of a POSIX shell (and of zsh).
std::string sh_quote(std::string_view text) {
    std::string s = "'";
    for (char c : text) {
        if (c == '\'') s += "'\\''";
        else s += c;
    }
    return s + "'";
}

// A word inside single quotes of fish, where a backslash escapes a quote or a backslash.
std::string fish_quote(std::string_view text) {
    std::string s = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\') s += '\\';
        s += c;
    }
    return s + "'";
}

// Text between the brackets of a zsh option description.
std::string zsh_bracketed(std::string_view text) {
    std::string s;
    for (char c : text) {
        if (c == '\\' || c == ']' || c == '[') s += '\\';
        s += c;
    }
    return s;
}

// An entry "name:description" of a zsh `_describe` list; a colon in the name is escaped.
std::string zsh_described(std::string_view name, std::string_view description) {
    std::string s;
    for (char c : name) {
        if (c == ':' || c == '\\') s += '\\';
        s += c;
    }
    return s + ":" + std::string(description);
}

// The scripts are written with @PROG@ for the program's name.
std::string with_program(std::string script, const std::string& program) {
    const std::string mark = "@PROG@";
    for (auto at = script.find(mark); at != std::string::npos; at = script.find(mark, at + program.size()))
        script.replace(at, mark.size(), program);
    return script;
}

// ------------------------------------------------------------------ bash

std::string bash_script(const std::vector<CompletionState>& states) {
    std::string s;
    s += "# Completion of @PROG@ command lines for bash (\"@PROG@ completion --shell bash\").\n"
         "# Load it with `source`, or put it in a directory that bash-completion reads.\n"
         "\n"
         "_@PROG@() {\n"
         "    local cur prev value_of state i words values\n"
         "    COMPREPLY=()\n"
         "    cur=${COMP_WORDS[COMP_CWORD]}\n"
         "    prev=\n"
         "    if (( COMP_CWORD > 0 )); then prev=${COMP_WORDS[COMP_CWORD-1]}; fi\n"
         "\n"
         "    # The command words typed so far decide where the line stands.\n"
         "    state=@PROG@\n"
         "    for (( i = 1; i < COMP_CWORD; i++ )); do\n"
         "        case \"${state}/${COMP_WORDS[i]}\" in\n";
    for (const auto& st : states)
        for (const auto& sub : st.subcommands)
            s += "            " + sh_quote(st.id + "/" + sub.name) + ") state=" + child_id(st.id, sub.name) + " ;;\n";
    s += "        esac\n"
         "    done\n"
         "\n"
         "    # The option whose value is being typed, if any; bash splits \"--name=value\" into\n"
         "    # \"--name\", \"=\" and \"value\".\n"
         "    value_of=$prev\n"
         "    if [[ $cur == = ]]; then\n"
         "        cur=\n"
         "    elif [[ $prev == = ]] && (( COMP_CWORD > 1 )); then\n"
         "        value_of=${COMP_WORDS[COMP_CWORD-2]}\n"
         "    fi\n"
         "\n"
         "    words=\n"
         "    values=\n"
         "    case $state in\n";
    for (const auto& st : states) {
        std::vector<std::string> commands, options, valued;
        for (const auto& sub : st.subcommands) commands.push_back(sub.name);
        for (const auto& o : st.options)
            for (const auto& w : spellings(o)) {
                options.push_back(w);
                if (o.takes_value) valued.push_back(w);
            }
        if (commands.empty() && options.empty()) continue;
        s += "        " + st.id + ")\n";
        if (!valued.empty()) s += "            values=" + sh_quote(join_words(valued)) + "\n";
        if (commands.empty()) {
            s += "            words=" + sh_quote(join_words(options)) + "\n";
        } else if (options.empty()) {
            s += "            words=" + sh_quote(join_words(commands)) + "\n";
        } else {
            s += "            if [[ $cur == -* ]]; then words=" + sh_quote(join_words(options)) +
                 "; else words=" + sh_quote(join_words(commands)) + "; fi\n";
        }
        s += "            ;;\n";
    }
    s += "    esac\n"
         "\n"
         "    # A value is the user's own: nothing to offer.\n"
         "    if [[ -n $value_of && \" ${values} \" == *\" ${value_of} \"* ]]; then return 0; fi\n"
         "    COMPREPLY=( $(compgen -W \"${words}\" -- \"${cur}\") )\n"
         "    return 0\n"
         "}\n"
         "\n"
         "complete -F _@PROG@ @PROG@\n";
    return with_program(std::move(s), states.front().id);
}

// ------------------------------------------------------------------ zsh

std::string zsh_script(const std::vector<CompletionState>& states) {
    std::string s;
    s += "#compdef @PROG@\n"
         "# Completion of @PROG@ command lines for zsh (\"@PROG@ completion --shell zsh\").\n"
         "# Put it in a directory of $fpath as _@PROG@, or load it with `source` after compinit.\n"
         "\n"
         "_@PROG@() {\n"
         "    local state=@PROG@\n"
         "    local -i i depth=1\n"
         "    # The command words typed so far decide where the line stands.\n"
         "    for (( i = 2; i < CURRENT; i++ )); do\n"
         "        case \"${state}/${words[i]}\" in\n";
    for (const auto& st : states)
        for (const auto& sub : st.subcommands)
            s += "            (" + sh_quote(st.id + "/" + sub.name) + ") state=" + child_id(st.id, sub.name) +
                 "; depth=i ;;\n";
    s += "        esac\n"
         "    done\n"
         "\n"
         "    local -a cmds opts\n"
         "    case $state in\n";
    for (const auto& st : states) {
        if (st.subcommands.empty() && st.options.empty()) continue;
        s += "        (" + st.id + ")\n";
        if (st.subcommands.empty()) {
            // A command with options only: its own words start at its name.
            s += "            words=(\"${(@)words[depth,-1]}\")\n"
                 "            (( CURRENT -= depth - 1 ))\n"
                 "            _arguments";
            for (const auto& o : st.options) {
                const auto names = spellings(o);
                std::string exclusive;
                if (names.size() > 1) exclusive = "(" + join_words(names) + ")";
                const std::string help = o.help.empty() ? "" : "[" + zsh_bracketed(o.help) + "]";
                for (const auto& w : names) {
                    std::string arg_spec = exclusive + w;
                    if (o.takes_value) arg_spec += w.size() == 2 ? "+" : "=";
                    arg_spec += help;
                    if (o.takes_value) arg_spec += ":" + o.value_name + ": ";
                    s += " \\\n                " + sh_quote(arg_spec);
                }
            }
            s += "\n";
        } else {
            s += "            cmds=(";
            for (const auto& sub : st.subcommands)
                s += "\n                " + sh_quote(zsh_described(sub.name, sub.about));
            s += "\n            )\n";
            if (!st.options.empty()) {
                s += "            opts=(";
                for (const auto& o : st.options)
                    for (const auto& w : spellings(o)) s += "\n                " + sh_quote(zsh_described(w, o.help));
                s += "\n            )\n"
                     "            if [[ $PREFIX == -* ]]; then\n"
                     "                _describe -t options option opts\n"
                     "            else\n"
                     "                _describe -t commands command cmds\n"
                     "            fi\n";
            } else {
                s += "            _describe -t commands command cmds\n";
            }
        }
        s += "            ;;\n";
    }
    s += "        (*) return 1 ;;\n"
         "    esac\n"
         "}\n"
         "\n"
         "if [[ ${zsh_eval_context[-1]} == loadautofunc ]]; then\n"
         "    _@PROG@ \"$@\"\n"
         "else\n"
         "    compdef _@PROG@ @PROG@\n"
         "fi\n";
    return with_program(std::move(s), states.front().id);
}

// ------------------------------------------------------------------ fish

std::string fish_script(const std::vector<CompletionState>& states) {
    std::string s;
    s += "# Completion of @PROG@ command lines for fish (\"@PROG@ completion --shell fish\").\n"
         "# Load it with `source`, or put it in ~/.config/fish/completions/@PROG@.fish.\n"
         "\n"
         "# Where the command words typed so far have led.\n"
         "function __@PROG@_state\n"
         "    set -l typed (commandline -opc)\n"
         "    set -e typed[1]\n"
         "    set -l state @PROG@\n"
         "    for word in $typed\n"
         "        switch \"$state/$word\"\n";
    for (const auto& st : states)
        for (const auto& sub : st.subcommands)
            s += "            case " + fish_quote(st.id + "/" + sub.name) + "\n                set state " +
                 child_id(st.id, sub.name) + "\n";
    s += "        end\n"
         "    end\n"
         "    echo $state\n"
         "end\n"
         "\n"
         "function __@PROG@_at\n"
         "    test (__@PROG@_state) = $argv[1]\n"
         "end\n"
         "\n"
         "# No command takes a file name.\n"
         "complete -c @PROG@ -f\n";
    for (const auto& st : states) {
        if (st.subcommands.empty() && st.options.empty()) continue;
        const std::string at = " -n " + fish_quote("__@PROG@_at " + st.id);
        for (const auto& sub : st.subcommands)
            s += "complete -c @PROG@" + at + " -a " + fish_quote(sub.name) + " -d " + fish_quote(sub.about) + "\n";
        for (const auto& o : st.options) {
            s += "complete -c @PROG@" + at;
            if (o.short_name != 0) s += std::string(" -s ") + o.short_name;
            s += " -l " + o.long_name;
            // A value is the user's own: required, and no file names offered for it.
            if (o.takes_value) s += " -x";
            if (!o.help.empty()) s += " -d " + fish_quote(o.help);
            s += "\n";
        }
    }
    return with_program(std::move(s), states.front().id);
}

}  // namespace

std::vector<CompletionState> completion_states(const CommandDef& root) {
    std::vector<CompletionState> out;
    add_states(root, root.name, true, out);
    return out;
}

std::string bash_completion_script(const CommandDef& root) { return bash_script(completion_states(root)); }
std::string zsh_completion_script(const CommandDef& root) { return zsh_script(completion_states(root)); }
std::string fish_completion_script(const CommandDef& root) { return fish_script(completion_states(root)); }

std::optional<std::string> completion_script(std::string_view shell, const CommandDef& root) {
    if (shell == "bash") return bash_completion_script(root);
    if (shell == "zsh") return zsh_completion_script(root);
    if (shell == "fish") return fish_completion_script(root);
    return std::nullopt;
}

}  // namespace qm::cli
