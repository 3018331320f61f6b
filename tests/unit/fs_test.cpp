#include "utils/fs.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>

#include "support/fake_host.hpp"

namespace qm {
namespace {

TEST(Files, ReadDistinguishesMissingFromUnreadable) {
    test::TempDir dir;
    auto missing = read_file(dir.path() / "none");
    ASSERT_FALSE(missing.has_value());
    EXPECT_TRUE(missing.error().not_found());
    EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
    auto directory = read_file(dir.path());
    ASSERT_FALSE(directory.has_value());
    EXPECT_FALSE(directory.error().not_found());
}

TEST(Files, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
    test::TempDir dir;
    auto p = dir.path() / "state.json";
    ASSERT_TRUE(write_file_atomic(p, "first, longer").has_value());
    ASSERT_TRUE(write_file_atomic(p, "second").has_value());
    EXPECT_EQ(read_file(p).value(), "second");
    EXPECT_FALSE(path_exists(dir.path() / "state.json.tmp"));
    EXPECT_FALSE(write_file_atomic(dir.path() / "no-dir" / "x", "y").has_value());
}

TEST(Files, ReadingAFileItselfRefusesLinksAndSecondNames) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    ASSERT_TRUE(write_file(dir.path() / "own", "mine"));
    EXPECT_EQ(read_file_itself(dir.path() / "own").value_or(""), "mine");
    ASSERT_TRUE(write_file(dir.path() / "secret", "theirs"));
    fs::create_symlink(dir.path() / "secret", dir.path() / "link");
    fs::create_hard_link(dir.path() / "secret", dir.path() / "second");
    EXPECT_EQ(read_file_itself(dir.path() / "link").error().code, ELOOP);
    EXPECT_EQ(read_file_itself(dir.path() / "second").error().code, EMLINK);
    EXPECT_EQ(read_file_itself(dir.path() / "secret").error().code, EMLINK);
    EXPECT_TRUE(read_file_itself(dir.path() / "none").error().not_found());
    // The plain read follows both, as before.
    EXPECT_EQ(read_file(dir.path() / "link").value_or(""), "theirs");
}

// What killed writes of documents whose names are not known in advance left (a time-stamped
// backup that is never written again): only exact temporary names of such a document, unheld.
TEST(Files, TheTemporariesOfAnyDocumentGoOnlyWhenTheyAreOwnAndUnheld) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    const std::string hex = "0123456789abcdef";
    const std::vector<std::string> leftovers = {"backup_20240305_070809.json.tmp." + hex,
                                                "lab.json.tmp.json.tmp.fedcba9876543210"};
    for (const auto& n : leftovers) std::ofstream(dir.path() / n) << "cut";
    const std::vector<std::string> kept = {"lab.json.tmp.json", "backup-index.json.tmp.x.json",
                                           "config.json.tmp.orig", "lab.json.tmp", ".json.tmp." + hex,
                                           "lab.txt.tmp." + hex, "lab.json.tmp.0123456789ABCDEF",
                                           "lab.json.tmp." + hex + ".json", "lab.json.tmp.0123456789abcde",
                                           "lab.json.tmp" + hex};
    for (const auto& n : kept) std::ofstream(dir.path() / n) << "keep";
    fs::create_symlink("elsewhere", dir.path() / ("link.json.tmp." + hex));
    const fs::path live = dir.path() / ("live.json.tmp." + hex);
    std::ofstream(live) << "in use";
    int fd = ::open(live.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);

    remove_own_temporaries_of_targets(dir.path(), ".json");
    ::close(fd);

    for (const auto& n : leftovers) EXPECT_FALSE(path_exists(dir.path() / n)) << n;
    for (const auto& n : kept) EXPECT_EQ(read_file(dir.path() / n).value_or(""), "keep") << n;
    EXPECT_TRUE(fs::is_symlink(dir.path() / ("link.json.tmp." + hex)));
    EXPECT_EQ(read_file(live).value_or(""), "in use");
}

// A held temporary file is not open for writing: a program renamed into place from one can be
// started at once ("Text file busy" otherwise), and the lock still keeps cleaners away.
TEST(Files, AHeldTemporaryIsLockedButNotOpenForWriting) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    auto file = write_own_temporary(dir.path(), "net.", ".xml", "<network/>", 0600);
    ASSERT_TRUE(file);
    int fd = ::open(file->path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) != file->path()) continue;
        auto info = read_file("/proc/self/fdinfo/" + e.path().filename().string());
        ASSERT_TRUE(info);
        const auto at = info->find("flags:");
        ASSERT_NE(at, std::string::npos);
        const unsigned long flags = std::stoul(info->substr(at + 6), nullptr, 8);
        EXPECT_EQ(flags & O_ACCMODE, static_cast<unsigned long>(O_RDONLY)) << *info;
    }
    const fs::path path = file->path();
    // The next write of the same prefix passes it over while it is held.
    ASSERT_TRUE(write_own_temporary(dir.path(), "net.", ".xml", "<network/>", 0600));
    EXPECT_TRUE(fs::exists(path));
    file->remove();
    EXPECT_FALSE(fs::exists(path));
}

