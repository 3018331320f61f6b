#pragma once

namespace qm {
// Seven characters: the git commit the program was built from, or "0000000".
extern const char* const kBuildId;
}  // namespace qm
