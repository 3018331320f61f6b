// A bridge that is brought up again keeps its veth joins: NetworkManager releases the ends it
// holds no profile for when it re-activates their bridge, and the command puts them back.

#include <string>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;

class Joins : public realnm::RealNmTest {};

TEST_F(Joins, VlanCreateOnAJoinedBridgeKeepsBothEndsOnTheirBridges) {
    run_ok({"vswitch", "create", "--name", "A", "--uplink", "none"});  // vswitch1
    run_ok({"vswitch", "create", "--name", "B", "--uplink", "none"});  // vswitch2
    run_ok({"vswitch", "connect", "--bridge", "A", "--to", "B"});
    ASSERT_EQ(nm.link_master("vvs1_vs2"), "vswitch1") << nm.diagnostics();
    ASSERT_EQ(nm.link_master("vvs2_vs1"), "vswitch2") << nm.diagnostics();

    // The VLAN device never comes up on this kernel; A is brought up again all the same.
    auto created = nm.run_quillmar({"vlan", "create", "--vlan-id", "100", "--vswitch", "A"});
    EXPECT_EQ(created.status, 0) << created;
    EXPECT_THAT(created.out, HasSubstr("[+] VLAN 100 created successfully\n")) << created;
    EXPECT_THAT(created.argvs_of("nmcli"), testing::Contains(realnm::Args{"nmcli", "connection", "up", "A"}));
    EXPECT_THAT(created.refusals({}, "ip"), IsEmpty()) << created;
    // NetworkManager released A's end on the new activation (old code left it off A).
    EXPECT_THAT(created.out, HasSubstr("[+] Put veth end 'vvs1_vs2' back on bridge 'vswitch1'\n")) << created;

    EXPECT_EQ(nm.link_master("vvs1_vs2"), "vswitch1") << created << nm.diagnostics();
    EXPECT_EQ(nm.link_master("vvs2_vs1"), "vswitch2") << created << nm.diagnostics();
}

}  // namespace
