// The names of a backup document, checked before a restore changes anything: a name that cannot
// reach a host tool or a path as it stands would stop the restore half-way.
#pragma once

#include <vector>

#include "cmds/config/backup_document.hpp"
#include "utils/context.hpp"

namespace qm {

// Refuses the whole document, with one error naming the first unusable text, when:
//  - any text that reaches a host tool or a file holds a NUL byte (no argument can carry one);
//  - a name that becomes part of a file or /sys path is not one path component (the libvirt
//    networks' names, and the interface names: the profiles' interfaces, the bridges of the
//    MAC map and the veth pairs' ends and bridges);
//  - an interface name begins with '-' (ip would read it as an option) or is longer than the
//    kernel's 15 bytes;
//  - a MAC address (the bridges' and the profiles' own) is not six hexadecimal octets with ':';
//  - a text is longer than 4096 bytes, or a libvirt definition (checked for NUL too) than 4 MiB.
Status check_backup_names(const NetworkConfig& config);
// The same for the veth pairs alone (`config restore-veth`).
Status check_veth_names(const std::vector<VethConnection>& veths);

}  // namespace qm
