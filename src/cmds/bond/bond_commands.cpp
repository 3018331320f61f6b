#include "cmds/bond/bond_commands.hpp"

#include <ostream>

#include "cmds/bond/bond.hpp"
#include "utils/report.hpp"
#include "utils/text.hpp"

namespace qm {

void run_bond_create(const Context& ctx, const BondCreate& command) {
    if (trim(command.members).empty()) return print_bond_types(ctx);
    create_bond(ctx, command.name, command.members, command.mode);
}

void run_bond_change(const Context& ctx, const BondChange& command) {
    report_error(ctx, change_bond(ctx, command.name, command.members, command.mode));
}

void run_bond_delete(const Context& ctx, const BondDelete& command) { delete_bond(ctx, command.name); }

void print_bond_types(const Context& ctx) {
    ctx.out << "Available bond types:\n"
               "  - balance-rr\n"
               "  - active-backup\n"
               "  - balance-xor\n"
               "  - broadcast\n"
               "  - 802.3ad\n"
               "  - balance-tlb\n"
               "  - balance-alb\n";
}

}  // namespace qm
