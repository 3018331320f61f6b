// Runs the built `quillmar` against a fake host: a fresh file tree on /dev/shm, a private
// mount, network and PID namespace, and stand-ins for nmcli, ip, virsh, systemctl and
// systemd-detect-virt that log every call and answer as scripted.
//
// A case in two minutes:
//
//     #include "sandbox/sandbox.hpp"
//
//     class VswitchCli : public sb::SandboxTest {};   // skips itself when not root
//
//     TEST_F(VswitchCli, ListsNothingWithoutProfiles) {
//         sb.iface("eth0").pci("0000:03:00.0").mac("52:54:00:12:34:56").carrier(true);
//         sb.tool("nmcli")
//             .on({"-t", "-f", "NAME,TYPE", "connection", "show"}, sb::ok("lan:802-3-ethernet\n"))
//             .on_prefix({"connection", "add"}, {sb::fail(4, "Error: boom\n"), sb::ok()});
//         sb.missing("virsh");
//         sb.write("/var/lib/quillmar/managed_resources.json", "{}");
//
//         auto r = sb.run({"vswitch", "list"});
//         EXPECT_EQ(r.status, 0) << r << sb.dump();
//         EXPECT_EQ(r.out, "...");
//         EXPECT_EQ(sb.argvs_of("nmcli"),
//                   (sb::Argvs{{"nmcli", "-t", "-f", "NAME,TYPE", "connection", "show"}}));
//         EXPECT_FALSE(sb.exists("/var/lib/quillmar/master_bridges.json"));
//     }
//
// Rules match the words after the program name, exactly (`on`) or as a prefix (`on_prefix`);
// the newest matching rule of that tool answers; a rule with several replies gives them in turn
// and then repeats its last. Unmatched calls exit 0 with no output. Rule counters live in the
// tree, so they carry over between runs of one sandbox. Replies are raw bytes both ways.
//
// Inside, the program sees: PATH exactly "/fakebin:/qmbin" (no real host tool can be found
// through it), itself at /qmbin/quillmar, the host's /usr read-only (with
// /usr/lib/systemd/system replaced by a writable directory of the tree), /bin, /lib and /lib64
// as links into /usr, a writable /sbin, an empty network namespace (only a down "lo"), a
// fresh /proc, the host's /dev, cwd "/tmp", HOME=/root, LANG=C.UTF-8 and nothing else unless a
// test adds it with `env`. Its /sys/class/net is plain directories built with `iface`; "lo"
// is there from the start; a directory lists in the tmpfs's own order (neither by name nor by
// creation), which `listing_order` shows. /etc/quillmar/config.json holds a minimal valid saved
// configuration, so no run starts with a first-run backup; remove it to test a first run.
//
// Paths given to write/read/exists/path/remove are the absolute paths the program sees; paths
// under /usr (but for the unit directory), /dev and /proc are refused (std::invalid_argument),
// as are relative paths and "..".
//
// The host's /usr is visible inside, so a tool started by absolute path (say /usr/sbin/ip)
// is the real one; it can only ever see the empty network namespace and the tree.
#pragma once

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace qm::sb {

using Args = std::vector<std::string>;
using Argvs = std::vector<Args>;

// Something a fake tool does to the tree when it answers (before printing).
struct Effect {
    enum class Kind { Write, Remove, MakeDir, Symlink };
    Kind kind;
    std::string path;  // absolute, as the program sees it
    std::string data;  // Write: content; Symlink: link target
};

// One answer of a fake tool.
struct Reply {
    int status = 0;      // exit status (0..255)
    std::string out;     // written to stdout, raw bytes
    std::string err;     // written to stderr, raw bytes
    int signal = 0;      // non-zero: after printing, the tool dies from this signal
    std::vector<Effect> effects;

    // Side effects, applied in order. Write and MakeDir create missing parents;
    // Remove removes recursively and ignores a missing path.
    Reply& writes(std::string path, std::string content);
    Reply& removes(std::string path);
    Reply& makes_dir(std::string path);
    Reply& links(std::string path, std::string target);
};

Reply reply(int status = 0, std::string out = {}, std::string err = {});
Reply ok(std::string out = {});                          // status 0, stdout
Reply fail(int status, std::string err = {});            // status, stderr
Reply killed(int signal, std::string out = {});          // dies from `signal`

// One recorded call of a fake tool.
struct Call {
    Args argv;  // exactly as the tool received it, argv[0] first
    // Content, at call time, of each argument that was an absolute path to a regular file.
    std::map<std::string, std::string> files;

    std::string program() const;  // last component of argv[0]
    std::string str() const;      // argv quoted and escaped, one line
    bool operator==(const Call&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Call& c);

// What a run of the program gave.
struct Result {
    int status = -1;   // exit code, or 128 + signal
    int signal = 0;    // signal that ended it, 0 when it exited
    std::string out;   // stdout, raw bytes
    std::string err;   // stderr, raw bytes
    bool timed_out = false;

    std::string str() const;  // for failure messages
};
std::ostream& operator<<(std::ostream& os, const Result& r);

class Sandbox;

// Scripts one fake tool. Obtained from Sandbox::tool; valid as long as the sandbox.
class Tool {
public:
    Tool& on(Args args, Reply r);
    Tool& on(Args args, std::vector<Reply> rs);
    Tool& on_prefix(Args prefix, Reply r);
    Tool& on_prefix(Args prefix, std::vector<Reply> rs);
    // Answers every call not matched by a newer rule.
    Tool& otherwise(Reply r) { return on_prefix({}, std::move(r)); }

    struct Rule {
        Args args;
        bool prefix;
        std::vector<Reply> replies;
    };
    const std::string& name() const { return name_; }
    const std::vector<Rule>& rules() const { return rules_; }

private:
    friend class Sandbox;
    explicit Tool(std::string name) : name_(std::move(name)) {}
    std::string name_;
    std::vector<Rule> rules_;
    bool present_ = true;
};

// Builds an entry of /sys/class/net. Every setter writes into the tree at once.
class Iface {
public:
    // "device" link whose target ends in this PCI address (makes the interface physical).
    Iface& pci(const std::string& address);
    Iface& mac(const std::string& address);       // "address" file, newline added
    Iface& carrier(bool up);                      // "carrier" file: "1\n" or "0\n"
    Iface& carrier_text(const std::string& raw);  // "carrier" file, as given
    Iface& master(const std::string& name);       // "master" link to ../<name>
    Iface& file(const std::string& entry, const std::string& content);  // any other entry
    const std::string& name() const { return name_; }

private:
    friend class Sandbox;
    Iface(Sandbox& sb, std::string name) : sb_(&sb), name_(std::move(name)) {}
    std::string dir() const;
    Sandbox* sb_;
    std::string name_;
};

class Sandbox {
public:
    Sandbox();   // builds the tree; running needs root and namespaces (see unavailable())
    ~Sandbox();  // removes the tree
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Why sandboxed runs cannot work here, or nullopt when they can. Probed once.
    static std::optional<std::string> unavailable();

    // --- running ---
    // Runs quillmar with these arguments (argv[0] is "quillmar") and stdin.
    Result run(const Args& args, const std::string& stdin_bytes = {});
    // Runs any program inside: argv[0] is looked up on the sandbox PATH unless absolute.
    Result exec(const Args& argv, const std::string& stdin_bytes = {});
    Sandbox& env(const std::string& name, const std::string& value);  // added for later runs
    Sandbox& cwd(const std::string& dir);                             // default "/tmp"
    Sandbox& timeout(std::chrono::milliseconds limit);                // default 30 s
    // Later runs start the program as this user and group (no supplementary groups) instead
    // of root; the fake tools can still log their calls.
    Sandbox& user(unsigned uid, unsigned gid);

    // --- fake tools ---
    // The script of a tool; any name works (it is put on PATH). The five host tools are
    // present from the start.
    Tool& tool(const std::string& name);
    // Takes a tool off PATH, so starting it fails with "No such file or directory".
    Sandbox& missing(const std::string& name);

    // --- recorded calls ---
    std::vector<Call> calls() const;
    std::vector<Call> calls_of(const std::string& program) const;
    Argvs argvs() const;
    Argvs argvs_of(const std::string& program) const;
    std::string dump() const;  // every call, one per line, for failure messages
    void clear_calls();

    // --- files ---
    Iface iface(const std::string& name);  // creates /sys/class/net/<name>
    void write(const std::string& path, const std::string& content);  // creates parents
    std::optional<std::string> read(const std::string& path) const;
    bool exists(const std::string& path) const;  // does not follow a final symbolic link
    void remove(const std::string& path);        // recursive; missing is fine
    void mkdir(const std::string& path);
    void symlink(const std::string& path, const std::string& target);
    // Target of a symbolic link as stored, or nullopt when `path` is no link. (read follows
    // links the way the program would, staying inside the tree.)
    std::optional<std::string> link_target(const std::string& path) const;
    // Sorted names in a directory (empty when missing).
    std::vector<std::string> list(const std::string& dir) const;
    // Names in the order a directory listing yields them, as the program sees it.
    std::vector<std::string> listing_order(const std::string& dir) const;
    // Where a path the program sees lives on the host (below the tree).
    std::filesystem::path path(const std::string& path) const;
    const std::filesystem::path& root() const { return root_; }

private:
    Result start(const std::vector<std::string>& candidates, const Args& argv, const std::string& input,
                 bool program);
    void write_rules() const;
    std::filesystem::path root_;
    std::map<std::string, std::unique_ptr<Tool>> tools_;
    std::vector<std::pair<std::string, std::string>> env_;
    std::string cwd_ = "/tmp";
    std::chrono::milliseconds timeout_{30000};
    std::optional<std::pair<unsigned, unsigned>> user_;
};

// Fixture: a fresh sandbox per test; the test is skipped when sandboxed runs cannot work.
// Derive a suite from it (`class MyCli : public sb::SandboxTest {};`); for a table use
// `class MyCli : public sb::SandboxTest, public testing::WithParamInterface<Case> {};`.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = Sandbox::unavailable()) GTEST_SKIP() << *why;
    }
    Sandbox sb;
};

}  // namespace qm::sb

// Short name for tests: `sb::reply(...)` also works inside a fixture whose member is `sb`,
// since a name before `::` only ever finds namespaces and types.
namespace sb = qm::sb;
