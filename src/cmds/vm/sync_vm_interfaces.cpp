#include "cmds/vm/sync_vm_interfaces.hpp"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "utils/text.hpp"

namespace qm {
namespace {

// The text after the first `key` in line up to the next quote, or to the end of the line.
std::string quoted_value_after(std::string_view line, std::string_view key) {
    auto start = line.find(key);
    std::string_view rest = line.substr(start + key.size());
    return std::string(rest.substr(0, rest.find('\'')));
}

struct TapBinding {
    std::string tap;
    std::string bridge;
};

// The first point of the definition at which both a vnet target and a bridge source have been
// seen decides the pair; later lines replace earlier values until then.
std::optional<TapBinding> find_tap_binding(std::string_view definition) {
    std::optional<std::string> tap;
    std::optional<std::string> bridge;
    for (const auto& line : split_lines(definition)) {
        if (line.find("<target dev='vnet") != std::string::npos) tap = quoted_value_after(line, "dev='");
        if (line.find("bridge='") != std::string::npos) bridge = quoted_value_after(line, "bridge='");
        if (tap && bridge) return TapBinding{*tap, *bridge};
    }
    return std::nullopt;
}

}  // namespace

void sync_vm_interfaces(const Context& ctx) {
    auto listed = ctx.run({"virsh", "list", "--all", "--name"}, RunMode::QueryWithStderr);
    if (!listed) {
        ctx.err << "Failed to list VMs: " << listed.error().message() << "\n";
        return;
    }
    for (const auto& raw : split_lines(decode_utf8_lossy(listed->out))) {
        const std::string vm = trim(raw);
        if (vm.empty()) continue;

        auto xml = ctx.run({"virsh", "dumpxml", vm}, RunMode::Query);
        if (!xml) {
            ctx.err << "Failed to dumpxml: " << xml.error().message() << "\n";
            return;
        }
        auto binding = find_tap_binding(decode_utf8_lossy(xml->out));
        if (!binding) continue;

        auto link = ctx.run({"ip", "link", "show", binding->tap}, RunMode::Query);
        if (!link) {
            ctx.err << "Failed to get link status for " << binding->tap << "\n";
            return;
        }
        // Plain containment: a bridge whose name prefixes the current master's counts as attached.
        if (decode_utf8_lossy(link->out).find("master " + binding->bridge) != std::string::npos) continue;

        ctx.out << "[+] Reattaching " << binding->tap << " to " << binding->bridge << "\n";
        (void)ctx.run({"ip", "link", "set", binding->tap, "master", binding->bridge}, RunMode::Shown);
        (void)ctx.run({"ip", "link", "set", binding->tap, "up"}, RunMode::Shown);
    }
}

}  // namespace qm
