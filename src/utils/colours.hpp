// The terminal colours of the listings: green for what is up, red for what is not.
#pragma once

#include <string_view>

namespace qm {

inline constexpr std::string_view kGreen = "\x1b[32m";
inline constexpr std::string_view kRed = "\x1b[31m";
inline constexpr std::string_view kReset = "\x1b[0m";

}  // namespace qm
