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

// Writes a unit file whole. A unit cut short by a failed write would count as present from
// then on and never be mended, so a file this write created is removed again when it fails.
Status write_unit_file(const std::filesystem::path& path, std::string_view text);

}  // namespace qm
