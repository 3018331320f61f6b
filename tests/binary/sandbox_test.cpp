// The harness itself: the tree, the namespaces and the fake host tools.

#include <gtest/gtest-spi.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "sandbox/sandbox.hpp"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

class SandboxRuns : public sb::SandboxTest {
protected:
    // A shell inside, for cases that need the program's view of the tree.
    sb::Result sh(const std::string& script, const std::string& input = {}) {
        sb.env("PATH", "/fakebin:/qmbin:/usr/bin");
        return sb.exec({"/usr/bin/sh", "-c", script}, input);
    }
};

TEST_F(SandboxRuns, RunsTheBuiltProgram) {
    auto r = sb.run({"--version"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("quillmar 1\\.0\\.0 \\(.{7}\\)\n"))) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sb.calls().empty()) << sb.dump();
}

TEST_F(SandboxRuns, RecordsArgumentsExactly) {
    sb::Args argv{"nmcli", "connection", "modify", "uplink one", "ipv4.addresses:10.0.0.1/24", "", "a\nb",
                  "\xff\xfe not utf-8"};
    auto r = sb.exec(argv);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(sb.argvs(), sb::Argvs{argv});
    ASSERT_EQ(sb.calls_of("nmcli").size(), 1u);
    EXPECT_EQ(sb.calls_of("nmcli")[0].program(), "nmcli");
    EXPECT_TRUE(sb.calls_of("ip").empty());
    EXPECT_THROW(sb.exec({"nmcli", std::string("a\0b", 3)}), std::invalid_argument) << "no argv can hold NUL";
}

TEST_F(SandboxRuns, AnswersAsScriptedWithRawBytes) {
    const std::string out("DEVICE\xc3\x28 \0 eth0\n", 15);
    const std::string err("bad \xff\xfe utf-8\n");
    sb.tool("nmcli").on({"device", "status"}, sb::reply(10, out, err));
    auto r = sb.exec({"nmcli", "device", "status"});
    EXPECT_EQ(r.status, 10) << r;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);

    auto other = sb.exec({"nmcli", "device", "status", "extra"});
    EXPECT_EQ(other.status, 0) << "an exact rule matches only its own words" << other;
    EXPECT_EQ(other.out, "");
}

