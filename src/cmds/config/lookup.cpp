#include "cmds/config/lookup.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <ostream>
#include <string_view>
#include <type_traits>
#include <vector>

#include "cmds/config/backup.hpp"
#include "utils/fs.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"

namespace qm {
namespace {

constexpr std::string_view kFallbackNamePrefix = "network_config_";
static_assert(kFallbackPrefix.ends_with(kFallbackNamePrefix));

// What a lookup gives: the document read whole, or only the word that it reads (all the
// first-run check before every command asks, so it keeps nothing of a large document).
struct ReadableDocument {};

// A whole backup document file.
template <class Document>
Result<Document> read_document(const std::filesystem::path& file) {
    auto bytes = read_file(file);
    if (!bytes) return fail(bytes.error().message());
    if constexpr (std::is_same_v<Document, ReadableDocument>) {
        if (auto ok = check_network_config_json(*bytes); !ok) return unexpected(ok.error());
        return ReadableDocument{};
    } else {
        return network_config_from_json(*bytes);
    }
}

// The fallback files "network_config_*.json" of the current directory, in listing order.
Result<std::vector<std::filesystem::path>> fallback_files(const Context& ctx) {
    if (!ctx.cwd) return fail(ctx.cwd.error().message());
    auto names = list_directory(*ctx.cwd);
    if (!names) return fail(names.error().message());
    std::vector<std::filesystem::path> files;
    for (const auto& name : *names) {
        if (is_valid_utf8(name) && name.starts_with(kFallbackNamePrefix) && name.ends_with(".json"))
            files.push_back(*ctx.cwd / name);
    }
    return files;
}

struct timespec modification_time(const std::filesystem::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return st.st_mtim;
}

template <class Document>
Result<Document> find_backup(const Context& ctx, const std::string& name) {
    if (auto ok = check_backup_name(name); !ok) return unexpected(ok.error());
    const std::string file = backup_file_path(name);
    if (!exists_following_links(ctx.path(file))) return fail("Backup '" + name + "' not found at " + file);
    return read_document<Document>(ctx.path(file));
}

template <class Document>
Result<Document> find_default_config(const Context& ctx) {
    for (std::string_view copy : {kSavedConfigPath, kLatestBackupPath}) {
        if (exists_following_links(ctx.path(copy))) return read_document<Document>(ctx.path(copy));
    }
    if (auto by_name = find_backup<Document>(ctx, "default")) return by_name;

    auto files = fallback_files(ctx);
    if (!files) return unexpected(files.error());
    if (files->empty()) return fail("No backup configuration found");
    std::stable_sort(files->begin(), files->end(), newer_mtime_first);
    return read_document<Document>(files->front());
}

}  // namespace

Result<NetworkConfig> load_backup(const Context& ctx, const std::string& name) {
    return find_backup<NetworkConfig>(ctx, name);
}

Result<NetworkConfig> load_default_config(const Context& ctx) { return find_default_config<NetworkConfig>(ctx); }

bool newer_mtime_first(const std::filesystem::path& a, const std::filesystem::path& b) {
    const struct timespec ta = modification_time(a);
    const struct timespec tb = modification_time(b);
    if (ta.tv_sec != tb.tv_sec) return ta.tv_sec > tb.tv_sec;
    return ta.tv_nsec > tb.tv_nsec;
}

void check_first_run(const Context& ctx) {
    if (find_default_config<ReadableDocument>(ctx)) {
        // A backup killed before its last copy left only latest_network_config.json.
        if (auto completed = complete_saved_config(ctx); !completed)
            ctx.err << "[!] Warning: " << completed.error().message << "\n";
        return;
    }
    ctx.out << "[+] First run detected - creating initial network configuration backup...\n";
    if (auto made = create_backup(ctx, std::nullopt, std::nullopt); !made)
        ctx.err << "Warning: Failed to create initial backup: " << made.error().message << "\n";
}

void list_backups(const Context& ctx) {
    auto index = load_backup_index(ctx);
    if (!index || index->backups.empty()) {
        ctx.out << "No backups found.\n";
        return;
    }
    ctx.out << "Available backups:\n"
            << pad_right("Name", 20) << " " << pad_right("Type", 12) << " " << pad_right("Created", 30)
            << " Description\n"
            << std::string(80, '-') << "\n";
    for (const auto& b : index->backups) {
        ctx.out << pad_right(b.name, 20) << " " << pad_right(b.is_default ? "Default" : "Named", 12) << " "
                << pad_right(format_listing_time(b.created_at), 30) << " "
                << b.description.value_or("No description") << "\n";
    }
    if (index->default_backup) ctx.out << "\nDefault backup: " << *index->default_backup << "\n";
}

Status show_backup_info(const Context& ctx, const std::optional<std::string>& name) {
    const std::string wanted = name.value_or("latest");
    auto config = wanted == "latest" ? load_default_config(ctx) : load_backup(ctx, wanted);
    if (!config) return unexpected(config.error());
    const BackupMetadata& m = config->metadata;
    ctx.out << "Backup Information:\n  Name: " << m.name << "\n";
    if (m.description) ctx.out << "  Description: " << *m.description << "\n";
    ctx.out << "  Created: " << format_listing_time(m.created_at) << "\n"
            << "  Version: " << m.version << "\n"
            << "  Type: " << (m.is_default ? "Default" : "Named") << "\n"
            << "  NetworkManager connections: " << config->network_manager.connections.size() << "\n"
            << "  Libvirt networks: " << config->libvirt_networks.size() << "\n"
            << "  Veth connections: " << config->veth_connections.size() << "\n"
            << "  Bridge MAC addresses: " << config->bridge_mac_addresses.size() << "\n";
    return {};
}

}  // namespace qm
