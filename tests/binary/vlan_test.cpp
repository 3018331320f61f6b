// `vlan create`, `vlan list` and `vlan delete` run as the built program against scripted host tools.

#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"
#include "support/transcripts.hpp"

namespace {

const sb::Args kListing = {"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"};
const char* const kLedger = "/var/lib/quillmar/managed_resources.json";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class VlanCli : public sb::SandboxTest {
protected:
    // The host once VLAN 100 exists on vswitch0 ("Management Network").
    void script_host() {
        sb.tool("nmcli")
            .on({"connection", "show", "Vlan 100"}, sb::fail(10, "Error: Vlan 100 - no such connection profile.\n"))
            .on({"device", "status"}, sb::ok("DEVICE        TYPE    STATE      CONNECTION\n"
                                             "vswitch0.100  vlan    connected  Vlan 100\n"))
            .on(kListing, sb::ok("Management Network:vswitch0:bridge:activated\n"
                                 "Vlan 100:vswitch0.100:vlan:activated\n"
                                 "vlan100br:vlan100br:bridge:activated\n"));
        sb.tool("ip").on({"link", "show", "vswitch0"},
                         sb::ok("7: vswitch0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 state UP\n"
                                "    link/ether 52:54:00:12:34:56 brd ff:ff:ff:ff:ff:ff\n"));
        sb.tool("virsh").on({"net-info", "VLAN 100"}, sb::fail(1, "error: failed to get network 'VLAN 100'\n"));
    }
};

TEST_F(VlanCli, CreateListDelete) {
    script_host();

    auto created = sb.run({"vlan", "create", "--vlan-id", "100", "--vswitch", "Management Network"});
    EXPECT_EQ(created.status, 0) << created << sb.dump();
    EXPECT_EQ(created.err, "") << created;
    EXPECT_EQ(created.out, qm::test::transcripts::kVlan100Created);
    EXPECT_EQ(sb.argvs_of("nmcli"),
              (sb::Argvs{
                  {"nmcli", "connection", "show", "Vlan 100"},
                  {"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                  {"nmcli", "connection", "add", "ifname", "vswitch0.100", "type", "vlan", "con-name", "Vlan 100",
                   "vlan.parent", "vswitch0", "vlan.id", "100"},
                  {"nmcli", "connection", "modify", "Vlan 100", "ipv4.method", "disabled"},
                  {"nmcli", "connection", "modify", "Vlan 100", "ipv6.method", "ignore"},
                  {"nmcli", "device", "status"},
                  {"nmcli", "connection", "add", "ifname", "vlan100br", "type", "bridge", "con-name", "vlan100br"},
                  {"nmcli", "connection", "modify", "vlan100br", "ipv4.method", "disabled"},
                  {"nmcli", "connection", "modify", "vlan100br", "ipv6.method", "ignore"},
                  {"nmcli", "connection", "modify", "Vlan 100", "master", "vlan100br"},
                  {"nmcli", "connection", "modify", "Vlan 100", "slave-type", "bridge"},
                  {"nmcli", "connection", "up", "Management Network"},
                  {"nmcli", "connection", "up", "Vlan 100"},
                  {"nmcli", "connection", "up", "vlan100br"},
                  {"nmcli", "connection", "up", "Vlan 100"},
              }))
        << sb.dump();
    EXPECT_EQ(sb.argvs_of("ip"), (sb::Argvs{{"ip", "link", "show", "vswitch0"},
                                            {"ip", "link", "set", "vswitch0", "address", "52:54:00:12:34:56"}}));
    EXPECT_TRUE(sb.argvs_of("virsh").empty()) << sb.dump();
    auto ledger = sb.read(kLedger).value_or("");
    EXPECT_TRUE(contains(ledger, "\"vlan_bridges\": [\n    \"vlan100br\"\n  ],")) << ledger;

    sb.clear_calls();
    auto listed = sb.run({"vlan", "list"});
    EXPECT_EQ(listed.status, 0) << listed;
    EXPECT_EQ(listed.err, "");
    EXPECT_EQ(listed.out,
              "\n=== VLANs ===\n"
              "\n[Trunk: vswitch0]\n"
              "  VLAN 100   Interface: vswitch0.100       Bridge: vlan100br      State: activated\n"
              "\n");
    EXPECT_EQ(sb.argvs_of("nmcli"), (sb::Argvs{{"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}}));

    sb.clear_calls();
    auto deleted = sb.run({"vlan", "delete", "--vlan-id", "100"});
    EXPECT_EQ(deleted.status, 0) << deleted << sb.dump();
    EXPECT_EQ(deleted.err, "");
    EXPECT_EQ(deleted.out, "[+] Deleting VLAN 100\n[+] VLAN 100 deleted successfully\n");
    EXPECT_EQ(sb.argvs_of("nmcli"), (sb::Argvs{{"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                                               {"nmcli", "connection", "delete", "Vlan 100"},
                                               {"nmcli", "connection", "delete", "vlan100br"}}));
    EXPECT_EQ(sb.argvs_of("virsh"), (sb::Argvs{{"virsh", "list", "--all", "--name"}, {"virsh", "net-info", "VLAN 100"}}));
    ledger = sb.read(kLedger).value_or("");
    EXPECT_TRUE(contains(ledger, "\"vlan_bridges\": [],")) << ledger;
}

struct ErrorCase {
    const char* what;
    sb::Args args;
    std::string err;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.what; }

class VlanCliErrors : public VlanCli, public testing::WithParamInterface<ErrorCase> {};

TEST_P(VlanCliErrors, PrintsTheErrorLineAndEndsWithStatusZero) {
    script_host();
    sb.tool("nmcli").on({"connection", "show", "Vlan 100"}, sb::ok());  // VLAN 100 is there already
    sb.tool("virsh")
        .on({"list", "--all", "--name"}, sb::ok("web\n"))
        .on({"dumpxml", "web"}, sb::ok("<domain>\n  <source bridge='vlan100br'/>\n</domain>\n"));

    auto r = sb.run(GetParam().args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, GetParam().err) << r;
    // Nothing was added or removed.
    for (const auto& argv : sb.argvs_of("nmcli")) {
        EXPECT_FALSE(argv.size() > 2 && argv[1] == "connection" && (argv[2] == "add" || argv[2] == "delete"))
            << sb.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VlanCliErrors,
    testing::Values(ErrorCase{"exists", {"vlan", "create", "--vlan-id", "100", "--vswitch", "vswitch0"},
                              "Error: VLAN 100 already exists\n"},
                    ErrorCase{"in_use", {"vlan", "delete", "--vlan-id", "100"},
                              "Error: VLAN 100 is in use by: VM: web (direct bridge)\n"},
                    ErrorCase{"not_found", {"vlan", "delete", "--vlan-id", "7", "--force"},
                              "Error: VLAN 7 not found\n"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