TEST_F(SandboxRuns, NewestMatchingRuleWinsAndPrefixesMatch) {
    sb.tool("ip")
        .otherwise(sb::fail(1, "fallback\n"))
        .on_prefix({"link", "show"}, sb::ok("old\n"))
        .on_prefix({"link", "show"}, sb::ok("new\n"))
        .on({"link", "show", "eth9"}, sb::fail(1, "Device \"eth9\" does not exist.\n"));
    EXPECT_EQ(sb.exec({"ip", "link", "show", "eth0"}).out, "new\n");
    EXPECT_EQ(sb.exec({"ip", "link", "show"}).out, "new\n");
    auto missing = sb.exec({"ip", "link", "show", "eth9"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Device \"eth9\" does not exist.\n");
    auto rest = sb.exec({"ip", "addr"});
    EXPECT_EQ(rest.status, 1);
    EXPECT_EQ(rest.err, "fallback\n");
}

TEST_F(SandboxRuns, ReplySequencesGoInTurnAcrossRunsAndRepeatTheLast) {
    sb.tool("virsh").on_prefix({"net-info"}, {sb::fail(1, "first\n"), sb::ok("second\n"), sb::ok("last\n")});
    std::vector<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        auto r = sb.exec({"virsh", "net-info", "default"});
        seen.push_back(std::to_string(r.status) + ":" + r.out + r.err);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1:first\n", "0:second\n", "0:last\n", "0:last\n", "0:last\n"}));
}

TEST_F(SandboxRuns, ToolDiesFromASignal) {
    sb.tool("systemctl").on({"daemon-reload"}, sb::killed(SIGTERM, "partial\n"));
    auto r = sb.exec({"systemctl", "daemon-reload"});
    EXPECT_EQ(r.signal, SIGTERM) << r;
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(r.out, "partial\n");
}

TEST_F(SandboxRuns, MissingToolCannotBeStarted) {
    sb.missing("virsh");
    EXPECT_FALSE(sb.exists("/fakebin/virsh"));
    EXPECT_TRUE(sb.exists("/fakebin/nmcli"));
    // Only directories of the tree on the search path: whatever the host has installed in
    // /usr/bin stays out of the lookup. The extra directory holds a tool of its own to show
    // that the lookup does go through it.
    sb.write("/opt/tools/probe", "#!/usr/bin/sh\necho probe ran\n");
    ASSERT_EQ(::chmod(sb.path("/opt/tools/probe").c_str(), 0755), 0);
    sb.env("PATH", "/fakebin:/qmbin:/opt/tools");
    auto r = sb.exec({"/usr/bin/sh", "-c", "probe; virsh list; echo \"status $?\""});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_NE(r.out.find("probe ran\n"), std::string::npos) << r;
    EXPECT_NE(r.out.find("status 127"), std::string::npos) << r;
    EXPECT_TRUE(sb.calls_of("virsh").empty()) << sb.dump();

    sb.env("PATH", "/fakebin:/qmbin");
    auto direct = sb.exec({"virsh", "list"});
    EXPECT_EQ(direct.status, 127);
    EXPECT_NE(direct.err.find("No such file or directory"), std::string::npos) << direct;
}

TEST_F(SandboxRuns, CapturesFilesNamedByAbsolutePath) {
    // The XML is written, handed to the tool and removed again, as a real caller does.
    auto r = sh("printf '<network/>' > /tmp/net.xml; mkdir /tmp/d; "
                "virsh net-define /tmp/net.xml /tmp/d /tmp/none net.xml; rm /tmp/net.xml");
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_FALSE(sb.exists("/tmp/net.xml"));
    auto calls = sb.calls_of("virsh");
    ASSERT_EQ(calls.size(), 1u) << sb.dump();
    EXPECT_EQ(calls[0].files, (std::map<std::string, std::string>{{"/tmp/net.xml", "<network/>"}}));
}

TEST_F(SandboxRuns, SideEffectsChangeTheTree) {
    sb.iface("gone");
    sb.tool("ip").on({"link", "add", "veth0", "type", "veth", "peer", "name", "veth1"},
                     sb::ok().makes_dir("/sys/class/net/veth0").writes("/sys/class/net/veth0/carrier", "1\n")
                         .links("/sys/class/net/veth0/master", "../vswitch0").removes("/sys/class/net/gone"));
    auto r = sb.exec({"ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(sb.read("/sys/class/net/veth0/carrier"), "1\n");
    EXPECT_EQ(sb.link_target("/sys/class/net/veth0/master"), "../vswitch0");
    EXPECT_FALSE(sb.exists("/sys/class/net/gone"));
}

TEST_F(SandboxRuns, FakeInterfacesLookLikeSysfs) {
    sb.iface("eth0").pci("0000:03:00.0").mac("52:54:00:12:34:56").carrier(true).master("vswitch0");
    sb.iface("vswitch0").mac("52:54:00:aa:bb:cc").carrier(false);
    auto r = sh("cd /sys/class/net && ls; readlink eth0/device; cat eth0/address eth0/carrier vswitch0/carrier; "
                "test -e eth0/device && echo physical; test -e vswitch0/device || echo virtual; "
                "basename \"$(readlink -f eth0/master)\"");
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out,
              "eth0\nlo\nvswitch0\n../../../devices/pci0000:00/0000:03:00.0\n52:54:00:12:34:56\n1\n0\n"
              "physical\nvirtual\nvswitch0\n");
    EXPECT_EQ(sb.list("/sys/class/net"), (std::vector<std::string>{"eth0", "lo", "vswitch0"}));
}

TEST_F(SandboxRuns, ListingOrderIsTheOneTheProgramSees) {
    for (const char* n : {"ens3", "eth1", "bond0", "vswitch0", "eth0", "veth1"}) sb.iface(n);
    auto r = sb.exec({"/usr/bin/find", "/sys/class/net", "-mindepth", "1", "-maxdepth", "1", "-printf", "%f\\n"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(lines_of(r.out), sb.listing_order("/sys/class/net"));
}

TEST_F(SandboxRuns, NetworkNamespaceIsEmpty) {
    auto r = sb.exec({"/usr/bin/cat", "/proc/net/dev"});
    EXPECT_EQ(r.status, 0) << r;
    std::vector<std::string> names;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    while (std::getline(lines, line)) names.push_back(line.substr(0, line.find(':')));
    for (auto& n : names) n.erase(0, n.find_first_not_of(' '));
    EXPECT_EQ(names, std::vector<std::string>{"lo"}) << r;
}

TEST_F(SandboxRuns, EnvironmentIsMinimal) {
    sb.env("TZ", "UTC");
    auto r = sb.exec({"/usr/bin/env"});
    std::string env;
    for (const auto& line : lines_of(r.out))
        if (!std::regex_match(line, std::regex("[A-Z]+SAN_OPTIONS=.*"))) env += line + "\n";
    EXPECT_EQ(env, "PATH=/fakebin:/qmbin\nHOME=/root\nLANG=C.UTF-8\nTZ=UTC\n") << r;
    auto cwd = sb.cwd("/var/lib/quillmar").exec({"/usr/bin/pwd"});
    EXPECT_EQ(cwd.out, "/var/lib/quillmar\n") << cwd;
}

TEST_F(SandboxRuns, FixedPathsAreTheTreeAndUsrIsReadOnly) {
    sb.write("/etc/quillmar/config.json", "{\"a\":1}");
    auto r = sh("cat /etc/quillmar/config.json; echo; echo unit > /usr/lib/systemd/system/qm-probe.service; "
                "echo log >> /var/log/quillmar.log; touch /usr/qm-probe 2>/dev/null || echo read-only; "
                "cp /qmbin/quillmar /sbin/quillmar && echo installed");
    EXPECT_EQ(r.out, "{\"a\":1}\nread-only\ninstalled\n") << r;
    EXPECT_EQ(sb.read("/usr/lib/systemd/system/qm-probe.service"), "unit\n");
    EXPECT_EQ(sb.read("/var/log/quillmar.log"), "log\n");
    EXPECT_TRUE(sb.exists("/sbin/quillmar"));
    EXPECT_FALSE(std::filesystem::exists("/usr/lib/systemd/system/qm-probe.service"));
    EXPECT_FALSE(std::filesystem::exists("/usr/qm-probe"));
}

TEST_F(SandboxRuns, ReadFollowsLinksInsideTheTree) {
    sb.write("/usr/lib/systemd/system/a.service", "A\n");
    sb.symlink("/etc/systemd/system/multi-user.target.wants/a.service", "/usr/lib/systemd/system/a.service");
    EXPECT_EQ(sb.read("/etc/systemd/system/multi-user.target.wants/a.service"), "A\n");
    EXPECT_EQ(sb.read("/etc/quillmar/none"), std::nullopt);
    EXPECT_THROW(sb.path("relative/path"), std::invalid_argument);
    EXPECT_THROW(sb.path("/var/../../etc/passwd"), std::invalid_argument);
    EXPECT_THROW(sb.write("/usr/sbin/quillmar", "x"), std::invalid_argument) << "the host's /usr inside";
}

TEST_F(SandboxRuns, FeedsStdinAndKeepsLargeOutputs) {
    std::string big(1 << 20, 'x');
    big += "\xff";
    auto r = sb.exec({"/usr/bin/cat"}, big);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), big.size());
    EXPECT_EQ(r.out, big);
}

TEST_F(SandboxRuns, ConcurrentCallsAreLoggedWhole) {
    auto r = sh("for i in 1 2 3 4 5 6 7 8 9 10 11 12; do nmcli con \"n $i\" & done; wait");
    EXPECT_EQ(r.status, 0) << r;
    auto calls = sb.argvs_of("nmcli");
    ASSERT_EQ(calls.size(), 12u) << sb.dump();
    for (const auto& c : calls) {
        ASSERT_EQ(c.size(), 3u);
        EXPECT_EQ(c[1], "con");
        EXPECT_EQ(c[2].rfind("n ", 0), 0u);
    }
}

TEST_F(SandboxRuns, LeftoverChildrenEndWithTheRun) {
    auto r = sh("sleep 300 & echo started");
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "started\n");
    EXPECT_FALSE(r.timed_out);
}

TEST_F(SandboxRuns, HangingRunIsKilledAndFails) {
    sb.timeout(std::chrono::milliseconds(300));
    sb::Result r;
    EXPECT_NONFATAL_FAILURE(r = sb.exec({"/usr/bin/sleep", "300"}), "did not finish within 300 ms");
    EXPECT_TRUE(r.timed_out);
}

TEST(SandboxTree, IsRemovedWithTheSandbox) {
    std::filesystem::path root;
    {
        sb::Sandbox box;
        root = box.root();
        EXPECT_EQ(root.string().rfind("/dev/shm/qm-sbx-", 0), 0u);
        EXPECT_TRUE(std::filesystem::exists(root / "var/lib/quillmar"));
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
