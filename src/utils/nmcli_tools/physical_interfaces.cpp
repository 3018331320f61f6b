#include <dirent.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "utils/fs.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {

std::vector<std::string> physical_interfaces_pci_order(const Context& ctx) {
    const std::string dir = ctx.path(kSysClassNet).string();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};

    // (PCI address, interface name), in directory listing order.
    std::vector<std::pair<std::string, std::string>> found;
    while (const dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "lo" || !is_valid_utf8(name)) continue;
        auto target = read_link_target(dir + "/" + name + "/device");
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
