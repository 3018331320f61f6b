#include "cmds/config/restore_check.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <set>

#include "utils/host_calls.hpp"
#include "utils/links.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

using namespace std::chrono_literals;

constexpr int kLooks = 10;
constexpr auto kBetweenLooks = 1000ms;

// A profile with autoconnect "no" is not brought up by anything but a hand; absent means yes.
bool comes_up(const ConnectionInfo& c) { return c.autoconnect.value_or(true); }

bool can_be_port(const std::string& type) {
    return type == "ethernet" || type == "802-3-ethernet" || type == "vlan" || type == "bond";
}

// The rows of the profile listing by name (the first row of a name); the state as listed.
std::map<std::string, std::string> states_by_name(const std::vector<TerseRecord>& listing) {
    std::map<std::string, std::string> states;
    for (const auto& f : listing)
        if (f.size() >= 4) states.emplace(f[0], f[3]);
    return states;
}

// The device a master of the backup stands for: the link of that name; the interface of the
// backup's profile of that name; or the interface of the host's profile of that name or UUID.
class MasterDevices {
public:
    MasterDevices(const Context& ctx, const std::vector<ConnectionInfo>& connections)
        : ctx_(ctx), connections_(connections) {}

    std::string device_of(const std::string& master) {
        if (auto known = cache_.find(master); known != cache_.end()) return known->second;
        std::string device = resolve(master);
        cache_.emplace(master, device);
        return device;
    }

private:
    std::string resolve(const std::string& master) {
        if (link_present(ctx_, master)) return master;
        for (const auto& c : connections_)
            if (c.name == master && c.interface_name) return *c.interface_name;
        auto ifname = read_profile_setting(ctx_, master, "connection.interface-name");
        if (ifname && *ifname) return **ifname;
        return master;
    }

    const Context& ctx_;
    const std::vector<ConnectionInfo>& connections_;
    std::map<std::string, std::string> cache_;
};

std::string enslaved_text(const std::optional<std::string>& master) {
    return master ? "is on " + *master : "has no master";
}

// One look at the host.
std::vector<std::string> look(const Context& ctx, const NetworkConfig& config, const ProfileStepOutcome& outcome,
                              MasterDevices& masters) {
    std::vector<std::string> missing;
    auto listing = get_all_connection_records(ctx);
    if (!listing) return {"Could not list the profiles to check what came back: " + listing.error().message};
    const auto states = states_by_name(*listing);

    for (const auto& c : config.network_manager.connections) {
        if (c.type_ == "loopback" || outcome.passed_over.contains(c.name)) continue;
        auto row = states.find(c.name);
        if (row == states.end()) {
            missing.push_back("Profile '" + c.name + "' did not come back");
            continue;
        }
        if (!comes_up(c)) continue;
        const std::string ifname = c.interface_name.value_or("");
        if (c.type_ == "bridge" && row->second != "activated" && row->second != "activating") {
            missing.push_back("Bridge '" + c.name + "' (" + ifname + ") is not active");
        }
        if (can_be_port(c.type_) && c.master && !ifname.empty()) {
            const std::string expected = masters.device_of(*c.master);
            const auto actual = interface_master(ctx, ifname);
            if (actual != expected)
                missing.push_back("Port '" + c.name + "' is not on its master: " + ifname + " " +
                                  enslaved_text(actual) + ", not on " + expected);
        }
    }
    for (const auto& v : config.veth_connections) {
        for (const auto& [end, bridge] : {std::pair{&v.veth_name, &v.bridge1}, std::pair{&v.veth_peer, &v.bridge2}}) {
            if (on_bridge(ctx, *end, *bridge)) continue;
            missing.push_back("Veth end '" + *end + "' is not on its bridge: it " +
                              enslaved_text(interface_master(ctx, *end)) + ", not on " + *bridge);
        }
    }
    return missing;
}

}  // namespace

std::vector<std::string> check_restored(const Context& ctx, const NetworkConfig& config,
                                        const ProfileStepOutcome& outcome,
                                        const std::vector<std::string>& networks_not_restored,
                                        const std::vector<std::string>& step_failures) {
    MasterDevices masters(ctx, config.network_manager.connections);
    std::vector<std::string> missing;
    for (int round = 1;; ++round) {
        missing = look(ctx, config, outcome, masters);
        if (missing.empty() || round == kLooks) break;
        ctx.pause(kBetweenLooks);
    }
    // A veth end's port profile that NetworkManager made up in memory (older backups hold them)
    // is left out on purpose: the veth step gives the end its place, and the check sees to it.
    std::set<std::string> veth_ends;
    for (const auto& v : config.veth_connections) veth_ends.insert({v.veth_name, v.veth_peer});
    for (const auto& c : config.network_manager.connections)
        if (outcome.passed_over.contains(c.name) && !veth_ends.contains(c.interface_name.value_or(c.name)))
            missing.push_back("Port '" + c.name +
                              "' was not restored: its master is neither on this host nor in the backup");
    for (const auto& network : networks_not_restored)
        missing.push_back("Libvirt network '" + network + "' did not come back");
    for (const auto& [profile, setting] : outcome.default_methods)
        missing.push_back("Profile '" + profile + "' came back with NetworkManager's default " + setting +
                          ": the backup holds no addresses for \"manual\"");
    missing.insert(missing.end(), step_failures.begin(), step_failures.end());
    return missing;
}

}  // namespace qm
