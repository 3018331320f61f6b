// Whole-file reads and writes for state files, with errors as values.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/context.hpp"
#include "utils/expected.hpp"

namespace qm {

// The error of a failed file operation; message() is "No such file or directory (os
// error 2)" and the like.
struct FileError {
    int code = 0;  // errno
    // Set when a read met something other than a regular file (a FIFO, a device, a socket).
    bool not_regular = false;
    std::string message() const;  // "Not a regular file" for not_regular
    bool not_found() const;  // ENOENT: the file or a directory on its path does not exist
    bool operator==(const FileError&) const = default;
};

// The most read_file takes in. State files hold lists of names and profile snapshots, a few
// megabytes at the very most; anything larger is not one of them, and reading it whole
// could take all the memory there is.
inline constexpr std::size_t kMaxStateFileSize = std::size_t{64} << 20;

// The whole file as bytes. Only a regular file is read (a link to one is followed): a FIFO
// would make the read wait for ever and a device such as /dev/zero never ends, so anything
// else fails (not_regular; a directory with EISDIR) without waiting. A file of more than
// limit bytes fails with EFBIG.
Expected<std::string, FileError> read_file(const std::filesystem::path& path, std::size_t limit = kMaxStateFileSize);

// The whole file as read_file gives it, but only when the path itself is a regular file with
// one name: a symbolic link there is not followed (ELOOP), and a file with a second name (a hard
// link) is refused (EMLINK). For copies whose source must be this program's own file.
Expected<std::string, FileError> read_file_itself(const std::filesystem::path& path,
                                                  std::size_t limit = kMaxStateFileSize);

// Whether something exists at the path (a dangling symbolic link counts).
bool path_exists(const std::filesystem::path& path);

// Whether the metadata of the path can be read, following symbolic links: a dangling link
// counts as absent.
bool exists_following_links(const std::filesystem::path& path);
// Whether the path itself (a symbolic link not followed) is a regular file.
bool is_regular_file_itself(const std::filesystem::path& path);
// The names in a directory in the order the listing gives them, "." and ".." left out.
Expected<std::vector<std::string>, FileError> list_directory(const std::filesystem::path& dir);
// The target of a symbolic link as stored (raw bytes), or absent when the path cannot be read
// as a link.
std::optional<std::string> read_link_target(const std::filesystem::path& path);

// Writes the file in place: created with default permissions or truncated.
Expected<void, FileError> write_file(const std::filesystem::path& path, std::string_view content);

// Writes the file in place like write_file, but removes it again when the write fails and
// the file did not exist before: a file cut short would otherwise pass for a complete one.
Expected<void, FileError> write_new_file_whole(const std::filesystem::path& path, std::string_view content);

// Appends the bytes to the regular file at path with one write request, repeated until every
// byte is written; the file is created with these permission bits (before the umask) when
// nothing stands at the path. Nothing but a regular file is written: a symbolic link there,
// dangling or not, is never followed (ELOOP), and a FIFO, a device or a directory fails without
// being waited for or written to (not_regular). A file with a second name (a hard link) is not
// written either (EMLINK): the other name may be any file.
Expected<void, FileError> append_to_regular_file(const std::filesystem::path& path, std::string_view bytes,
                                                 unsigned mode);

// Creates a new file holding content, with these permission bits (before the umask). Fails
// with EEXIST when anything stands at the path, a symbolic link included: nothing is ever
// written through an entry that was there before. With sync the content is on disk before
// success. A file cut short by a failed write is removed again.
Expected<void, FileError> create_new_file(const std::filesystem::path& path, std::string_view content,
                                          unsigned mode, bool sync = false);

// 16 random hexadecimal digits, for file names nobody can guess.
std::string random_name_part();

// Temporary files of this program are named by their writer's prefix for one target, then
// random_name_part(), then a suffix. While a run uses one it holds an exclusive flock on it,
// through a descriptor open for reading only: the file is never open for writing once it is
// complete, so a program renamed into place can be started at once. A run killed in the middle
// leaves it behind unlocked, and the next successful write of the same target removes it
// (remove_own_temporaries). Nothing else is ever taken for a temporary file.

// A temporary file of this program that a run is using: while the object lives, the run holds
// the file's flock and cleaners pass it over. When it ends (or remove() is called) the file is
// removed first and the lock let go after, so no cleaner sees it unlocked.
class HeldFile {
public:
    HeldFile() = default;
    HeldFile(std::filesystem::path path, int lock_fd) : path_(std::move(path)), lock_fd_(lock_fd) {}
    HeldFile(HeldFile&& other) noexcept;
    HeldFile& operator=(HeldFile&& other) noexcept;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile() { remove(); }

