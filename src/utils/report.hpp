// How a command shows the error value its operation returned: "Error: ", the error's text
// and a line end on standard error. The run itself still ends normally.
#pragma once

#include <ostream>

#include "utils/context.hpp"
#include "utils/expected.hpp"

namespace qm {

// A typed error (VlanError, LibvirtError) is shown through its display text.
template <class E>
void report_error(const Context& ctx, const Expected<void, E>& result) {
    if (!result) ctx.err << "Error: " << result.error().display() << "\n";
}

// A general error is shown through its message.
inline void report_error(const Context& ctx, const Status& result) {
    if (!result) ctx.err << "Error: " << result.error().message << "\n";
}

}  // namespace qm
