#include "cli/command_rows.hpp"

#include <charconv>

namespace qm::cli::rows::detail {

BoundOption make_option(std::string_view id, ValueType type, bool required, std::string_view value_name,
                        std::string_view help, BoundOption::Fill fill) {
    BoundOption o;
    o.def.id = std::string(id);
    o.def.long_name = o.def.id;
    for (char& c : o.def.long_name)
        if (c == '_') c = '-';
    o.def.type = type;
    o.def.required = required;
    o.def.value_name = std::string(value_name);
    o.def.help = std::string(help);
    o.fill = fill;
    return o;
}

const std::string* given(const OptionValues& found, const std::string& id) {
    auto it = found.values.find(id);
    return it == found.values.end() ? nullptr : &it->second;
}

std::optional<std::uint16_t> read_u16(const std::string* text) {
    if (!text) return std::nullopt;
    unsigned long n = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), n);
    if (ec != std::errc() || end != text->data() + text->size() || n > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(n);
}

CommandDef make_command(std::string_view name, std::string_view about) {
    CommandDef c;
    c.name = std::string(name);
    c.about = std::string(about);
    return c;
}

std::vector<BoundOption> take_options(CommandDef& def, std::initializer_list<BoundOption*> options) {
    std::vector<BoundOption> taken;
    for (BoundOption* o : options) {
        def.options.push_back(o->def);
        taken.push_back(std::move(*o));
    }
    return taken;
}

void add_leaf(CommandDef& group, CommandDef leaf, std::size_t case_index, std::vector<BoundOption> options,
              LeafBuilder build, LeafRunner run) {
    leaf.case_index = case_index;
    leaf.build = [options = std::move(options), build](const OptionValues& found) { return build(options, found); };
    leaf.run = run;
    group.subcommands.push_back(std::move(leaf));
}

void add_group(CommandDef& group, CommandDef subgroup) { group.subcommands.push_back(std::move(subgroup)); }

// Groups require a subcommand and show their help when nothing follows them.
void mark_group(CommandDef& group) {
    group.subcommand_required = true;
    group.help_when_empty = true;
}

}  // namespace qm::cli::rows::detail