    const std::filesystem::path& path() const { return path_; }
    // Removes the file and lets go of its lock.
    void remove();
    // Lets go of the lock and leaves the file where it is (the next write of the same target
    // removes it).
    void keep();

private:
    std::filesystem::path path_;
    int lock_fd_ = -1;
};

// Writes the content to a temporary file of its own beside path, named path + ".tmp." and
// random_name_part() (created exclusively, never through a link, default permissions, synced),
// then renames it over path: the file is whole or as it was, and a link standing at path is
// replaced, not followed. When anything fails, the temporary file is removed and the old file
// stays. After success, what killed writes of path left is removed.
Expected<void, FileError> write_file_atomic(const std::filesystem::path& path, std::string_view content);

// Removes in dir what killed write_file_atomic runs left for any target whose name ends in
// target_suffix: the regular files named <target>.tmp.<16 lowercase hexadecimal digits> that no
// live run holds. For a directory of files whose names are not known in advance (backups).
void remove_own_temporaries_of_targets(const std::filesystem::path& dir, std::string_view target_suffix);

// Copies `source` whole to a hidden temporary file of its own beside `target` ("." + name +
// ".tmp." + random_name_part(), made by an exclusive create), gives the copy `mode`, flushes
// it to disk, closes it for writing and renames it over `target`. So `target` is at every
// moment either its old file or the whole new one, never missing or cut short (also when
// `source` is `target` itself), and never open for writing (an exec of it would fail with
// "Text file busy"). On failure the temporary file is removed again; after success, what
// killed installs of `target` left is removed.
Expected<void, FileError> install_file_atomic(const std::filesystem::path& source,
                                              const std::filesystem::path& target, std::filesystem::perms mode);

// Writes content to a new file dir/prefix<random_name_part()>suffix with these permission bits
// (before the umask; created exclusively, never through a link) and gives it held: the caller
// keeps the object until every reader of the file is done with it. What killed runs left
// under the same prefix and suffix is removed once the new file is written; a failed write
// leaves no file.
Expected<HeldFile, FileError> write_own_temporary(const std::filesystem::path& dir, std::string_view prefix,
                                                  std::string_view suffix, std::string_view content, unsigned mode);

// Removes the regular files in dir named exactly prefix, 16 lowercase hexadecimal digits and
// suffix that no live run holds: the temporary files of one target that killed runs left.
// Nothing else is touched: other names, links, directories, and files a run still uses.
void remove_own_temporaries(const std::filesystem::path& dir, std::string_view prefix, std::string_view suffix);

// Removes a file; a missing file is not an error.
Expected<void, FileError> remove_file(const std::filesystem::path& path);

// Creates the directory and its parents; failures are ignored (a later write reports them).
void create_directories_quietly(const std::filesystem::path& path);
// Creates the directory and its parents; an existing directory is fine.
Expected<void, FileError> make_directories(const std::filesystem::path& path);

// Moves a damaged state file out of the way so that its contents are never lost:
// renames it to path + ".damaged-" + the time of ctx.clock as "%Y%m%d_%H%M%S", with
// "-1", "-2", ... added when that name is taken. Gives the new path.
Expected<std::filesystem::path, FileError> set_aside_damaged(const Context& ctx, const std::filesystem::path& path);

}  // namespace qm
