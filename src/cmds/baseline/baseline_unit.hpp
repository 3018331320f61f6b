#pragma once

#include "utils/context.hpp"

namespace qm {

// Makes sure the baseline boot unit exists and is enabled.
Status setup_baseline_service(const Context& ctx);

}  // namespace qm
