// Runs the built `quillmar` against a real NetworkManager on a throw-away host: fresh mount,
// network and PID namespaces in which world.sh hides the host's /etc, /var and /usr under
// overlays, starts a private system bus, NetworkManager and a DHCP server on a simulated LAN,
// and offers three uplink candidates eth1, eth2 and eth3 (veth pairs into that LAN, MACs
// 52:54:00:5e:00:01..03). The real nmcli, ip and virsh are used; a logging stand-in in front
// of each records what the program asked and what the real tool answered. systemctl is a
// stand-in that logs and succeeds (no systemd runs there). Nothing of the host is touched,
// and the whole host goes away with the fixture.
//
// A case in two minutes:
//
//     #include <gmock/gmock.h>
//     #include "realnm/realnm.hpp"
//
//     class Bridges : public realnm::RealNmTest {};   // a fresh host per test (~1 s)
//
//     TEST_F(Bridges, IsolatedBridgeComesUp) {
//         auto r = nm.run_quillmar({"vswitch", "create", "--name", "Storage", "--uplink", "none"});
//         ASSERT_EQ(r.status, 0) << r << nm.diagnostics();   // r prints out, err and every call
//         EXPECT_EQ(nm.field("Storage", "connection.interface-name"), "vswitch1");
//         EXPECT_TRUE(nm.wait_for([&] { return nm.active("Storage"); })) << nm.diagnostics();
//         EXPECT_THAT(r.refusals(), testing::IsEmpty()) << r;   // no nmcli call exited non-zero
//         EXPECT_EQ(nm.ledger(), realnm::ledger_json({"Storage"}));
//         nm.restart_nm();
//         EXPECT_EQ(nm.link_master("eth1"), "");
//         EXPECT_THAT(r.device_as_profile(), testing::IsEmpty()) << r;
//     }
//
// The program runs as a copy at /run/qm/quillmar (the build tree may lie under a directory
// the test host hides, such as /tmp). Programs run inside with PATH "/run/qm/bin:/usr/local/
// sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" (the stand-ins first), HOME=/run/qm/home,
// LANG=C.UTF-8, the private bus in DBUS_SYSTEM_BUS_ADDRESS and LIBVIRT_DEFAULT_URI=
// test:///default (see libvirt_uri), cwd /tmp. `nmcli`, `ip` and `exec` of the harness bypass the stand-ins, so
// the call log holds only the program's calls.
//
// Where a step cannot be reached through the built program on this kernel (no interface has a
// device link, so `baseline` stops before it lays anything down), `InProcess` calls the
// program's own functions in the test process: every child they start runs inside the test
// host through the logging stand-ins, and their fixed paths lie on a temporary root that
// holds a made-up /sys/class/net.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "utils/context.hpp"
#include "utils/platform.hpp"
#include "utils/process.hpp"

namespace qm::realnm {

using Args = std::vector<std::string>;

// One call that the program made to a host tool, with the real tool's answer.
struct ToolCall {
    Args argv;        // argv[0] is the tool's name
    int status = 0;   // exit status (128 + signal when killed)
    std::string err;  // its standard error, raw bytes
    // Content, when the tool started, of each argument that was an absolute path to a file.
    std::map<std::string, std::string> files;
    std::string program() const { return argv.empty() ? std::string() : argv[0]; }
    std::string str() const;  // argv quoted, status, first line of stderr
};
std::ostream& operator<<(std::ostream& os, const ToolCall& c);

struct Result {
    int status = -1;  // exit code, or 128 + signal
    std::string out, err;
    bool timed_out = false;
    // The host-tool calls made during this run (only filled by run_quillmar).
    std::vector<ToolCall> calls;

