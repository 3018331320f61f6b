// `vswitch create` and `vswitch change` as a user runs them, against scripted host tools.

#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kBaselineUnit = "/usr/lib/systemd/system/quillmar-baseline.service";
constexpr const char* kEno1Mac = "52:54:00:00:00:e1";

class VswitchCli : public sb::SandboxTest {
protected:
    // The baseline unit in place and enabled, so the runs show only the vswitch work.
    void baseline_unit_ready() {
        sb.write(kBaselineUnit, "[Unit]\n");
        sb.tool("systemctl").on({"is-enabled", "quillmar-baseline"}, sb::ok("enabled\n"));
    }
    void link(const std::string& dev, const std::string& mac) {
        sb.tool("ip").on({"link", "show", dev}, sb::ok("2: " + dev + ": <BROADCAST,MULTICAST,UP> mtu 1500\n"
                                                       "    link/ether " + mac + " brd ff:ff:ff:ff:ff:ff\n"));
    }
    // nmcli calls that change the host, in order.
    sb::Argvs nmcli_changes() const {
        sb::Argvs v;
        for (const auto& argv : sb.argvs_of("nmcli")) {
            bool listing = false;
            for (const auto& w : argv) listing = listing || w == "show" || w == "status";
            if (!listing) v.push_back(argv);
        }
        return v;
    }
    std::vector<std::string> log_messages() const {
        std::vector<std::string> v;
        std::string text = sb.read("/var/log/quillmar.log").value_or("");
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            v.push_back(line.substr(line.find("] ") + 2));
            start = end == std::string::npos ? text.size() : end + 1;
        }
        return v;
    }
};

