#include <gtest/gtest.h>

#include <algorithm>

#include "support/fake_host.hpp"
#include "utils/nmcli_tools/nm_resolver.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;
using Argv = std::vector<std::string>;

const Argv kListing{"nmcli", "-t", "-f", "UUID,NAME,DEVICE,TYPE", "connection", "show"};

Argv property(const std::string& prop, const std::string& name) {
    return {"nmcli", "-g", prop, "connection", "show", name};
}

// Scripts the property answers of one profile. The controller is never asked (nmcli refuses
// the field), so its answer must never show in the snapshot.
void profile(FakeHost& host, const std::string& name, const std::string& master, const std::string& controller,
             const std::string& slave_type) {
    host.runner.on(property("connection.master", name), Answer::ok(master));
    host.runner.on(property("connection.controller", name), Answer::ok(controller));
    host.runner.on(property("connection.slave-type", name), Answer::ok(slave_type));
}

using Bonds = std::vector<std::pair<std::string, std::vector<std::string>>>;

// Sorted, since the order of bonds and members is not defined.
Bonds sorted(Bonds bonds) {
    for (auto& b : bonds) std::sort(b.second.begin(), b.second.end());
    std::sort(bonds.begin(), bonds.end());
    return bonds;
}

TEST(NmResolver, QueriesEveryListedProfileInOrder) {
    FakeHost host;
    host.runner.on(kListing, Answer::exit(10, "u1:bond0:bond0:bond\n"
                                              "--:ghost::bond\n"
                                              "short:line:only\n"
                                              "u3:a:b:c:802-3-ethernet\n"));
    auto r = NmResolver::create(host.ctx);
    ASSERT_TRUE(r);
    const std::vector<Argv> expected = {
        kListing,
        property("connection.master", "bond0"), property("connection.slave-type", "bond0"),
        property("connection.master", "ghost"), property("connection.slave-type", "ghost"),
        // A colon cuts the name: the profile is read under its first part.
        property("connection.master", "a"), property("connection.slave-type", "a"),
    };
    EXPECT_EQ(host.runner.argvs(), expected);
    for (const auto& c : host.runner.calls) EXPECT_EQ(c.mode, RunMode::Query);

    ASSERT_EQ(r->by_name.size(), 2u);
    EXPECT_EQ(r->by_name.count("ghost"), 0u);
    const NmConnection& cut = r->by_name.at("a");
    EXPECT_EQ(cut.uuid, "u3");
    EXPECT_EQ(cut.device, "b");
    EXPECT_EQ(cut.conn_type, "c");
}

TEST(NmResolver, AsksForAProfileNamedLikeAnOptionAfterId) {
    FakeHost host;
    host.runner.on(kListing, Answer::ok("u1:-b0:bond0:bond\n"));
    host.runner.on({"nmcli", "-g", "connection.slave-type", "connection", "show", "id", "-b0"}, Answer::ok("bridge\n"));
    auto r = NmResolver::create(host.ctx);
    ASSERT_TRUE(r);
    EXPECT_EQ(host.runner.argvs(),
              (std::vector<Argv>{kListing,
                                 {"nmcli", "-g", "connection.master", "connection", "show", "id", "-b0"},
                                 {"nmcli", "-g", "connection.slave-type", "connection", "show", "id", "-b0"}}));
    EXPECT_EQ(r->by_name.at("-b0").slave_type, "bridge");
}

TEST(NmResolver, TrimsFieldsAndReadsUnsetValues) {
    FakeHost host;
    host.runner.on(kListing, Answer::ok(" u1 : eth1-slave :--: 802-3-ethernet \r\n"
                                        "u2:idle:: --\n"
                                        ":noid:x:y\n"
                                        "u4:--:x:y\n"));
    profile(host, "eth1-slave", "  bond0\nsecond\n", "--\n", " bond \n");
    profile(host, "idle", "", " -- ", "\n\n");
    auto r = NmResolver::create(host.ctx);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->by_name.size(), 2u);
    EXPECT_EQ(r->by_name.at("eth1-slave"),
              (NmConnection{"eth1-slave", "u1", "", "802-3-ethernet", "bond0", std::nullopt, "bond"}));
    EXPECT_EQ(r->by_name.at("idle"),
              (NmConnection{"idle", "u2", "", "", std::nullopt, std::nullopt, std::nullopt}));
}

