#include "cmds/bond/bond_building.hpp"

#include <chrono>
#include <ostream>

#include "utils/host_calls.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

namespace qm {

using std::chrono::milliseconds;

void build_active_backup_bond(const Context& ctx, const ActiveBackupBond& bond) {
    change_quietly(ctx, connection_add_argv({"type", "bond", "ifname", bond.device, "con-name", bond.profile, "mode",
                                             "active-backup", "bond.options", "mode=active-backup,miimon=100",
                                             "connection.autoconnect", "yes", "connection.autoconnect-slaves", "1"}));
    ctx.out << "[+] Allowing NetworkManager to process bond creation...\n";
    ctx.pause(milliseconds(300));
    change_quietly(ctx,
                   connection_modify_argv(bond.profile, {"ipv4.method", bond.ipv4_method, "ipv6.method", "ignore"}, "mod"));
    for (const auto& member : bond.members) {
        // Whatever profile the interface had would compete with its member profile.
        (void)delete_connection(ctx, member);
        change_quietly(ctx, connection_add_argv({"type", "ethernet", "ifname", member, "con-name", member, "master",
                                                 bond.device, "slave-type", "bond"}));
    }
    ctx.out << "[+] Allowing NetworkManager to process slave connections...\n";
    ctx.pause(milliseconds(500));
    // The bond's profile carries the uplink's name, not the device's.
    (void)up_connection(ctx, profile_for_device(ctx, bond.device));
    ctx.out << "[+] Allowing NetworkManager to process bond activation...\n";
    ctx.pause(milliseconds(300));
    for (const auto& member : bond.members) (void)up_connection(ctx, member);
}

}  // namespace qm