TEST_F(VswitchCli, IsolatedCreateSetsUpTheBaselineUnitFirst) {
    sb.iface("vswitch1");
    auto r = sb.run({"vswitch", "create", "--name", "Storage", "--uplink", "none"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Setting up baseline service for vswitch operation...\n"
              "[+] Baseline service created and enabled\n"
              "[+] Creating isolated bridge 'vswitch2' with label 'Storage' (no uplink)\n"
              "[+] Successfully created bridge connection with ipv4.method=disabled\n"
              "[+] Successfully brought up bridge connection\n");
    EXPECT_TRUE(sb.exists(kBaselineUnit));
    EXPECT_EQ(sb.argvs_of("nmcli"),
              (sb::Argvs{{"nmcli", "-g", "NAME,DEVICE", "connection", "show"},
                         {"nmcli", "-t", "-f", "NAME,TYPE,DEVICE", "connection", "show"},
                         {"nmcli", "connection", "add", "type", "bridge", "ifname", "vswitch2", "con-name", "Storage",
                          "forward-delay", "2", "ipv4.method", "disabled", "ipv6.method", "ignore",
                          "connection.autoconnect", "yes", "connection.autoconnect-priority", "600"},
                         {"nmcli", "connection", "up", "Storage"}}))
        << sb.dump();
    EXPECT_NE(sb.read(kLedger).value_or("").find("\"Storage\""), std::string::npos);
}

// A name that nmcli would read as an option is named after "id"; the stand-in answers the bare
// form as the real nmcli does, with its help and status 0, having brought nothing up.
TEST_F(VswitchCli, ANameLikeAnOptionIsBroughtUpAndCleanedUpAsAProfile) {
    baseline_unit_ready();
    sb.tool("nmcli")
        .on({"connection", "up", "--help"}, sb::reply(0, "", "Usage: nmcli connection up { ARGUMENTS | help }\n"))
        .on({"connection", "delete", "--help"},
            sb::reply(0, "", "Usage: nmcli connection delete { ARGUMENTS | help }\n"));

    auto r = sb.run({"vswitch", "create", "--name=--help", "--uplink", "none"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Baseline service already enabled and configured to run last\n"
              "[+] Creating isolated bridge 'vswitch1' with label '--help' (no uplink)\n"
              "[+] Successfully created bridge connection with ipv4.method=disabled\n"
              "[+] Successfully brought up bridge connection\n");
    EXPECT_EQ(nmcli_changes(),
              (sb::Argvs{{"nmcli", "connection", "add", "type", "bridge", "ifname", "vswitch1", "con-name", "--help",
                          "forward-delay", "2", "ipv4.method", "disabled", "ipv6.method", "ignore",
                          "connection.autoconnect", "yes", "connection.autoconnect-priority", "600"},
                         {"nmcli", "connection", "up", "id", "--help"}}))
        << sb.dump();
    EXPECT_NE(sb.read(kLedger).value_or("").find("\"--help\""), std::string::npos);

    sb.tool("nmcli")
        .on({"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}, sb::ok("--help:vswitch1:bridge:activated\n"))
        .on({"-g", "connection.uuid", "connection", "show", "id", "--help"}, sb::ok("u-help\n"));
    r = sb.run({"config", "smart-cleanup"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out,
              "[+] Smart cleanup: Cleaning up only our managed resources...\n"
              "  - Cleaned up vswitch: --help\n"
              "[+] Smart cleanup completed. Tracking file cleared.\n");
    EXPECT_EQ(nmcli_changes().back(), (sb::Args{"nmcli", "connection", "delete", "id", "--help"})) << sb.dump();
    EXPECT_FALSE(sb.exists(kLedger));
}

TEST_F(VswitchCli, CreateWithAnUplinkPinsItsMacAndEnslavesIt) {
    baseline_unit_ready();
    sb.iface("eno1").pci("0000:00:19.0").mac(kEno1Mac);
    link("eno1", kEno1Mac);
    link("vswitch1", kEno1Mac);
    sb.tool("nmcli")
        .on({"connection", "add", "type", "bridge", "ifname", "vswitch1", "con-name", "Storage", "forward-delay", "2",
             "ipv4.method", "disabled", "ipv6.method", "ignore", "connection.autoconnect", "yes",
             "connection.autoconnect-priority", "600"},
            sb::ok("Connection 'Storage' (5e1f) successfully added.\n"))
        .on({"-t", "-f", "NAME,TYPE", "connection", "show"}, sb::ok("Storage:bridge\n"))
        .on({"-g", "connection.interface-name", "connection", "show", "Storage"}, sb::ok("vswitch1\n"))
        .on({"connection", "show", "Storage Uplink"}, sb::fail(10, "Error: Storage Uplink - no such connection profile.\n"));

    auto r = sb.run({"vswitch", "create", "--name", "Storage", "--uplink", "eno1"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Baseline service already enabled and configured to run last\n"
              "[+] Creating bridge 'vswitch1' with label 'Storage' and uplink 'eno1'\n"
              "Connection 'Storage' (5e1f) successfully added.\n"
              "[+] Successfully created bridge connection with ipv4.method=disabled\n"
              "[+] Setting vswitch1 to use persistent MAC address: 52:54:00:00:00:e1\n"
              "[+] Stored original MAC address for vswitch1: 52:54:00:00:00:e1\n"
              "[+] Found bridge device: 'vswitch1'\n"
              "[+] Using original vswitch1 MAC address for stability\n"
              "[+] Configuring 'eno1' as direct bridge uplink\n"
              "[+] Enhanced MAC preservation for vswitch1 with uplink eno1\n"
              "[+] Using original MAC for continuity: 52:54:00:00:00:e1\n"
              "[+] Applying MAC preservation strategy: 52:54:00:00:00:e1\n"
              "[+] Stored original MAC address for vswitch1: 52:54:00:00:00:e1\n"
              "[+] Saved network identity for vswitch1\n"
              "[+] Enhanced MAC preservation for vswitch1 with uplink eno1\n"
              "[+] Using original MAC for continuity: 52:54:00:00:00:e1\n"
              "[+] Applying MAC preservation strategy: 52:54:00:00:00:e1\n"
              "[+] Stored original MAC address for vswitch1: 52:54:00:00:00:e1\n"
              "[+] Saved network identity for vswitch1\n");
    const sb::Args pin = {"nmcli", "connection", "modify", "vswitch1", "bridge.mac-address", kEno1Mac};
    EXPECT_EQ(nmcli_changes(),
              (sb::Argvs{{"nmcli", "connection", "add", "type", "bridge", "ifname", "vswitch1", "con-name", "Storage",
                          "forward-delay", "2", "ipv4.method", "disabled", "ipv6.method", "ignore",
                          "connection.autoconnect", "yes", "connection.autoconnect-priority", "600"},
                         {"nmcli", "connection", "modify", "Storage", "bridge.mac-address", kEno1Mac},
                         {"nmcli", "connection", "add", "type", "ethernet", "ifname", "eno1", "con-name",
                          "Storage Uplink", "master", "vswitch1", "connection.autoconnect", "yes"},
                         {"nmcli", "connection", "modify", "vswitch1", "connection.autoconnect-slaves", "1"},
                         {"nmcli", "connection", "up", "vswitch1"},
                         {"nmcli", "connection", "up", "Storage Uplink"},
                         pin,
                         pin}))
        << sb.dump();
    EXPECT_EQ(sb.argvs_of("virsh"), (sb::Argvs{{"virsh", "list", "--all", "--name"}}));
    EXPECT_EQ(sb.read("/var/lib/quillmar/vswitch1_original_mac"), kEno1Mac);
    const std::string identity = sb.read("/var/lib/quillmar/vswitch1_network_identity.json").value_or("");
    EXPECT_NE(identity.find("\"original_mac\": \"52:54:00:00:00:e1\""), std::string::npos) << identity;
    EXPECT_NE(identity.find("\"last_uplink\": \"eno1\""), std::string::npos) << identity;
    EXPECT_NE(sb.read(kLedger).value_or("").find("\"Storage\""), std::string::npos);
    // Only the management bridge leaves the control file and log lines.
    EXPECT_FALSE(sb.exists("/var/lib/quillmar/control-file"));
    EXPECT_FALSE(sb.exists("/var/log/quillmar.log"));
}

TEST_F(VswitchCli, ManagementUplinkChangeLeavesTheControlFileAndReturnsWithoutIt) {
    baseline_unit_ready();
    sb.iface("eno1").pci("0000:00:19.0");
    sb.iface("eno2").pci("0000:02:00.0");
    link("vswitch0", "52:54:00:00:00:aa");
    sb.tool("nmcli")
        .on({"-t", "-f", "DEVICE,TYPE", "device", "status"}, sb::ok("vswitch0:bridge\neno1:ethernet\n"))
        .on({"connection", "show", "Management Uplink"}, sb::fail(10));

    auto r = sb.run({"vswitch", "change", "--name", "vswitch0", "--uplink", "eno2"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("[+] Configuring 'eno2' as direct bridge uplink\n"), std::string::npos) << r;
    EXPECT_NE(r.out.find("[+] Control file created: quillmar is managing network configuration\n"), std::string::npos)
        << r;
    EXPECT_EQ(nmcli_changes(),
              (sb::Argvs{{"nmcli", "connection", "add", "type", "ethernet", "ifname", "eno2", "con-name",
                          "Management Uplink", "master", "vswitch0", "connection.autoconnect", "yes"},
                         {"nmcli", "connection", "modify", "vswitch0", "connection.autoconnect-slaves", "1"},
                         {"nmcli", "connection", "up", "vswitch0"},
                         {"nmcli", "connection", "up", "Management Uplink"},
                         {"nmcli", "connection", "modify", "vswitch0", "bridge.mac-address", "52:54:00:00:00:aa"}}))
        << sb.dump();
    EXPECT_EQ(sb.read("/var/lib/quillmar/control-file"), "");
    EXPECT_EQ(log_messages(), (std::vector<std::string>{
                                  "Control file created: quillmar is managing network configuration",
                                  R"(vswitch0 change: uplink changed to ["eno2"])"}));

    // Back on the first physical interface: logged, and the control file stays.
    r = sb.run({"vswitch", "change", "--name", "vswitch0", "--uplink", "eno1"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out.find("Control file created"), std::string::npos) << r;
    EXPECT_EQ(sb.read("/var/lib/quillmar/control-file"), "");
    EXPECT_EQ(log_messages().back(), "vswitch0 change: returning to baseline uplink eno1 (keeping control file)");
}

TEST_F(VswitchCli, ChangeRefusalsAreErrorLinesWithStatusZero) {
    baseline_unit_ready();
    sb.tool("nmcli").on({"-t", "-f", "NAME,TYPE", "connection", "show"}, sb::ok("Storage:bridge\n"));
    sb.tool("nmcli").on({"-g", "connection.interface-name", "connection", "show", "Storage"}, sb::ok("vswitch2\n"));

    auto r = sb.run({"vswitch", "change", "--name", "Nowhere", "--uplink", "eno1"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "[-] Bridge 'Nowhere' not found\n");

    r = sb.run({"vswitch", "change", "--name", "Storage", "--uplink", " , ,"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "[-] No uplink interfaces specified.\n");
    EXPECT_EQ(nmcli_changes(), sb::Argvs{}) << sb.dump();
}

TEST_F(VswitchCli, CreateOnAnExistingDeviceChangesNothing) {
    baseline_unit_ready();
    sb.tool("nmcli").on({"device", "status"},
                        sb::ok("DEVICE    TYPE    STATE      CONNECTION\nvswitch7  bridge  connected  Lab\n"));
    auto r = sb.run({"vswitch", "create", "--name", "vswitch7", "--uplink", "none"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "[-] Bridge device 'vswitch7' already exists\n");
    EXPECT_EQ(sb.argvs_of("nmcli"), (sb::Argvs{{"nmcli", "device", "status"}})) << sb.dump();
    EXPECT_FALSE(sb.exists(kLedger));
}

}  // namespace
