// The `list` commands as the command line gives them. None takes options: the rows of the
// command tree bind the listings of list.hpp and the usage text.
#pragma once

#include <variant>

namespace qm {

struct ListPhysical { bool operator==(const ListPhysical&) const = default; };
struct ListInterfaces { bool operator==(const ListInterfaces&) const = default; };
struct ListConnections { bool operator==(const ListConnections&) const = default; };
struct ListUsage { bool operator==(const ListUsage&) const = default; };

struct ListCommands {
    using Physical = ListPhysical;
    using Interfaces = ListInterfaces;
    using Connections = ListConnections;
    using Usage = ListUsage;
    std::variant<Physical, Interfaces, Connections, Usage> value;
    bool operator==(const ListCommands&) const = default;
};

}  // namespace qm
