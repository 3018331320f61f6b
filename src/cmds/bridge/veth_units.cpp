#include "cmds/bridge/veth_units.hpp"

#include <filesystem>
#include <ostream>
#include <string>

#include "utils/fs.hpp"
#include "utils/paths.hpp"
#include "utils/systemd.hpp"

namespace qm {
namespace {

constexpr const char* kCheckUnit = "quillmar-veth-check";

std::string unit_file(const std::string& unit) { return path_in(kSystemdUnitDir, unit); }

std::string restore_service_text() {
    return std::string("[Unit]\n"
                       "Description=Restore quillmar veth pairs on boot\n"
                       "After=network-online.target NetworkManager.service quillmar-baseline.service\n"
                       "Before=NetworkManager-wait-online.service\n"
                       "Wants=NetworkManager.service quillmar-baseline.service\n"
                       "Requires=quillmar-baseline.service\n"
                       "\n"
                       "[Service]\n"
                       "Type=oneshot\n"
                       "ExecStart=") +
           std::string(kUnitProgramPath) +
           " vswitch veth restore\n"
           "RemainAfterExit=yes\n"
           "StandardOutput=journal\n"
           "StandardError=journal\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::string check_service_text() {
    return std::string("[Unit]\n"
                       "Description=Check and restore quillmar veth pairs and masters\n"
                       "After=network-online.target NetworkManager.service quillmar-baseline.service "
                       "quillmar-veth-restore.service\n"
                       "Wants=NetworkManager.service\n"
                       "\n"
                       "[Service]\n"
                       "Type=oneshot\n"
                       "ExecStart=") +
           std::string(kUnitProgramPath) +
           " vswitch veth restore\n"
           "StandardOutput=journal\n"
           "StandardError=journal\n";
}

std::string check_timer_text() {
    return std::string("[Unit]\n"
                       "Description=Periodic check for quillmar veth pairs and masters\n"
                       "Requires=") +
           kCheckUnit +
           ".service\n"
           "\n"
           "[Timer]\n"
           "OnBootSec=5min\n"
           "OnUnitActiveSec=3min\n"
           "AccuracySec=1min\n"
           "\n"
           "[Install]\n"
           "WantedBy=timers.target\n";
}

}  // namespace

std::string veth_restore_unit_path() { return unit_file(std::string(kVethRestoreUnit) + ".service"); }

Status setup_veth_persistence_service(const Context& ctx) {
    const auto restore_file = ctx.path(veth_restore_unit_path());
    // A dangling link or an empty file counts as no unit file: the unit still has to be written.
    if (!unit_file_present(restore_file)) {
        ctx.out << "[+] Creating systemd service for veth persistence...\n";
        if (auto st = write_unit_file(restore_file, restore_service_text()); !st) return st;
    }
    // Neither the start nor the exit status of systemctl matters here.
    (void)systemctl(ctx, {"daemon-reload"});
    (void)systemctl(ctx, {"enable", std::string(kVethRestoreUnit)});
    ctx.out << "[+] Systemd service '" << kVethRestoreUnit << "' created and enabled\n";
    ctx.out << "[+] Veth pairs will be automatically restored on boot\n";

    const auto timer_file = ctx.path(unit_file(std::string(kCheckUnit) + ".timer"));
    if (unit_file_present(timer_file)) return {};

    ctx.out << "[+] Creating systemd timer for periodic veth pair checking...\n";
    Status written = write_unit_file(ctx.path(unit_file(std::string(kCheckUnit) + ".service")), check_service_text());
    if (written) written = write_unit_file(timer_file, check_timer_text());
    if (!written) {
        ctx.err << "[-] Warning: Failed to create veth check timer: " << written.error().message << "\n";
        return {};
    }
    const std::string timer_unit = std::string(kCheckUnit) + ".timer";
    (void)systemctl(ctx, {"daemon-reload"});
    (void)systemctl(ctx, {"enable", timer_unit});
    (void)systemctl(ctx, {"start", timer_unit});
    ctx.out << "[+] Systemd timer '" << kCheckUnit << "' created and started\n";
    ctx.out << "[+] Veth pairs will be checked and restored every 3 minutes if needed\n";
    return {};
}

}  // namespace qm
