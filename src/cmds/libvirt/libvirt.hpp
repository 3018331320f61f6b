// Libvirt networks through virsh, and the queries other commands ask about them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "utils/context.hpp"

namespace qm {

struct LibvirtError {
    enum class Kind { NetworkNotFound, NetworkInUse, CommandFailed };
    Kind kind;
    std::string name;              // NetworkNotFound, NetworkInUse
    std::vector<std::string> vms;  // NetworkInUse
    std::string message;           // CommandFailed

    static LibvirtError network_not_found(std::string name) { return {Kind::NetworkNotFound, std::move(name), {}, {}}; }
    static LibvirtError network_in_use(std::string name, std::vector<std::string> vms) {
        return {Kind::NetworkInUse, std::move(name), std::move(vms), {}};
    }
    static LibvirtError command_failed(std::string message) { return {Kind::CommandFailed, {}, {}, std::move(message)}; }

    // The text shown after "Error: ".
    std::string display() const;
    bool operator==(const LibvirtError&) const = default;
};

using LibvirtStatus = Expected<void, LibvirtError>;

struct LibvirtNetworkInfo {
    std::string name;
    std::string bridge;
    std::string state;
    bool autostart = false;
    bool persistent = false;
    bool operator==(const LibvirtNetworkInfo&) const = default;
};

std::vector<LibvirtNetworkInfo> list_libvirt_networks(const Context& ctx);
void print_libvirt_networks(const Context& ctx, const std::vector<LibvirtNetworkInfo>& networks);
LibvirtStatus create_libvirt_network(const Context& ctx, const std::string& name, const std::string& vswitch,
                                     std::optional<std::uint16_t> vlan_id);
LibvirtStatus change_network_bridge(const Context& ctx, const std::string& name, const std::string& vswitch,
                                    std::optional<std::uint16_t> vlan_id);
LibvirtStatus delete_libvirt_network(const Context& ctx, const std::string& name);
LibvirtStatus force_delete_libvirt_network(const Context& ctx, const std::string& name);
bool libvirt_network_exists(const Context& ctx, const std::string& name);
std::optional<std::string> get_network_bridge(const Context& ctx, const std::string& name);
std::vector<std::string> vms_using_network(const Context& ctx, const std::string& name);
std::vector<std::string> vms_using_bridge(const Context& ctx, const std::string& bridge);

}  // namespace qm
