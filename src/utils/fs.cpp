#include "utils/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

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

Expected<std::string, FileError> read_file(const std::filesystem::path& path, std::size_t limit) {
    // Without O_NONBLOCK the open of a FIFO waits for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return unexpected(FileError{errno});
    auto fail_with = [fd](FileError e) {
        ::close(fd);
        return unexpected(e);
    };
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail_with(FileError{errno});
    if (S_ISDIR(st.st_mode)) return fail_with(FileError{EISDIR});
    if (!S_ISREG(st.st_mode)) return fail_with(FileError{EINVAL, true});
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
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return unexpected(FileError{S_ISLNK(st.st_mode) ? ELOOP : EINVAL, !S_ISLNK(st.st_mode)});
    // O_NOFOLLOW and the check after the open hold when the entry is replaced in between;
    // without O_NONBLOCK a FIFO put there would hold the run until a reader came.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    static_cast<mode_t>(mode));
    if (fd < 0) return unexpected(FileError{errno});
    Expected<void, FileError> done;
    if (::fstat(fd, &st) != 0) done = unexpected(FileError{errno});
    else if (!S_ISREG(st.st_mode)) done = unexpected(FileError{EINVAL, true});
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
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device rd;
    std::string s;
    for (int word = 0; word < 2; ++word) {
        std::uint32_t v = rd();
        for (int i = 0; i < 8; ++i) {
            s += kHex[v & 0xF];
            v >>= 4;
        }
    }
    return s;
}

Expected<void, FileError> write_file_atomic(const std::filesystem::path& path, std::string_view content) {
    std::string tmp;
    Expected<void, FileError> made = unexpected(FileError{EEXIST});
    // A name already taken (planted, or another run's) is never reused: draw another.
    for (int attempt = 0; attempt < 16 && !made && made.error().code == EEXIST; ++attempt) {
        tmp = path.native() + ".tmp." + random_name_part();
        made = create_new_file(tmp, content, 0666, true);
    }
    if (!made) return made;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        return unexpected(FileError{e});
    }
    sync_directory_of(path);
    return {};
}

Expected<void, FileError> install_file_atomic(const std::filesystem::path& source,
                                              const std::filesystem::path& target, std::filesystem::perms mode) {
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return unexpected(FileError{errno});
    // A name of its own, never one that something already stands at (a planted link included).
    std::string tmp;
    int out = -1;
    for (int attempt = 0; attempt < 16 && out < 0; ++attempt) {
        tmp = (target.parent_path() / ("." + target.filename().native() + ".tmp." + random_name_part())).native();
        out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0 && errno != EEXIST) break;
    }
    if (out < 0) {
        int e = errno;
        ::close(in);
        return unexpected(FileError{e});
    }
    auto done = copy_contents(in, out);
    ::close(in);
    if (done) {
        int r;
        do r = ::fchmod(out, static_cast<mode_t>(mode)); while (r != 0 && errno == EINTR);
        if (r != 0) done = unexpected(FileError{errno});
    }
    if (done && ::fsync(out) != 0) done = unexpected(FileError{errno});
    if (::close(out) != 0 && done) done = unexpected(FileError{errno});
    if (done && ::rename(tmp.c_str(), target.c_str()) != 0) done = unexpected(FileError{errno});
    if (!done) {
        ::unlink(tmp.c_str());
        return done;
    }
    sync_directory_of(target);
    return {};
}

void remove_leftover_temporaries(const std::filesystem::path& path) {
    const auto dir = path.parent_path();
    const std::string stem = path.filename().native() + ".tmp";
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    std::vector<std::string> leftovers;
    while (const dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name == stem || (name.size() > stem.size() + 1 && name.starts_with(stem + "."))) leftovers.emplace_back(name);
    }
    ::closedir(d);
    for (const auto& name : leftovers) {
        const auto p = dir / name;
        struct stat st;
        // A directory there is somebody else's; files and links are what a write leaves.
        if (::lstat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(p.c_str());
    }
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
