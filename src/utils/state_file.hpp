// State files: the JSON files under the state directory that a command reads whole,
// changes and writes back whole. Every state-file read and write goes through here (and
// fs.hpp), so that how they are read, written and guarded is decided in one place.
//
//     auto file = load_state_file<MasterBridgeList>(ctx.path(kMasterBridgesPath));
//     if (!set_aside_if_damaged(ctx, file.state, ctx.path(kMasterBridgesPath))) return;
//     file.value.push_back(device);
//     (void)save_state_file(ctx.path(kMasterBridgesPath), file.value);
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "utils/context.hpp"
#include "utils/expected.hpp"
#include "utils/json.hpp"

namespace qm {

enum class StateFileState {
    Missing,  // no file
    Damaged,  // exists but cannot be read, is not UTF-8 or does not parse
    Loaded,
};

// A state file as found on disk.
template <class T>
struct LoadedStateFile {
    using State = StateFileState;
    State state = State::Missing;
    T value{};          // Loaded: the file's contents; otherwise T{}
    std::string error;  // Damaged: why: "Is a directory (os error 21)" and the like, or the reader's refusal
};

// The file's bytes (Loaded), or why not.
LoadedStateFile<std::string> read_state_file(const std::filesystem::path& file);

// The file read as JSON of type T, only white space after the value. The reader refuses
// bytes that are not UTF-8, so such a file is Damaged too.
template <class T>
LoadedStateFile<T> load_state_file(const std::filesystem::path& file) {
    auto text = read_state_file(file);
    LoadedStateFile<T> out;
    out.state = text.state;
    out.error = std::move(text.error);
    if (text.state != StateFileState::Loaded) return out;
    auto parsed = from_json<T>(text.value);
    if (!parsed) {
        out.state = StateFileState::Damaged;
        out.error = std::move(parsed.error().message);
        return out;
    }
    out.value = std::move(*parsed);
    return out;
}

// Before an update starts afresh over a damaged file, the file is moved out of the way
// (set_aside_damaged) so that its contents survive. True when the update may go on: the
// file was not damaged, or it has been set aside. False when moving it failed: the caller
// then leaves the file alone and skips its change.
bool set_aside_if_damaged(const Context& ctx, StateFileState state, const std::filesystem::path& file);

// Writes the text whole through write_file_atomic: a failed write leaves the old file.
// The directory is not created here.
Status write_state_file(const std::filesystem::path& file, std::string_view text);

// The value in the pretty JSON layout, written as by write_state_file.
template <class T>
Status save_state_file(const std::filesystem::path& file, const T& value) {
    return write_state_file(file, to_json_pretty(value));
}

}  // namespace qm
