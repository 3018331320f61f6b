// Argument vectors for the virsh commands that name one network or one domain. virsh reads a
// word beginning with "--" as an option even where the name belongs ("net-info --help" prints
// help and exits 0), so a name beginning with "-" goes after "--network" or "--domain", which
// virsh takes literally. Any other name stays in its place, so those vectors are as they were.
#pragma once

#include <string>
#include <vector>

namespace qm {

// "virsh", `command`, the network, then `rest`.
std::vector<std::string> virsh_network_argv(const std::string& command, const std::string& network,
                                            const std::vector<std::string>& rest = {});
// "virsh", `command`, the domain, then `rest`.
std::vector<std::string> virsh_domain_argv(const std::string& command, const std::string& domain,
                                           const std::vector<std::string>& rest = {});

}  // namespace qm
