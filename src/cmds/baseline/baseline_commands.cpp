#include "cmds/baseline/baseline_commands.hpp"

#include <ostream>

#include "cmds/baseline/baseline.hpp"
#include "utils/report.hpp"

namespace qm {

void run_baseline_command(const Context& ctx, const BaselineCommand& command) {
    if (command.auto_ && command.force) {
        ctx.err << "Error: --auto and --force are mutually exclusive\n";
        return;
    }
    if (!command.auto_ && !command.force) {
        ctx.out << kBaselineUsage;
        return;
    }
    report_error(ctx, run_baseline(ctx, command.auto_ ? BaselineMode::Auto : BaselineMode::Force));
}

const std::string_view kBaselineUsage =
    "Usage: quillmar baseline [OPTIONS]\n"
    "\n"
    "DESCRIPTION:\n"
    "    Configure baseline network setup for Ostrel appliances.\n"
    "    \n"
    "    --auto    Boot-time mode: minimal setup, respects existing vswitch0 configuration\n"
    "    --force   Manual mode: full reset to baseline configuration (requires confirmation)\n"
    "\n"
    "BASELINE CONFIGURATION:\n"
    "    Management Network:\n"
    "    - vswitch0 device with Management Network connection profile\n"
    "    - First physical interface as Management Uplink (ipv4.method=disabled)\n"
    "    - vswitch0 configured with ipv4.method=auto, ipv6.method=ignore\n"
    "\n"
    "    Physical Appliances (systemd-detect-virt == none):\n"
    "    - veth0: Internal Control Network (172.16.254.2/24)\n"
    "    - veth1: Hypervisor Network (172.16.254.1/24)\n"
    "    \n"
    "    Virtual Appliances (systemd-detect-virt != none):\n"
    "    - Second physical interface: Internal Control Network (172.16.254.2/24)\n"
    "    - No Hypervisor Network (IP assigned to VMware host interface)\n"
    "\n"
    "EXAMPLES:\n"
    "    # Boot-time automatic configuration\n"
    "    quillmar baseline --auto\n"
    "    \n"
    "    # Manual full reset (with confirmation)\n"
    "    quillmar baseline --force\n"
    "\n"
    "NOTES:\n"
    "    - Physical interfaces are detected by PCI bus order\n"
    "    - Only managed resources are affected (tracked in /var/lib/quillmar/managed_resources.json)\n"
    "    - --auto mode preserves existing vswitch0 configuration\n"
    "    - --force mode resets all managed resources to baseline\n"
    "\n";

}  // namespace qm
