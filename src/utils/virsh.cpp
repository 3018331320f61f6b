#include "utils/virsh.hpp"

#include "utils/text.hpp"

namespace qm {
namespace {

std::vector<std::string> virsh_argv(const std::string& command, const char* option, const std::string& name,
                                    const std::vector<std::string>& rest) {
    std::vector<std::string> argv{"virsh", command};
    if (name.starts_with("-")) argv.emplace_back(option);
    argv.push_back(name);
    argv.insert(argv.end(), rest.begin(), rest.end());
    return argv;
}

}  // namespace

std::vector<std::string> virsh_network_argv(const std::string& command, const std::string& network,
                                            const std::vector<std::string>& rest) {
    return virsh_argv(command, "--network", network, rest);
}

std::vector<std::string> virsh_domain_argv(const std::string& command, const std::string& domain,
                                           const std::vector<std::string>& rest) {
    return virsh_argv(command, "--domain", domain, rest);
}

}  // namespace qm
