#include "utils/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "utils/text.hpp"
#include "utils/time.hpp"

namespace qm {

namespace {

Expected<void, FileError> write_all(int fd, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return unexpected(FileError{errno});
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

// Makes a completed rename durable; a failure here changes nothing for the caller.
void sync_directory_of(const std::filesystem::path& path) {
    auto dir = path.parent_path();
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

// A temporary file of this program being written: its path, the descriptor it is written
// through, and a read-only descriptor that holds its exclusive flock for as long as the file is
// in use. The lock sits on a descriptor of its own so that the writing one can be closed before
// the file is renamed into place.
struct HeldTemporary {
    std::string path;
    int write_fd = -1;
    int lock_fd = -1;
};

std::string temporary_path(const std::filesystem::path& dir, std::string_view name) {
    return dir.empty() ? std::string(name) : (dir / name).native();
}

void close_quietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Creates dir/prefix<random>suffix exclusively, never through a link, and takes the flock that
// tells remove_own_temporaries a live run is using it. A cleaner may get to the new file before
// the lock is taken; it then removes it, and another name is drawn.
Expected<HeldTemporary, FileError> create_held_temporary(const std::filesystem::path& dir, std::string_view prefix,
                                                         std::string_view suffix, unsigned mode) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        HeldTemporary tmp;
        tmp.path = temporary_path(dir, std::string(prefix) + random_name_part() + std::string(suffix));
        tmp.write_fd =
            ::open(tmp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
        if (tmp.write_fd < 0) {
            // A name already taken (planted, or another run's) is never reused: draw another.
            if (errno == EEXIST) continue;
            return unexpected(FileError{errno});
        }
        tmp.lock_fd = ::open(tmp.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat written, locked;
        if (tmp.lock_fd < 0 || ::fstat(tmp.write_fd, &written) != 0 || ::fstat(tmp.lock_fd, &locked) != 0 ||
            written.st_dev != locked.st_dev || written.st_ino != locked.st_ino) {
            // A cleaner removed it already (and something else may stand there now).
            close_quietly(tmp.lock_fd);
            close_quietly(tmp.write_fd);
            continue;
        }
        if (::flock(tmp.lock_fd, LOCK_EX | LOCK_NB) != 0) {
            // A cleaner holds it and removes it.
            if (errno == EWOULDBLOCK) {
                close_quietly(tmp.lock_fd);
                close_quietly(tmp.write_fd);
                continue;
            }
            // A file system without locks: the file goes unguarded, and cleaners pass it over.
            return tmp;
        }
        // A cleaner removed it before the lock was taken.
        if (::fstat(tmp.lock_fd, &locked) == 0 && locked.st_nlink == 0) {
            close_quietly(tmp.lock_fd);
            close_quietly(tmp.write_fd);
            continue;
        }
        return tmp;
    }
    return unexpected(FileError{EEXIST});
}

// Ends the writing: flushed to disk when asked, and closed for writing.
Expected<void, FileError> finish_writing(HeldTemporary& tmp, bool sync) {
    Expected<void, FileError> done;
    if (sync && ::fsync(tmp.write_fd) != 0) done = unexpected(FileError{errno});
    if (::close(tmp.write_fd) != 0 && done) done = unexpected(FileError{errno});
    tmp.write_fd = -1;
    return done;
}

// Ends the use of a temporary file: removes it unless it was renamed into place (kept), then
// lets go of its lock. The removal comes first, so no cleaner ever sees it unlocked.
void release_temporary(HeldTemporary& tmp, bool remove) {
    close_quietly(tmp.write_fd);
    if (remove) ::unlink(tmp.path.c_str());
    close_quietly(tmp.lock_fd);
}

bool is_random_name_part(std::string_view s) {
    if (s.size() != 16) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

Expected<void, FileError> copy_contents(int from, int to) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(from, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return unexpected(FileError{errno});
        }
        if (n == 0) return {};
        if (auto w = write_all(to, std::string_view(buf, static_cast<std::size_t>(n))); !w) return w;
    }
}

}  // namespace

std::string FileError::message() const { return not_regular ? "Not a regular file" : OsError{code}.message(); }

bool FileError::not_found() const { return code == ENOENT; }

namespace {

Expected<std::string, FileError> read_whole(const std::filesystem::path& path, std::size_t limit, bool itself) {
    // Without O_NONBLOCK the open of a FIFO waits for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (itself ? O_NOFOLLOW : 0));
    if (fd < 0) return unexpected(FileError{errno});
    auto fail_with = [fd](FileError e) {
        ::close(fd);
        return unexpected(e);
    };
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail_with(FileError{errno});
    if (S_ISDIR(st.st_mode)) return fail_with(FileError{EISDIR});
    if (!S_ISREG(st.st_mode)) return fail_with(FileError{EINVAL, true});
    if (itself && st.st_nlink != 1) return fail_with(FileError{EMLINK});
    if (static_cast<std::uintmax_t>(st.st_size) > limit) return fail_with(FileError{EFBIG});
    std::string out;
    // Room for the whole file at once, so that a large one is not copied while it grows.
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_with(FileError{errno});
        }
        if (n == 0) break;
        // The file may have grown since the fstat.
        if (out.size() + static_cast<std::size_t>(n) > limit) return fail_with(FileError{EFBIG});
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

}  // namespace

Expected<std::string, FileError> read_file(const std::filesystem::path& path, std::size_t limit) {
    return read_whole(path, limit, false);
}

Expected<std::string, FileError> read_file_itself(const std::filesystem::path& path, std::size_t limit) {
    return read_whole(path, limit, true);
}

bool path_exists(const std::filesystem::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool exists_following_links(const std::filesystem::path& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file_itself(const std::filesystem::path& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Expected<std::vector<std::string>, FileError> list_directory(const std::filesystem::path& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return unexpected(FileError{errno});
    std::vector<std::string> names;
    for (;;) {
        const dirent* e = ::readdir(d);
        if (!e) break;  // the end, or an entry that cannot be read: the listing stops there
        std::string_view name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(d);
    return names;
}

std::optional<std::string> read_link_target(const std::filesystem::path& path) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<std::size_t>(n) < buf.size()) {
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }
        // Possibly cut short: try again with more room.
        buf.resize(buf.size() * 2);
    }
}

Expected<void, FileError> write_file(const std::filesystem::path& path, std::string_view content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return unexpected(FileError{errno});
    auto written = write_all(fd, content);
    if (::close(fd) != 0 && written) return unexpected(FileError{errno});
    return written;
}

Expected<void, FileError> write_new_file_whole(const std::filesystem::path& path, std::string_view content) {
    const bool existed = path_exists(path);
    auto written = write_file(path, content);
    if (!written && !existed) (void)remove_file(path);
    return written;
}

Expected<void, FileError> append_to_regular_file(const std::filesystem::path& path, std::string_view bytes,
                                                 unsigned mode) {
    // Something other than a file is refused before it is opened: opening a device can act on it.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return unexpected(FileError{S_ISLNK(st.st_mode) ? ELOOP : EINVAL, !S_ISLNK(st.st_mode)});
        if (st.st_nlink != 1) return unexpected(FileError{EMLINK});
    }
    // O_NOFOLLOW and the check after the open hold when the entry is replaced in between;
    // without O_NONBLOCK a FIFO put there would hold the run until a reader came.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    static_cast<mode_t>(mode));
    if (fd < 0) return unexpected(FileError{errno});
    Expected<void, FileError> done;
    if (::fstat(fd, &st) != 0) done = unexpected(FileError{errno});
    else if (!S_ISREG(st.st_mode)) done = unexpected(FileError{EINVAL, true});
    else if (st.st_nlink != 1) done = unexpected(FileError{EMLINK});
    else done = write_all(fd, bytes);
    if (::close(fd) != 0 && done) done = unexpected(FileError{errno});
    return done;
}

Expected<void, FileError> create_new_file(const std::filesystem::path& path, std::string_view content,
                                          unsigned mode, bool sync) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return unexpected(FileError{errno});
    auto written = write_all(fd, content);
    if (written && sync && ::fsync(fd) != 0) written = unexpected(FileError{errno});
    if (::close(fd) != 0 && written) written = unexpected(FileError{errno});
    // A file cut short would pass for a whole one.
    if (!written) ::unlink(path.c_str());
    return written;
}

std::string random_name_part() {
    std::random_device rd;
    const std::uint64_t high = rd();
    return hex16(high << 32 | rd());
}

Expected<void, FileError> write_file_atomic(const std::filesystem::path& path, std::string_view content) {
    const auto dir = path.parent_path();
    const std::string prefix = path.filename().native() + ".tmp.";
    auto tmp = create_held_temporary(dir, prefix, "", 0666);
    if (!tmp) return unexpected(tmp.error());
    auto done = write_all(tmp->write_fd, content);
    if (done) done = finish_writing(*tmp, true);
    if (done && ::rename(tmp->path.c_str(), path.c_str()) != 0) done = unexpected(FileError{errno});
    release_temporary(*tmp, !done);
    if (!done) return done;
    sync_directory_of(path);
    remove_own_temporaries(dir, prefix, "");
    return {};
}

Expected<void, FileError> install_file_atomic(const std::filesystem::path& source,
                                              const std::filesystem::path& target, std::filesystem::perms mode) {
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return unexpected(FileError{errno});
    const auto dir = target.parent_path();
    const std::string prefix = "." + target.filename().native() + ".tmp.";
    auto tmp = create_held_temporary(dir, prefix, "", 0600);
    if (!tmp) {
        ::close(in);
        return unexpected(tmp.error());
    }
    auto done = copy_contents(in, tmp->write_fd);
    ::close(in);
    if (done) {
        int r;
        do r = ::fchmod(tmp->write_fd, static_cast<mode_t>(mode)); while (r != 0 && errno == EINTR);
        if (r != 0) done = unexpected(FileError{errno});
    }
    // Closed for writing before it takes the target's name: from then on any run may start it.
    if (done) done = finish_writing(*tmp, true);
    if (done && ::rename(tmp->path.c_str(), target.c_str()) != 0) done = unexpected(FileError{errno});
    release_temporary(*tmp, !done);
    if (!done) return done;
    sync_directory_of(target);
    remove_own_temporaries(dir, prefix, "");
    return {};
}

Expected<HeldFile, FileError> write_own_temporary(const std::filesystem::path& dir, std::string_view prefix,
                                                  std::string_view suffix, std::string_view content, unsigned mode) {
    auto tmp = create_held_temporary(dir, prefix, suffix, mode);
    if (!tmp) return unexpected(tmp.error());
    auto done = write_all(tmp->write_fd, content);
    if (done) done = finish_writing(*tmp, false);
    if (!done) {
        release_temporary(*tmp, true);
        return unexpected(done.error());
    }
    // While this file is held, the cleaner passes it over.
    remove_own_temporaries(dir, prefix, suffix);
    HeldFile held(std::filesystem::path(tmp->path), tmp->lock_fd);
    return held;
}

HeldFile::HeldFile(HeldFile&& other) noexcept
    : path_(std::move(other.path_)), lock_fd_(std::exchange(other.lock_fd_, -1)) {
    other.path_.clear();
}

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::move(other.path_);
        other.path_.clear();
        lock_fd_ = std::exchange(other.lock_fd_, -1);
    }
    return *this;
}

