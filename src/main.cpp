#include <iostream>
#include <string>
#include <vector>

#include "build_id.hpp"
#include "cli/dispatch.hpp"
#include "cli/parser.hpp"
#include "cmds/config/lookup.hpp"
#include "utils/context.hpp"
#include "utils/platform.hpp"
#include "utils/process.hpp"
#include "utils/text.hpp"

namespace {

int run(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);

    // Everything below works on text; stop before any parse on an argument that is not.
    // The program path counts too: help shows its last component.
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!qm::is_valid_utf8(args[i])) {
            std::cerr << "error: argument " << i << " is not valid UTF-8: " << qm::escape_bytes(args[i]) << "\n";
            return 2;
        }
    }

    if (args.size() >= 2 && (args[1] == "-V" || args[1] == "--version")) {
        std::cout << qm::kProgramName << " " << qm::kVersion << " (" << qm::kBuildId << ")\n";
        return 0;
    }

    qm::cli::ParseOutcome parsed = qm::cli::parse_command_line(args);
    if (!parsed.cli) {
        std::cout << parsed.out;
        std::cerr << parsed.err;
        return parsed.status;
    }

    qm::PosixRunner runner({&std::cout, &std::cerr});
    qm::SystemClock clock;
    qm::RealSleeper sleeper;
    qm::LinuxPlatform platform;
    const qm::Context ctx{runner,   std::cin, std::cout, std::cerr, clock, sleeper,
                          platform, "/",      qm::process_current_directory()};

    qm::check_first_run(ctx);
    int status = qm::cli::dispatch_command(ctx, *parsed.cli);
    std::cout.flush();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    return qm::cli::run_guarded(std::cout, std::cerr, [&] { return run(argc, argv); });
}
