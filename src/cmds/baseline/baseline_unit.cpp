#include "cmds/baseline/baseline_unit.hpp"

#include <filesystem>
#include <ostream>
#include <string>

#include "utils/fs.hpp"
#include "utils/paths.hpp"
#include "utils/systemd.hpp"
#include "utils/text.hpp"

namespace qm {
namespace {

constexpr const char* kUnitName = "quillmar-baseline";

std::string unit_text() {
    return std::string(
               "[Unit]\n"
               "Description=Configure baseline network setup for Ostrel appliances\n"
               "After=network-online.target NetworkManager.service NetworkManager-wait-online.service\n"
               "Wants=network-online.target NetworkManager.service\n"
               "Requires=NetworkManager.service\n"
               "\n"
               "[Service]\n"
               "Type=oneshot\n"
               "ExecStart=") +
           std::string(kUnitProgramPath) +
           " baseline --auto\n"
           "RemainAfterExit=yes\n"
           "StandardOutput=journal\n"
           "StandardError=journal\n"
           "TimeoutStartSec=300\n"
           "TimeoutStopSec=60\n"
           "Restart=on-failure\n"
           "RestartSec=10\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

}  // namespace

Status setup_baseline_service(const Context& ctx) {
    const auto unit_file = ctx.path(path_in(kSystemdLibUnitDir, std::string(kUnitName) + ".service"));
    if (!unit_file_present(unit_file)) {
        ctx.out << "[+] Setting up baseline service for vswitch operation...\n";
        if (auto st = write_unit_file(unit_file, unit_text()); !st) return st;
        (void)systemctl(ctx, {"daemon-reload"});
        (void)systemctl(ctx, {"enable", kUnitName});
        ctx.out << "[+] Baseline service created and enabled\n";
        return {};
    }

    auto state = systemctl(ctx, {"is-enabled", kUnitName});
    if (!state) {
        ctx.out << "[!] Warning: Could not check baseline service status, continuing...\n";
        return {};
    }
    if (trim(decode_utf8_lossy(state->out)) == "enabled") {
        ctx.out << "[+] Baseline service already enabled and configured to run last\n";
        return {};
    }
    ctx.out << "[+] Enabling existing baseline service...\n";
    auto enabled = systemctl(ctx, {"enable", kUnitName});
    if (!enabled)
        ctx.out << "[!] Warning: Failed to execute systemctl enable: " << enabled.error().message() << "\n";
    else if (!enabled->success())
        ctx.out << "[!] Warning: Failed to enable baseline service: " << decode_utf8_lossy(enabled->err) << "\n";
    else
        ctx.out << "[+] Baseline service enabled\n";
    return {};
}

}  // namespace qm
