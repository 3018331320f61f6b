#include "cmds/config/restore_validation.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

// Control characters shown as \xNN, so that the error itself prints cleanly.
std::string visible(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// A value past this length is no name or setting anyone gave; one argument of a tool cannot
// exceed 128 KiB at all ("Argument list too long"), and that only after the profiles are gone.
constexpr std::size_t kMaxText = 4096;
// A definition reaches virsh as a file.
constexpr std::size_t kMaxDefinition = 4 * 1024 * 1024;
// The kernel's interface names are at most 15 bytes.
constexpr std::size_t kMaxInterface = 15;
// What a refusal shows of a long value.
constexpr std::size_t kShown = 64;

enum class Use {
    Text,       // reaches a tool as a value
    FileName,   // part of a file name
    Interface,  // an interface: a /sys path and an argument of ip
    Mac,        // an Ethernet address: six two-digit hexadecimal octets, ':' between them
};

bool is_mac(std::string_view text) { return is_hex_groups(text, {2, 2, 2, 2, 2, 2}, ':'); }

std::optional<std::string> why_unusable(std::string_view name, Use use) {
    if (name.find('\0') != std::string_view::npos) return "holds a NUL byte";
    if (name.size() > kMaxText) return "is longer than " + std::to_string(kMaxText) + " bytes";
    if (use == Use::Mac) return is_mac(name) ? std::nullopt : std::optional<std::string>("is not a MAC address");
    if (use == Use::Text) return std::nullopt;
    if (!is_single_path_component(name)) return "is not usable as a file name (empty, '.', '..' or with '/')";
    if (use == Use::Interface && name.starts_with('-')) return "begins with '-'";
    if (use == Use::Interface && name.size() > kMaxInterface)
        return "is longer than " + std::to_string(kMaxInterface) + " bytes, the longest interface name";
    return std::nullopt;
}

// The value as a refusal shows it: visible, and cut short when long.
std::string shown(std::string_view name) {
    if (name.size() <= kShown) return visible(name);
    return visible(name.substr(0, kShown)) + "...";
}

class Checker {
public:
    void check(std::string_view what, std::string_view name, Use use) {
        if (error_) return;
        if (auto why = why_unusable(name, use))
            error_ = "Refusing the backup before any change: " + std::string(what) + " '" + shown(name) + "' " + *why;
    }
    // A whole document that reaches a tool as a file: named by `what`, not shown.
    void check_document(std::string_view what, std::string_view text) {
        if (error_) return;
        std::optional<std::string> why;
        if (text.find('\0') != std::string_view::npos) why = "holds a NUL byte";
        else if (text.size() > kMaxDefinition) why = "is longer than " + std::to_string(kMaxDefinition) + " bytes";
        if (why) error_ = "Refusing the backup before any change: " + std::string(what) + " " + *why;
    }
    void check_optional(std::string_view what, const std::optional<std::string>& name, Use use) {
        if (name) check(what, *name, use);
    }
    void check_veths(const std::vector<VethConnection>& veths) {
        for (const auto& v : veths) {
            check("veth end", v.veth_name, Use::Interface);
            check("veth end", v.veth_peer, Use::Interface);
            check("veth bridge", v.bridge1, Use::Interface);
            check("veth bridge", v.bridge2, Use::Interface);
        }
    }
    Status result() const {
        if (error_) return fail(*error_);
        return {};
    }

private:
    std::optional<std::string> error_;
};

}  // namespace

Status check_backup_names(const NetworkConfig& config) {
    Checker c;
    for (const auto& p : config.network_manager.connections) {
        c.check("profile", p.name, Use::Text);
        c.check("profile type", p.type_, Use::Text);
        // A profile may be bound to no interface: added with the empty interface name.
        if (p.interface_name && !p.interface_name->empty()) c.check("interface", *p.interface_name, Use::Interface);
        const std::string setting = "setting of profile '" + shown(p.name) + "'";
        for (const auto* value : {&p.master, &p.slave_type, &p.bond_options, &p.ipv4_method, &p.ipv6_method})
            c.check_optional(setting, *value, Use::Text);
        for (const auto* value : {&p.mac_address, &p.bridge_mac_address}) c.check_optional(setting, *value, Use::Mac);
    }
    for (const auto& n : config.libvirt_networks) {
        c.check("libvirt network", n.name, Use::FileName);
        c.check_document("the definition of libvirt network '" + shown(n.name) + "'", n.xml_config);
    }
    for (const auto& [bridge, mac] : config.bridge_mac_addresses) {
        c.check("bridge", bridge, Use::Interface);
        c.check("MAC address", mac, Use::Mac);
    }
    c.check_veths(config.veth_connections);
    c.check_veths(config.bridge_topology.veth_pairs);
    for (const auto& name : config.bridge_topology.master_bridges) c.check("master bridge", name, Use::Text);
    for (const auto& [master, bridges] : config.bridge_topology.bridge_connections) {
        c.check("master bridge", master, Use::Text);
        for (const auto& bridge : bridges) c.check("joined bridge", bridge, Use::Text);
    }
    if (const auto& ledger = config.managed_resources)
        for (const auto* list : {&ledger->vswitches, &ledger->vlan_bridges, &ledger->veth_pairs, &ledger->bonds})
            for (const auto& name : *list) c.check("ledger entry", name, Use::Text);
    return c.result();
}

Status check_veth_names(const std::vector<VethConnection>& veths) {
    Checker c;
    c.check_veths(veths);
    return c.result();
}

}  // namespace qm
