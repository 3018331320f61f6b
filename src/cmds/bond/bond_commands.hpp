// The `bond` commands as the command line gives them, one value per command with one field
// per option, and the handler each row of the command tree binds.
#pragma once

#include <optional>
#include <string>
#include <variant>

namespace qm {

struct Context;

struct BondCreate {
    std::optional<std::string> name;
    std::string members;
    std::string mode = "active-backup";
    bool operator==(const BondCreate&) const = default;
};

struct BondChange {
    std::string name;
    std::optional<std::string> members;
    std::optional<std::string> mode;
    bool operator==(const BondChange&) const = default;
};

struct BondDelete {
    std::string name;
    bool operator==(const BondDelete&) const = default;
};

struct BondList { bool operator==(const BondList&) const = default; };
struct BondFixBootPriorities { bool operator==(const BondFixBootPriorities&) const = default; };
struct BondUsage { bool operator==(const BondUsage&) const = default; };

struct BondCommands {
    using Create = BondCreate;
    using Change = BondChange;
    using Delete = BondDelete;
    using List = BondList;
    using FixBootPriorities = BondFixBootPriorities;
    using Usage = BondUsage;
    std::variant<Create, Change, Delete, List, FixBootPriorities, Usage> value;
    bool operator==(const BondCommands&) const = default;
};

// `bond create`: with blank members (only white space) the bond types are listed and nothing
// is created; otherwise create_bond with the members exactly as typed.
void run_bond_create(const Context& ctx, const BondCreate& command);
// `bond change`: change_bond; its error is shown after "Error: " on standard error.
void run_bond_change(const Context& ctx, const BondChange& command);
void run_bond_delete(const Context& ctx, const BondDelete& command);

// "Available bond types:" and the seven modes, one a line, on standard output.
void print_bond_types(const Context& ctx);

}  // namespace qm
