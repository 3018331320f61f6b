#include "utils/nmcli_tools/nmcli_tools.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "utils/host_calls.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

std::vector<std::string> nmcli(std::vector<std::string> args) {
    args.insert(args.begin(), "nmcli");
    return args;
}

// Output and error streams go to the null device; only the exit status counts.
Status run_change(const Context& ctx, const std::vector<std::string>& argv, std::string failure) {
    auto r = ctx.run(argv, RunMode::Change);
    if (!r) return fail(r.error().message());
    if (!r->success()) return fail(std::move(failure));
    return {};
}

// The exit status is tested before the output is decoded, so a failing child
// reports its fixed message even when it printed garbage.
Result<std::string> run_strict_query(const Context& ctx, const std::vector<std::string>& argv,
                                     std::string failure) {
    auto r = ctx.run(argv, RunMode::Query);
    if (!r) return fail(r.error().message());
    if (!r->success()) return fail(std::move(failure));
    return decode_utf8_strict(r->out);
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Whether one of nmcli's two terse escapes, "\:" or "\\", begins at text[i].
bool escape_at(std::string_view text, std::size_t i) {
    return text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == ':' || text[i + 1] == '\\');
}

}  // namespace

std::vector<std::string> split_terse(std::string_view line) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (escape_at(line, i)) {
            fields.back() += line[++i];
        } else if (line[i] == ':') {
            fields.emplace_back();
        } else {
            fields.back() += line[i];
        }
    }
    return fields;
}

std::string unescape_terse(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (escape_at(value, i)) ++i;
        out += value[i];
    }
    return out;
}

std::vector<TerseRecord> terse_records(std::string_view listing) {
    std::vector<TerseRecord> records;
    for (const auto& line : split_lines(listing)) records.push_back(split_terse(line));
    return records;
}

std::vector<std::string> profile_selector(const std::string& name) {
    // The words nmcli takes for its own where a profile is expected: the selectors, "filename",
    // "ifname" (after `up`), and "help" with its abbreviations.
    static constexpr std::string_view kKeywords[] = {"id",       "uuid",   "path", "apath", "filename",
                                                     "ifname",   "help",   "hel",  "he",    "h"};
    if (name.starts_with("-") || std::find(std::begin(kKeywords), std::end(kKeywords), name) != std::end(kKeywords))
        return {"id", name};
    return {name};
}

std::vector<std::string> nmcli_profile_argv(std::vector<std::string> words, const std::string& profile,
                                            const std::vector<std::string>& rest) {
    words.insert(words.begin(), "nmcli");
    for (auto& word : profile_selector(profile)) words.push_back(std::move(word));
    words.insert(words.end(), rest.begin(), rest.end());
    return words;
}

std::vector<std::string> connection_up_argv(const std::string& profile) {
    return nmcli_profile_argv({"connection", "up"}, profile);
}

std::vector<std::string> connection_down_argv(const std::string& profile) {
    return nmcli_profile_argv({"connection", "down"}, profile);
}

std::vector<std::string> connection_delete_argv(const std::string& profile) {
    return nmcli_profile_argv({"connection", "delete"}, profile);
}

std::vector<std::string> connection_delete_uuid_argv(const std::string& uuid) {
    return nmcli({"connection", "delete", "uuid", uuid});
}

std::vector<std::string> connection_modify_argv(const std::string& profile, const std::vector<std::string>& settings,
                                                std::string_view verb) {
    return nmcli_profile_argv({"connection", std::string(verb)}, profile, settings);
}

std::vector<std::string> connection_add_argv(const std::vector<std::string>& settings, std::string_view object) {
    std::vector<std::string> argv{"nmcli", std::string(object), "add"};
    argv.insert(argv.end(), settings.begin(), settings.end());
    return argv;
}

Status add_connection(const Context& ctx, const std::string& conn_type, const std::string& con_name,
                      const std::string& ifname, const std::vector<std::string>& extra) {
    auto argv = nmcli({"connection", "add", "ifname", ifname, "type", conn_type, "con-name", con_name});
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run_change(ctx, argv, "Failed to add connection " + quoted(con_name));
}

Status delete_connection(const Context& ctx, const std::string& name) {
    return run_change(ctx, connection_delete_argv(name), "Failed to delete connection " + quoted(name));
}

Status up_connection(const Context& ctx, const std::string& name) {
    return run_change(ctx, connection_up_argv(name), "Failed to bring up connection " + quoted(name));
}

