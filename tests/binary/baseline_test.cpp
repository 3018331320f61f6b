// `baseline --auto` and `baseline --force` as the boot unit and an administrator run them.

#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kControlFile = "/var/lib/quillmar/control-file";
constexpr const char* kStoredMac = "/var/lib/quillmar/vswitch0_original_mac";
constexpr const char* kLog = "/var/log/quillmar.log";

const sb::Args kStaleListing = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE,ACTIVE", "connection", "show"};
const sb::Args kIpListing = {"nmcli", "-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"};

const sb::Args kAddBridge = {"nmcli", "connection", "add", "type", "bridge", "ifname", "vswitch0", "con-name",
                             "Management Network", "forward-delay", "2", "ipv4.method", "auto", "ipv6.method",
                             "ignore", "connection.autoconnect", "yes", "connection.autoconnect-priority", "900"};
sb::Args add_uplink(const std::string& nic) {
    return {"nmcli", "connection", "add", "type", "ethernet", "ifname", nic, "con-name", "Management Uplink",
            "master", "vswitch0", "connection.autoconnect", "yes", "connection.autoconnect-priority", "800"};
}
const sb::Args kUpBridge = {"nmcli", "connection", "up", "Management Network"};
const sb::Args kUpUplink = {"nmcli", "connection", "up", "Management Uplink"};
const sb::Args kAddControl = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "veth0", "con-name",
                              "Internal Control Network", "connection.autoconnect", "yes",
                              "connection.autoconnect-priority", "700"};
const sb::Args kModifyControl = {"nmcli", "connection", "modify", "Internal Control Network", "ipv4.addresses",
                                 "172.16.254.2/24", "ipv4.method", "manual", "ipv6.method", "ignore"};
const sb::Args kUpControl = {"nmcli", "connection", "up", "Internal Control Network"};
const sb::Args kAddHypervisor = {"nmcli", "connection", "add", "type", "ethernet", "ifname", "veth1", "con-name",
                                 "Hypervisor Network", "connection.autoconnect", "yes",
                                 "connection.autoconnect-priority", "600"};
const sb::Args kModifyHypervisor = {"nmcli", "connection", "modify", "Hypervisor Network", "ipv4.addresses",
                                    "172.16.254.1/24", "ipv4.method", "manual", "ipv6.method", "ignore"};
const sb::Args kUpHypervisor = {"nmcli", "connection", "up", "Hypervisor Network"};
sb::Args add_control_on(const std::string& nic) {
    return {"nmcli", "connection", "add", "type", "ethernet", "ifname", nic, "con-name", "Internal Control Network",
            "ipv4.addresses", "172.16.254.2/24", "ipv4.method", "manual", "ipv6.method", "ignore",
            "connection.autoconnect", "yes", "connection.autoconnect-priority", "700"};
}

const char* kPhysicalNetworksOut =
    "[+] Creating veth0 for Internal Control Network\n"
    "[+] Internal Control Network configured on veth0 (172.16.254.2/24)\n"
    "[+] Configuring veth1 for Hypervisor Network\n"
    "[+] Hypervisor Network configured on veth1 (172.16.254.1/24)\n";

class BaselineCli : public sb::SandboxTest {
protected:
    // A host without vswitch0 and without the veth pair.
    void SetUp() override {
        SandboxTest::SetUp();
        sb.tool("ip")
            .on({"link", "show", "vswitch0"}, sb::fail(1, "Device \"vswitch0\" does not exist.\n"))
            .on({"link", "show", "veth0"}, sb::fail(1, "Device \"veth0\" does not exist.\n"));
    }
    void physical() { sb.tool("systemd-detect-virt").otherwise(sb::reply(1, "none\n")); }
    void virtual_machine() { sb.tool("systemd-detect-virt").otherwise(sb::ok("kvm\n")); }
    void existing_vswitch0(const std::string& mac) {
        sb.tool("ip").on({"link", "show", "vswitch0"},
                         sb::ok("4: vswitch0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue state UP\n"
                                "    link/ether " + mac + " brd ff:ff:ff:ff:ff:ff\n"));
    }
    // The calls that change the host, in order: listings and probes left out.
    sb::Argvs changes() const {
        sb::Argvs v;
        for (const auto& argv : sb.argvs()) {
            if (argv.size() < 3) continue;
            if ((argv[0] == "ip" && argv[2] != "show") || (argv[1] == "connection" && argv[2] != "show"))
                v.push_back(argv);
        }
        return v;
    }
    std::vector<std::string> log_messages() const {
        std::vector<std::string> v;
        std::string text = sb.read(kLog).value_or("");
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            v.push_back(line.substr(line.find("] ") + 2));
            start = end == std::string::npos ? text.size() : end + 1;
        }
        return v;
    }
};

