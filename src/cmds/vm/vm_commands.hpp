// The `vm` commands as the command line gives them. Neither takes options: the rows of the
// command tree bind list_vms and the usage text.
#pragma once

#include <variant>

namespace qm {

struct VmList { bool operator==(const VmList&) const = default; };
struct VmUsage { bool operator==(const VmUsage&) const = default; };

struct VmCommands {
    using List = VmList;
    using Usage = VmUsage;
    std::variant<List, Usage> value;
    bool operator==(const VmCommands&) const = default;
};

}  // namespace qm
