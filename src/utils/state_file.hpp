// State files: the JSON files under the state directory that a command reads whole,
// changes and writes back whole. Every state-file read and write goes through here (and
// fs.hpp), so that how they are read, written and guarded is decided in one place.
//
//     StateLock lock(ctx);  // from before the load to after the save
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

// Serialises the changes of state files between processes. Hold one from before a state file
// is loaded to after it is saved (or removed), so that two runs never lose each other's
// changes: track and untrack, the topology updates and the bridge MAC files take it, and so
// must every later read-modify-write of the state directory (sync, backups, restore).
// Never hold it while a host tool runs: one that stalls would keep every state writer
// waiting. Ask the host first, then lock, load the file afresh, change it and save it.
//
// The lock is an exclusive flock on the state directory itself, so it adds no file of its
// own; a run that finds it taken waits for it. When the directory cannot be opened (it does
// not exist yet) there is nothing to guard and held() is false; create the directory first
// where the work is to create files. Guards nest within a process: an inner guard shares
// the outer one's lock, which is let go when the outermost guard ends.
class StateLock {
public:
    explicit StateLock(const Context& ctx);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    bool held() const { return held_; }

private:
    std::string dir_;
    bool held_ = false;
};

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

// Writes the text whole through write_file_atomic: a failed write leaves the old file, and
// what killed writes of the same file left is removed (only its own temporary names that no
// live run holds). Call it under a StateLock. The directory is not created here.
Status write_state_file(const std::filesystem::path& file, std::string_view text);

// The value in the pretty JSON layout, written as by write_state_file.
template <class T>
Status save_state_file(const std::filesystem::path& file, const T& value) {
    return write_state_file(file, to_json_pretty(value));
}

}  // namespace qm