Status modify_connection(const Context& ctx, const std::string& name, const std::string& property,
                         const std::string& value) {
    return run_change(ctx, connection_modify_argv(name, {property, value}),
                      "Failed to modify connection " + quoted(name) + " property " + quoted(property));
}

Status modify_connection_settings(const Context& ctx, const std::string& name,
                                  const std::vector<std::pair<std::string, std::string>>& settings) {
    std::vector<std::string> words;
    std::string properties;
    for (const auto& [property, value] : settings) {
        words.push_back(property);
        words.push_back(value);
        properties += (properties.empty() ? "" : ", ") + quoted(property);
    }
    return run_change(ctx, connection_modify_argv(name, words),
                      "Failed to modify connection " + quoted(name) + " properties " + properties);
}

Status set_autoconnect_priority(const Context& ctx, const std::string& con_name, std::uint32_t priority) {
    return run_change(ctx, connection_modify_argv(con_name, {"connection.autoconnect-priority", std::to_string(priority)}),
                      "Failed to set autoconnect priority for connection " + quoted(con_name));
}

Status create_vlan_connection(const Context& ctx, const std::string& con_name, const std::string& ifname,
                              const std::string& parent, std::uint16_t vlan_id, const std::vector<std::string>& extra) {
    std::vector<std::string> words{"vlan.parent", parent, "vlan.id", std::to_string(vlan_id)};
    words.insert(words.end(), extra.begin(), extra.end());
    return add_connection(ctx, "vlan", con_name, ifname, words);
}

bool connection_exists(const Context& ctx, const std::string& name, RunMode mode) {
    return run_succeeded(ctx, nmcli_profile_argv({"connection", "show"}, name), mode);
}

Result<std::string> get_connection_info(const Context& ctx, const std::string& name) {
    return run_strict_query(ctx, nmcli_profile_argv({"connection", "show"}, name),
                            "Failed to get connection info for " + quoted(name));
}

Result<std::string> get_all_connections(const Context& ctx) {
    return run_strict_query(ctx, nmcli({"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}),
                            "Failed to get all connections");
}

Result<std::string> get_all_devices(const Context& ctx) {
    return run_strict_query(ctx, nmcli({"device", "status"}), "Failed to get all devices");
}

std::set<std::string> in_memory_profile_names(const Context& ctx) {
    auto lines = query_lines(ctx, nmcli({"-t", "-f", "NAME,FILENAME", "connection", "show"}), RunMode::Query);
    if (!lines) return {};
    std::set<std::string> in_memory, stored;
    for (const auto& line : *lines) {
        // Both fields as nmcli escapes them; the file name is absolute.
        const auto fields = split_terse(line);
        if (fields.size() != 2 || !fields[1].starts_with('/')) continue;
        (fields[1].starts_with(kInMemoryProfileDir) ? in_memory : stored).insert(fields[0]);
    }
    for (const auto& name : stored) in_memory.erase(name);
    return in_memory;
}

// "--" is passed through: callers that care about an unset master check for it.
std::optional<std::string> get_connection_master(const Context& ctx, const std::string& name) {
    auto master = read_profile_setting_text(ctx, name, "connection.master");
    if (!master || master->empty()) return std::nullopt;
    return std::move(*master);
}

Expected<std::string, OsError> read_profile_settings(const Context& ctx, const std::string& profile,
                                                     const std::string& settings, SettingRead how) {
    auto r = ctx.run(nmcli_profile_argv({"-g", settings, "connection", "show"}, profile), how.mode);
    if (!r) return unexpected(r.error());
    if (how.success_only && !r->success()) return std::string();
    // nmcli escapes ':' and the backslash in each value it prints, one value a line; no escape spans a line.
    if (how.valid_utf8_only) return is_valid_utf8(r->out) ? unescape_terse(r->out) : std::string();
    return unescape_terse(decode_utf8_lossy(r->out));
}

Expected<std::string, OsError> read_profile_setting_text(const Context& ctx, const std::string& profile,
                                                         const std::string& setting, SettingRead how) {
    auto out = read_profile_settings(ctx, profile, setting, how);
    if (!out) return unexpected(out.error());
    return trim(*out);
}

Expected<std::optional<std::string>, OsError> read_profile_setting(const Context& ctx, const std::string& profile,
                                                                   const std::string& setting, SettingRead how) {
    auto text = read_profile_setting_text(ctx, profile, setting, how);
    if (!text) return unexpected(text.error());
    if (text->empty() || *text == "--") return std::optional<std::string>();
    return std::optional<std::string>(std::move(*text));
}

}  // namespace qm