    // Calls of `program` that exited non-zero with one of the texts in their stderr (every
    // non-zero exit when `texts` is empty).
    std::vector<ToolCall> refusals(const std::vector<std::string>& texts = {},
                                   const std::string& program = "nmcli") const;
    // Calls of `program` that exited non-zero with none of the `allowed` texts in their stderr:
    // the refusals a case does not expect. Give the by-design texts below, e.g.
    // `r.refusals_except({realnm::kAbsentProfile, realnm::kNoBondOrVlanKernel})`.
    std::vector<ToolCall> refusals_except(std::initializer_list<std::vector<std::string>> allowed,
                                          const std::string& program = "nmcli") const;
    // nmcli calls refused because a bridge's or bond's device name (a word beginning "vswitch"
    // or "bond") was given where nmcli wants a profile: "unknown connection 'vswitch0'",
    // "vswitch0 - no such connection profile".
    std::vector<ToolCall> device_as_profile() const;
    // nmcli calls refused for asking a field nmcli does not have ("invalid field").
    std::vector<ToolCall> invalid_fields() const;
    std::vector<ToolCall> calls_of(const std::string& program) const;
    std::vector<Args> argvs_of(const std::string& program) const;
    std::string str() const;
};
std::ostream& operator<<(std::ostream& os, const Result& r);
std::ostream& operator<<(std::ostream& os, const std::vector<ToolCall>& calls);

// Refusals that come by design, by their texts on standard error.
// nmcli about a profile that is not there: existence probes, best-effort deletes and downs.
inline const std::vector<std::string> kAbsentProfile{"no such connection profile", "unknown connection",
                                                     "is not an active connection"};
// nmcli activations this kernel cannot carry out: it has neither bonding nor 802.1Q, so the bond
// or VLAN device cannot be made, and the ports of such a bond fail with it.
inline const std::vector<std::string> kNoBondOrVlanKernel{"failed to create resources",
                                                          "A dependency of the connection failed"};
// ip about a link that is not there: existence probes, best-effort deletes.
inline const std::vector<std::string> kAbsentLink{"does not exist", "Cannot find device"};

// One NetworkManager profile as `nmcli -t -f NAME,UUID,TYPE,DEVICE connection show` lists it.
struct Profile {
    std::string name, uuid, type, device;  // device empty when not active
    bool operator==(const Profile&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Profile& p);

class RealNm {
public:
    RealNm();  // starts the host unless unavailable(); see failure()
    ~RealNm();  // stops every daemon by PID and lets the namespaces go
    RealNm(const RealNm&) = delete;
    RealNm& operator=(const RealNm&) = delete;

    // Why the tier cannot run on this machine (not root, namespaces refused), or nullopt.
    static std::optional<std::string> unavailable();
    // Empty when the host came up; otherwise why not.
    const std::string& failure() const { return failure_; }

    // --- running ---
    Result run_quillmar(const Args& args, std::chrono::seconds limit = std::chrono::seconds(120));
    // Any program inside (absolute path, or found on PATH without the stand-ins).
    Result exec(const Args& argv, std::chrono::seconds limit = std::chrono::seconds(60));
    // A host tool run the way the program runs it: the stand-ins first on PATH, so the call is
    // logged with the program's own.
    Result run_tool(const Args& argv, std::chrono::seconds limit = std::chrono::seconds(60));
    // The hypervisor of every virsh run inside (LIBVIRT_DEFAULT_URI). A case may point it at a node
    // file of its own, "test:///<path>", for networks and domains of its choosing; every virsh
    // process starts from that file afresh.
    std::string libvirt_uri = "test:///default";
    Result nmcli_result(const Args& args);     // the real nmcli
    std::string nmcli(const Args& args);       // its stdout; a non-zero exit is a test failure
    std::string ip(const Args& args);          // the real ip, the same way
    // Stops NetworkManager by PID, starts it again and waits until it has settled.
    void restart_nm();