void HeldFile::remove() {
    if (!path_.empty()) ::unlink(path_.c_str());
    keep();
}

void HeldFile::keep() {
    path_.clear();
    close_quietly(lock_fd_);
}

namespace {

// Removes the regular files in dir whose names `is_own` takes for this program's temporary
// files and that no live run holds.
template <class IsOwn>
void remove_unheld_temporaries(const std::filesystem::path& dir, IsOwn is_own) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    std::vector<std::string> candidates;
    while (const dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (is_own(name)) candidates.emplace_back(name);
    }
    ::closedir(d);
    for (const auto& name : candidates) {
        const std::string path = temporary_path(dir, name);
        // Only the regular files this program makes: a link, a directory or a device of that
        // name is not its own (and a device is not opened).
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        // A file whose lock is taken belongs to a run that is still using it; where the lock
        // cannot be had at all, nobody can tell, and the file stays.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
        ::close(fd);
    }
}

}  // namespace

void remove_own_temporaries(const std::filesystem::path& dir, std::string_view prefix, std::string_view suffix) {
    remove_unheld_temporaries(dir, [&](std::string_view name) {
        return name.size() == prefix.size() + 16 + suffix.size() && name.starts_with(prefix) &&
               name.ends_with(suffix) && is_random_name_part(name.substr(prefix.size(), 16));
    });
}

