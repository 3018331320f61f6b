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
    // Make the rename itself durable; a failure here changes nothing for the caller.
    auto dir = path.parent_path();
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
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
