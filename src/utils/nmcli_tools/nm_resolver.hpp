// A snapshot of every NetworkManager profile, taken once per command that needs it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "utils/context.hpp"

namespace qm {

struct NmConnection {
    std::string name;
    std::string uuid;
    std::string device;     // empty when the profile is not active on a device
    std::string conn_type;  // as nmcli prints it, e.g. "bond", "802-3-ethernet"; may be empty
    std::optional<std::string> master;
    std::optional<std::string> controller;
    std::optional<std::string> slave_type;
    bool operator==(const NmConnection&) const = default;
};

class NmResolver {
public:
    // Lists the profiles, then reads master and slave type of each one (the controller stays
    // unset: this NetworkManager refuses connection.controller).
    // Fails only when nmcli cannot be started for the listing.
    static Result<NmResolver> create(const Context& ctx);

    // (bond profile name, member texts "device (name)") for every bond profile.
    // Callers must not rely on the order of bonds or of members.
    std::vector<std::pair<std::string, std::vector<std::string>>> bonds_with_members() const;

    // Profile name -> record; of two profiles with the same name the later-listed one stays.
    std::map<std::string, NmConnection> by_name;
};

}  // namespace qm
