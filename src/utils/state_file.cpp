#include "utils/state_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "utils/fs.hpp"
#include "utils/paths.hpp"

namespace qm {

namespace {

// An flock belongs to an open file description: a second descriptor of the same directory
// in this process would wait for the first one for ever. So the process keeps one
// descriptor per locked directory and counts the guards that share it. This mirrors a
// per-process resource of the kernel, which is why it is not part of the Context.
struct HeldLock {
    std::string dir;
    int fd;
    int guards;
};

std::vector<HeldLock>& held_locks() {
    static std::vector<HeldLock> locks;
    return locks;
}

HeldLock* find_held(const std::string& dir) {
    for (auto& l : held_locks())
        if (l.dir == dir) return &l;
    return nullptr;
}

}  // namespace

StateLock::StateLock(const Context& ctx) : dir_(ctx.path(kStateDir).native()) {
    if (HeldLock* held = find_held(dir_)) {
        ++held->guards;
        held_ = true;
        return;
    }
    int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    int locked;
    do locked = ::flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        ::close(fd);
        return;
    }
    held_locks().push_back({dir_, fd, 1});
    held_ = true;
}

StateLock::~StateLock() {
    if (!held_) return;
    auto& locks = held_locks();
    for (auto it = locks.begin(); it != locks.end(); ++it) {
        if (it->dir != dir_) continue;
        if (--it->guards == 0) {
            // Closing the only descriptor lets go of the lock.
            ::close(it->fd);
            locks.erase(it);
        }
        return;
    }
}

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
