#include "cli/help.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "build_id.hpp"

namespace qm::cli {

namespace {

std::string command_path(const CommandChain& chain, const std::string& bin) {
    std::string s = bin;
    for (std::size_t i = 1; i < chain.size(); ++i) s += " " + chain[i]->name;
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

std::string render_command_help(const CommandChain& chain, const std::string& bin) {
    const CommandDef& cmd = *chain.back();
    std::string s;
    if (!cmd.about.empty()) s += cmd.about + "\n\n";
    s += "Usage: " + usage_line(chain, bin) + "\n";

    if (cmd.is_group()) {
        std::vector<std::pair<std::string, std::string>> rows;
        std::vector<const CommandDef*> subs;
        for (const auto& c : cmd.subcommands) subs.push_back(&c);
        std::stable_sort(subs.begin(), subs.end(), [](const CommandDef* a, const CommandDef* b) {
            return a->display_order.value_or(999) < b->display_order.value_or(999);
        });
        for (const auto* c : subs) rows.emplace_back(c->name, c->about);
        rows.emplace_back("help", std::string(kHelpSubcommandAbout));
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
    rows.emplace_back("-h, --help", std::string(kHelpFlagAbout));
    if (chain.size() == 1) rows.emplace_back("-V, --version", std::string(kVersionFlagAbout));
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

}  // namespace

std::string usage_line(const CommandChain& chain, const std::string& bin) {
    const CommandDef& cmd = *chain.back();
    if (cmd.override_usage) return *cmd.override_usage;
    std::string s = command_path(chain, bin);
    if (cmd.is_group()) return s + " <COMMAND>";
    bool has_optional = std::any_of(cmd.options.begin(), cmd.options.end(),
                                    [](const OptionDef& o) { return !o.required && !o.hidden; });
    if (has_optional) s += " [OPTIONS]";
    for (const auto& o : cmd.options)
        if (o.required) s += " " + o.display();
    return s;
}

std::string render_help(const CommandChain& chain, const std::string& bin) {
    return chain.size() == 1 ? render_root_help(bin) : render_command_help(chain, bin);
}

std::string render_help(const CommandDef& root, const std::vector<std::string>& path, const std::string& bin) {
    CommandChain chain{&root};
    for (const auto& name : path) {
        const CommandDef* sub = chain.back()->find_subcommand(name);
        if (!sub) break;
        chain.push_back(sub);
    }
    return render_help(chain, bin);
}

std::string render_version() { return std::string(kProgramName) + " " + std::string(kVersion) + "\n"; }

}  // namespace qm::cli
