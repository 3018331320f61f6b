// Runs that write the same kind of file at the same moment: each keeps its own file until it is
// done with it, and no run's cleanup takes what another run still uses or what a user named.

#include <chrono>
#include <string>
#include <vector>

#include "sandbox/sandbox.hpp"

namespace {

class ConcurrentWriters : public sb::SandboxTest {
protected:
    // Starts every command line of `runs` at once (each in the background), waits for all, and
    // gives each one's exit status and standard error.
    struct Ended {
        std::string status;
        std::string err;
    };
    std::vector<Ended> run_at_once(const std::vector<std::string>& runs) {
        sb.mkdir("/tmp/runs");
        std::string script;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const std::string n = std::to_string(i);
            script += "( ( " + runs[i] + " ) >/dev/null 2>/tmp/runs/err." + n + "; echo $? >/tmp/runs/st." + n + " ) &\n";
        }
        script += "wait\n";
        // Many runs share the machine here, the sanitizer build's most slowly: the limit only
        // guards against a hang.
        sb.timeout(std::chrono::minutes(3));
        auto r = sb.exec({"/usr/bin/sh", "-c", script});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.err, "") << r;
        std::vector<Ended> ended;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const std::string n = std::to_string(i);
            ended.push_back({sb.read("/tmp/runs/st." + n).value_or("missing"), sb.read("/tmp/runs/err." + n).value_or("")});
        }
        sb.remove("/tmp/runs");
        return ended;
    }
};

// Every definition handed to virsh is there when virsh reads it, also while other runs of the
// same command, or of a command whose arguments run together the same way, clean up theirs.
TEST_F(ConcurrentWriters, EveryDefinitionFileIsThereWhenVirshReadsIt) {
    sb.tool("nmcli").on({"device", "status"}, sb::ok("DEVICE     TYPE    STATE      CONNECTION\n"
                                                       "vlan100br  bridge  connected  vlan100br\n"));
    std::vector<std::string> runs;
    for (int i = 0; i < 8; ++i) runs.push_back("quillmar network create --name lab --vlan-id 100");
    for (int i = 0; i < 4; ++i) {
        runs.push_back("quillmar network attach --network c --vm a_b");
        runs.push_back("quillmar network attach --network b_c --vm a");
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        for (const auto& e : run_at_once(runs)) EXPECT_EQ(e.status, "0\n") << e.err;
    }
    std::size_t defines = 0, attaches = 0;
    for (const auto& call : sb.calls_of("virsh")) {
        const bool define = call.argv.size() == 3 && call.argv[1] == "net-define";
        const bool attach = call.argv.size() == 6 && call.argv[1] == "attach-device";
        if (!define && !attach) continue;
        const std::string& file = call.argv[define ? 2 : 3];
        defines += define;
        attaches += attach;
        auto seen = call.files.find(file);
        ASSERT_NE(seen, call.files.end()) << call;
        EXPECT_EQ(seen->second.starts_with(define ? "<network>" : "<interface"), true) << call;
    }
    EXPECT_EQ(defines, 16u) << sb.dump();
    EXPECT_EQ(attaches, 16u) << sb.dump();
    // Each run removed its own file once virsh was done with it.
    for (const auto& name : sb.list("/tmp")) EXPECT_FALSE(name.ends_with(".xml")) << name;
}

// The installed program is never open for writing once it is in place: every run of it, by the
// installs themselves and by others meanwhile, starts.
TEST_F(ConcurrentWriters, TheInstalledProgramStartsWhileOthersInstallIt) {
    ASSERT_EQ(sb.run({"install-self"}).status, 0);
    const std::string installs = "i=0; while [ $i -lt 40 ]; do quillmar install-self || exit 1; i=$((i+1)); done";
    const std::string starts =
        "i=0; while [ $i -lt 200 ]; do /sbin/quillmar --version >/dev/null || exit 1; i=$((i+1)); done";
    for (const auto& e : run_at_once({installs, installs, starts, starts})) EXPECT_EQ(e.status, "0\n") << e.err;
    EXPECT_EQ(sb.read("/sbin/quillmar"), sb.read("/qmbin/quillmar"));
    EXPECT_EQ(sb.list("/sbin"), std::vector<std::string>{"quillmar"});
}

class ConcurrentBackups : public ConcurrentWriters {
protected:
    void SetUp() override {
        ConcurrentWriters::SetUp();
        sb.tool("nmcli").on({"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                            sb::ok("vswitch0:vswitch0:bridge:activated\n"));
        sb.missing("virsh");
    }
};

// Backups taken at once, some named like another file's temporary file: every one stays,
// listed and found, and nothing of their writes is left.
TEST_F(ConcurrentBackups, EveryBackupStaysListedAndFound) {
    const std::vector<std::string> names = {"lab.json.tmp", "lab", "backup-index.json.tmp.x", "b1", "b2", "b3"};
    std::vector<std::string> runs;
    for (const auto& n : names) runs.push_back("quillmar config backup -n " + n);
    for (const auto& e : run_at_once(runs)) EXPECT_EQ(e.status, "0\n") << e.err;
    auto list = sb.run({"config", "list"});
    for (const auto& n : names) {
        EXPECT_NE(list.out.find("\n" + n + " "), std::string::npos) << n << "\n" << list;
        auto info = sb.run({"config", "info", "-n", n});
        EXPECT_EQ(info.err, "") << n;
        EXPECT_NE(info.out.find("  Name: " + n + "\n"), std::string::npos) << info;
    }
    for (const auto& name : sb.list("/var/lib/quillmar/backups"))
        EXPECT_TRUE(name.ends_with(".json")) << name;
}

}  // namespace
