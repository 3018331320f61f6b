#include "utils/links.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/fake_host.hpp"

namespace qm {
namespace {

using test::Answer;
using test::Call;
using test::FakeHost;

TEST(Links, TheTwoEtherLineRulesDifferOnlyOnAShortFirstLine) {
    struct Case {
        const char* output;
        std::optional<std::string> first, first_with_address;
    };
    const Case cases[] = {
        {"2: eno1: <UP>\n    link/ether 52:54:00:00:00:01 brd ff:ff:ff:ff:ff:ff\n", "52:54:00:00:00:01",
         "52:54:00:00:00:01"},
        {"    link/ether\n    link/ether 52:54:00:00:00:02\n", std::nullopt, "52:54:00:00:00:02"},
        {"link/ether a\nlink/ether b\n", "a", "a"},
        {"    link/none\n", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(link_ether_mac(c.output, EtherLine::First), c.first) << c.output;
        EXPECT_EQ(link_ether_mac(c.output, EtherLine::FirstWithAddress), c.first_with_address) << c.output;
    }
}

TEST(Links, ReadLinkMacRunsIpLinkShowInTheGivenMode) {
    FakeHost host;
    host.runner.on({"ip", "link", "show", "eno1"}, Answer::ok("    link/ether 52:54:00:00:00:01 brd\n"));
    auto mac = read_link_mac(host.ctx, "eno1", RunMode::QueryWithStderr, EtherLine::First);
    ASSERT_TRUE(mac);
    EXPECT_EQ(*mac, "52:54:00:00:00:01");
    EXPECT_EQ(host.runner.calls, (std::vector<Call>{{{"ip", "link", "show", "eno1"}, RunMode::QueryWithStderr}}));
    host.runner.missing("ip");
    auto none = read_link_mac(host.ctx, "eno1", RunMode::Query, EtherLine::First);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error(), OsError{ENOENT});

    FakeHost other;
    other.runner.on({"ip", "link", "set", "vswitch0", "address", "52:54:00:00:00:09"}, Answer::exit(2));
    auto set = set_link_address(other.ctx, "vswitch0", "52:54:00:00:00:09");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->exit_code, 2);
    EXPECT_EQ(other.runner.calls.back().mode, RunMode::Change);
    EXPECT_EQ(other.out.str(), "") << "only set_mac_address announces";
}

TEST(Links, SameMacIgnoresTheCaseOfHexDigitsOnly) {
    EXPECT_TRUE(same_mac("52:54:00:5e:00:01", "52:54:00:5E:00:01"));
    EXPECT_TRUE(same_mac("", ""));
    EXPECT_FALSE(same_mac("52:54:00:5e:00:01", "52:54:00:5e:00:02"));
    EXPECT_FALSE(same_mac("52:54:00:5e:00:01", "52:54:00:5e:00:01\n"));
    EXPECT_FALSE(same_mac("52:54:00:5e:00:01", "52-54-00-5e-00-01"));
}

TEST(Links, InterfaceMasterIsTheLastComponentOfTheMasterLink) {
    FakeHost host;
    const auto net = host.file("/sys/class/net");
    auto enslave = [&](const std::string& iface, const std::string& target) {
        std::filesystem::create_directories(net / iface);
        std::filesystem::create_symlink(target, net / iface / "master");
    };
    enslave("vvs1_vs0", "../vswitch1");
    enslave("vvs0_vs1", "/sys/devices/virtual/net/vswitch0");
    enslave("odd", "../br\xff");
    std::filesystem::create_directories(net / "free");
    // A master file that is no link is not a master.
    std::filesystem::create_directories(net / "plain");
    host.write_file("/sys/class/net/plain/master", "vswitch0");

    EXPECT_EQ(interface_master(host.ctx, "vvs1_vs0"), "vswitch1");
    EXPECT_EQ(interface_master(host.ctx, "vvs0_vs1"), "vswitch0");
    EXPECT_EQ(interface_master(host.ctx, "odd"), std::nullopt);
    EXPECT_EQ(interface_master(host.ctx, "free"), std::nullopt);
    EXPECT_EQ(interface_master(host.ctx, "plain"), std::nullopt);
    EXPECT_EQ(interface_master(host.ctx, "absent"), std::nullopt);
    // Names that would reach outside the interface's own directory are no interface.
    enslave("inner", "../vswitch7");
    std::filesystem::create_directories(net / "inner" / "sub");
    std::filesystem::create_symlink("../vswitch8", net / "inner" / "sub" / "master");
    EXPECT_EQ(interface_master(host.ctx, "inner/sub"), std::nullopt);
    EXPECT_EQ(interface_master(host.ctx, ".."), std::nullopt);
    EXPECT_EQ(interface_master(host.ctx, "."), std::nullopt);
    EXPECT_EQ(interface_master(host.ctx, ""), std::nullopt);
    EXPECT_EQ(interface_master(host.ctx, std::string("inner\0x", 7)), std::nullopt);
}

TEST(Links, OnBridgeAndPutOnBridgeAreTheOneWayToAJoinEndsPlace) {
    FakeHost host;
    const auto net = host.file("/sys/class/net");
    std::filesystem::create_directories(net / "vvs1_vs0");
    std::filesystem::create_symlink("../vswitch1", net / "vvs1_vs0" / "master");
    std::filesystem::create_directories(net / "vvs0_vs1");

    EXPECT_TRUE(on_bridge(host.ctx, "vvs1_vs0", "vswitch1"));
    EXPECT_FALSE(on_bridge(host.ctx, "vvs1_vs0", "vswitch0"));   // on another bridge
    EXPECT_FALSE(on_bridge(host.ctx, "vvs0_vs1", "vswitch0"));   // released
    EXPECT_FALSE(on_bridge(host.ctx, "vvs9_vs0", "vswitch9"));   // no such link
    EXPECT_FALSE(on_bridge(host.ctx, "../vswitch1", "vswitch1"));

    host.runner.on({"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}, Answer::ok());
    host.runner.on({"ip", "link", "set", "vvs0_vs2", "master", "vswitch0"}, Answer::exit(2));
    auto put = put_on_bridge(host.ctx, "vvs0_vs1", "vswitch0");
    ASSERT_TRUE(put);
    EXPECT_TRUE(*put);
    auto refused = put_on_bridge(host.ctx, "vvs0_vs2", "vswitch0");
    ASSERT_TRUE(refused);
    EXPECT_FALSE(*refused);
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{{{"ip", "link", "set", "vvs0_vs1", "master", "vswitch0"}, RunMode::Change},
                                 {{"ip", "link", "set", "vvs0_vs2", "master", "vswitch0"}, RunMode::Change}}));

    host.runner.missing("ip");
    EXPECT_FALSE(put_on_bridge(host.ctx, "vvs0_vs1", "vswitch0"));
}

}  // namespace
}  // namespace qm
