// The bond commands run as the built program against scripted host tools.

#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"
#include "support/transcripts.hpp"

namespace {

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
const sb::Args kDevicesListing = {"-t", "-f", "NAME,DEVICE,TYPE", "connection", "show"};

sb::Args get(const std::string& property, const std::string& profile) {
    return {"-g", property, "connection", "show", profile};
}
sb::Args nm(sb::Args words) {
    words.insert(words.begin(), "nmcli");
    return words;
}

class BondCli : public sb::SandboxTest {};

TEST_F(BondCli, CreateListDelete) {
    sb.tool("nmcli").on(kDevicesListing, sb::ok("Wired:eth0:802-3-ethernet\n"));

    auto created = sb.run({"bond", "create", "--members", "eth1, eth2"});
    EXPECT_EQ(created.status, 0) << created << sb.dump();
    EXPECT_EQ(created.err, "") << created;
    EXPECT_EQ(created.out,
              "Creating bond 'bond0' with members 'eth1, eth2'\n"
              "Adding 'eth1' as member to 'bond0'\n"
              "Adding 'eth2' as member to 'bond0'\n"
              "[+] Activating bond 'bond0'\n"
              "[+] Activating member interface 'eth1'\n"
              "[+] Activating member interface 'eth2'\n"
              "[+] Bond 'bond0' created and activated successfully\n");
    EXPECT_EQ(sb.argvs(),
              (sb::Argvs{
                  nm(kDevicesListing),
                  nm(kDevicesListing),
                  nm(kDevicesListing),
                  {"nmcli", "con", "add", "type", "bond", "con-name", "bond0", "ifname", "bond0", "mode",
                   "active-backup", "bond.options", "mode=active-backup,miimon=100", "connection.autoconnect-slaves",
                   "1", "ipv4.method", "disabled", "ipv6.method", "ignore"},
                  {"nmcli", "con", "add", "type", "ethernet", "con-name", "eth1", "ifname", "eth1", "master", "bond0",
                   "slave-type", "bond"},
                  {"nmcli", "con", "add", "type", "ethernet", "con-name", "eth2", "ifname", "eth2", "master", "bond0",
                   "slave-type", "bond"},
                  {"nmcli", "connection", "up", "bond0"},
                  {"nmcli", "connection", "up", "eth1"},
                  {"nmcli", "connection", "up", "eth2"},
              }))
        << sb.dump();
    EXPECT_NE(sb.read(kLedger).value_or("").find("\"bonds\": [\n    \"bond0\"\n  ],"), std::string::npos)
        << sb.read(kLedger).value_or("(none)");

    // The host as NetworkManager now shows it.
    sb.clear_calls();
    sb.tool("nmcli")
        .on({"-t", "-f", "UUID,NAME,DEVICE,TYPE", "connection", "show"},
            sb::ok("u-b0:bond0:bond0:bond\nu-e1:eth1:eth1:802-3-ethernet\nu-e2:eth2:eth2:802-3-ethernet\n"))
        .on(get("connection.master", "bond0"), sb::ok("\n"))
        .on(get("connection.master", "eth1"), sb::ok("bond0\n"))
        .on(get("connection.master", "eth2"), sb::ok("u-b0\n"))
        .on(get("connection.slave-type", "eth1"), sb::ok("bond\n"))
        .on(get("connection.slave-type", "eth2"), sb::ok("bond\n"))
        .on(get("bond.options", "bond0"), sb::ok("mode=active-backup,miimon=100\n"))
        .on(get("GENERAL.STATE", "bond0"), sb::ok("activated\n"));

    auto listed = sb.run({"bond", "list"});
    EXPECT_EQ(listed.status, 0) << listed;
    EXPECT_EQ(listed.err, "") << listed;
    // A member may name the bond by its device or by its UUID.
    EXPECT_EQ(listed.out,
              "=== Bond Interfaces ===\n"
              "\x1b[32mbond0                     bond0        bond     activated [mode: active-backup]\x1b[0m\n"
              "  └─ eth1 (eth1)\n"
              "  └─ eth2 (eth2)\n");

    sb.clear_calls();
    sb.tool("nmcli")
        .on({"-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
            sb::ok("bond0:u-b0:bond:bond0\neth1:u-e1:802-3-ethernet:eth1\neth2:u-e2:802-3-ethernet:eth2\n"))
        .on(get("connection.uuid", "bond0"), sb::ok("u-b0\n"))
        .on(get("connection.type", "bond0"), sb::ok("bond\n"))
        .on({"-t", "-f", "NAME,TYPE", "connection", "show"},
            sb::ok("bond0:bond\neth1:802-3-ethernet\neth2:802-3-ethernet\nWired:802-3-ethernet\n"))
        .on(get("connection.master", "Wired"), sb::ok(""))
        .on({"connection", "delete", "eth2"}, sb::fail(10, "Error: Connection deletion failed: busy\n"))
        .on({"-t", "-f", "NAME,UUID,DEVICE", "connection", "show"}, sb::ok("Wired:u-w:eth0\neth2:u-e2:\n"));

    auto deleted = sb.run({"bond", "delete", "--name", "bond0"});
    EXPECT_EQ(deleted.status, 0) << deleted << sb.dump();
    // nmcli's own complaint is shown; its standard output is not.
    EXPECT_EQ(deleted.err, "Error: Connection deletion failed: busy\n") << deleted;
    EXPECT_EQ(deleted.out,
              "Deleting bond 'bond0' and its members...\n"
              "Deleting member connection 'eth1'\n"
              "Deleting member connection 'eth2'\n"
              "[+] Cleaning up stale NetworkManager connections...\n"
              "  - Removing stale connection: eth2\n"
              "[+] Cleaned up 1 stale connections\n"
              "Bond 'bond0' deleted.\n");
    EXPECT_EQ(sb.argvs(), (sb::Argvs{
                              {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
                              nm(get("connection.uuid", "bond0")),
                              nm(get("connection.type", "bond0")),
                              {"nmcli", "-t", "-f", "NAME,UUID,DEVICE,TYPE", "connection", "show"},
                              {"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                              nm(get("connection.master", "eth1")),
                              nm(get("connection.master", "eth2")),
                              nm(get("connection.master", "Wired")),
                              {"nmcli", "connection", "delete", "eth1"},
                              {"nmcli", "connection", "delete", "eth2"},
                              {"nmcli", "connection", "delete", "bond0"},
                              // The sweep: eth2, whose deletion failed, is still without a device
                              // and names the bond; a second round looks for eth2's own ports.
                              {"nmcli", "-t", "-f", "NAME,UUID,DEVICE", "connection", "show"},
                              nm(get("connection.master", "eth2")),
                              {"nmcli", "connection", "delete", "eth2"},
                              {"nmcli", "-t", "-f", "NAME,UUID,DEVICE", "connection", "show"},
                              nm(get("connection.master", "eth2")),
                          }))
        << sb.dump();
    EXPECT_NE(sb.read(kLedger).value_or("").find("\"bonds\": [],"), std::string::npos)
        << sb.read(kLedger).value_or("(none)");
}

TEST_F(BondCli, ChangeAndFixBootPriorities) {
    sb.tool("nmcli")
        .on({"-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"}, sb::ok("bond0:u-b0:bond:bond0\n"))
        .on(get("connection.uuid", "bond0"), sb::ok("u-b0\n"))
        .on(get("connection.type", "bond0"), sb::ok("bond\n"))
        .on({"connection", "modify", "bond0", "bond.options", "mode=802.3ad"},
            sb::reply(0, "Connection successfully modified.\n",
                      "Warning: mode changes take effect on reactivation.\n"));

    auto changed = sb.run({"bond", "change", "--name", "bond0", "--mode", "802.3ad"});
    EXPECT_EQ(changed.status, 0) << changed;
    EXPECT_EQ(changed.err, "Warning: mode changes take effect on reactivation.\n");
    EXPECT_EQ(changed.out,
              "[+] Changing bond 'bond0'...\n"
              "[+] Changing bond mode to '802.3ad'\n"
              "[+] Bringing up bond 'bond0'...\n"
              "[+] Bond 'bond0' changed successfully\n");

    sb.clear_calls();
    sb.tool("nmcli")
        .on({"-t", "-f", "UUID,NAME,DEVICE,TYPE", "connection", "show"},
            sb::ok("u-b0:bond0:bond0:bond\nu-e1:eth1:eth1:802-3-ethernet\n"))
        .on(get("connection.master", "eth1"), sb::ok("bond0\n"))
        .on(get("connection.slave-type", "eth1"), sb::ok("bond\n"));
    for (const sb::Args& command : {sb::Args{"fix-boot-priorities"}, sb::Args{"bond", "fix-boot-priorities"}}) {
        sb.clear_calls();
        auto fixed = sb.run(command);
        EXPECT_EQ(fixed.status, 0) << fixed;
        EXPECT_EQ(fixed.err, "") << command.front();
        EXPECT_EQ(fixed.out, qm::test::transcripts::kBond0PrioritiesFixed)
            << command.front();
        auto argvs = sb.argvs_of("nmcli");
        ASSERT_GE(argvs.size(), 2u) << command.front();
        EXPECT_EQ(argvs[argvs.size() - 2],
                  nm({"connection", "modify", "bond0", "connection.autoconnect-priority", "100"}));
        EXPECT_EQ(argvs.back(), nm({"connection", "modify", "eth1", "connection.autoconnect-priority", "200"}));
    }
}

struct BadInput {
    const char* what;
    sb::Args args;
    bool nmcli_missing;
    bool all_names_taken;
    bool creates;  // a bond profile is added
    std::string out;
    std::string err;
};

void PrintTo(const BadInput& c, std::ostream* os) { *os << c.what; }

class BondCliBadInput : public BondCli, public testing::WithParamInterface<BadInput> {};

TEST_P(BondCliBadInput, AnswersAsDocumentedAndEndsNormally) {
    const auto& c = GetParam();
    if (c.nmcli_missing) sb.missing("nmcli");
    if (c.all_names_taken) {
        std::string listing;
        for (int i = 0; i <= 99; ++i) listing += "b" + std::to_string(i) + ":bond" + std::to_string(i) + ":bond\n";
        sb.tool("nmcli").on(kDevicesListing, sb::ok(listing));
    }
    auto r = sb.run(c.args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.signal, 0) << r;
    EXPECT_EQ(r.out, c.out) << r;
    EXPECT_EQ(r.err, c.err) << r;
    if (c.creates) return;
    for (const auto& call : sb.argvs_of("nmcli"))
        EXPECT_FALSE(call.size() > 2 && call[1] == "con" && call[2] == "add") << sb.dump();
    EXPECT_FALSE(sb.exists(kLedger));
}

const std::string kEnoent = "No such file or directory (os error 2)";

INSTANTIATE_TEST_SUITE_P(
    Cases, BondCliBadInput,
    testing::Values(
        BadInput{"blank", {"bond", "create", "--members", "  "}, false, false, false,
                 "Available bond types:\n  - balance-rr\n  - active-backup\n  - balance-xor\n  - broadcast\n"
                 "  - 802.3ad\n  - balance-tlb\n  - balance-alb\n",
                 ""},
        // Only empty pieces: a bond without members, announced as typed.
        BadInput{"commas", {"bond", "create", "--name", "bond3", "--members", " , ,"}, false, false, true,
                 "Creating bond 'bond3' with members ' , ,'\n[+] Activating bond 'bond3'\n"
                 "[+] Bond 'bond3' created and activated successfully\n",
                 ""},
        BadInput{"change_unknown", {"bond", "change", "--name", "nobond", "--mode", "802.3ad"}, false, false, false, "",
                 "Error: Bond 'nobond' not found\n"},
        BadInput{"change_no_option", {"bond", "change", "--name", "nobond"}, false, false, false, "",
                 "Error: Bond 'nobond' not found\n"},
        BadInput{"delete_unknown", {"bond", "delete", "--name", "nobond"}, false, false, false,
                 "Deleting bond 'nobond' and its members...\n", "Could not find UUID for bond 'nobond'.\n"},
        BadInput{"names_taken", {"bond", "create", "--members", "eth1"}, false, true, false, "",
                 "Failed to find available bond name\n"},
        BadInput{"create_no_nmcli", {"bond", "create", "--name", "b", "--members", "eth1"}, true, false, false,
                 "Creating bond 'b' with members 'eth1'\n",
                 "Failed to execute nmcli bond creation: " + kEnoent + "\n"},
        BadInput{"create_no_nmcli_no_name", {"bond", "create", "--members", "eth1"}, true, false, false, "",
                 "Failed to find available bond name\n"},
        BadInput{"change_no_nmcli", {"bond", "change", "--name", "b", "--mode", "802.3ad"}, true, false, false, "",
                 "Error: Failed to check if bond 'b' exists\n"},
        BadInput{"delete_no_nmcli", {"bond", "delete", "--name", "b"}, true, false, false,
                 "Deleting bond 'b' and its members...\n", "Failed to get bond UUID: " + kEnoent + "\n"},
        BadInput{"list_no_nmcli", {"bond", "list"}, true, false, false, "=== Bond Interfaces ===\n",
                 "Error initializing NetworkManager resolver: " + kEnoent + "\n"},
        BadInput{"fix_no_nmcli", {"fix-boot-priorities"}, true, false, false,
                 "[+] Fixing autoconnect priorities for all bonds to prevent boot-time race conditions\n",
                 "[-] Error initializing NetworkManager resolver: " + kEnoent + "\n"}),
    [](const testing::TestParamInfo<BadInput>& info) { return std::string(info.param.what); });

}  // namespace
