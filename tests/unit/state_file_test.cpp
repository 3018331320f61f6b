#include "utils/state_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::FakeHost;
using List = std::vector<std::string>;

constexpr const char* kFile = "/var/lib/quillmar/list.json";

TEST(StateFile, LoadTellsMissingDamagedAndLoadedApartWithWhy) {
    FakeHost host;
    const auto file = host.ctx.path(kFile);
    EXPECT_EQ(load_state_file<List>(file).state, StateFileState::Missing);

    struct Case {
        std::string text;
        std::string why;
    };
    const std::vector<Case> damaged = {
        {"[\"a\"", "EOF while parsing a list at line 1 column 4"},
        {"[\"a\xff\"]", "invalid unicode code point at line 1 column 5"},
        {"[\"a\"] [", "trailing characters at line 1 column 7"},
    };
    for (const auto& c : damaged) {
        host.write_file(kFile, c.text);
        auto loaded = load_state_file<List>(file);
        EXPECT_EQ(loaded.state, StateFileState::Damaged) << c.text;
        EXPECT_EQ(loaded.error, c.why);
        EXPECT_TRUE(loaded.value.empty());
    }
    std::filesystem::remove(file);
    std::filesystem::create_directories(file);
    EXPECT_EQ(load_state_file<List>(file).error, "Is a directory (os error 21)");
    std::filesystem::remove(file);

    host.write_file(kFile, " [\"a\", \"b\"]\n");
    auto loaded = load_state_file<List>(file);
    EXPECT_EQ(loaded.state, StateFileState::Loaded);
    EXPECT_EQ(loaded.value, (List{"a", "b"}));
}

TEST(StateFile, OnlyADamagedFileIsSetAside) {
    FakeHost host;
    const auto file = host.ctx.path(kFile);
    host.write_file(kFile, "[]");
    EXPECT_TRUE(set_aside_if_damaged(host.ctx, StateFileState::Loaded, file));
    EXPECT_TRUE(set_aside_if_damaged(host.ctx, StateFileState::Missing, file));
    EXPECT_EQ(host.read_file(kFile), "[]");

    EXPECT_TRUE(set_aside_if_damaged(host.ctx, StateFileState::Damaged, file));
    EXPECT_FALSE(host.read_file(kFile));
    EXPECT_EQ(host.read_file(std::string(kFile) + ".damaged-19700101_000000"), "[]");
    // Nothing left to move: the caller must leave things alone.
    EXPECT_FALSE(set_aside_if_damaged(host.ctx, StateFileState::Damaged, file));
}

TEST(StateFile, SaveWritesThePrettyLayoutOrSaysWhyNot) {
    FakeHost host;
    const auto file = host.ctx.path(kFile);
    auto missing_dir = save_state_file(file, List{"a"});
    ASSERT_FALSE(missing_dir);
    EXPECT_EQ(missing_dir.error().message, "No such file or directory (os error 2)");

    std::filesystem::create_directories(file.parent_path());
    ASSERT_TRUE(save_state_file(file, List{"a"}));
    EXPECT_EQ(host.read_file(kFile), "[\n  \"a\"\n]");
}

}  // namespace
}  // namespace qm