TEST(NmResolver, PropertyThatCannotBeReadIsAbsent) {
    FakeHost host;
    host.runner.on(kListing, Answer::ok("u1:p:eth0:802-3-ethernet\n"));
    host.runner.on(property("connection.master", "p"), Answer::missing());
    host.runner.on(property("connection.slave-type", "p"), Answer::exit(10, "bond\n"));
    auto r = NmResolver::create(host.ctx);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->by_name.at("p").master, std::nullopt);
    EXPECT_EQ(r->by_name.at("p").slave_type, "bond");
}

TEST(NmResolver, LaterProfileOfTheSameNameWins) {
    FakeHost host;
    host.runner.on(kListing, Answer::ok("u1:dup:eth0:802-3-ethernet\nu2:dup:eth1:802-3-ethernet\n"));
    auto r = NmResolver::create(host.ctx);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->by_name.size(), 1u);
    EXPECT_EQ(r->by_name.at("dup").uuid, "u2");
    EXPECT_EQ(r->by_name.at("dup").device, "eth1");
}

TEST(NmResolver, ListingThatCannotStartIsAnError) {
    FakeHost host;
    host.runner.missing("nmcli");
    auto r = NmResolver::create(host.ctx);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "No such file or directory (os error 2)");
}

TEST(NmResolver, BondMembersByDeviceNameOrUuid) {
    FakeHost host;
    host.runner.on(kListing, Answer::ok("ub:bond-main:bond0:bond\n"
                                        "ue:bond-idle::bond\n"
                                        "u1:eth1-slave:eth1:802-3-ethernet\n"
                                        "u2:eth2-slave:eth2:802-3-ethernet\n"
                                        "u3:offline:--:802-3-ethernet\n"
                                        "u4:by-uuid:eth4:802-3-ethernet\n"
                                        "u5:bridged:eth5:802-3-ethernet\n"
                                        "u6:ctl-only:eth6:802-3-ethernet\n"
                                        "u7:unset:eth7:802-3-ethernet\n"
                                        "u8:idle-slave:eth8:802-3-ethernet\n"
                                        "u9:br0:br0:bridge\n"));
    profile(host, "eth1-slave", "bond0", "", "bond");
    profile(host, "eth2-slave", "bond-main", "", "bond");
    profile(host, "offline", "bond0", "", "bond");
    profile(host, "by-uuid", "ub", "", "bond");
    profile(host, "bridged", "bond0", "", "bridge");
    profile(host, "ctl-only", "", "bond0", "bond");
    profile(host, "unset", "--", "bond0", "bond");
    profile(host, "idle-slave", "bond-idle", "", "bond");
    auto r = NmResolver::create(host.ctx);
    ASSERT_TRUE(r);
    EXPECT_EQ(sorted(r->bonds_with_members()),
              (Bonds{{"bond-idle", {"eth8 (idle-slave)"}},
                     {"bond-main", {" (offline)", "eth1 (eth1-slave)", "eth2 (eth2-slave)", "eth4 (by-uuid)"}}}));
}

TEST(NmResolver, BondWithoutMembers) {
    NmResolver r;
    r.by_name["b"] = NmConnection{"b", "u", "bond3", "bond", std::nullopt, std::nullopt, std::nullopt};
    r.by_name["e"] = NmConnection{"e", "v", "eth0", "802-3-ethernet", "bond3", std::nullopt, "Bond"};
    EXPECT_EQ(r.bonds_with_members(), (Bonds{{"b", {}}}));
}

}  // namespace
}  // namespace qm
