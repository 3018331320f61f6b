#include "cli/install.hpp"

#include <filesystem>
#include <ostream>
#include <string>

#include "build_id.hpp"
#include "cli/command_tree.hpp"
#include "cli/completion.hpp"
#include "cmds/bridge/veth_units.hpp"
#include "utils/fs.hpp"
#include "utils/paths.hpp"
#include "utils/text.hpp"

namespace qm::cli {
namespace {

std::string completion_file() { return path_in(kBashCompletionDir, std::string(kProgramName) + ".bash"); }

int install_failed(const Context& ctx, const std::string& why) {
    ctx.err << "❌ Failed to install quillmar: " << why << "\n";
    return 1;
}

}  // namespace

int install_self(const Context& ctx) {
    if (ctx.platform.effective_user_id() != 0) {
        ctx.err << "❌ Must be run as root to install.\n";
        return 1;
    }
    auto self = ctx.platform.own_executable();
    if (!self) return install_failed(ctx, self.error().message());

    // Copied beside the target and renamed over it: the host keeps a working program at the
    // target throughout, also when the running program is the target itself.
    const auto target = ctx.path(kInstallTarget);
    if (auto copied = install_file_atomic(*self, target, std::filesystem::perms(0755)); !copied)
        return install_failed(ctx, copied.error().message());
    ctx.out << "✅ Installed to " << kInstallTarget << "\n";

    // The new copy writes its own completion; how it ends is its own business.
    if (auto child = ctx.run({target.string(), "post-install"}, RunMode::Shown); !child)
        return install_failed(ctx, child.error().message());
    return 0;
}

int post_install(const Context& ctx) {
    ctx.out << "🔧 Installing bash completion...\n";
    const std::string file = completion_file();
    // Through a temporary file: a script cut short would break every bash that loads it.
    if (auto written = write_file_atomic(ctx.path(file), bash_completion_script(build_command_tree())); !written) {
        ctx.err << "❌ Failed to install bash completion: " << written.error().message() << "\n";
        return 1;
    }
    ctx.out << "✅ Completion installed at: " << file << "\n";
    return 0;
}

void print_completion(const Context& ctx, const std::string& shell) {
    auto script = completion_script(shell, build_command_tree());
    if (!script) {
        ctx.err << "Unsupported shell: " << shell << "\n";
        return;
    }
    ctx.out << *script;
}

void run_completion(const Context& ctx, const Commands::Completion& command) { print_completion(ctx, command.shell); }

void enable_service(const Context& ctx) {
    ctx.out << "[+] Enabling veth persistence service from managed resources...\n";
    if (!exists_following_links(ctx.path(kManagedResourcesPath))) {
        ctx.err << "[-] Error: Managed resources file not found at " << kManagedResourcesPath << "\n";
        ctx.err << "[-] Please create some veth connections first using 'quillmar vswitch connect'\n";
        return;
    }

    const std::string unit_file = veth_restore_unit_path();
    if (exists_following_links(ctx.path(unit_file))) {
        ctx.out << "[+] Service already exists at " << unit_file << "\n";
        ctx.out << "[+] Checking service status...\n";
        auto status = ctx.run({"systemctl", "is-enabled", std::string(kVethRestoreUnit)}, RunMode::Query);
        if (!status) {
            ctx.err << "[-] Warning: Failed to check service status: " << status.error().message() << "\n";
            ctx.out << "[+] Attempting to enable service...\n";
        } else if (status->success() && trim(decode_utf8_lossy(status->out)) == "enabled") {
            ctx.out << "[+] Service is already enabled and ready\n";
            return;
        } else {
            ctx.out << "[+] Service exists but is not enabled, enabling now...\n";
        }
    }

    if (auto set_up = setup_veth_persistence_service(ctx); !set_up) {
        ctx.err << "[-] Error: Failed to create veth persistence service: " << set_up.error().message << "\n";
        ctx.err << "[-] Please check permissions and try again\n";
        return;
    }
    ctx.out << "[+] Veth persistence service created and enabled successfully\n";
    ctx.out << "[+] Service will automatically restore veth pairs on boot\n";
    ctx.out << "[+] You can test the service with: systemctl start quillmar-veth-restore\n";
}

}  // namespace qm::cli