    // --- real state ---
    std::vector<Profile> profiles();
    std::optional<Profile> profile(const std::string& name);
    // `nmcli -g FIELD connection show [id] NAME`, trimmed and unescaped; nullopt when refused.
    std::optional<std::string> field(const std::string& name, const std::string& field);
    bool active(const std::string& name);  // the profile is activated on its device
    // Live link facts from the test host's sysfs; nullopt when the link is missing.
    std::optional<std::string> link_mac(const std::string& dev);
    std::optional<std::string> link_master(const std::string& dev);  // "" when it has none
    bool link_exists(const std::string& dev) { return link_mac(dev).has_value(); }
    // Polls `ok` every 200 ms until it holds or `limit` passes; its last answer.
    bool wait_for(const std::function<bool()>& ok, std::chrono::milliseconds limit = std::chrono::seconds(20));

    // --- files, as the program sees them ---
    std::optional<std::string> read(const std::string& path) const;
    bool exists(const std::string& path) const;
    std::vector<std::string> list(const std::string& dir) const;  // sorted names
    // The ledger file with its "created_at" value replaced by "*"; nullopt when missing.
    std::optional<std::string> ledger() const;

    std::vector<ToolCall> calls() const;  // every stand-in call so far
    // Profiles, devices, links and the tail of NetworkManager's log, for failure messages.
    std::string diagnostics();
    int host_pid() const { return world_pid_; }  // PID 1 of the test host, as seen from outside

private:
    std::string inside(const std::string& path) const;
    Result run_inside(const Args& argv, const std::vector<std::string>& env, std::chrono::seconds limit);
    bool request(const std::string& line, std::chrono::seconds limit);

    std::string failure_;
    int world_pid_ = -1;    // PID 1 of the test host, as the host sees it
    int launcher_pid_ = -1;  // its parent, outside the new PID namespace
    int to_world_ = -1, from_world_ = -1, world_err_ = -1;
    int ns_net_ = -1, ns_mnt_ = -1, ns_pid_ = -1;
    std::string pending_;  // unread text from the world
};

// The ledger text the program writes for these lists, "created_at" given as "*" (compare with
// RealNm::ledger()).
std::string ledger_json(const std::vector<std::string>& vswitches, const std::vector<std::string>& vlan_bridges = {},
                        const std::vector<std::string>& veth_pairs = {}, const std::vector<std::string>& bonds = {});

// A Context for calling the program's functions in this process against the test host. Its
// children run inside through the stand-ins (stdin empty, both outputs captured whatever the
// run mode), except `systemd-detect-virt`, which prints `detect_virt`. The root is a temporary
// directory; `physical_nic` gives it a /sys/class/net entry with a PCI device link.
class InProcess {
public:
    explicit InProcess(RealNm& nm);
    ~InProcess();
    InProcess(const InProcess&) = delete;
    InProcess& operator=(const InProcess&) = delete;

    void physical_nic(const std::string& name, const std::string& pci_address);
    std::string out() const { return out_.str(); }
    void set_input(const std::string& text);
    // Every call the stand-ins logged since this was made (its own children and any
    // run_quillmar), with the real tools' answers.
    Result calls() const;

    std::string detect_virt = "none\n";
    const qm::Context& ctx() const { return ctx_; }

private:
    class HostRunner final : public qm::Runner {
    public:
        explicit HostRunner(InProcess& owner) : owner_(owner) {}
        qm::RunResult run(const std::vector<std::string>& argv, qm::RunMode mode) override;

    private:
        InProcess& owner_;
    };

    RealNm& nm_;
    std::size_t first_call_;
    std::filesystem::path root_;
    HostRunner runner_{*this};
    std::istringstream in_;
    std::ostringstream out_, err_;
    qm::SystemClock clock_;
    qm::RealSleeper sleeper_;
    qm::LinuxPlatform platform_;
    qm::Context ctx_;
};

// Fixture: a fresh test host per test, skipped where the tier cannot run.
class RealNmTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Runs the program; it is expected to succeed with nothing on standard error.
    Result run_ok(const Args& args);
    RealNm nm;  // does not start where the tier cannot run
};

}  // namespace qm::realnm

namespace realnm = qm::realnm;
