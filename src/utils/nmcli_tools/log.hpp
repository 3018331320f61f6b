#pragma once

#include <string_view>

#include "utils/context.hpp"

namespace qm {

// Appends "<secs>.<nanos9> [INFO] <msg>\n" to /var/log/quillmar.log; silent on failure.
void log_info(const Context& ctx, std::string_view msg);

}  // namespace qm
