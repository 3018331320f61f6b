#include "cmds/list/list.hpp"

#include <dirent.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "utils/fs.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

// A sysfs attribute as text, trimmed; absent when it cannot be read or is not UTF-8.
std::optional<std::string> read_attribute(const std::filesystem::path& path) {
    auto bytes = read_file(path);
    if (!bytes || !is_valid_utf8(*bytes)) return std::nullopt;
    return trim(*bytes);
}

std::string link_state(const std::filesystem::path& dir) {
    auto carrier = read_attribute(dir / "carrier");
    if (carrier == "1") return "link up";
    if (carrier == "0") return "link down";
    return "unknown";
}

std::string speed_text(std::uint16_t speed) {
    switch (speed) {
        case 10: return "Ethernet 10baseT";
        case 100: return "Ethernet 100baseT";
        case 1000: return "Ethernet 1000baseT";
        case 2500: return "Ethernet 2.5GbaseT";
        case 10000: return "Ethernet 10GbaseT";
        default: return "Ethernet (unknown speed)";
    }
}

void print_lines(const Context& ctx, const std::string& text) {
    for (const auto& line : split_lines(text)) ctx.out << line << "\n";
}

}  // namespace

std::string query_link_speed(const Context& ctx, const std::string& name) {
    auto speed = ctx.platform.link_speed(name);
    if (!speed) return "unknown";
    return speed_text(*speed);
}

void list_physical_interfaces(const Context& ctx) {
    ctx.out << "\n=== Physical Interfaces ===\n";
    const auto dir = ctx.path(kSysClassNet);
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    // Listing order, not sorted: the order the kernel keeps the entries in.
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || name == "lo" || !is_valid_utf8(name)) continue;
        const auto entry = dir / name;
        if (!exists_following_links(entry / "device")) continue;
        const std::string state = link_state(entry);
        const std::string speed = query_link_speed(ctx, name);
        const std::string mac = read_attribute(entry / "address").value_or("unknown");
        ctx.out << name << " " << mac << " [" << state << "] - " << speed << "\n";
    }
    ::closedir(d);
}

void list_interfaces(const Context& ctx) {
    ctx.out << "\n=== Interfaces (nmcli device status) ===\n";
    auto devices = get_all_devices(ctx);
    if (!devices) {
        ctx.out << "Failed to get device status\n";
        return;
    }
    print_lines(ctx, *devices);
}

void list_connections(const Context& ctx) {
    ctx.out << "\n=== Connections (nmcli connection show) ===\n";
    auto connections = get_all_connections(ctx);
    if (!connections) {
        ctx.out << "Failed to get connections\n";
        return;
    }
    print_lines(ctx, *connections);
}

}  // namespace qm
