// systemd: systemctl runs and unit files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "utils/context.hpp"

namespace qm {

// `systemctl` with these arguments: stdin from the null device, both output streams captured.
RunResult systemctl(const Context& ctx, std::vector<std::string> args);

// Whether a unit file is in place: its metadata can be read, following links (a dangling
// link counts as absent), and it is not an empty file. An empty unit is what a run killed
// while writing one left behind; counted as present it would never be mended.
bool unit_file_present(const std::filesystem::path& path);

// Writes a unit file whole through a temporary file of its own and a rename (default
// permissions), so the unit is either whole or absent. What stands at the path (an empty
// unit, a dangling link) is replaced, never written through; a failed write leaves it.
Status write_unit_file(const std::filesystem::path& path, std::string_view text);

}  // namespace qm
