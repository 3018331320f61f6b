#include "utils/state_file.hpp"

#include "utils/fs.hpp"

namespace qm {

LoadedStateFile<std::string> read_state_file(const std::filesystem::path& file) {
    LoadedStateFile<std::string> out;
    auto bytes = read_file(file);
    if (!bytes) {
        if (!bytes.error().not_found()) {
            out.state = StateFileState::Damaged;
            out.error = bytes.error().message();
        }
        return out;
    }
    out.state = StateFileState::Loaded;
    out.value = std::move(*bytes);
    return out;
}

bool set_aside_if_damaged(const Context& ctx, StateFileState state, const std::filesystem::path& file) {
    if (state != StateFileState::Damaged) return true;
    return set_aside_damaged(ctx, file).has_value();
}

Status write_state_file(const std::filesystem::path& file, std::string_view text) {
    if (auto written = write_file_atomic(file, text); !written) return fail(written.error().message());
    return {};
}

}  // namespace qm
