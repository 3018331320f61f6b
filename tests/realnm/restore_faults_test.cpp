// `config restore` against a real NetworkManager where the host differs from the backup in ways
// an administrator makes by hand: a port whose master nmcli stored as its bridge's UUID, and a
// bridge taken down with `nmcli connection down`.

#include <string>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;
using testing::Not;

class RestoreFaults : public realnm::RealNmTest {};

// nmcli stores a master named by its profile as that profile's UUID; the backup holds no UUIDs,
// and the bridge a restore makes anew gets another. The port still comes back on its bridge.
TEST_F(RestoreFaults, APortWhoseMasterIsAProfileUuidComesBackOnItsBridge) {
    nm.nmcli({"connection", "add", "type", "bridge", "con-name", "Lab", "ifname", "br-lab", "ipv4.method",
              "disabled", "ipv6.method", "ignore"});
    nm.nmcli({"connection", "add", "type", "ethernet", "con-name", "Lab Port", "ifname", "eth2", "master", "Lab"});
    const auto lab_uuid = nm.field("Lab", "connection.uuid");
    ASSERT_TRUE(lab_uuid.has_value());
    ASSERT_EQ(nm.field("Lab Port", "connection.master"), *lab_uuid);  // the road's premise
    auto backup = nm.run_quillmar({"config", "backup", "-n", "t1"});
    ASSERT_EQ(backup.status, 0) << backup;
    nm.nmcli({"connection", "delete", "Lab Port"});
    nm.nmcli({"connection", "delete", "Lab"});

    auto r = nm.run_quillmar({"config", "restore", "--name", "t1"});
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_THAT(r.out, Not(HasSubstr("Skipping 'Lab Port'"))) << r;
    EXPECT_THAT(r.out, HasSubstr("  + Restored ethernet connection 'Lab Port'\n")) << r;
    EXPECT_THAT(r.out, HasSubstr("[+] Configuration restore completed successfully\n")) << r << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return nm.link_master("eth2") == "br-lab"; })) << nm.diagnostics();
    EXPECT_TRUE(nm.active("Lab Port")) << nm.diagnostics();
}

// A bridge of the backup whose profile is there but down is brought back up, so that the steps
// built on its link (its MAC address) find it; the completion line stands only then.
TEST_F(RestoreFaults, ABridgeDownedByHandIsActiveAfterTheRestore) {
    auto made = nm.run_quillmar({"vswitch", "create", "--name", "Isolated", "--uplink", "none"});
    ASSERT_EQ(made.status, 0) << made;
    ASSERT_TRUE(nm.wait_for([&] { return nm.active("Isolated"); })) << nm.diagnostics();
    auto backup = nm.run_quillmar({"config", "backup", "-n", "up"});
    ASSERT_EQ(backup.status, 0) << backup;
    nm.nmcli({"connection", "down", "Isolated"});
    ASSERT_TRUE(nm.wait_for([&] { return !nm.active("Isolated"); })) << nm.diagnostics();

    auto r = nm.run_quillmar({"config", "restore", "--name", "up"});
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_THAT(r.out, Not(HasSubstr("not found, skipping MAC address restore"))) << r;
    const bool completed = r.out.find("[+] Configuration restore completed successfully\n") != std::string::npos;
    EXPECT_TRUE(completed) << r << nm.diagnostics();
    EXPECT_TRUE(!completed || nm.active("Isolated")) << r << nm.diagnostics();
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("Isolated"); })) << nm.diagnostics();
}

}  // namespace
