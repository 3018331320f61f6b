// Who the program is: its name, its version and the commit it was built from. Every layer may
// read these; nothing here depends on the rest of the program.
#pragma once

#include <string_view>

namespace qm {

inline constexpr std::string_view kProgramName = "quillmar";
inline constexpr std::string_view kVersion = "1.0.0";

// Seven characters: the git commit the program was built from, or "0000000".
extern const char* const kBuildId;

}  // namespace qm