TEST(Files, ExistenceFollowingLinksCountsADanglingLinkAsAbsent) {
    test::TempDir dir;
    std::filesystem::create_symlink("missing", dir.path() / "dangling");
    std::filesystem::create_symlink(dir.path(), dir.path() / "to-dir");
    EXPECT_FALSE(exists_following_links(dir.path() / "dangling"));
    EXPECT_TRUE(path_exists(dir.path() / "dangling"));
    EXPECT_TRUE(exists_following_links(dir.path() / "to-dir"));
    EXPECT_FALSE(exists_following_links(dir.path() / "none"));
}

TEST(Files, InstallingAFileReplacesTheTargetWholeWithItsMode) {
    test::TempDir dir;
    const auto source = dir.path() / "build" / "quillmar";
    const auto target = dir.path() / "sbin" / "quillmar";
    std::filesystem::create_directories(source.parent_path());
    std::filesystem::create_directories(target.parent_path());
    std::ofstream(source, std::ios::binary) << std::string(200000, 'x') << "end";
    std::filesystem::permissions(source, std::filesystem::perms(0700));
    std::ofstream(target) << "old";

    ASSERT_TRUE(install_file_atomic(source, target, std::filesystem::perms(0755)).has_value());
    EXPECT_EQ(read_file(target).value_or(""), std::string(200000, 'x') + "end");
    EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms(0755));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(target.parent_path()), {}), 1);

    // The target as its own source: copied aside first, so it is never gone.
    ASSERT_TRUE(install_file_atomic(target, target, std::filesystem::perms(0755)).has_value());
    EXPECT_EQ(read_file(target).value_or(""), std::string(200000, 'x') + "end");
}

TEST(Files, AFailedInstallKeepsTheOldTargetAndLeavesNoTemporaryFile) {
    test::TempDir dir;
    const auto target = dir.path() / "quillmar";
    std::ofstream(target) << "old";
    auto missing = install_file_atomic(dir.path() / "none", target, std::filesystem::perms(0755));
    ASSERT_FALSE(missing.has_value());
    EXPECT_TRUE(missing.error().not_found());

    // A directory where the target is cannot be renamed over.
    const auto source = dir.path() / "new";
    std::ofstream(source) << "new";
    const auto blocked = dir.path() / "blocked";
    std::filesystem::create_directories(blocked / "inside");
    EXPECT_FALSE(install_file_atomic(source, blocked, std::filesystem::perms(0755)).has_value());
    EXPECT_TRUE(std::filesystem::is_directory(blocked / "inside"));
    EXPECT_EQ(read_file(target).value_or(""), "old");
    // Nothing left beside them: the target, the source and the directory in the way.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);
}

// After a successful write, the temporary files of the same target that killed runs left go:
// regular files named exactly by the writer's prefix, 16 lowercase hexadecimal digits and its
// suffix. A file a live run holds, links, directories and other names stay.
TEST(Files, AWriteRemovesOnlyTheLeftoversOfItsOwnTarget) {
    namespace fs = std::filesystem;
    struct Writer {
        const char* what;
        std::string prefix, suffix;
        std::function<bool(const fs::path&)> write;
    };
    const std::vector<Writer> writers = {
        {"atomic write", "unit.service.tmp.", "",
         [](const fs::path& dir) { return write_file_atomic(dir / "unit.service", "new").has_value(); }},
        {"install", ".quillmar.tmp.", "",
         [](const fs::path& dir) {
             std::ofstream(dir / "source") << "program";
             return install_file_atomic(dir / "source", dir / "quillmar", fs::perms(0755)).has_value();
         }},
        {"temporary file", "net.", ".xml",
         [](const fs::path& dir) {
             auto file = write_own_temporary(dir, "net.", ".xml", "<network/>", 0600);
             return file.has_value();
         }},
    };
    for (const auto& w : writers) {
        SCOPED_TRACE(w.what);
        test::TempDir dir;
        auto name = [&](const std::string& random) { return w.prefix + random + w.suffix; };
        const std::vector<std::string> leftovers = {name("0123456789abcdef"), name("fedcba9876543210")};
        for (const auto& n : leftovers) std::ofstream(dir.path() / n) << "cut";
        const std::vector<std::string> files_kept = {
            name("0123456789ABCDEF"), name("0123456789abcde"), name("0123456789abcdef0"),
            name("0123456789abcdef") + ".orig", "x" + name("0123456789abcdef"), w.prefix + "0123456789abcdef.bak"};
        for (const auto& n : files_kept) std::ofstream(dir.path() / n) << "keep";
        fs::create_symlink("elsewhere", dir.path() / name("1111111111111111"));
        fs::create_directory(dir.path() / name("2222222222222222"));
        // A live run's file: it holds the lock for as long as it uses the file.
        const fs::path live = dir.path() / name("3333333333333333");
        std::ofstream(live) << "in use";
        int fd = ::open(live.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);

        ASSERT_TRUE(w.write(dir.path()));
        ::close(fd);

        for (const auto& n : leftovers) EXPECT_FALSE(path_exists(dir.path() / n)) << n;
        for (const auto& n : files_kept) EXPECT_EQ(read_file(dir.path() / n).value_or(""), "keep") << n;
        EXPECT_TRUE(fs::is_symlink(dir.path() / name("1111111111111111")));
        EXPECT_TRUE(fs::is_directory(dir.path() / name("2222222222222222")));
        EXPECT_EQ(read_file(live).value_or(""), "in use");
    }
}

}  // namespace
}  // namespace qm
