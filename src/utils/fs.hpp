// Whole-file reads and writes for state files, with errors as values.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "utils/context.hpp"
#include "utils/expected.hpp"

namespace qm {

// The error of a failed file operation; message() is "No such file or directory (os
// error 2)" and the like.
struct FileError {
    int code = 0;  // errno
    std::string message() const { return OsError{code}.message(); }
    bool not_found() const;  // ENOENT: the file or a directory on its path does not exist
    bool operator==(const FileError&) const = default;
};

// The whole file as bytes.
Expected<std::string, FileError> read_file(const std::filesystem::path& path);

// Whether something exists at the path (a dangling symbolic link counts).
bool path_exists(const std::filesystem::path& path);

// Whether the metadata of the path can be read, following symbolic links: a dangling link
// counts as absent.
bool exists_following_links(const std::filesystem::path& path);
// The target of a symbolic link as stored (raw bytes), or absent when the path cannot be read
// as a link.
std::optional<std::string> read_link_target(const std::filesystem::path& path);

// Writes the file in place: created with default permissions or truncated.
Expected<void, FileError> write_file(const std::filesystem::path& path, std::string_view content);

// Writes the file in place like write_file, but removes it again when the write fails and
// the file did not exist before: a file cut short would otherwise pass for a complete one.
Expected<void, FileError> write_new_file_whole(const std::filesystem::path& path, std::string_view content);

// Writes path + ".tmp" (created or truncated, default permissions), flushes it to disk
// and renames it over path. When writing the temporary file fails, nothing is renamed
// and the old file stays.
Expected<void, FileError> write_file_atomic(const std::filesystem::path& path, std::string_view content);

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
