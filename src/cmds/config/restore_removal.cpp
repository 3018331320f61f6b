#include "cmds/config/restore_removal.hpp"

#include <ostream>

#include "cmds/bridge/bridge_removal.hpp"
#include "utils/links.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/text.hpp"

namespace qm {

bool remove_tracked_not_in_backup(const Context& ctx, const std::vector<TerseRecord>& listing,
                                  const std::set<std::string>& in_backup, std::vector<std::string>& failures) {
    // An unreadable or damaged ledger tracks nothing.
    auto ledger = load_managed_resources(ctx);
    if (ledger.state != LedgerFile::State::Loaded) return false;
    const ManagedResources& m = ledger.value;
    std::set<std::string> listed;
    for (const auto& f : listing) listed.insert(trim(f[0]));
    auto goes = [&](const std::string& name) { return listed.contains(name) && !in_backup.contains(name); };
    bool removed = false;
    auto announce = [&](const std::string& name) {
        removed = true;
        ctx.out << "[-] Removing managed connection '" << name << "' (not in backup)\n";
    };

    for (const auto& bridge : m.vlan_bridges)
        if (goes(bridge)) {
            announce(bridge);
            (void)remove_bridge(ctx, bridge, "vlan_bridge", false, failures);
        }
    for (const auto& vswitch : m.vswitches)
        if (goes(vswitch)) {
            announce(vswitch);
            (void)remove_bridge(ctx, vswitch, "vswitch", false, failures);
        }
    for (const auto& bond : m.bonds)
        if (goes(bond)) {
            announce(bond);
            (void)remove_tracked_bond(ctx, bond, failures);
        }
    // Last: a removed bridge has taken its joins' pairs with it already.
    for (const auto& end : m.veth_pairs)
        if (!in_backup.contains(end) && link_present(ctx, end)) {
            announce(end);
            remove_veth_end(ctx, end, failures);
        }
    return removed;
}

}  // namespace qm
