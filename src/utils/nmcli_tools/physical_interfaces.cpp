#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

// Target of a symbolic link, or absent when it cannot be read as one.
std::optional<std::string> read_link(const std::string& path) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < buf.size()) {
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }
        // Possibly cut short: try again with more room.
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

std::vector<std::string> physical_interfaces_pci_order(const Context& ctx) {
    const std::string dir = ctx.path(kSysClassNet).string();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};

    // (PCI address, interface name), in directory listing order.
    std::vector<std::pair<std::string, std::string>> found;
    while (const dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "lo" || !is_valid_utf8(name)) continue;
        auto target = read_link(dir + "/" + name + "/device");
        if (!target || !is_valid_utf8(*target)) continue;
        auto slash = target->rfind('/');
        std::string key = slash == std::string::npos ? *target : target->substr(slash + 1);
        found.emplace_back(std::move(key), std::move(name));
    }
    ::closedir(d);

    // Stable, so interfaces sharing an address keep their listing order.
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> names;
    names.reserve(found.size());
    for (auto& f : found) names.push_back(std::move(f.second));
    return names;
}

}  // namespace qm
