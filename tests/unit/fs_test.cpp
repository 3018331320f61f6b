#include "utils/fs.hpp"

#include <gtest/gtest.h>

#include <filesystem>
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

}  // namespace
}  // namespace qm
