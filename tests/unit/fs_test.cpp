#include "utils/fs.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qm
