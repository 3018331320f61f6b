// The small XML documents handed to virsh, and the private files that carry them.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

#include "utils/context.hpp"
#include "utils/fs.hpp"

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

// The stem of the definition files of one command run: the command word, then each argument
// after a '_', with every byte outside [A-Za-z0-9-] written as %XX. So different commands or
// arguments never share a stem; one past the length a file name allows is cut and ends in '~'
// and a hash of the whole.
std::string definition_file_stem(std::string_view command, std::initializer_list<std::string_view> arguments);

// Writes content to a fresh private file in the temporary directory, named stem + "." + random
// + ".xml", and gives it held: keep the object until virsh has read the file, so that no other
// run's cleanup removes it meanwhile. The files of that stem that killed runs left there are
// removed (remove_own_temporaries).
Result<HeldFile> write_temp_xml(const Context& ctx, const std::string& stem, std::string_view content);

}  // namespace qm