TEST_F(BaselineCli, AutoOnAPhysicalApplianceUsesTheFirstNicInPciOrder) {
    physical();
    sb.iface("eth0").pci("0000:05:00.0");
    sb.iface("eth1").pci("0000:01:00.0");
    sb.iface("vswitch7");  // no device link: not physical
    sb.tool("nmcli").on({"-t", "-f", "NAME,UUID,TYPE,DEVICE,ACTIVE", "connection", "show"},
                        sb::ok("bond3:b3:bond::no\nLab:l1:bridge:vswitch7:yes\n"));

    auto r = sb.run({"baseline", "--auto"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string("[+] Starting baseline configuration (mode: Auto)\n"
                                 "[+] Cleaning up stale baseline connections...\n"
                                 "  - Deleting stale quillmar connection: bond3 (UUID: b3)\n"
                                 "[+] Detected appliance type: Physical\n"
                                 "[+] Physical interfaces (PCI order): [\"eth1\", \"eth0\"]\n"
                                 "[+] Creating vswitch0 as Management Network\n"
                                 "[+] Creating Management Uplink connection\n"
                                 "[+] Management Network configured with uplink: eth1\n") +
                         kPhysicalNetworksOut + "[+] Baseline configuration completed successfully\n");
    EXPECT_EQ(sb.argvs(),
              (sb::Argvs{kStaleListing,
                         {"nmcli", "connection", "delete", "uuid", "b3"},
                         {"systemd-detect-virt"},
                         {"ip", "link", "show", "vswitch0"},
                         {"nmcli", "-g", "connection.id", "connection", "show", "Management Network"},
                         {"ip", "link", "show", "vswitch0"},
                         {"ip", "link", "add", "name", "vswitch0", "type", "bridge"},
                         kAddBridge,
                         {"nmcli", "-g", "connection.id", "connection", "show", "Management Uplink"},
                         add_uplink("eth1"),
                         kUpBridge,
                         kUpUplink,
                         kIpListing,
                         {"ip", "link", "show", "veth0"},
                         {"ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1"},
                         kAddControl,
                         kModifyControl,
                         kUpControl,
                         kIpListing,
                         kAddHypervisor,
                         kModifyHypervisor,
                         kUpHypervisor}))
        << sb.dump();
    const std::string ledger = sb.read(kLedger).value_or("");
    EXPECT_NE(ledger.find("\"vswitches\": [\n    \"Management Network\",\n    \"Management Uplink\"\n  ],\n"
                          "  \"vlan_bridges\": [],\n  \"veth_pairs\": [\n    \"veth0\",\n    \"veth1\"\n  ]"),
              std::string::npos)
        << ledger;
    EXPECT_EQ(log_messages(), (std::vector<std::string>{"Starting baseline configuration (mode: Auto)"}));
}

TEST_F(BaselineCli, AutoOnAVirtualApplianceWithOneNicWarnsAndSucceeds) {
    virtual_machine();
    sb.iface("ens3").pci("0000:00:03.0");
    auto r = sb.run({"baseline", "--auto"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Starting baseline configuration (mode: Auto)\n"
              "[+] Cleaning up stale baseline connections...\n"
              "[+] Detected appliance type: Virtual\n"
              "[+] Physical interfaces (PCI order): [\"ens3\"]\n"
              "[+] Creating vswitch0 as Management Network\n"
              "[+] Creating Management Uplink connection\n"
              "[+] Management Network configured with uplink: ens3\n"
              "[!] Warning: Only one physical interface found, cannot configure ICN for virtual appliance\n"
              "[+] Baseline configuration completed successfully\n");
    EXPECT_EQ(changes(), (sb::Argvs{{"ip", "link", "add", "name", "vswitch0", "type", "bridge"}, kAddBridge,
                                    add_uplink("ens3"), kUpBridge, kUpUplink}))
        << sb.dump();
}

// A change the tool refuses is a warning with its complaint; the run goes on, ends with status
// 0, and its last line does not claim success.
TEST_F(BaselineCli, ARefusedChangeIsAWarningAndTheRunDoesNotClaimSuccess) {
    virtual_machine();
    sb.iface("ens3").pci("0000:00:03.0");
    sb.tool("nmcli").on(std::vector<std::string>(kAddBridge.begin() + 1, kAddBridge.end()),
                        sb::fail(4, "Error: Failed to add 'Management Network' connection: in use.\n"));
    auto r = sb.run({"baseline", "--auto"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Starting baseline configuration (mode: Auto)\n"
              "[+] Cleaning up stale baseline connections...\n"
              "[+] Detected appliance type: Virtual\n"
              "[+] Physical interfaces (PCI order): [\"ens3\"]\n"
              "[+] Creating vswitch0 as Management Network\n"
              "[!] Warning: nmcli connection add 'Management Network' failed (exit status: 4): Error: Failed to add "
              "'Management Network' connection: in use.\n"
              "[+] Creating Management Uplink connection\n"
              "[+] Management Network configured with uplink: ens3\n"
              "[!] Warning: Only one physical interface found, cannot configure ICN for virtual appliance\n"
              "[!] Baseline configuration finished with 1 failed change; see the warnings above\n");
    EXPECT_EQ(changes(), (sb::Argvs{{"ip", "link", "add", "name", "vswitch0", "type", "bridge"}, kAddBridge,
                                    add_uplink("ens3"), kUpBridge, kUpUplink}))
        << sb.dump();
}

TEST_F(BaselineCli, AutoOnAVirtualApplianceWithTwoNicsPutsTheControlNetworkOnTheSecond) {
    virtual_machine();
    sb.iface("ens4").pci("0000:00:04.0");
    sb.iface("ens3").pci("0000:00:03.0");
    auto r = sb.run({"baseline", "--auto"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Starting baseline configuration (mode: Auto)\n"
              "[+] Cleaning up stale baseline connections...\n"
              "[+] Detected appliance type: Virtual\n"
              "[+] Physical interfaces (PCI order): [\"ens3\", \"ens4\"]\n"
              "[+] Creating vswitch0 as Management Network\n"
              "[+] Creating Management Uplink connection\n"
              "[+] Management Network configured with uplink: ens3\n"
              "[+] Configuring ens4 as Internal Control Network for virtual appliance\n"
              "[+] Internal Control Network configured on ens4 (172.16.254.2/24)\n"
              "[+] Baseline configuration completed successfully\n");
    EXPECT_EQ(changes(), (sb::Argvs{{"ip", "link", "add", "name", "vswitch0", "type", "bridge"}, kAddBridge,
                                    add_uplink("ens3"), kUpBridge, kUpUplink, add_control_on("ens4"), kUpControl}))
        << sb.dump();
    EXPECT_NE(sb.read(kLedger).value_or("").find("\"Management Uplink\",\n    \"Internal Control Network\"\n  ]"),
              std::string::npos);
}

TEST_F(BaselineCli, AutoKeepsAnExistingVswitch0AndPutsItsStoredMacBack) {
    physical();
    sb.iface("eth0").pci("0000:01:00.0");
    existing_vswitch0("52:54:00:00:00:01");
    sb.write(kStoredMac, "52:54:00:00:00:aa\n");
    sb.write(kControlFile, "");
    // The internal networks are already in place.
    sb.tool("nmcli")
        .on({"-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"},
            sb::ok("Internal Control Network:c1:802-3-ethernet:veth0\nHypervisor Network:h1:802-3-ethernet:veth1\n"))
        .on({"-g", "ipv4.method,ipv6.method,ipv4.addresses", "connection", "show", "c1"},
            sb::ok("manual\nignore\n172.16.254.2/24\n"))
        .on({"-g", "ipv4.method,ipv6.method,ipv4.addresses", "connection", "show", "h1"},
            sb::ok("manual\nignore\n172.16.254.1/24\n"));

    auto r = sb.run({"baseline", "--auto"});

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Starting baseline configuration (mode: Auto)\n"
              "[+] Control file exists: quillmar is managing network configuration\n"
              "[+] Cleaning up stale baseline connections...\n"
              "[+] Detected appliance type: Physical\n"
              "[+] Physical interfaces (PCI order): [\"eth0\"]\n"
              "[+] vswitch0 already exists, checking MAC address restoration\n"
              "[+] Restoring original MAC address for vswitch0: 52:54:00:00:00:aa (was: 52:54:00:00:00:01)\n"
              "[+] vswitch0 MAC address restored successfully\n"
              "[+] Preserving existing vswitch0 configuration\n"
              "[+] Internal Control Network already exists and is correctly configured\n"
              "[+] Hypervisor Network already exists and is correctly configured\n"
              "[+] Baseline configuration completed successfully\n");
    EXPECT_EQ(changes(),
              (sb::Argvs{{"nmcli", "connection", "modify", "Management Network", "bridge.mac-address",
                          "52:54:00:00:00:aa"},
                         {"ip", "link", "set", "vswitch0", "address", "52:54:00:00:00:aa"},
                         {"nmcli", "connection", "down", "Management Network"},
                         kUpBridge}))
        << sb.dump();
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{"Starting baseline configuration (mode: Auto)",
                                        "Control file exists: quillmar is managing network configuration",
                                        "MAC restoration for vswitch0: 52:54:00:00:00:aa (was: 52:54:00:00:00:01)"}));
    EXPECT_TRUE(sb.exists(kControlFile));
}

TEST_F(BaselineCli, ForceAnsweredYesResetsEverythingAndLaysTheBaselineDownAgain) {
    physical();
    sb.iface("eth0").pci("0000:01:00.0");
    existing_vswitch0("52:54:00:00:00:01");
    sb.write(kControlFile, "");
    sb.write(kLedger,
             "{\n  \"vswitches\": [\"Lab\"],\n  \"vlan_bridges\": [],\n  \"veth_pairs\": [\"vvs1_vs0\"],\n"
             "  \"bonds\": [\"bond0\"],\n  \"created_at\": \"2026-12-10T10:00:00+00:00\"\n}");
    sb.tool("nmcli").on({"-t", "-f", "NAME,UUID,TYPE,DEVICE,SLAVE", "connection", "show"},
                        sb::ok("Management Network:m1:bridge:vswitch0:\n"
                               "Management Uplink:m2:802-3-ethernet:eth0:bridge\n"
                               "Wired connection 1:w1:802-3-ethernet::\n"));
    sb.tool("ip").on({"link", "show"}, sb::ok("1: lo: <LOOPBACK,UP,LOWER_UP> mtu 65536\n"
                                              "5: veth0: <BROADCAST,MULTICAST,UP> mtu 1500\n"));

    auto r = sb.run({"baseline", "--force"}, "yes\n");

    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string("[+] Starting baseline configuration (mode: Force)\n"
                                 "[+] Control file exists: quillmar is managing network configuration\n"
                                 "[?] This will reset all managed network resources to baseline. Continue? [y/N]: "
                                 "[+] Control file removed: returning to baseline state\n"
                                 "[+] Resetting all managed resources to baseline\n"
                                 "[+] Performing comprehensive cleanup of quillmar resources...\n"
                                 "  - Deleting quillmar connection: Management Network\n"
                                 "  - Deleting quillmar connection: Management Uplink\n"
                                 "[+] Cleaning up orphaned veth pairs...\n"
                                 "  - Deleting veth pair: veth0\n"
                                 "[+] Cleaning up orphaned bridge devices...\n"
                                 "[+] Cleaning up tracked resources...\n"
                                 "[+] All managed resources reset\n"
                                 "[+] Detected appliance type: Physical\n"
                                 "[+] Physical interfaces (PCI order): [\"eth0\"]\n"
                                 "[+] Creating vswitch0 as Management Network\n"
                                 "[+] vswitch0 bridge device already exists\n"
                                 "[+] Creating Management Uplink connection\n"
                                 "[+] Management Network configured with uplink: eth0\n") +
                         kPhysicalNetworksOut + "[+] Baseline configuration completed successfully\n");
    EXPECT_EQ(changes(),
              (sb::Argvs{{"nmcli", "connection", "delete", "Management Network"},
                         {"nmcli", "connection", "delete", "Management Uplink"},
                         {"ip", "link", "delete", "veth0"},
                         {"nmcli", "connection", "down", "Lab"},
                         {"nmcli", "connection", "down", "bond0"},
                         {"ip", "link", "delete", "vvs1_vs0"},
                         {"nmcli", "connection", "delete", "Lab"},
                         {"nmcli", "connection", "delete", "bond0"},
                         kAddBridge, add_uplink("eth0"), kUpBridge, kUpUplink,
                         {"ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1"},
                         kAddControl, kModifyControl, kUpControl, kAddHypervisor, kModifyHypervisor, kUpHypervisor}))
        << sb.dump();
    EXPECT_FALSE(sb.exists(kControlFile));
    // A new ledger holds only what this run made.
    const std::string ledger = sb.read(kLedger).value_or("");
    EXPECT_EQ(ledger.find("Lab"), std::string::npos) << ledger;
    EXPECT_NE(ledger.find("\"vswitches\": [\n    \"Management Network\",\n    \"Management Uplink\"\n  ]"),
              std::string::npos)
        << ledger;
    EXPECT_EQ(log_messages(),
              (std::vector<std::string>{"Starting baseline configuration (mode: Force)",
                                        "Control file exists: quillmar is managing network configuration",
                                        "Control file removed: returning to baseline state"}));
}

