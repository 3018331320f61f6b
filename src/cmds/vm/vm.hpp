// Virtual machines: attachment to libvirt networks and the VM list.
#pragma once

#include <string>

#include "cmds/libvirt/libvirt.hpp"

namespace qm {

LibvirtStatus attach_vm_to_network(const Context& ctx, const std::string& network, const std::string& vm);
LibvirtStatus detach_vm_from_network(const Context& ctx, const std::string& network, const std::string& vm);
LibvirtStatus move_vm_between_networks(const Context& ctx, const std::string& vm, const std::string& from,
                                       const std::string& to);
bool vm_exists(const Context& ctx, const std::string& vm);
void list_vms(const Context& ctx);

}  // namespace qm
