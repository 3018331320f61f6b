#include "cli/parser.hpp"

#include <algorithm>
#include <set>
#include <string_view>
#include <variant>

#include "build_id.hpp"
#include "cli/help.hpp"

namespace qm::cli {

namespace {

std::string bin_name_of(const std::vector<std::string>& args) {
    if (args.empty() || args[0].empty()) return std::string(kProgramName);
    auto slash = args[0].find_last_of('/');
    std::string name = slash == std::string::npos ? args[0] : args[0].substr(slash + 1);
    return name.empty() ? std::string(kProgramName) : name;
}

ParseOutcome show_help(const CommandChain& chain, const std::string& bin, bool as_error) {
    ParseOutcome o;
    if (as_error) {
        o.status = 2;
        o.err = render_help(chain, bin);
    } else {
        o.out = render_help(chain, bin);
    }
    return o;
}

ParseOutcome usage_error(const CommandChain& chain, const std::string& bin, const std::string& message) {
    ParseOutcome o;
    o.status = 2;
    o.err = "error: " + message + "\n\nUsage: " + usage_line(chain, bin) + "\n\nFor more information, try '--help'.\n";
    return o;
}

ParseOutcome version() {
    ParseOutcome o;
    o.out = render_version();
    return o;
}

bool is_option_like(const std::string& a) { return a.size() > 1 && a[0] == '-'; }

std::string in_quotes(const std::string& s) { return "'" + s + "'"; }

// "-" and the first character after it, whole even when it takes several bytes.
std::string short_as_typed(const std::string& a) {
    std::size_t n = 1;
    while (1 + n < a.size() && (static_cast<unsigned char>(a[1 + n]) & 0xC0) == 0x80) ++n;
    return "-" + a.substr(1, n);
}

// Empty when the value is a decimal integer from 0 to 65535, else the reason.
std::optional<std::string> check_u16(const std::string& v) {
    if (v.empty()) return "cannot parse integer from empty string";
    if (!std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return "invalid digit found in string";
    std::size_t first = v.find_first_not_of('0');
    if (first != std::string::npos && v.size() - first > 5) return v + " is not in 0..=65535";
    if (first != std::string::npos && std::stoul(v.substr(first)) > 65535) return v + " is not in 0..=65535";
    return std::nullopt;
}

// Parses the options of a leaf command from args[i..]; either what they came to or the outcome to end with.
std::variant<OptionValues, ParseOutcome> parse_leaf(const CommandChain& chain, const std::string& bin,
                                                    const std::vector<std::string>& args, std::size_t i) {
    const CommandDef& cmd = *chain.back();
    OptionValues found;
    std::set<std::string> seen;

    auto take = [&](const OptionDef& o, std::optional<std::string> joined) -> std::optional<ParseOutcome> {
        if (seen.count(o.id)) return usage_error(chain, bin, "the argument " + in_quotes(o.display()) + " cannot be used multiple times");
        seen.insert(o.id);
        if (o.is_flag()) {
            if (joined)
                return usage_error(chain, bin,
                                   "unexpected value " + in_quotes(*joined) + " for " + in_quotes(o.display()) +
                                       " found; no more were expected");
            found.flags.insert(o.id);
            return std::nullopt;
        }
        std::string value;
        if (joined) {
            value = *joined;
        } else if (i + 1 < args.size() && !is_option_like(args[i + 1])) {
            value = args[++i];
        } else {
            return usage_error(chain, bin, "a value is required for " + in_quotes(o.display()) + " but none was supplied");
        }
        if (o.type == ValueType::U16) {
            if (auto why = check_u16(value))
                return usage_error(chain, bin, "invalid value " + in_quotes(value) + " for " + in_quotes(o.display()) + ": " + *why);
        }
        found.values[o.id] = value;
        return std::nullopt;
    };

    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") return show_help(chain, bin, false);
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::string name = a.substr(2);
            std::optional<std::string> joined;
            if (auto eq = name.find('='); eq != std::string::npos) {
                joined = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            const OptionDef* o = cmd.find_long(name);
            if (!o) return usage_error(chain, bin, "unexpected argument " + in_quotes("--" + name) + " found");
            if (auto end = take(*o, joined)) return *end;
        } else if (is_option_like(a) && a != "--") {
            char c = a[1];
            if (c == 'h') return show_help(chain, bin, false);
            const OptionDef* o = cmd.find_short(c);
            if (!o) return usage_error(chain, bin, "unexpected argument " + in_quotes(short_as_typed(a)) + " found");
            std::optional<std::string> joined;
            if (a.size() > 2) joined = a[2] == '=' ? a.substr(3) : a.substr(2);
            if (auto end = take(*o, joined)) return *end;
        } else {
            return usage_error(chain, bin, "unexpected argument " + in_quotes(a) + " found");
        }
    }

    std::string missing;
    for (const auto& o : cmd.options) {
        if (o.required && !seen.count(o.id)) missing += "\n  " + o.display();
        if (!o.is_flag() && !seen.count(o.id) && o.default_value) found.values[o.id] = *o.default_value;
    }
    if (!missing.empty()) return usage_error(chain, bin, "the following required arguments were not provided:" + missing);
    return found;
}

}  // namespace

ParseOutcome parse_command_line(const std::vector<std::string>& args) {
    const CommandDef root = build_command_tree();
    const std::string bin = bin_name_of(args);
    CommandChain chain{&root};
    std::size_t i = 1;

    while (chain.back()->is_group()) {
        const CommandDef& cmd = *chain.back();
        const bool at_root = chain.size() == 1;
        if (i >= args.size()) {
            if (cmd.help_when_empty) return show_help(chain, bin, true);
            return usage_error(chain, bin, "a subcommand is required but one was not provided");
        }
        const std::string& a = args[i];
        if (a == "--help") return show_help(chain, bin, false);
        if (at_root && a == "--version") return version();
        if (is_option_like(a) && a[1] != '-') {
            // A cluster of short flags: only -h (and -V on the root) exist here.
            if (a[1] == 'h') return show_help(chain, bin, false);
            if (at_root && a[1] == 'V') return version();
            return usage_error(chain, bin, "unexpected argument " + in_quotes(short_as_typed(a)) + " found");
        }
        if (a == "help") {
            CommandChain target{&root};
            for (std::size_t k = 1; k < chain.size(); ++k) target.push_back(chain[k]);
            for (std::size_t j = i + 1; j < args.size(); ++j) {
                const CommandDef* sub = target.back()->find_subcommand(args[j]);
                if (!sub) return usage_error(chain, bin, "unrecognized subcommand " + in_quotes(args[j]));
                target.push_back(sub);
            }
            return show_help(target, bin, false);
        }
        if (const CommandDef* sub = cmd.find_subcommand(a)) {
            chain.push_back(sub);
            ++i;
            continue;
        }
        if (is_option_like(a)) return usage_error(chain, bin, "unexpected argument " + in_quotes(a) + " found");
        return usage_error(chain, bin, "unrecognized subcommand " + in_quotes(a));
    }

    auto leaf = parse_leaf(chain, bin, args, i);
    if (auto* end = std::get_if<ParseOutcome>(&leaf)) return *end;
    const CommandDef& cmd = *chain.back();
    // Only a leaf declared without its value and handler gets here; reported against the root.
    if (!cmd.build) return usage_error({&root}, bin, "the subcommand '" + cmd.name + "' wasn't recognized");
    ParseOutcome o;
    o.cli = Cli{cmd.build(std::get<OptionValues>(leaf))};
    return o;
}

}  // namespace qm::cli
