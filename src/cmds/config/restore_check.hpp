// What a restore can see of its own result once its steps have run.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cmds/config/backup_document.hpp"
#include "utils/context.hpp"

namespace qm {

// What the profile step did, for the check.
struct ProfileStepOutcome {
    std::vector<std::string> added;       // the profiles this run added, in order
    std::set<std::string> passed_over;    // backup profiles left out on purpose (their master is gone)
    // Profiles added with NetworkManager's default for an IP method the backup has as "manual":
    // (profile, "ipv4.method" or "ipv6.method").
    std::vector<std::pair<std::string, std::string>> default_methods;
};

// One text for each thing of the backup that is not on the host as the backup has it: a
// profile that is missing; a bridge this run added that is neither activated nor activating;
// a port (a profile with a master, or a veth end) whose interface is not enslaved to its
// master; an IP method left to the default. NetworkManager finishes activations after the
// program's calls return, so the check looks again, up to ten times one second apart, until
// everything holds. Profiles that are not to come up (autoconnect "no") are only asked to exist.
// `step_failures`, what the steps themselves could not do, are items as they stand.
std::vector<std::string> check_restored(const Context& ctx, const NetworkConfig& config,
                                        const ProfileStepOutcome& outcome,
                                        const std::vector<std::string>& networks_not_restored = {},
                                        const std::vector<std::string>& step_failures = {});

}  // namespace qm