TEST_F(BaselineCli, ForceAnsweredNoChangesNothing) {
    physical();
    sb.iface("eth0").pci("0000:01:00.0");
    sb.write(kControlFile, "");
    sb.write(kLedger, "{\"vswitches\": [\"Lab\"], \"vlan_bridges\": [], \"veth_pairs\": [], \"created_at\": \"x\"}");
    for (const std::string answer : {"n\n", ""}) {
        auto r = sb.run({"baseline", "--force"}, answer);
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out,
                  "[+] Starting baseline configuration (mode: Force)\n"
                  "[+] Control file exists: quillmar is managing network configuration\n"
                  "[?] This will reset all managed network resources to baseline. Continue? [y/N]: "
                  "[+] Baseline configuration cancelled by user\n");
    }
    EXPECT_TRUE(sb.argvs().empty()) << sb.dump();
    EXPECT_TRUE(sb.exists(kControlFile));
    EXPECT_EQ(sb.read(kLedger),
              "{\"vswitches\": [\"Lab\"], \"vlan_bridges\": [], \"veth_pairs\": [], \"created_at\": \"x\"}");
}

TEST_F(BaselineCli, WithoutAPhysicalInterfaceItStopsBeforeAnyProfile) {
    physical();
    sb.iface("vswitch3");
    sb.iface("veth0");
    auto r = sb.run({"baseline", "--auto"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out,
              "[+] Starting baseline configuration (mode: Auto)\n"
              "[+] Cleaning up stale baseline connections...\n"
              "[+] Detected appliance type: Physical\n");
    EXPECT_EQ(r.err, "Error: No physical network interfaces found\n");
    EXPECT_EQ(sb.argvs(), (sb::Argvs{kStaleListing, {"systemd-detect-virt"}})) << sb.dump();
    EXPECT_FALSE(sb.exists(kLedger));
}

TEST_F(BaselineCli, AToolThatCannotStartEndsTheRunWithItsMessage) {
    sb.iface("eth0").pci("0000:01:00.0");
    sb.missing("systemd-detect-virt");
    auto r = sb.run({"baseline", "--auto"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "Error: No such file or directory (os error 2)\n");
}

}  // namespace
