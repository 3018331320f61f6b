#include "cmds/bond/bond_building.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "support/fake_host.hpp"

namespace qm {
namespace {

using std::chrono::milliseconds;
using test::Answer;
using test::Call;
using test::FakeHost;

TEST(BondBuilding, AddsTheBondThenItsMembersThenBringsThemUpInOrder) {
    FakeHost host;
    // Failures change nothing in the sequence: every step is tried.
    host.runner.on_prefix({"nmcli", "connection", "add"}, Answer::exit(4));
    host.runner.on({"nmcli", "connection", "delete", "eth1"}, Answer::missing());

    build_active_backup_bond(host.ctx, {"bond3", "Storage Uplink", "disabled", {"eth1", "eth2"}});

    auto change = [](std::vector<std::string> argv) { return Call{std::move(argv), RunMode::Change}; };
    EXPECT_EQ(host.runner.calls,
              (std::vector<Call>{
                  change({"nmcli", "connection", "add", "type", "bond", "ifname", "bond3", "con-name", "Storage Uplink",
                          "mode", "active-backup", "bond.options", "mode=active-backup,miimon=100",
                          "connection.autoconnect", "yes", "connection.autoconnect-slaves", "1"}),
                  change({"nmcli", "connection", "mod", "Storage Uplink", "ipv4.method", "disabled", "ipv6.method",
                          "ignore"}),
                  change({"nmcli", "connection", "delete", "eth1"}),
                  change({"nmcli", "connection", "add", "type", "ethernet", "ifname", "eth1", "con-name", "eth1",
                          "master", "bond3", "slave-type", "bond"}),
                  change({"nmcli", "connection", "delete", "eth2"}),
                  change({"nmcli", "connection", "add", "type", "ethernet", "ifname", "eth2", "con-name", "eth2",
                          "master", "bond3", "slave-type", "bond"}),
                  Call{{"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"}, RunMode::Query},
                  change({"nmcli", "connection", "up", "bond3"}),
                  change({"nmcli", "connection", "up", "eth1"}),
                  change({"nmcli", "connection", "up", "eth2"}),
              }));
    EXPECT_EQ(host.sleeper.pauses,
              (std::vector<milliseconds>{milliseconds(300), milliseconds(500), milliseconds(300)}));
    EXPECT_EQ(host.out.str(),
              "[+] Allowing NetworkManager to process bond creation...\n"
              "[+] Allowing NetworkManager to process slave connections...\n"
              "[+] Allowing NetworkManager to process bond activation...\n");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_FALSE(host.read_file("/var/lib/quillmar/managed_resources.json")) << "not entered into the ledger";
}

// On a real host nmcli knows the bond only by its profile: it is brought up by that, found by
// its interface name while it is not active.
TEST(BondBuilding, BringsTheBondUpByItsProfile) {
    FakeHost host;
    host.runner.on({"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
                   Answer::ok("Storage:u-st:bridge:vswitch2\nStorage Uplink:u-bond:bond:\n"));
    host.runner.on({"nmcli", "-g", "connection.interface-name", "connection", "show", "u-bond"}, Answer::ok("bond3\n"));
    build_active_backup_bond(host.ctx, {"bond3", "Storage Uplink", "disabled", {"eth1", "eth2"}});
    auto ups = host.runner.argvs();
    std::erase_if(ups, [](const auto& argv) { return argv.size() < 3 || argv[2] != "up"; });
    EXPECT_EQ(ups, (std::vector<std::vector<std::string>>{{"nmcli", "connection", "up", "u-bond"},
                                                         {"nmcli", "connection", "up", "eth1"},
                                                         {"nmcli", "connection", "up", "eth2"}}));
}

}  // namespace
}  // namespace qm
