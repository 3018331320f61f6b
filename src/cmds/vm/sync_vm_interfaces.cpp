#include "cmds/vm/sync_vm_interfaces.hpp"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "utils/host_calls.hpp"
#include "utils/text.hpp"
#include "utils/virsh.hpp"
#include "utils/xml.hpp"

namespace qm {
namespace {

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
        // Each key is on the line, so each value is there too (up to the end of the line at most).
        if (line.find("<target dev='vnet") != std::string::npos)
            tap = quoted_after(line, "dev='", UnclosedQuote::RestOfLine);
        if (line.find("bridge='") != std::string::npos)
            bridge = quoted_after(line, "bridge='", UnclosedQuote::RestOfLine);
        if (tap && bridge) return TapBinding{*tap, *bridge};
    }
    return std::nullopt;
}

}  // namespace

void sync_vm_interfaces(const Context& ctx) {
    auto listed = query_lines(ctx, {"virsh", "list", "--all", "--name"}, RunMode::QueryWithStderr);
    if (!listed) {
        ctx.err << "Failed to list VMs: " << listed.error().message() << "\n";
        return;
    }
    for (const auto& raw : *listed) {
        const std::string vm = trim(raw);
        if (vm.empty()) continue;

        auto xml = query_text(ctx, virsh_domain_argv("dumpxml", vm), RunMode::Query);
        if (!xml) {
            ctx.err << "Failed to dumpxml: " << xml.error().message() << "\n";
            return;
        }
        auto binding = find_tap_binding(*xml);
        if (!binding) continue;

        auto link = query_text(ctx, {"ip", "link", "show", binding->tap}, RunMode::Query);
        if (!link) {
            ctx.err << "Failed to get link status for " << binding->tap << "\n";
            return;
        }
        // Plain containment: a bridge whose name prefixes the current master's counts as attached.
        if (link->find("master " + binding->bridge) != std::string::npos) continue;

        ctx.out << "[+] Reattaching " << binding->tap << " to " << binding->bridge << "\n";
        (void)ctx.run({"ip", "link", "set", binding->tap, "master", binding->bridge}, RunMode::Shown);
        (void)ctx.run({"ip", "link", "set", binding->tap, "up"}, RunMode::Shown);
    }
}

}  // namespace qm
