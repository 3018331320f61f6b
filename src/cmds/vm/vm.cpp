#include "cmds/vm/vm.hpp"

#include <filesystem>
#include <optional>
#include <ostream>
#include <vector>

#include "cmds/libvirt/definition_files.hpp"
#include "utils/colours.hpp"
#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/text.hpp"
#include "utils/virsh.hpp"
#include "utils/xml.hpp"

namespace qm {

namespace {

// MAC address of the first interface of a machine definition whose source is the network.
std::optional<std::string> interface_mac_on_network(std::string_view definition, const std::string& network) {
    const std::string source = "<source network='" + xml_escape(network) + "'";
    bool inside = false;
    bool on_network = false;
    std::optional<std::string> mac;
    for (const auto& raw : split_lines(definition)) {
        auto line = trim(raw);
        if (line.starts_with("<interface ") || line == "<interface>") {
            inside = true;
            on_network = false;
            mac.reset();
        } else if (inside && line.starts_with("</interface>")) {
            if (on_network && mac) return mac;
            inside = false;
        } else if (inside) {
            if (line.starts_with("<mac ")) mac = attribute_after(line, "address='", UnclosedQuote::Absent);
            if (line.find(source) != std::string::npos) on_network = true;
        }
    }
    return std::nullopt;
}

struct VmInterface {
    std::string interface;
    std::string if_type;
    std::string source;
    std::string model;
    std::string mac;
};

struct VmInfo {
    std::string name;
    std::string state;
    std::vector<std::string> networks;
    std::vector<VmInterface> interfaces;
    bool autostart = false;
};

// `virsh dominfo` shows the setting as "Autostart:" followed by "enable" or "disable".
bool autostart_enabled(std::string_view dominfo) {
    static constexpr std::string_view kKey = "Autostart:";
    for (const auto& raw : split_lines(dominfo)) {
        const std::string line = trim(raw);
        if (line.starts_with(kKey)) return trim(std::string_view(line).substr(kKey.size())) == "enable";
    }
    return false;
}

std::optional<VmInfo> query_vm(const Context& ctx, const std::string& name) {
    VmInfo vm;
    vm.name = name;
    auto state = query_text(ctx, virsh_domain_argv("domstate", name), RunMode::Query);
    if (!state) return std::nullopt;
    vm.state = trim(*state);
    auto info = query_text(ctx, virsh_domain_argv("dominfo", name), RunMode::Query);
    if (!info) return std::nullopt;
    vm.autostart = autostart_enabled(*info);
    auto definition = query_text(ctx, virsh_domain_argv("dumpxml", name), RunMode::Query);
    if (!definition) return std::nullopt;
    for (const auto& line : split_lines(*definition)) {
        if (line.find("<source network=") == std::string::npos) continue;
        if (auto network = attribute_after(line, "network='", UnclosedQuote::Absent)) vm.networks.push_back(*network);
    }
    if (auto iflist = query_text(ctx, virsh_domain_argv("domiflist", name), RunMode::Query)) {
        for (const auto& line : split_lines(*iflist)) {
            if (line.find("Interface") != std::string::npos || line.find("---") != std::string::npos) continue;
            auto cols = split_whitespace(trim(line));
            if (cols.size() < 5) continue;
            vm.interfaces.push_back({cols[0], cols[1], cols[2], cols[3], cols[4]});
        }
    }
    return vm;
}

}  // namespace

bool vm_exists(const Context& ctx, const std::string& vm) {
    return run_succeeded(ctx, virsh_domain_argv("dominfo", vm), RunMode::QueryWithStderr);
}

LibvirtStatus attach_vm_to_network(const Context& ctx, const std::string& network, const std::string& vm) {
    ctx.out << "[+] Attaching VM '" << vm << "' to network '" << network << "'\n";
    if (!libvirt_network_exists(ctx, network)) return unexpected(LibvirtError::network_not_found(network));
    if (!vm_exists(ctx, vm)) return unexpected(LibvirtError::command_failed("VM '" + vm + "' not found"));

    auto file = write_temp_xml(ctx, definition_file_stem("network-attach", {vm, network}),
                               interface_definition_xml(network));
    if (!file) return unexpected(LibvirtError::command_failed("Failed to create temporary XML file"));
    auto r = ctx.run(virsh_domain_argv("attach-device", vm, {file->path().string(), "--live", "--config"}),
                     RunMode::Shown);
    if (!r) {
        file->keep();
        return unexpected(LibvirtError::command_failed("Failed to execute virsh: " + r.error().message()));
    }
    file->remove();
    if (!r->success())
        return unexpected(
            LibvirtError::command_failed("Failed to attach VM '" + vm + "' to network '" + network + "'"));

    ctx.out << "[+] VM '" << vm << "' successfully attached to network '" << network << "'\n";
    return {};
}

LibvirtStatus detach_vm_from_network(const Context& ctx, const std::string& network, const std::string& vm) {
    ctx.out << "[+] Detaching VM '" << vm << "' from network '" << network << "'\n";
    if (!libvirt_network_exists(ctx, network)) return unexpected(LibvirtError::network_not_found(network));
    if (!vm_exists(ctx, vm)) return unexpected(LibvirtError::command_failed("VM '" + vm + "' not found"));

    // The interface is identified by its MAC address, which the detachment matches on.
    auto definition = query_text(ctx, virsh_domain_argv("dumpxml", vm), RunMode::QueryWithStderr);
    if (!definition)
        return unexpected(LibvirtError::command_failed("Failed to execute virsh: " + definition.error().message()));
    auto mac = interface_mac_on_network(*definition, network);
    if (!mac)
        return unexpected(
            LibvirtError::command_failed("No interface found for VM '" + vm + "' on network '" + network + "'"));

    auto file = write_temp_xml(ctx, definition_file_stem("network-detach", {vm, network}),
                               interface_removal_xml(network, *mac));
    if (!file) return unexpected(LibvirtError::command_failed("Failed to create temporary XML file"));
    auto r = ctx.run(virsh_domain_argv("detach-device", vm, {file->path().string(), "--live", "--config"}),
                     RunMode::Shown);
    file->remove();
    if (!r) return unexpected(LibvirtError::command_failed("Failed to execute virsh: " + r.error().message()));
    if (!r->success())
        return unexpected(
            LibvirtError::command_failed("Failed to detach VM '" + vm + "' from network '" + network + "'"));

    ctx.out << "[+] VM '" << vm << "' successfully detached from network '" << network << "'\n";
    return {};
}

LibvirtStatus move_vm_between_networks(const Context& ctx, const std::string& vm, const std::string& from,
                                       const std::string& to) {
    ctx.out << "[+] Moving VM '" << vm << "' from network '" << from << "' to network '" << to << "'\n";
    if (!libvirt_network_exists(ctx, from)) return unexpected(LibvirtError::network_not_found(from));
    if (!libvirt_network_exists(ctx, to)) return unexpected(LibvirtError::network_not_found(to));
    if (!vm_exists(ctx, vm)) return unexpected(LibvirtError::command_failed("VM '" + vm + "' not found"));
    if (auto detached = detach_vm_from_network(ctx, from, vm); !detached) return detached;
    if (auto attached = attach_vm_to_network(ctx, to, vm); !attached) return attached;
    ctx.out << "[+] VM '" << vm << "' successfully moved from network '" << from << "' to network '" << to << "'\n";
    return {};
}

void list_vms(const Context& ctx) {
    std::vector<VmInfo> vms;
    if (auto listing = query_text(ctx, {"virsh", "list", "--all", "--name"}, RunMode::Query)) {
        for (const auto& line : split_lines(*listing)) {
            auto name = trim(line);
            if (name.empty()) continue;
            if (auto vm = query_vm(ctx, name)) vms.push_back(std::move(*vm));
        }
    }
    ctx.out << "\n=== VMs ===\n";
    if (vms.empty()) {
        ctx.out << "  (no VMs found)\n\n";
        return;
    }
    for (const auto& vm : vms) {
        ctx.out << (vm.state == "running" ? kGreen : kRed) << pad_right(vm.name, 20) << ' '
                << pad_right(vm.state, 12) << " autostart:" << (vm.autostart ? "yes" : "no") << '\n';
        for (const auto& n : vm.networks) ctx.out << "  └─ Network: " << n << '\n';
        for (const auto& i : vm.interfaces)
            ctx.out << "  └─ Interface: " << i.interface << " (" << i.if_type << ") -> " << i.source << " ["
                    << i.model << "] " << i.mac << '\n';
        ctx.out << kReset << "\n";
    }
}

}  // namespace qm