void remove_own_temporaries_of_targets(const std::filesystem::path& dir, std::string_view target_suffix) {
    constexpr std::string_view kTmp = ".tmp.";
    remove_unheld_temporaries(dir, [&](std::string_view name) {
        if (name.size() < 16) return false;
        const std::string_view target_and_tmp = name.substr(0, name.size() - 16);
        if (!is_random_name_part(name.substr(name.size() - 16)) || !target_and_tmp.ends_with(kTmp)) return false;
        const std::string_view target = target_and_tmp.substr(0, target_and_tmp.size() - kTmp.size());
        return target.size() > target_suffix.size() && target.ends_with(target_suffix);
    });
}

Expected<void, FileError> remove_file(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return unexpected(FileError{errno});
    return {};
}

void create_directories_quietly(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
}

Expected<void, FileError> make_directories(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return unexpected(FileError{ec.value()});
    return {};
}

Expected<std::filesystem::path, FileError> set_aside_damaged(const Context& ctx, const std::filesystem::path& path) {
    std::string base = path.native() + ".damaged-" + format_name_stamp(ctx.clock.now());
    std::string target = base;
    for (unsigned n = 1; path_exists(target); ++n) target = base + "-" + std::to_string(n);
    if (::rename(path.c_str(), target.c_str()) != 0) return unexpected(FileError{errno});
    return std::filesystem::path(target);
}

}  // namespace qm
