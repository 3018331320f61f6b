#include "realnm/realnm.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "sandbox/wire.hpp"
#include "support/child_pipes.hpp"
#include "support/minimal_config.hpp"
#include "utils/json_writer.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"

#ifndef QM_BINARY_PATH
#error "QM_BINARY_PATH must name the built program"
#endif
#ifndef QM_REALNM_SHIM
#error "QM_REALNM_SHIM must name the built logging stand-in"
#endif
#ifndef QM_REALNM_WORLD
#error "QM_REALNM_WORLD must name world.sh"
#endif

namespace qm::realnm {

namespace {

namespace wire = qm::sb::wire;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kPlainPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr const char* kShimDir = "/run/qm/bin";
constexpr const char* kProgram = "/run/qm/quillmar";  // world.sh's copy of the built program
constexpr const char* kBus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket";

void send(int fd, const std::string& msg) {
    std::size_t done = 0;
    while (done < msg.size()) {
        ssize_t n = ::write(fd, msg.data() + done, msg.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

std::string os_error(const std::string& step) { return step + ": " + std::strerror(errno); }

std::optional<std::string> slurp(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return out;
}

std::string fd_text(int fd) {
    std::string out;
    if (fd < 0) return out;
    char buf[4096];
    for (off_t at = 0;;) {
        ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    return out;
}

std::string trim(std::string s) {
    auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!s.empty() && blank(static_cast<unsigned char>(s.back()))) s.pop_back();
    std::size_t i = 0;
    while (i < s.size() && blank(static_cast<unsigned char>(s[i]))) ++i;
    return s.substr(i);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string quote_arg(const std::string& a) {
    bool plain = !a.empty() && std::all_of(a.begin(), a.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr("_./:,=@+-%", c);
    });
    if (plain) return a;
    std::string out = "\"";
    for (char c : a) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Waits for a child, giving up after `limit`; true when it was reaped.
bool reap(pid_t pid, milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        int st = 0;
        pid_t p = waitpid(pid, &st, WNOHANG);
        if (p == pid || (p < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(50));
    }
}

}  // namespace

// ---------------------------------------------------------------- printing

std::string ToolCall::str() const {
    std::string out;
    for (const auto& a : argv) out += (out.empty() ? "" : " ") + quote_arg(a);
    out += "  => exit " + std::to_string(status);
    if (!err.empty()) out += ": " + trim(err.substr(0, err.find('\n')));
    return out;
}
std::ostream& operator<<(std::ostream& os, const ToolCall& c) { return os << c.str(); }

std::ostream& operator<<(std::ostream& os, const std::vector<ToolCall>& calls) {
    os << "\n";
    for (const auto& c : calls) os << "  " << c.str() << "\n";
    return os;
}

std::vector<ToolCall> Result::refusals(const std::vector<std::string>& texts, const std::string& program) const {
    std::vector<ToolCall> out;
    for (const auto& c : calls) {
        if (c.program() != program || c.status == 0) continue;
        bool hit = texts.empty();
        for (const auto& t : texts) hit = hit || c.err.find(t) != std::string::npos;
        if (hit) out.push_back(c);
    }
    return out;
}

std::vector<ToolCall> Result::refusals_except(std::initializer_list<std::vector<std::string>> allowed,
                                              const std::string& program) const {
    std::vector<ToolCall> out;
    for (const auto& c : refusals({}, program)) {
        bool expected = false;
        for (const auto& texts : allowed)
            for (const auto& t : texts) expected = expected || c.err.find(t) != std::string::npos;
        if (!expected) out.push_back(c);
    }
    return out;
}

std::vector<ToolCall> Result::device_as_profile() const {
    std::vector<ToolCall> out;
    for (const auto& c : refusals()) {
        for (std::size_t i = 1; i < c.argv.size(); ++i) {
            const std::string& w = c.argv[i];
            if (w.rfind("vswitch", 0) != 0 && w.rfind("bond", 0) != 0) continue;
            if (c.err.find("unknown connection '" + w + "'") != std::string::npos ||
                c.err.find(w + " - no such connection profile") != std::string::npos) {
                out.push_back(c);
                break;
            }
        }
    }
    return out;
}

std::vector<ToolCall> Result::invalid_fields() const { return refusals({"invalid field"}); }

std::vector<ToolCall> Result::calls_of(const std::string& program) const {
    std::vector<ToolCall> out;
    for (const auto& c : calls)
        if (c.program() == program) out.push_back(c);
    return out;
}

std::vector<Args> Result::argvs_of(const std::string& program) const {
    std::vector<Args> out;
    for (const auto& c : calls)
        if (c.program() == program) out.push_back(c.argv);
    return out;
}

std::string Result::str() const {
    std::string s = "status " + std::to_string(status) + (timed_out ? " (timed out)" : "") + "\n--- stdout ---\n" +
                    out + "--- stderr ---\n" + err;
    if (!calls.empty()) {
        s += "--- host tool calls ---\n";
        for (const auto& c : calls) s += "  " + c.str() + "\n";
    }
    return s;
}
std::ostream& operator<<(std::ostream& os, const Result& r) { return os << "\n" << r.str(); }

std::ostream& operator<<(std::ostream& os, const Profile& p) {
    return os << "{" << p.name << ", " << p.type << ", device '" << p.device << "'}";
}

// ---------------------------------------------------------------- the test host

std::optional<std::string> RealNm::unavailable() {
    static const std::optional<std::string> why = []() -> std::optional<std::string> {
        if (geteuid() != 0) return "needs root: runs NetworkManager in private mount, network and PID namespaces";
        int ctl[2];
        if (pipe2(ctl, O_CLOEXEC) != 0) return os_error("pipe");
        pid_t child = fork();
        if (child == 0) {
            close(ctl[0]);
            if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID) != 0) {
                send(ctl[1], os_error("unshare"));
                _exit(1);
            }
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                send(ctl[1], os_error("make mounts private"));
                _exit(1);
            }
            _exit(0);
        }
        close(ctl[1]);
        std::string msg;
        char buf[256];
        for (ssize_t n; (n = ::read(ctl[0], buf, sizeof buf)) > 0;) msg.append(buf, static_cast<std::size_t>(n));
        close(ctl[0]);
        int st = 0;
        while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
        }
        if (!msg.empty()) return "namespaces refused (" + msg + ")";
        return std::nullopt;
    }();
    return why;
}

RealNm::RealNm() {
    if (unavailable()) return;
    int req[2], rep[2], ctl[2];
    if (pipe2(req, O_CLOEXEC) || pipe2(rep, O_CLOEXEC) || pipe2(ctl, O_CLOEXEC)) {
        failure_ = os_error("pipe");
        return;
    }
    world_err_ = memfd_create("realnm-world-stderr", MFD_CLOEXEC);
    const std::string world = QM_REALNM_WORLD, shim = QM_REALNM_SHIM, program = QM_BINARY_PATH;
    std::fflush(nullptr);
    pid_t launcher = fork();
    if (launcher < 0) {
        failure_ = os_error("fork");
        return;
    }
    if (launcher == 0) {
        // Outside the new PID namespace: makes the namespaces, starts their PID 1, waits for it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID) != 0) {
            send(ctl[1], "E" + os_error("unshare") + "\n");
            _exit(1);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            send(ctl[1], "E" + os_error("make mounts private") + "\n");
            _exit(1);
        }
        pid_t init = fork();
        if (init < 0) {
            send(ctl[1], "E" + os_error("fork") + "\n");
            _exit(1);
        }
        if (init == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(req[0], 0);
            dup2(rep[1], 1);
            if (world_err_ >= 0) dup2(world_err_, 2);
            close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
            const char* argv[] = {"bash", world.c_str(), shim.c_str(), program.c_str(), test::kMinimalSavedConfig,
                                  nullptr};
            const char* envp[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8", "HOME=/run/qm/home", nullptr};
            execve("/bin/bash", const_cast<char**>(argv), const_cast<char**>(envp));
            _exit(127);
        }
        send(ctl[1], "P" + std::to_string(init) + "\n");
        int st = 0;
        while (waitpid(init, &st, 0) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    launcher_pid_ = launcher;
    close(req[0]);
    close(rep[1]);
    close(ctl[1]);
    to_world_ = req[1];
    from_world_ = rep[0];

    std::string ctl_text;
    char buf[256];
    for (ssize_t n; (n = ::read(ctl[0], buf, sizeof buf)) > 0;) {
        ctl_text.append(buf, static_cast<std::size_t>(n));
        if (ctl_text.find('\n') != std::string::npos) break;
    }
    close(ctl[0]);
    if (ctl_text.rfind("P", 0) != 0) {
        failure_ = "cannot start the test host: " + (ctl_text.empty() ? std::string("launcher died") : ctl_text.substr(1));
        return;
    }
    world_pid_ = std::atoi(ctl_text.c_str() + 1);
    for (auto [fd, name] : {std::pair{&ns_net_, "net"}, {&ns_mnt_, "mnt"}, {&ns_pid_, "pid"}}) {
        *fd = open(("/proc/" + std::to_string(world_pid_) + "/ns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (*fd < 0) failure_ = os_error(std::string("open the ") + name + " namespace");
    }
    if (failure_.empty() && !request("", seconds(120))) {
        if (failure_.empty()) failure_ = "the test host did not come up";
    }
}

RealNm::~RealNm() {
    if (to_world_ >= 0) {
        send(to_world_, "stop\n");
        close(to_world_);
    }
    if (launcher_pid_ > 0 && !reap(launcher_pid_, seconds(40))) {
        // PID 1 gone takes everything of its namespace with it.
        if (world_pid_ > 0) kill(world_pid_, SIGKILL);
        kill(launcher_pid_, SIGKILL);
        reap(launcher_pid_, seconds(10));
    }
    for (int fd : {from_world_, world_err_, ns_net_, ns_mnt_, ns_pid_})
        if (fd >= 0) close(fd);
}

// Sends one request line (none for the first "ready") and waits for the world's answer.
bool RealNm::request(const std::string& line, std::chrono::seconds limit) {
    if (from_world_ < 0) return false;
    if (!line.empty()) send(to_world_, line + "\n");
    auto deadline = Clock::now() + limit;
    for (;;) {
        auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string answer = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (answer == "ok" || answer == "ready") return true;
            failure_ = answer.rfind("error ", 0) == 0 ? answer.substr(6) : answer;
            std::string err = fd_text(world_err_);
            if (!err.empty()) failure_ += "\n" + err;
            return false;
        }
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            failure_ = "no answer from the test host within " + std::to_string(limit.count()) + " s";
            return false;
        }
        pollfd p{from_world_, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) continue;
        char buf[1024];
        ssize_t n = ::read(from_world_, buf, sizeof buf);
        if (n <= 0) {
            failure_ = "the test host ended: " + fd_text(world_err_);
            close(from_world_);
            from_world_ = -1;
            return false;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

void RealNm::restart_nm() {
    if (!request("restart-nm", seconds(90))) ADD_FAILURE() << "NetworkManager restart failed: " << failure_;
}

std::string RealNm::inside(const std::string& path) const {
    return "/proc/" + std::to_string(world_pid_) + "/root" + path;
}

Result RealNm::run_inside(const Args& argv, const std::vector<std::string>& env, std::chrono::seconds limit) {
    Result res;
    if (world_pid_ <= 0 || argv.empty()) {
        ADD_FAILURE() << "the test host is not running: " << failure_;
        return res;
    }
    std::vector<std::string> candidates;
    if (argv[0].find('/') != std::string::npos) {
        candidates.push_back(argv[0]);
    } else {
        std::string dirs = kPlainPath;
        for (std::size_t at = 0; at <= dirs.size();) {
            std::size_t colon = std::min(dirs.find(':', at), dirs.size());
            candidates.push_back(dirs.substr(at, colon - at) + "/" + argv[0]);
            at = colon + 1;
        }
    }
    std::vector<char*> cargv, cenv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);

    int out[2], err[2], ctl[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(ctl, O_CLOEXEC)) {
        ADD_FAILURE() << os_error("pipe");
        return res;
    }
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        // Joins the test host, then starts the program as a member of its PID namespace.
        if (setns(ns_net_, CLONE_NEWNET) != 0 || setns(ns_pid_, CLONE_NEWPID) != 0 ||
            setns(ns_mnt_, CLONE_NEWNS) != 0 || chdir("/tmp") != 0) {
            send(ctl[1], "E" + os_error("enter the test host") + "\n");
            _exit(127);
        }
        pid_t prog = fork();
        if (prog == 0) {
            setpgid(0, 0);
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
            int e = ENOENT;
            for (const auto& c : candidates) {
                execve(c.c_str(), cargv.data(), cenv.data());
                if (errno != ENOENT) e = errno;
            }
            send(ctl[1], "E cannot start " + argv[0] + ": " + std::strerror(e) + "\n");
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        send(ctl[1], "P" + std::to_string(prog) + "\n");
        int st = 0;
        while (waitpid(prog, &st, 0) < 0 && errno == EINTR) {
        }
        send(ctl[1], "S" + std::to_string(st) + "\n");
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    close(ctl[1]);
    std::string ctl_text;
    test::ChildPipes pipes;
    pipes.outputs = {{out[0], &res.out}, {err[0], &res.err}, {ctl[0], &ctl_text}};
    res.timed_out = test::drain_child(pipes, limit, [&] {
        for (const auto& line : lines_of(ctl_text))
            if (line.rfind("P", 0) == 0) kill(-std::atoi(line.c_str() + 1), SIGKILL);
        kill(child, SIGKILL);
    });
    int st = 0;
    while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
    }
    for (const auto& line : lines_of(ctl_text)) {
        if (line.rfind("E", 0) == 0) ADD_FAILURE() << line.substr(1);
        if (line.rfind("S", 0) == 0) {
            int ws = std::atoi(line.c_str() + 1);
            res.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        }
    }
    if (res.timed_out) ADD_FAILURE() << argv[0] << " did not finish within " << limit.count() << " s" << res;
    return res;
}

Result RealNm::run_quillmar(const Args& args, std::chrono::seconds limit) {
    Args argv{kProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env{std::string("PATH=") + kShimDir + ":" + kPlainPath, "HOME=/run/qm/home",
                                 "LANG=C.UTF-8", kBus, "LIBVIRT_DEFAULT_URI=" + libvirt_uri};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    std::size_t before = calls().size();
    Result r = run_inside(argv, env, limit);
    auto all = calls();
    if (all.size() > before) r.calls.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    return r;
}

Result RealNm::run_tool(const Args& argv, std::chrono::seconds limit) {
    Args through = argv;
    for (const char* tool : {"nmcli", "ip", "virsh", "systemctl"})
        if (!through.empty() && through[0] == tool) through[0] = std::string(kShimDir) + "/" + tool;
    return run_inside(through,
                      {std::string("PATH=") + kShimDir + ":" + kPlainPath, "HOME=/run/qm/home", "LANG=C.UTF-8", kBus,
                       "LIBVIRT_DEFAULT_URI=" + libvirt_uri},
                      limit);
}

Result RealNm::exec(const Args& argv, std::chrono::seconds limit) {
    return run_inside(argv, {std::string("PATH=") + kPlainPath, "HOME=/run/qm/home", "LANG=C.UTF-8", kBus,
                             "LIBVIRT_DEFAULT_URI=" + libvirt_uri},
                      limit);
}

Result RealNm::nmcli_result(const Args& args) {
    Args argv{"/usr/bin/nmcli"};
    argv.insert(argv.end(), args.begin(), args.end());
    return exec(argv);
}

std::string RealNm::nmcli(const Args& args) {
    Result r = nmcli_result(args);
    if (r.status != 0) {
        Args argv{"nmcli"};
        argv.insert(argv.end(), args.begin(), args.end());
        ADD_FAILURE() << ToolCall{argv, r.status, r.err, {}}.str();
    }
    return r.out;
}

std::string RealNm::ip(const Args& args) {
    Args argv{"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    Result r = exec(argv);
    if (r.status != 0) ADD_FAILURE() << ToolCall{argv, r.status, r.err, {}}.str();
    return r.out;
}

std::vector<Profile> RealNm::profiles() {
    std::vector<Profile> out;
    for (const auto& line : lines_of(nmcli({"-t", "-f", "NAME,UUID,TYPE,DEVICE", "connection", "show"}))) {
        auto f = qm::split_terse(line);
        if (f.size() == 4) out.push_back({f[0], f[1], f[2], f[3]});
    }
    return out;
}

std::optional<Profile> RealNm::profile(const std::string& name) {
    for (auto& p : profiles())
        if (p.name == name) return p;
    return std::nullopt;
}

std::optional<std::string> RealNm::field(const std::string& name, const std::string& field) {
    // Named as the program names profiles, so that a name like "--help" is asked for, not read as an option.
    Args args{"-g", field, "connection", "show"};
    for (auto& word : qm::profile_selector(name)) args.push_back(std::move(word));
    Result r = nmcli_result(args);
    if (r.status != 0) return std::nullopt;
    return qm::unescape_terse(trim(r.out));
}

bool RealNm::active(const std::string& name) { return field(name, "GENERAL.STATE") == "activated"; }

std::optional<std::string> RealNm::link_mac(const std::string& dev) {
    auto text = slurp(inside("/sys/class/net/" + dev + "/address"));
    if (!text) return std::nullopt;
    return trim(*text);
}

std::optional<std::string> RealNm::link_master(const std::string& dev) {
    if (!link_mac(dev)) return std::nullopt;
    char buf[4096];
    ssize_t n = readlink(inside("/sys/class/net/" + dev + "/master").c_str(), buf, sizeof buf);
    if (n <= 0) return std::string();
    std::string target(buf, static_cast<std::size_t>(n));
    return target.substr(target.rfind('/') + 1);
}

bool RealNm::wait_for(const std::function<bool()>& ok, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        if (ok()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(200));
    }
}

std::optional<std::string> RealNm::read(const std::string& path) const { return slurp(inside(path)); }

bool RealNm::exists(const std::string& path) const {
    struct stat st;
    return lstat(inside(path).c_str(), &st) == 0;
}

std::vector<std::string> RealNm::list(const std::string& dir) const {
    std::vector<std::string> out;
    if (DIR* d = opendir(inside(dir).c_str())) {
        while (auto* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") out.push_back(n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<std::string> RealNm::ledger() const {
    auto text = read("/var/lib/quillmar/managed_resources.json");
    if (!text) return text;
    const std::string key = "\"created_at\": \"";
    auto at = text->find(key);
    if (at != std::string::npos) {
        auto end = text->find('"', at + key.size());
        if (end != std::string::npos) text->replace(at + key.size(), end - at - key.size(), "*");
    }
    return text;
}

std::string ledger_json(const std::vector<std::string>& vswitches, const std::vector<std::string>& vlan_bridges,
                        const std::vector<std::string>& veth_pairs, const std::vector<std::string>& bonds) {
    auto list = [](const std::vector<std::string>& names) {
        if (names.empty()) return std::string("[]");
        std::string s = "[\n";
        for (std::size_t i = 0; i < names.size(); ++i)
            s += "    " + qm::json_quote(names[i]) + (i + 1 < names.size() ? ",\n" : "\n");
        return s + "  ]";
    };
    return "{\n  \"vswitches\": " + list(vswitches) + ",\n  \"vlan_bridges\": " + list(vlan_bridges) +
           ",\n  \"veth_pairs\": " + list(veth_pairs) + ",\n  \"bonds\": " + list(bonds) +
           ",\n  \"created_at\": \"*\"\n}";
}

std::vector<ToolCall> RealNm::calls() const {
    std::vector<ToolCall> out;
    if (world_pid_ <= 0) return out;
    auto data = slurp(inside("/run/qm/calls"));
    if (!data) return out;
    wire::Reader r(*data);
    while (!r.done()) {
        ToolCall c;
        auto n = r.number();
        if (!n) break;
        for (long long i = 0; i < *n; ++i)
            if (auto a = r.field()) c.argv.push_back(*a);
        auto nfiles = r.number();
        if (!nfiles) break;
        for (long long i = 0; i < *nfiles; ++i) {
            auto path = r.field();
            auto content = r.field();
            if (path && content) c.files[*path] = *content;
        }
        auto status = r.number();
        auto sig = r.number();
        auto err = r.field();
        if (!status || !sig || !err) break;
        c.status = static_cast<int>(*status);
        c.err = *err;
        out.push_back(std::move(c));
    }
    return out;
}

std::string RealNm::diagnostics() {
    if (world_pid_ <= 0) return "\n(no test host: " + failure_ + ")";
    std::string s = "\n--- profiles ---\n" + exec({"nmcli", "-f", "NAME,UUID,TYPE,DEVICE,STATE", "connection"}).out;
    s += "--- devices ---\n" + exec({"nmcli", "device"}).out;
    s += "--- links ---\n" + exec({"ip", "-br", "link"}).out + exec({"ip", "-4", "-br", "addr"}).out;
    auto log = read("/run/qm/nm/log").value_or("");
    auto lines = lines_of(log);
    s += "--- NetworkManager log (last 40 lines) ---\n";
    for (std::size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i) s += lines[i] + "\n";
    return s;
}

// ---------------------------------------------------------------- in-process calls

InProcess::InProcess(RealNm& nm)
    : nm_(nm),
      first_call_(nm.calls().size()),
      ctx_{runner_, in_, out_, err_, clock_, sleeper_, platform_, {}, std::filesystem::path("/tmp")} {
    std::string dir = "/dev/shm/qm-realnm-root-XXXXXX";
    if (!mkdtemp(dir.data())) {
        ADD_FAILURE() << os_error("make a temporary root");
        dir = "/nonexistent";
    }
    root_ = dir;
    ctx_.root = root_;
    for (const char* sub : {"var/lib/quillmar", "var/log", "etc/quillmar", "sys/class/net", "sys/devices"})
        std::filesystem::create_directories(root_ / sub);
}

InProcess::~InProcess() {
    std::error_code ec;
    if (root_.string().rfind("/dev/shm/qm-realnm-root-", 0) == 0) std::filesystem::remove_all(root_, ec);
}

void InProcess::physical_nic(const std::string& name, const std::string& pci_address) {
    std::filesystem::create_directories(root_ / "sys/devices" / pci_address);
    std::filesystem::create_directories(root_ / "sys/class/net" / name);
    std::filesystem::create_symlink("../../../devices/" + pci_address, root_ / "sys/class/net" / name / "device");
}

void InProcess::set_input(const std::string& text) {
    in_.clear();
    in_.str(text);
}

Result InProcess::calls() const {
    Result r;
    auto all = nm_.calls();
    if (all.size() > first_call_) r.calls.assign(all.begin() + static_cast<std::ptrdiff_t>(first_call_), all.end());
    return r;
}

qm::RunResult InProcess::HostRunner::run(const std::vector<std::string>& argv, qm::RunMode mode) {
    qm::ProcessResult p;
    if (!argv.empty() && argv[0] == "systemd-detect-virt") {
        p.out = owner_.detect_virt;
        return p;
    }
    Result r = owner_.nm_.run_tool(argv);
    p.exit_code = r.status;
    p.wait_status = (r.status & 0xff) << 8;
    if (mode != qm::RunMode::Detached) {
        p.out = r.out;
        p.err = r.err;
    }
    return p;
}

void RealNmTest::SetUp() {
    if (auto why = RealNm::unavailable()) GTEST_SKIP() << *why;
    ASSERT_EQ(nm.failure(), "") << "the test host did not come up";
}

Result RealNmTest::run_ok(const Args& args) {
    auto r = nm.run_quillmar(args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    return r;
}

}  // namespace qm::realnm
