#include "cmds/libvirt/libvirt.hpp"

#include <filesystem>
#include <ostream>

#include "cmds/libvirt/definition_files.hpp"
#include "utils/colours.hpp"
#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"
#include "utils/virsh.hpp"
#include "utils/xml.hpp"

namespace qm {

namespace {


// The Linux bridge a network is bound to: a VLAN bridge or a virtual switch's device.
Expected<std::string, LibvirtError> choose_bridge(const Context& ctx, const std::string& vswitch,
                                                   std::optional<std::uint16_t> vlan_id) {
    if (vlan_id) {
        const std::string n = std::to_string(*vlan_id);
        std::string bridge = "vlan" + n + "br";
        if (!device_exists(ctx, bridge))
            return unexpected(LibvirtError::command_failed(
                "VLAN " + n + " bridge '" + bridge +
                "' not found. Create the VLAN first with 'quillmar vlan create --vlan-id " + n + "'"));
        return bridge;
    }
    if (vswitch.empty()) return unexpected(LibvirtError::command_failed("Bridge name cannot be empty"));
    auto device = resolve_vswitch_device(ctx, vswitch);
    if (!device) return unexpected(LibvirtError::command_failed("Could not resolve bridge '" + vswitch + "'"));
    return *device;
}

// Shared tail of both deletions: stop the network, then drop its definition.
LibvirtStatus destroy_and_undefine(const Context& ctx, const std::string& name, const std::string& undefine_failure) {
    (void)ctx.run(virsh_network_argv("net-destroy", name), RunMode::Shown);
    auto r = ctx.run(virsh_network_argv("net-undefine", name), RunMode::Shown);
    if (!r) return unexpected(LibvirtError::command_failed("Failed to execute virsh: " + r.error().message()));
    if (!r->success()) return unexpected(LibvirtError::command_failed(undefine_failure));
    return {};
}

}  // namespace

std::string LibvirtError::display() const {
    switch (kind) {
        case Kind::NetworkNotFound: return "Libvirt network '" + name + "' not found";
        case Kind::NetworkInUse: return "Network '" + name + "' is in use by VMs: " + join(vms, ", ");
        case Kind::CommandFailed: return "Libvirt command failed: " + message;
    }
    return {};
}

std::vector<LibvirtNetworkInfo> list_libvirt_networks(const Context& ctx) {
    std::vector<LibvirtNetworkInfo> networks;
    auto text = query_text(ctx, {"virsh", "net-list", "--all"}, RunMode::QueryWithStderr);
    if (!text) return networks;
    auto lines = split_lines(*text);
    // The first two lines are the column heading and the rule under it.
    for (std::size_t l = 2; l < lines.size(); ++l) {
        auto words = split_whitespace(trim(lines[l]));
        if (words.size() < 4) continue;
        LibvirtNetworkInfo info;
        std::size_t i = 0;
        while (i < words.size() && words[i] != "active" && words[i] != "inactive") ++i;
        if (i < words.size()) {
            // Names of several words are rebuilt from everything before the state.
            info.name = join(std::vector<std::string>(words.begin(), words.begin() + i), " ");
            info.state = words[i];
            info.autostart = i + 1 < words.size() && words[i + 1] == "yes";
            info.persistent = i + 2 < words.size() ? words[i + 2] == "yes" : true;
        } else {
            info.name = words[0];
            info.state = words[1];
            info.autostart = words[2] == "yes";
            info.persistent = words[3] == "yes";
        }
        auto bridge = get_network_bridge(ctx, info.name);
        if (!bridge) continue;
        info.bridge = *bridge;
        networks.push_back(std::move(info));
    }
    return networks;
}

void print_libvirt_networks(const Context& ctx, const std::vector<LibvirtNetworkInfo>& networks) {
    ctx.out << "\n=== Libvirt Networks ===\n";
    if (networks.empty()) ctx.out << "  (no libvirt networks found)\n";
    for (const auto& n : networks) {
        ctx.out << (n.state == "active" ? kGreen : kRed) << pad_right(n.name, 20) << ' ' << pad_right(n.bridge, 12)
                << ' ' << pad_right(n.state, 8) << " autostart:" << (n.autostart ? "yes" : "no")
                << " persistent:" << (n.persistent ? "yes" : "no") << kReset << '\n';
    }
    ctx.out << '\n';
}

LibvirtStatus create_libvirt_network(const Context& ctx, const std::string& name, const std::string& vswitch,
                                     std::optional<std::uint16_t> vlan_id) {
    auto choice = choose_bridge(ctx, vswitch, vlan_id);
    if (!choice) return unexpected(choice.error());
    const std::string& bridge = *choice;
    if (vlan_id)
        ctx.out << "[+] Creating libvirt network '" << name << "' on VLAN " << *vlan_id << " bridge '" << bridge
                << "'\n";
    else
        ctx.out << "[+] Creating libvirt network '" << name << "' on bridge '" << vswitch << "'\n";

    auto file = write_temp_xml(ctx, definition_file_stem("network-create", {name, bridge}),
                               network_definition_xml(name, bridge));
    if (!file) return unexpected(LibvirtError::command_failed("Failed to write XML"));

    // Held until virsh has read it: no other run's cleanup takes it away meanwhile.
    auto defined = ctx.run({"virsh", "net-define", file->path().string()}, RunMode::Shown);
    if (!defined || !defined->success()) {
        // The definition stays in place for inspection when virsh rejects it.
        file->keep();
        return unexpected(LibvirtError::command_failed("Failed to define network"));
    }
    (void)ctx.run(virsh_network_argv("net-autostart", name), RunMode::Shown);
    (void)ctx.run(virsh_network_argv("net-start", name), RunMode::Shown);
    file->remove();

    ctx.out << "[+] Libvirt network '" << name << "' created on bridge '" << bridge << "'\n";
    return {};
}

LibvirtStatus change_network_bridge(const Context& ctx, const std::string& name, const std::string& vswitch,
                                    std::optional<std::uint16_t> vlan_id) {
    auto choice = choose_bridge(ctx, vswitch, vlan_id);
    if (!choice) return unexpected(choice.error());
    const std::string& bridge = *choice;
    if (vlan_id)
        ctx.out << "[+] Changing libvirt network '" << name << "' to VLAN " << *vlan_id << " bridge '" << bridge
                << "'\n";
    else
        ctx.out << "[+] Changing libvirt network '" << name << "' to vSwitch '" << vswitch << "'\n";

    if (!libvirt_network_exists(ctx, name)) return unexpected(LibvirtError::network_not_found(name));
    if (auto vms = vms_using_network(ctx, name); !vms.empty())
        return unexpected(LibvirtError::network_in_use(name, std::move(vms)));
    if (auto deleted = delete_libvirt_network(ctx, name); !deleted) return deleted;
    if (auto created = create_libvirt_network(ctx, name, vswitch, vlan_id); !created) return created;

    ctx.out << "[+] Network '" << name << "' successfully moved to bridge '" << bridge << "'\n";
    return {};
}

LibvirtStatus delete_libvirt_network(const Context& ctx, const std::string& name) {
    ctx.out << "[+] Deleting libvirt network '" << name << "'\n";
    if (!libvirt_network_exists(ctx, name)) return unexpected(LibvirtError::network_not_found(name));
    if (auto vms = vms_using_network(ctx, name); !vms.empty())
        return unexpected(LibvirtError::network_in_use(name, std::move(vms)));
    if (auto done = destroy_and_undefine(ctx, name, "Failed to undefine network '" + name + "'"); !done) return done;
    ctx.out << "[+] Libvirt network '" << name << "' deleted successfully\n";
    return {};
}

LibvirtStatus force_delete_libvirt_network(const Context& ctx, const std::string& name) {
    ctx.out << "[!] Force deleting libvirt network '" << name << "'\n";
    if (auto done = destroy_and_undefine(ctx, name, "Failed to force delete network '" + name + "'"); !done)
        return done;
    ctx.out << "[+] Network '" << name << "' force deleted\n";
    return {};
}

bool libvirt_network_exists(const Context& ctx, const std::string& name) {
    return run_succeeded(ctx, virsh_network_argv("net-info", name), RunMode::QueryWithStderr);
}

std::optional<std::string> get_network_bridge(const Context& ctx, const std::string& name) {
    auto text = query_text(ctx, virsh_network_argv("net-dumpxml", name), RunMode::QueryWithStderr);
    if (!text) return std::nullopt;
    static constexpr std::string_view kPrefix = "<bridge name='";
    for (const auto& line : split_lines(*text)) {
        auto t = trim(line);
        if (t.starts_with(kPrefix)) return attribute_after(t, kPrefix, UnclosedQuote::RestOfLine);
    }
    return std::nullopt;
}

std::vector<std::string> vms_using_network(const Context& ctx, const std::string& name) {
    std::vector<std::string> vms;
    auto listing = query_text(ctx, {"virsh", "list", "--all", "--name"}, RunMode::QueryWithStderr);
    if (!listing) return vms;
    // Definitions print names escaped, as they were written.
    const std::string needle = "<source network='" + xml_escape(name) + "'";
    for (const auto& line : split_lines(*listing)) {
        auto vm = trim(line);
        if (vm.empty()) continue;
        auto xml = query_text(ctx, virsh_domain_argv("dumpxml", vm), RunMode::QueryWithStderr);
        if (!xml) continue;
        if (xml->find(needle) != std::string::npos) vms.push_back(vm);
    }
    return vms;
}

std::vector<std::string> vms_using_bridge(const Context& ctx, const std::string& bridge) {
    std::vector<std::string> vms;
    auto listing = query_text(ctx, {"virsh", "list", "--all", "--name"}, RunMode::QueryWithStderr);
    if (!listing) return vms;
    const std::string direct = "source bridge='" + xml_escape(bridge) + "'";
    static constexpr std::string_view kNetwork = "<source network='";
    for (const auto& line : split_lines(*listing)) {
        auto vm = trim(line);
        if (vm.empty()) continue;
        auto xml = query_text(ctx, virsh_domain_argv("dumpxml", vm), RunMode::QueryWithStderr);
        if (!xml) return {};
        if (xml->find(direct) != std::string::npos) {
            vms.push_back(vm);
            continue;
        }
        for (const auto& def_line : split_lines(*xml)) {
            auto t = trim(def_line);
            if (!t.starts_with(kNetwork)) continue;
            auto network = attribute_after(t, kNetwork, UnclosedQuote::RestOfLine);
            if (get_network_bridge(ctx, *network) == bridge) vms.push_back(vm);
            break;
        }
    }
    return vms;
}

}  // namespace qm
