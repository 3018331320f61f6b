#include "cmds/baseline/baseline_runs.hpp"

#include <ostream>

#include "utils/host_calls.hpp"
#include "utils/text.hpp"

namespace qm::baseline {

namespace {

// "nmcli connection add": the program and the two words that say what it does.
std::string command_words(const std::vector<std::string>& argv) {
    std::string words;
    for (std::size_t i = 0; i < argv.size() && i < 3; ++i) words += (i ? " " : "") + argv[i];
    return words;
}

// The child's complaint on one line per line it wrote, continuation lines indented.
std::string complaint(std::string_view err) {
    std::string text;
    for (const auto& line : split_lines(trim(decode_utf8_lossy(err)))) {
        if (!text.empty()) text += "\n    ";
        text += line;
    }
    return text;
}

}  // namespace

Status Changes::run(const std::string& object, const std::vector<std::string>& argv) {
    auto made = attempt(object, argv);
    if (!made) return unexpected(made.error());
    return {};
}

Result<bool> Changes::attempt(const std::string& object, const std::vector<std::string>& argv) {
    auto r = ctx_.run(argv, RunMode::QueryWithStderr);
    if (!r) return fail(r.error().message());
    if (r->success()) return true;
    ++failed_;
    ctx_.out << "[!] Warning: " << command_words(argv) << " '" << object << "' failed (" << exit_status_text(*r)
             << ")";
    if (const std::string said = complaint(r->err); !said.empty()) ctx_.out << ": " << said;
    ctx_.out << "\n";
    return false;
}

}  // namespace qm::baseline
