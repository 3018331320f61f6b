#include "utils/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

bool FileError::not_found() const { return code == ENOENT; }

Expected<std::string, FileError> read_file(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return unexpected(FileError{errno});
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            return unexpected(FileError{e});
        }
        if (n == 0) break;
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

Expected<void, FileError> write_file_atomic(const std::filesystem::path& path, std::string_view content) {
    std::string tmp = path.native() + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return unexpected(FileError{errno});
    auto written = write_all(fd, content);
    if (written && ::fsync(fd) != 0) written = unexpected(FileError{errno});
    if (::close(fd) != 0 && written) written = unexpected(FileError{errno});
    if (!written) {
        // A half-written temporary file is of no use to anyone.
        ::unlink(tmp.c_str());
        return written;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) return unexpected(FileError{errno});
    sync_directory_of(path);
    return {};
}

Expected<void, FileError> install_file_atomic(const std::filesystem::path& source,
                                              const std::filesystem::path& target, std::filesystem::perms mode) {
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return unexpected(FileError{errno});
    const std::filesystem::path tmp = target.parent_path() / ("." + target.filename().native() + ".tmp");
    // Not through a link someone left at the temporary name.
    ::unlink(tmp.c_str());
    int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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

Expected<void, FileError> remove_file(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return unexpected(FileError{errno});
    return {};
}

void create_directories_quietly(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
}

Expected<std::filesystem::path, FileError> set_aside_damaged(const Context& ctx, const std::filesystem::path& path) {
    std::string base = path.native() + ".damaged-" + format_name_stamp(ctx.clock.now());
    std::string target = base;
    for (unsigned n = 1; path_exists(target); ++n) target = base + "-" + std::to_string(n);
    if (::rename(path.c_str(), target.c_str()) != 0) return unexpected(FileError{errno});
    return std::filesystem::path(target);
}

}  // namespace qm
