// State files under hostile conditions: links planted beside them, runs that overlap, and
// special files (FIFOs, devices) where a state file should be.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "cmds/bridge/mac_preservation.hpp"
#include "cmds/bridge/topology.hpp"
#include "cmds/config/maintenance.hpp"
#include "support/fake_host.hpp"
#include "utils/fs.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/nmcli_tools/log.hpp"
#include "utils/paths.hpp"
#include "utils/state_file.hpp"

namespace qm {
namespace {

using test::Answer;
using test::FakeHost;
namespace fs = std::filesystem;

constexpr const char* kLedger = "/var/lib/quillmar/managed_resources.json";
constexpr const char* kMasters = "/var/lib/quillmar/master_bridges.json";
constexpr const char* kJoins = "/var/lib/quillmar/bridge_connections.json";
constexpr const char* kMac = "/var/lib/quillmar/vswitch2_original_mac";
constexpr const char* kIdentity = "/var/lib/quillmar/vswitch2_network_identity.json";
constexpr const char* kLeases = "/var/lib/dhcp/dhclient.leases";

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool is_link_entry(const fs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The bridge vswitch2 as the preservation sees it: a MAC, a static address.
void script_bridge(FakeHost& host) {
    host.runner.on({"ip", "link", "show", "vswitch2"},
                   Answer::ok("5: vswitch2: <UP> mtu 1500\n    link/ether 52:54:00:00:00:02 brd ff:ff:ff:ff:ff:ff\n"));
    host.runner.on({"nmcli", "-g", "ipv4.method", "connection", "show", "vswitch2"}, Answer::ok("auto\n"));
}

// Every writer of a state file, with the file it writes.
struct Writer {
    const char* file;
    std::function<void(FakeHost&)> write;
};

std::vector<Writer> writers() {
    return {
        {kLedger, [](FakeHost& h) { track_managed_resource(h.ctx, "vswitch", "Lab"); }},
        {kMasters, [](FakeHost& h) { add_master_bridge(h.ctx, "vswitch2"); }},
        {kJoins,
         [](FakeHost& h) {
             h.write_file(kJoins, "{}");
             record_bridge_connection(h.ctx, "vswitch1", "vswitch2");
         }},
        {kMac, [](FakeHost& h) { store_original_mac(h.ctx, "vswitch2", "52:54:00:00:00:02"); }},
        {kIdentity,
         [](FakeHost& h) {
             script_bridge(h);
             ASSERT_TRUE(preserve_bridge_network_identity(h.ctx, "vswitch2", "eno1"));
         }},
    };
}

TEST(StateFileSafety, ALinkPlantedAtATemporaryNameIsNeverWrittenThrough) {
    for (const auto& w : writers()) {
        SCOPED_TRACE(w.file);
        FakeHost host;
        const fs::path file = host.file(w.file);
        fs::create_directories(file.parent_path());
        const fs::path victim = host.root.path() / "victim";
        host.write_file("/victim", "precious");
        // The old fixed name and a few guesses at the new ones.
        for (const std::string suffix : {".tmp", ".tmp.0", ".tmp.0000000000000000", ".tmp.ffffffffffffffff"})
            fs::create_symlink(victim, file.native() + suffix);

        w.write(host);

        EXPECT_EQ(host.read_file("/victim"), "precious");
        EXPECT_FALSE(is_link_entry(file));
        EXPECT_TRUE(fs::is_regular_file(file));
        // Nothing of the write is left beside the file; the planted links are not its own, and stay.
        for (const auto& name : names_in(file.parent_path()))
            if (name.find(file.filename().string() + ".tmp") != std::string::npos)
                EXPECT_TRUE(is_link_entry(file.parent_path() / name)) << name;
    }
}

TEST(StateFileSafety, AnExclusiveCreateNeverFollowsOrReusesWhatStandsAtThePath) {
    test::TempDir dir;
    const fs::path victim = dir.path() / "victim";
    ASSERT_TRUE(write_file(victim, "precious"));
    fs::create_symlink(victim, dir.path() / "to-victim");
    fs::create_symlink(dir.path() / "none", dir.path() / "dangling");
    for (const char* name : {"to-victim", "dangling", "victim"}) {
        auto made = create_new_file(dir.path() / name, "junk", 0600);
        ASSERT_FALSE(made) << name;
        EXPECT_EQ(made.error().code, EEXIST) << name;
    }
    EXPECT_EQ(read_file(victim).value(), "precious");
    EXPECT_FALSE(fs::exists(dir.path() / "none"));
}

// Several processes at once, each adding entries of its own to the ledger and the master
// list: every entry must be there afterwards, and nothing but the two files.
TEST(StateFileSafety, OverlappingRunsKeepEveryEntry) {
    FakeHost host;
    constexpr int kRuns = 8;
    constexpr int kEntries = 25;
    std::vector<pid_t> children;
    for (int run = 0; run < kRuns; ++run) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            test::FakeRunner runner;
            std::istringstream in;
            std::ostringstream out, err;
            test::FixedClock clock;
            test::RecordingSleeper sleeper;
            test::FakePlatform platform;
            const Context ctx{runner, in, out, err, clock, sleeper, platform, host.root.path(), host.cwd.path()};
            for (int i = 0; i < kEntries; ++i) {
                const std::string name = "run" + std::to_string(run) + "-" + std::to_string(i);
                track_managed_resource(ctx, "vswitch", name);
                add_master_bridge(ctx, name);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    auto ledger = load_managed_resources(host.ctx);
    ASSERT_EQ(ledger.state, StateFileState::Loaded) << ledger.error;
    const auto masters = load_master_bridges(host.ctx);
    const std::set<std::string> tracked(ledger.value.vswitches.begin(), ledger.value.vswitches.end());
    const std::set<std::string> marked(masters.begin(), masters.end());
    EXPECT_EQ(tracked.size(), std::size_t{kRuns * kEntries});
    EXPECT_EQ(marked.size(), std::size_t{kRuns * kEntries});
    EXPECT_EQ(names_in(host.file("/var/lib/quillmar")),
              (std::vector<std::string>{"managed_resources.json", "master_bridges.json"}));
}

TEST(StateLock, NestedGuardsShareTheLockAndAnotherProcessWaitsForIt) {
    FakeHost host;
    fs::create_directories(host.file("/var/lib/quillmar"));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(ready[0]);
        StateLock outer(host.ctx);
        {
            // Taking it again in the same process must not wait for itself.
            StateLock inner(host.ctx);
            if (!outer.held() || !inner.held()) ::_exit(1);
        }
        (void)!::write(ready[1], "x", 1);
        ::usleep(300 * 1000);
        // Still held here: the inner guard's end did not release it.
        track_managed_resource(host.ctx, "vswitch", "first");
        ::_exit(0);
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    // Waits until the child has tracked its entry and let go.
    track_managed_resource(host.ctx, "vswitch", "second");
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(load_managed_resources(host.ctx).value.vswitches, (std::vector<std::string>{"first", "second"}));
}

// --- Special files where a state file should be ---

enum class Special { Fifo, LinkToDevZero };

void plant(const FakeHost& host, const std::string& path, Special kind) {
    const fs::path p = host.file(path);
    fs::create_directories(p.parent_path());
    if (kind == Special::Fifo)
        ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
    else
        fs::create_symlink("/dev/zero", p);
}

struct Reader {
    const char* name;
    const char* file;
    std::function<void(FakeHost&)> run;
};

std::vector<Reader> readers() {
    return {
        {"track", kLedger,
         [](FakeHost& h) {
             track_managed_resource(h.ctx, "vswitch", "Lab");
             // Set aside like any unreadable ledger, and a new one started.
             EXPECT_EQ(load_managed_resources(h.ctx).value.vswitches, std::vector<std::string>{"Lab"});
             EXPECT_EQ(names_in(h.file("/var/lib/quillmar")),
                       (std::vector<std::string>{"managed_resources.json",
                                                 "managed_resources.json.damaged-19700101_000000"}));
         }},
        {"untrack", kLedger, [](FakeHost& h) { untrack_managed_resource(h.ctx, "vswitch", "Lab"); }},
        {"smart cleanup", kLedger,
         [](FakeHost& h) {
             smart_cleanup(h.ctx);
             EXPECT_EQ(h.out.str(), "");
             EXPECT_TRUE(h.runner.calls.empty());
         }},
        {"load ledger", kLedger,
         [](FakeHost& h) { EXPECT_EQ(load_managed_resources(h.ctx).state, StateFileState::Damaged); }},
        {"mark master", kMasters,
         [](FakeHost& h) {
             add_master_bridge(h.ctx, "vswitch2");
             EXPECT_EQ(load_master_bridges(h.ctx), MasterBridgeList{"vswitch2"});
         }},
        {"load masters", kMasters, [](FakeHost& h) { EXPECT_TRUE(load_master_bridges(h.ctx).empty()); }},
        {"record join", kJoins,
         [](FakeHost& h) { record_bridge_connection(h.ctx, "vswitch1", "vswitch2"); }},
        {"remove join", kJoins,
         [](FakeHost& h) { remove_bridge_connection(h.ctx, "vswitch1", "vswitch2"); }},
        {"load joins", kJoins, [](FakeHost& h) { EXPECT_TRUE(load_bridge_connections(h.ctx).empty()); }},
        {"load stored MAC", kMac,
         [](FakeHost& h) { EXPECT_EQ(load_original_mac(h.ctx, "vswitch2"), std::nullopt); }},
        {"identity", kIdentity,
         [](FakeHost& h) {
             script_bridge(h);
             EXPECT_TRUE(preserve_bridge_network_identity(h.ctx, "vswitch2", "eno1"));
             EXPECT_THAT(h.out.str(), ::testing::HasSubstr("Using original MAC for continuity: 52:54:00:00:00:02"));
         }},
        {"lease file", kLeases,
         [](FakeHost& h) {
             script_bridge(h);
             EXPECT_TRUE(preserve_bridge_network_identity(h.ctx, "vswitch2", "eno1"));
             EXPECT_THAT(h.out.str(), ::testing::Not(::testing::HasSubstr("DHCP lease MAC")));
         }},
        {"log", kLogPath.data(), [](FakeHost& h) { log_info(h.ctx, "msg"); }},
    };
}

// Each of these would hang on open or read for ever, or read without end until memory runs
// out, if a state file were opened like a plain file.
TEST(StateFileSafety, AFifoOrALinkToAnEndlessDeviceReadsAsUnreadable) {
    for (Special kind : {Special::Fifo, Special::LinkToDevZero}) {
        for (const auto& r : readers()) {
            SCOPED_TRACE(std::string(r.name) + (kind == Special::Fifo ? " / FIFO" : " / link to /dev/zero"));
            FakeHost host;
            fs::create_directories(host.file("/var/lib/quillmar"));
            fs::create_directories(host.file("/etc/systemd/system"));
            plant(host, r.file, kind);
            r.run(host);
        }
    }
}

TEST(StateFileSafety, ReadsOnlyRegularFilesOfASaneSize) {
    test::TempDir dir;
    const fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto from_fifo = read_file(fifo);
    ASSERT_FALSE(from_fifo);
    EXPECT_EQ(from_fifo.error().message(), "Not a regular file");

    fs::create_symlink("/dev/zero", dir.path() / "zero");
    auto from_device = read_file(dir.path() / "zero");
    ASSERT_FALSE(from_device);
    EXPECT_EQ(from_device.error().message(), "Not a regular file");

    auto from_directory = read_file(dir.path());
    ASSERT_FALSE(from_directory);
    EXPECT_EQ(from_directory.error().message(), "Is a directory (os error 21)");

    // A sparse file costs nothing to make; read whole it would take the memory of its size.
    const fs::path huge = dir.path() / "huge";
    ASSERT_TRUE(write_file(huge, ""));
    fs::resize_file(huge, kMaxStateFileSize + 1);
    auto from_huge = read_file(huge);
    ASSERT_FALSE(from_huge);
    EXPECT_EQ(from_huge.error().message(), "File too large (os error 27)");
    fs::resize_file(huge, 3);
    EXPECT_EQ(read_file(huge).value(), std::string(3, '\0'));
}

TEST(EventLogSafety, AFifoAtTheLogIsNeitherWaitedOnNorWrittenTo) {
    FakeHost host;
    const fs::path log = host.file(kLogPath);
    fs::create_directories(log.parent_path());
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    // Without a reader an open for writing would wait for one.
    log_info(host.ctx, "nobody listens");
    // With a reader the line would go into the pipe instead of a log file.
    int reader = ::open(log.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    log_info(host.ctx, "somebody listens");
    char buf[64];
    EXPECT_EQ(::read(reader, buf, sizeof buf), 0);
    ::close(reader);
    EXPECT_EQ(host.out.str(), "");
    EXPECT_EQ(host.err.str(), "");
}

}  // namespace
}  // namespace qm
