#include "cli/parser.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

namespace qm::cli {

namespace {

constexpr std::string_view kHelpAbout = "Print this message or the help of the given subcommand(s)";

// The commands from the root down to the one being parsed.
using Chain = std::vector<const CommandSpec*>;

std::string bin_name_of(const std::vector<std::string>& args) {
    if (args.empty() || args[0].empty()) return std::string(kProgramName);
    auto slash = args[0].find_last_of('/');
    std::string name = slash == std::string::npos ? args[0] : args[0].substr(slash + 1);
    return name.empty() ? std::string(kProgramName) : name;
}

std::string command_path(const Chain& chain, const std::string& bin) {
    std::string s = bin;
    for (std::size_t i = 1; i < chain.size(); ++i) s += " " + chain[i]->name;
    return s;
}

std::string usage_line(const Chain& chain, const std::string& bin) {
    const CommandSpec& cmd = *chain.back();
    if (cmd.override_usage) return *cmd.override_usage;
    std::string s = command_path(chain, bin);
    if (cmd.is_group()) return s + " <COMMAND>";
    bool has_optional = std::any_of(cmd.options.begin(), cmd.options.end(),
                                    [](const OptionSpec& o) { return !o.required && !o.hidden; });
    if (has_optional) s += " [OPTIONS]";
    for (const auto& o : cmd.options)
        if (o.required) s += " " + o.display();
    return s;
}

std::string pad(std::string s, std::size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

std::string render_root_help(const std::string& bin) {
    std::string text(kRootHelpTemplate);
    auto replace = [&text](std::string_view key, const std::string& value) {
        auto pos = text.find(key);
        if (pos != std::string::npos) text.replace(pos, key.size(), value);
    };
    replace("{after-help}", "");
    // The empty text before the help leaves no line of its own.
    replace("{before-help}\n", "");
    // Last, so a program name that looks like a placeholder is shown as it stands.
    replace("{usage}", bin + " <COMMAND>");
    return text;
}

std::string render_command_help(const Chain& chain, const std::string& bin) {
    const CommandSpec& cmd = *chain.back();
    std::string s;
    if (!cmd.about.empty()) s += cmd.about + "\n\n";
    s += "Usage: " + usage_line(chain, bin) + "\n";

    if (cmd.is_group()) {
        std::vector<std::pair<std::string, std::string>> rows;
        std::vector<const CommandSpec*> subs;
        for (const auto& c : cmd.subcommands) subs.push_back(&c);
        std::stable_sort(subs.begin(), subs.end(), [](const CommandSpec* a, const CommandSpec* b) {
            return a->display_order.value_or(999) < b->display_order.value_or(999);
        });
        for (const auto* c : subs) rows.emplace_back(c->name, c->about);
        rows.emplace_back("help", std::string(kHelpAbout));
        std::size_t width = 0;
        for (const auto& r : rows) width = std::max(width, r.first.size());
        s += "\nCommands:\n";
        for (const auto& r : rows) s += "  " + pad(r.first, width) + "  " + r.second + "\n";
    }

    std::vector<std::pair<std::string, std::string>> rows;
    for (const auto& o : cmd.options) {
        if (o.hidden) continue;
        std::string left = o.short_name ? std::string("-") + o.short_name + ", " : std::string("    ");
        left += o.display();
        std::string help = o.help;
        if (o.default_value) help += (help.empty() ? "" : " ") + std::string("[default: ") + *o.default_value + "]";
        rows.emplace_back(left, help);
    }
    rows.emplace_back("-h, --help", "Print help");
    if (chain.size() == 1) rows.emplace_back("-V, --version", "Print version");
    std::size_t width = 0;
    for (const auto& r : rows) width = std::max(width, r.first.size());
    s += "\nOptions:\n";
    for (const auto& r : rows) {
        std::string line = "  " + pad(r.first, width) + "  " + r.second;
        while (!line.empty() && line.back() == ' ') line.pop_back();
        s += line + "\n";
    }
    return s;
}

std::string render(const Chain& chain, const std::string& bin) {
    return chain.size() == 1 ? render_root_help(bin) : render_command_help(chain, bin);
}

ParseOutcome show_help(const Chain& chain, const std::string& bin, bool as_error) {
    ParseOutcome o;
    if (as_error) {
        o.status = 2;
        o.err = render(chain, bin);
    } else {
        o.out = render(chain, bin);
    }
    return o;
}

ParseOutcome usage_error(const Chain& chain, const std::string& bin, const std::string& message) {
    ParseOutcome o;
    o.status = 2;
    o.err = "error: " + message + "\n\nUsage: " + usage_line(chain, bin) + "\n\nFor more information, try '--help'.\n";
    return o;
}

ParseOutcome version() {
    ParseOutcome o;
    o.out = std::string(kProgramName) + " " + std::string(kVersion) + "\n";
    return o;
}

bool is_option_like(const std::string& a) { return a.size() > 1 && a[0] == '-'; }

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// "-" and the first character after it, whole even when it takes several bytes.
std::string short_as_typed(const std::string& a) {
    std::size_t n = 1;
    while (1 + n < a.size() && (static_cast<unsigned char>(a[1 + n]) & 0xC0) == 0x80) ++n;
    return "-" + a.substr(1, n);
}

// What a leaf command's options came to.
struct Match {
    std::vector<std::string> path;  // command names below the root
    std::map<std::string, std::string> values;
    std::set<std::string> flags;

    bool flag(const std::string& id) const { return flags.count(id) != 0; }
    std::optional<std::string> optional(const std::string& id) const {
        auto it = values.find(id);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    std::string text(const std::string& id) const { return optional(id).value_or(std::string()); }
    std::optional<std::uint16_t> optional_u16(const std::string& id) const {
        auto v = optional(id);
        if (!v) return std::nullopt;
        return static_cast<std::uint16_t>(std::stoul(*v));
    }
    std::uint16_t u16(const std::string& id) const { return optional_u16(id).value_or(0); }
};

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

// Parses the options of a leaf command from args[i..]; either a Match or the outcome to end with.
std::variant<Match, ParseOutcome> parse_leaf(const Chain& chain, const std::string& bin,
                                            const std::vector<std::string>& args, std::size_t i) {
    const CommandSpec& cmd = *chain.back();
    Match m;
    for (std::size_t k = 1; k < chain.size(); ++k) m.path.push_back(chain[k]->name);
    std::set<std::string> seen;

    auto take = [&](const OptionSpec& o, std::optional<std::string> joined) -> std::optional<ParseOutcome> {
        if (seen.count(o.id)) return usage_error(chain, bin, "the argument " + quoted(o.display()) + " cannot be used multiple times");
        seen.insert(o.id);
        if (o.is_flag()) {
            if (joined)
                return usage_error(chain, bin,
                                   "unexpected value " + quoted(*joined) + " for " + quoted(o.display()) +
                                       " found; no more were expected");
            m.flags.insert(o.id);
            return std::nullopt;
        }
        std::string value;
        if (joined) {
            value = *joined;
        } else if (i + 1 < args.size() && !is_option_like(args[i + 1])) {
            value = args[++i];
        } else {
            return usage_error(chain, bin, "a value is required for " + quoted(o.display()) + " but none was supplied");
        }
        if (o.type == ValueType::U16) {
            if (auto why = check_u16(value))
                return usage_error(chain, bin, "invalid value " + quoted(value) + " for " + quoted(o.display()) + ": " + *why);
        }
        m.values[o.id] = value;
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
            const OptionSpec* o = cmd.find_long(name);
            if (!o) return usage_error(chain, bin, "unexpected argument " + quoted("--" + name) + " found");
            if (auto end = take(*o, joined)) return *end;
        } else if (is_option_like(a) && a != "--") {
            char c = a[1];
            if (c == 'h') return show_help(chain, bin, false);
            const OptionSpec* o = cmd.find_short(c);
            if (!o) return usage_error(chain, bin, "unexpected argument " + quoted(short_as_typed(a)) + " found");
            std::optional<std::string> joined;
            if (a.size() > 2) joined = a[2] == '=' ? a.substr(3) : a.substr(2);
            if (auto end = take(*o, joined)) return *end;
        } else {
            return usage_error(chain, bin, "unexpected argument " + quoted(a) + " found");
        }
    }

    std::string missing;
    for (const auto& o : cmd.options) {
        if (o.required && !seen.count(o.id)) missing += "\n  " + o.display();
        if (!o.is_flag() && !seen.count(o.id) && o.default_value) m.values[o.id] = *o.default_value;
    }
    if (!missing.empty()) return usage_error(chain, bin, "the following required arguments were not provided:" + missing);
    return m;
}

// Turns a match into the command values.
Commands convert(const Match& m) {
    const auto& p = m.path;
    const std::string& top = p[0];
    const std::string sub = p.size() > 1 ? p[1] : std::string();
    Commands c;
    if (top == "bond") {
        BondCommands b;
        if (sub == "create") b.value = BondCommands::Create{m.optional("name"), m.text("members"), m.text("mode")};
        else if (sub == "change") b.value = BondCommands::Change{m.text("name"), m.optional("members"), m.optional("mode")};
        else if (sub == "delete") b.value = BondCommands::Delete{m.text("name")};
        else if (sub == "list") b.value = BondCommands::List{};
        else if (sub == "fix-boot-priorities") b.value = BondCommands::FixBootPriorities{};
        else b.value = BondCommands::Usage{};
        c.value = b;
    } else if (top == "vlan") {
        VlanCommands v;
        if (sub == "create") v.value = VlanCommands::Create{m.u16("vlan_id"), m.text("vswitch")};
        else if (sub == "delete") v.value = VlanCommands::Delete{m.u16("vlan_id"), m.flag("force")};
        else if (sub == "list") v.value = VlanCommands::List{};
        else v.value = VlanCommands::Usage{};
        c.value = v;
    } else if (top == "vswitch") {
        VswitchCommands v;
        if (sub == "create") v.value = VswitchCommands::Create{m.text("name"), m.text("uplink"), m.flag("master")};
        else if (sub == "delete") v.value = VswitchCommands::Delete{m.text("name")};
        else if (sub == "change") v.value = VswitchCommands::Change{m.text("name"), m.text("uplink"), m.flag("master")};
        else if (sub == "set-master") v.value = VswitchCommands::SetMaster{m.text("name")};
        else if (sub == "connect") v.value = VswitchCommands::Connect{m.text("bridge"), m.text("to")};
        else if (sub == "disconnect") v.value = VswitchCommands::Disconnect{m.text("bridge"), m.text("from")};
        else if (sub == "isolate") v.value = VswitchCommands::Isolate{m.text("bridge")};
        else if (sub == "quarantine") v.value = VswitchCommands::Quarantine{m.text("bridge")};
        else if (sub == "topology") v.value = VswitchCommands::Topology{};
        else if (sub == "list") v.value = VswitchCommands::List{};
        else if (sub == "veth") v.value = VswitchCommands::Veth{VethCommands{VethCommands::Restore{}}};
        else v.value = VswitchCommands::Usage{};
        c.value = v;
    } else if (top == "network") {
        NetworkCommands n;
        if (sub == "create") n.value = NetworkCommands::Create{m.text("name"), m.optional("vswitch"), m.optional_u16("vlan_id")};
        else if (sub == "delete") n.value = NetworkCommands::Delete{m.text("name"), m.flag("force")};
        else if (sub == "change") n.value = NetworkCommands::Change{m.text("name"), m.optional("vswitch"), m.optional_u16("vlan_id")};
        else if (sub == "list") n.value = NetworkCommands::List{};
        else if (sub == "attach") n.value = NetworkCommands::Attach{m.text("network"), m.text("vm")};
        else if (sub == "detach") n.value = NetworkCommands::Detach{m.text("network"), m.text("vm")};
        else if (sub == "move") n.value = NetworkCommands::Move{m.text("vm"), m.text("from"), m.text("to")};
        else n.value = NetworkCommands::Usage{};
        c.value = n;
    } else if (top == "vm") {
        VmCommands v;
        if (sub == "list") v.value = VmCommands::List{};
        else v.value = VmCommands::Usage{};
        c.value = v;
    } else if (top == "list") {
        ListCommands l;
        if (sub == "physical") l.value = ListCommands::Physical{};
        else if (sub == "interfaces") l.value = ListCommands::Interfaces{};
        else if (sub == "connections") l.value = ListCommands::Connections{};
        else l.value = ListCommands::Usage{};
        c.value = l;
    } else if (top == "config") {
        ConfigCommands k;
        if (sub == "backup") k.value = ConfigCommands::Backup{m.optional("name"), m.optional("description")};
        else if (sub == "restore") k.value = ConfigCommands::Restore{m.optional("name")};
        else if (sub == "list") k.value = ConfigCommands::List{};
        else if (sub == "info") k.value = ConfigCommands::Info{m.optional("name")};
        else if (sub == "cleanup") k.value = ConfigCommands::Cleanup{};
        else if (sub == "smart-cleanup") k.value = ConfigCommands::SmartCleanup{};
        else if (sub == "sync") k.value = ConfigCommands::Sync{};
        else if (sub == "restore-veth") k.value = ConfigCommands::RestoreVeth{};
        else k.value = ConfigCommands::Usage{};
        c.value = k;
    } else if (top == "sync-vm-interfaces") {
        c.value = Commands::SyncVmInterfaces{};
    } else if (top == "sync-vm-interfaces-usage") {
        c.value = Commands::SyncVmInterfacesUsage{};
    } else if (top == "fix-boot-priorities") {
        c.value = Commands::FixBootPriorities{};
    } else if (top == "enable-service") {
        c.value = Commands::EnableService{};
    } else if (top == "baseline") {
        c.value = Commands::Baseline{m.flag("auto"), m.flag("force")};
    } else if (top == "install-self") {
        c.value = Commands::InstallSelf{};
    } else if (top == "post-install") {
        c.value = Commands::PostInstall{};
    } else if (top == "completion") {
        c.value = Commands::Completion{m.text("shell")};
    } else {
        c.value = Commands::Usage{};
    }
    return c;
}

}  // namespace

std::string render_help(const CommandSpec& root, const std::vector<std::string>& path, const std::string& bin_name) {
    Chain chain{&root};
    for (const auto& name : path) {
        const CommandSpec* sub = chain.back()->find_subcommand(name);
        if (!sub) break;
        chain.push_back(sub);
    }
    return render(chain, bin_name);
}

ParseOutcome parse_command_line(const std::vector<std::string>& args) {
    const CommandSpec root = build_command_tree();
    const std::string bin = bin_name_of(args);
    Chain chain{&root};
    std::size_t i = 1;

    while (chain.back()->is_group()) {
        const CommandSpec& cmd = *chain.back();
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
            return usage_error(chain, bin, "unexpected argument " + quoted(short_as_typed(a)) + " found");
        }
        if (a == "help") {
            Chain target{&root};
            for (std::size_t k = 1; k < chain.size(); ++k) target.push_back(chain[k]);
            for (std::size_t j = i + 1; j < args.size(); ++j) {
                const CommandSpec* sub = target.back()->find_subcommand(args[j]);
                if (!sub) return usage_error(chain, bin, "unrecognized subcommand " + quoted(args[j]));
                target.push_back(sub);
            }
            return show_help(target, bin, false);
        }
        if (const CommandSpec* sub = cmd.find_subcommand(a)) {
            chain.push_back(sub);
            ++i;
            continue;
        }
        if (is_option_like(a)) return usage_error(chain, bin, "unexpected argument " + quoted(a) + " found");
        return usage_error(chain, bin, "unrecognized subcommand " + quoted(a));
    }

    auto leaf = parse_leaf(chain, bin, args, i);
    if (auto* end = std::get_if<ParseOutcome>(&leaf)) return *end;
    ParseOutcome o;
    o.cli = Cli{convert(std::get<Match>(leaf))};
    return o;
}

}  // namespace qm::cli
