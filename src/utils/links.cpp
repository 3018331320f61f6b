#include "utils/links.hpp"

#include <ostream>

#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {

std::optional<std::string> link_ether_mac(std::string_view ip_link_output, EtherLine rule) {
    for (const auto& line : split_lines(ip_link_output)) {
        if (line.find("link/ether") == std::string::npos) continue;
        auto words = split_whitespace(line);
        if (words.size() >= 2) return words[1];
        if (rule == EtherLine::First) return std::nullopt;
    }
    return std::nullopt;
}

Expected<std::optional<std::string>, OsError> read_link_mac(const Context& ctx, const std::string& interface,
                                                            RunMode mode, EtherLine rule) {
    auto out = query_text(ctx, {"ip", "link", "show", interface}, mode);
    if (!out) return unexpected(out.error());
    return link_ether_mac(*out, rule);
}

Result<std::optional<std::string>> get_interface_mac(const Context& ctx, const std::string& interface) {
    auto mac = read_link_mac(ctx, interface, RunMode::QueryWithStderr, EtherLine::FirstWithAddress);
    if (!mac) return fail(mac.error().message());
    return *mac;
}

std::optional<std::string> get_mac_address(const Context& ctx, const std::string& device) {
    auto mac = read_link_mac(ctx, device, RunMode::Query, EtherLine::First);
    if (!mac) return std::nullopt;
    return *mac;
}

bool same_mac(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

RunResult set_link_address(const Context& ctx, const std::string& device, const std::string& mac) {
    return ctx.run({"ip", "link", "set", device, "address", mac}, RunMode::Change);
}

void set_mac_address(const Context& ctx, const std::string& device, const std::string& mac) {
    ctx.out << "[+] Restoring " << device << " MAC address to: " << mac << "\n";
    (void)set_link_address(ctx, device, mac);
}

std::optional<std::string> interface_master(const Context& ctx, const std::string& interface) {
    if (!is_single_path_component(interface)) return std::nullopt;
    auto target = read_link_target(ctx.path(kSysClassNet) / interface / "master");
    if (!target || !is_valid_utf8(*target)) return std::nullopt;
    return target->substr(target->rfind('/') + 1);
}

}  // namespace qm

namespace qm {

bool link_present(const Context& ctx, const std::string& name) {
    return is_single_path_component(name) && exists_following_links(ctx.path(kSysClassNet) / name);
}

bool on_bridge(const Context& ctx, const std::string& end, const std::string& bridge) {
    return interface_master(ctx, end) == bridge;
}

Expected<bool, OsError> put_on_bridge(const Context& ctx, const std::string& end, const std::string& bridge) {
    auto r = ctx.run({"ip", "link", "set", end, "master", bridge}, RunMode::Change);
    if (!r) return unexpected(r.error());
    return r->success();
}

}  // namespace qm
