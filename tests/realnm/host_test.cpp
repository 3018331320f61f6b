// The throw-away host itself: what every other case relies on.

#include <signal.h>

#include <cerrno>
#include <string>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using testing::HasSubstr;

class TestHost : public realnm::RealNmTest {};

TEST_F(TestHost, OffersManagedUplinksOnALanWithDhcp) {
    std::string devices = nm.nmcli({"-t", "-f", "DEVICE,TYPE,STATE", "device", "status"});
    for (const std::string dev : {"eth1", "eth2", "eth3"}) EXPECT_THAT(devices, HasSubstr(dev + ":ethernet:disconnected\n"));
    EXPECT_EQ(nm.link_mac("eth1"), "52:54:00:5e:00:01");
    EXPECT_EQ(nm.link_mac("eth3"), "52:54:00:5e:00:03");

    // A profile made directly gets an address from the LAN, and survives a restart.
    nm.nmcli({"connection", "add", "type", "ethernet", "ifname", "eth2", "con-name", "lan", "ipv4.method", "auto",
              "ipv6.method", "ignore"});
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("lan"); }, std::chrono::seconds(45))) << nm.diagnostics();
    EXPECT_THAT(nm.ip({"-4", "addr", "show", "eth2"}), HasSubstr("inet 192.0.2."));
    nm.restart_nm();
    EXPECT_TRUE(nm.wait_for([&] { return nm.active("lan"); })) << nm.diagnostics();

    // The program's calls are logged with the real tool's answer; the harness's own are not.
    auto r = nm.run_quillmar({"vlan", "list"});
    EXPECT_EQ(r.argvs_of("nmcli"),
              (std::vector<realnm::Args>{{"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}}));
    EXPECT_EQ(r.calls.size(), 1u) << r;
    EXPECT_EQ(nm.calls().size(), 1u);
}

TEST_F(TestHost, LeavesNothingBehind) {
    int pid = -1;
    {
        realnm::RealNm other;
        ASSERT_EQ(other.failure(), "");
        pid = other.host_pid();
        ASSERT_GT(pid, 0);
        EXPECT_EQ(kill(pid, 0), 0);
    }
    // Its PID 1 is gone, and with it every process and namespace it had.
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    // And this host's state is its own.
    EXPECT_FALSE(nm.exists("/var/lib/quillmar/managed_resources.json"));
}

}  // namespace
