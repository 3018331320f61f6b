// The small XML documents handed to virsh, and the private files that carry them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "utils/context.hpp"

namespace qm {

// Names inside the documents below are escaped (xml_escape).
// A bridge-forward network bound to an existing Linux bridge.
std::string network_definition_xml(std::string_view name, std::string_view bridge);
// A virtio interface on a libvirt network, as attached to a machine.
std::string interface_definition_xml(std::string_view network);
// The interface with this MAC address on a libvirt network, as named to a detachment.
std::string interface_removal_xml(std::string_view network, std::string_view mac);

// Creates a new file holding content, readable by the owner only. Fails when anything (a file,
// a symbolic link) already stands at the path: an existing entry is never followed or reused.
Status write_new_private_file(const std::filesystem::path& path, std::string_view content);

// Writes content to a fresh file in the temporary directory, named stem + "." + random + ".xml"
// (a '/' in stem becomes '_'), and returns its path. The files of that stem that killed runs
// left there are removed (remove_own_temporaries).
Result<std::filesystem::path> write_temp_xml(const Context& ctx, std::string_view stem, std::string_view content);

}  // namespace qm
