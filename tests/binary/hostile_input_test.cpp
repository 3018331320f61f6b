// The program against hostile names and damaged state paths: nothing is written outside the
// state directory, nothing hangs or aborts.

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

using namespace std::chrono_literals;

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kBaselineUnit = "/usr/lib/systemd/system/quillmar-baseline.service";

class HostileInput : public sb::SandboxTest {};

TEST_F(HostileInput, ADeviceNameThatLeavesTheStateDirectoryIsRefusedBeforeAnythingHappens) {
    sb.mkdir("/var/lib/quillmar/vswitch9");
    sb.iface("eno1").pci("0000:00:19.0").mac("52:54:00:00:00:e1");
    struct Case {
        sb::Args args;
        std::string name;
    };
    const std::vector<Case> cases = {
        {{"vswitch", "create", "--name", "vswitch9/../../../../tmp/pwned", "--uplink", "eno1"},
         "vswitch9/../../../../tmp/pwned"},
        {{"vswitch", "create", "--name", "vswitch9/x", "--uplink", "none", "--master"}, "vswitch9/x"},
        {{"vswitch", "change", "--name", "vswitch9/../../../../tmp/pwned", "--uplink", "eno1"},
         "vswitch9/../../../../tmp/pwned"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        sb.clear_calls();
        auto r = sb.run(c.args);
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "[-] Invalid device name '" + c.name +
                             "': a device name must not contain '/' or NUL, nor be '.' or '..'\n");
        EXPECT_TRUE(sb.argvs().empty()) << sb.dump();
        EXPECT_FALSE(sb.exists("/tmp/pwned_original_mac"));
        EXPECT_FALSE(sb.exists("/tmp/pwned_network_identity.json"));
        EXPECT_FALSE(sb.exists(kBaselineUnit));
        EXPECT_EQ(sb.list("/var/lib/quillmar"), std::vector<std::string>{"vswitch9"});
        EXPECT_TRUE(sb.list("/var/lib/quillmar/vswitch9").empty());
    }
}

TEST_F(HostileInput, ABridgeThatResolvesToSuchADeviceIsRefusedBeforeItsFilesAreTouched) {
    sb.write(kBaselineUnit, "[Unit]\n");
    sb.tool("systemctl").on({"is-enabled", "quillmar-baseline"}, sb::ok("enabled\n"));
    sb.tool("nmcli")
        .on({"-t", "-f", "NAME,TYPE", "connection", "show"}, sb::ok("Lab:bridge\n"))
        .on({"-g", "connection.interface-name", "connection", "show", "Lab"}, sb::ok("../../../tmp/pwned\n"));
    auto r = sb.run({"vswitch", "change", "--name", "Lab", "--uplink", "eno1"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "[-] Invalid device name '../../../tmp/pwned': a device name must not contain '/' or NUL, "
                     "nor be '.' or '..'\n");
    // The resolution only: no profile is touched.
    EXPECT_EQ(sb.argvs_of("nmcli"),
              (sb::Argvs{{"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"},
                         {"nmcli", "-g", "connection.interface-name", "connection", "show", "Lab"}}))
        << sb.dump();
    EXPECT_FALSE(sb.exists("/tmp/pwned_original_mac"));
    EXPECT_FALSE(sb.exists("/tmp/pwned_network_identity.json"));
}

// A FIFO would hold the run for ever, a link to /dev/zero would be read until memory ran out.
TEST_F(HostileInput, SpecialFilesAtTheLedgerNeitherHangNorAbort) {
    sb.timeout(10s);
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "link to /dev/zero");
        sb.remove("/var/lib/quillmar");
        sb.mkdir("/var/lib/quillmar");
        if (fifo)
            ASSERT_EQ(::mkfifo(sb.path(kLedger).c_str(), 0600), 0);
        else
            sb.symlink(kLedger, "/dev/zero");
        auto r = sb.run({"config", "smart-cleanup"});
        EXPECT_FALSE(r.timed_out) << r;
        EXPECT_EQ(r.signal, 0) << r;
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(sb.exists(kLedger));
    }
}

TEST_F(HostileInput, AnEmptyBaselineUnitLeftByAKilledRunIsWrittenByTheNextOne) {
    sb.write(kBaselineUnit, "");
    sb.iface("vswitch1");
    auto r = sb.run({"vswitch", "create", "--name", "Storage", "--uplink", "none"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out.rfind("[+] Setting up baseline service for vswitch operation...\n"
                          "[+] Baseline service created and enabled\n",
                          0),
              0u)
        << r;
    EXPECT_NE(sb.read(kBaselineUnit).value_or("").find("ExecStart=/usr/sbin/quillmar baseline --auto\n"),
              std::string::npos);
    EXPECT_EQ(sb.list("/usr/lib/systemd/system"), std::vector<std::string>{"quillmar-baseline.service"});
}

}  // namespace
