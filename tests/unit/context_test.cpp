#include <gtest/gtest.h>

#include <cerrno>

#include "support/fake_host.hpp"

namespace qm {
namespace {

TEST(Context, MapsFixedPathsBelowRoot) {
    test::FakeHost host;
    EXPECT_EQ(host.ctx.path("/var/lib/quillmar/x.json"), host.root.path() / "var/lib/quillmar/x.json");
}

TEST(Context, OsErrorReadsLikeTheSystem) {
    EXPECT_EQ(OsError{ENOENT}.message(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace qm
