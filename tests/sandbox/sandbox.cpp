#include "sandbox/sandbox.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sandbox/wire.hpp"
#include "support/child_pipes.hpp"
#include "support/minimal_config.hpp"

#ifndef QM_BINARY_PATH
#error "QM_BINARY_PATH must name the built program"
#endif
#ifndef QM_FAKE_TOOL_PATH
#error "QM_FAKE_TOOL_PATH must name the built fake tool"
#endif

namespace qm::sb {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- replies

Reply& Reply::writes(std::string path, std::string content) {
    effects.push_back({Effect::Kind::Write, std::move(path), std::move(content)});
    return *this;
}
Reply& Reply::removes(std::string path) {
    effects.push_back({Effect::Kind::Remove, std::move(path), {}});
    return *this;
}
Reply& Reply::makes_dir(std::string path) {
    effects.push_back({Effect::Kind::MakeDir, std::move(path), {}});
    return *this;
}
Reply& Reply::links(std::string path, std::string target) {
    effects.push_back({Effect::Kind::Symlink, std::move(path), std::move(target)});
    return *this;
}

Reply reply(int status, std::string out, std::string err) {
    Reply r;
    r.status = status;
    r.out = std::move(out);
    r.err = std::move(err);
    return r;
}
Reply ok(std::string out) { return reply(0, std::move(out)); }
Reply fail(int status, std::string err) { return reply(status, {}, std::move(err)); }
Reply killed(int signal, std::string out) {
    Reply r = reply(0, std::move(out));
    r.signal = signal;
    return r;
}

// ---------------------------------------------------------------- printing

namespace {

// Printable ASCII as is; everything else escaped. Newlines kept when `keep_newlines`.
std::string escape(const std::string& s, bool keep_newlines) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\n' && keep_newlines) {
            out += '\n';
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '"' && !keep_newlines) {
            out += "\\\"";
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string quote_arg(const std::string& a) {
    bool plain = !a.empty() && std::all_of(a.begin(), a.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr("_./:,=@+-%", c);
    });
    return plain ? a : "\"" + escape(a, false) + "\"";
}

std::string block(const char* title, const std::string& bytes) {
    std::string out = std::string("--- ") + title + " (" + std::to_string(bytes.size()) + " bytes) ---\n";
    out += escape(bytes, true);
    if (!bytes.empty() && bytes.back() != '\n') out += "\\ (no newline at end)\n";
    return out;
}

}  // namespace

std::string Call::program() const {
    if (argv.empty()) return {};
    auto slash = argv[0].rfind('/');
    return slash == std::string::npos ? argv[0] : argv[0].substr(slash + 1);
}

std::string Call::str() const {
    std::string out;
    for (const auto& a : argv) {
        if (!out.empty()) out += ' ';
        out += quote_arg(a);
    }
    return out;
}

std::ostream& operator<<(std::ostream& os, const Call& c) { return os << c.str(); }

std::string Result::str() const {
    std::string out = "status " + std::to_string(status);
    if (signal) out += " (signal " + std::to_string(signal) + ")";
    if (timed_out) out += " (timed out)";
    out += "\n" + block("stdout", this->out) + block("stderr", err);
    return out;
}

std::ostream& operator<<(std::ostream& os, const Result& r) { return os << "\n" << r.str(); }

// ---------------------------------------------------------------- tools and interfaces

Tool& Tool::on(Args args, Reply r) { return on(std::move(args), std::vector<Reply>{std::move(r)}); }
Tool& Tool::on(Args args, std::vector<Reply> rs) {
    if (rs.empty()) throw std::invalid_argument("a rule needs at least one reply");
    rules_.push_back({std::move(args), false, std::move(rs)});
    return *this;
}
Tool& Tool::on_prefix(Args prefix, Reply r) {
    return on_prefix(std::move(prefix), std::vector<Reply>{std::move(r)});
}
Tool& Tool::on_prefix(Args prefix, std::vector<Reply> rs) {
    if (rs.empty()) throw std::invalid_argument("a rule needs at least one reply");
    rules_.push_back({std::move(prefix), true, std::move(rs)});
    return *this;
}

std::string Iface::dir() const { return "/sys/class/net/" + name_; }

Iface& Iface::pci(const std::string& address) {
    // As on a real host: the link points into the device tree and ends in the PCI address.
    sb_->mkdir("/sys/devices/pci0000:00/" + address);
    sb_->symlink(dir() + "/device", "../../../devices/pci0000:00/" + address);
    return *this;
}
Iface& Iface::mac(const std::string& address) { return file("address", address + "\n"); }
Iface& Iface::carrier(bool up) { return file("carrier", up ? "1\n" : "0\n"); }
Iface& Iface::carrier_text(const std::string& raw) { return file("carrier", raw); }
Iface& Iface::master(const std::string& name) {
    sb_->symlink(dir() + "/master", "../" + name);
    return *this;
}
Iface& Iface::file(const std::string& entry, const std::string& content) {
    sb_->write(dir() + "/" + entry, content);
    return *this;
}

// ---------------------------------------------------------------- the tree

namespace {

const char* const kHostTools[] = {"nmcli", "ip", "virsh", "systemctl", "systemd-detect-virt"};
const char* const kUnitDir = "/usr/lib/systemd/system";
const char* const kUnitStore = "/.qm/usr-units";

void copy_file(const fs::path& from, const fs::path& to, fs::perms perms) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, perms);
}

std::optional<std::string> slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

Sandbox::Sandbox() {
    char tmpl[] = "/dev/shm/qm-sbx-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error(std::string("cannot create the sandbox tree: ") + std::strerror(errno));
    root_ = tmpl;
    fs::permissions(root_, fs::perms(0755));
    for (const char* d : {"var/lib/quillmar", "var/log", "var/lib/dhcp", "etc/quillmar", "etc/systemd/system",
                          "etc/bash_completion.d", "tmp", "sys/class/net", "sys/devices", "fakebin", "qmbin",
                          "dev", "proc", "usr", "sbin", "root", "run", ".qm/rules", ".qm/count",
                          ".qm/usr-units", ".qm/fake"})
        fs::create_directories(root_ / d);
    fs::permissions(root_ / "tmp", fs::perms(01777));
    for (const char* l : {"bin", "lib", "lib64"})
        if (fs::exists(fs::path("/usr") / l)) fs::create_directory_symlink(fs::path("usr") / l, root_ / l);
    // What the dynamic loader and the C library look for.
    for (const char* f : {"ld.so.cache", "passwd", "group", "nsswitch.conf"})
        if (fs::is_regular_file(fs::path("/etc") / f)) copy_file(fs::path("/etc") / f, root_ / "etc" / f, fs::perms(0644));
    copy_file(QM_BINARY_PATH, root_ / "qmbin/quillmar", fs::perms(0755));
    copy_file(QM_FAKE_TOOL_PATH, root_ / ".qm/fake/tool", fs::perms(0755));
    for (const char* f : {wire::kMarker, wire::kCalls, wire::kLock}) std::ofstream(root_ / (f + 1));
    iface("lo").mac("00:00:00:00:00:00").carrier(true);
    // With a saved configuration in place the first-run backup stays quiet.
    write("/etc/quillmar/config.json", std::string(test::kMinimalSavedConfig) + "\n");
    for (const char* t : kHostTools) tool(t);
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

namespace {

// Where an absolute, normal path the program sees lives on the host; nullopt for the parts
// that are the host's own inside (read-only /usr, but for the unit directory) or kernel views.
std::optional<fs::path> mapped(const fs::path& root, std::string norm) {
    std::string units = kUnitDir;
    auto under = [&](const std::string& dir) { return norm == dir || norm.rfind(dir + "/", 0) == 0; };
    if (under(units))
        norm = kUnitStore + norm.substr(units.size());
    else if (under("/usr") || under("/dev") || under("/proc"))
        return std::nullopt;
    return root / fs::path(norm).relative_path();
}

// Follows symbolic links the way the program would see them, without leaving the tree.
std::optional<fs::path> resolve(const fs::path& root, const std::string& p) {
    std::string cur = "/";
    std::vector<std::string> todo;
    for (const auto& part : fs::path(p).relative_path()) todo.push_back(part.string());
    std::reverse(todo.begin(), todo.end());
    int hops = 0;
    while (!todo.empty()) {
        std::string part = todo.back();
        todo.pop_back();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            cur = fs::path(cur).parent_path().string();
            continue;
        }
        std::string next = cur == "/" ? "/" + part : cur + "/" + part;
        std::error_code ec;
        auto host = mapped(root, next);
        if (host && fs::is_symlink(fs::symlink_status(*host, ec))) {
            if (++hops > 40) return std::nullopt;
            fs::path target = fs::read_symlink(*host, ec);
            if (ec) return std::nullopt;
            if (target.is_absolute()) cur = "/";
            std::vector<std::string> parts;
            for (const auto& t : target.relative_path()) parts.push_back(t.string());
            for (auto it = parts.rbegin(); it != parts.rend(); ++it) todo.push_back(*it);
            continue;
        }
        cur = next;
    }
    return mapped(root, cur);
}

}  // namespace

fs::path Sandbox::path(const std::string& p) const {
    fs::path abs(p);
    if (!abs.is_absolute()) throw std::invalid_argument("sandbox paths are absolute: " + p);
    for (const auto& part : abs)
        if (part == "..") throw std::invalid_argument("sandbox paths may not climb: " + p);
    auto host = mapped(root_, abs.lexically_normal().string());
    if (!host) throw std::invalid_argument("not part of the sandbox tree: " + p);
    return *host;
}

void Sandbox::write(const std::string& p, const std::string& content) {
    fs::path host = path(p);
    fs::create_directories(host.parent_path());
    std::ofstream f(host, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!f) throw std::runtime_error("cannot write " + p);
}

std::optional<std::string> Sandbox::read(const std::string& p) const {
    path(p);  // refuses what is not part of the tree
    auto host = resolve(root_, fs::path(p).lexically_normal().string());
    if (!host || !fs::is_regular_file(*host)) return std::nullopt;
    return slurp(*host);
}

bool Sandbox::exists(const std::string& p) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path(p), ec));
}

void Sandbox::remove(const std::string& p) {
    std::error_code ec;
    fs::remove_all(path(p), ec);
}

void Sandbox::mkdir(const std::string& p) { fs::create_directories(path(p)); }

void Sandbox::symlink(const std::string& p, const std::string& target) {
    fs::path host = path(p);
    fs::create_directories(host.parent_path());
    std::error_code ec;
    fs::remove(host, ec);
    fs::create_symlink(target, host);
}

std::optional<std::string> Sandbox::link_target(const std::string& p) const {
    std::error_code ec;
    fs::path t = fs::read_symlink(path(p), ec);
    if (ec) return std::nullopt;
    return t.string();
}

std::vector<std::string> Sandbox::listing_order(const std::string& dir) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(path(dir), ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    return names;
}

std::vector<std::string> Sandbox::list(const std::string& dir) const {
    auto names = listing_order(dir);
    std::sort(names.begin(), names.end());
    return names;
}

Iface Sandbox::iface(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        throw std::invalid_argument("bad interface name: " + name);
    mkdir("/sys/class/net/" + name);
    return Iface(*this, name);
}

// ---------------------------------------------------------------- fake tools

Tool& Sandbox::tool(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        throw std::invalid_argument("bad tool name: " + name);
    auto it = tools_.find(name);
    if (it == tools_.end()) {
        it = tools_.emplace(name, std::unique_ptr<Tool>(new Tool(name))).first;
        fs::create_hard_link(root_ / ".qm/fake/tool", root_ / "fakebin" / name);
    }
    return *it->second;
}

Sandbox& Sandbox::missing(const std::string& name) {
    tool(name).present_ = false;
    fs::remove(root_ / "fakebin" / name);
    return *this;
}

void Sandbox::write_rules() const {
    for (const auto& [name, t] : tools_) {
        std::string buf;
        wire::put(buf, static_cast<long long>(t->rules_.size()));
        for (const auto& rule : t->rules_) {
            wire::put(buf, rule.prefix ? 1LL : 0LL);
            wire::put(buf, static_cast<long long>(rule.args.size()));
            for (const auto& a : rule.args) wire::put(buf, a);
            wire::put(buf, static_cast<long long>(rule.replies.size()));
            for (const auto& r : rule.replies) {
                wire::put(buf, static_cast<long long>(r.status));
                wire::put(buf, static_cast<long long>(r.signal));
                wire::put(buf, r.out);
                wire::put(buf, r.err);
                wire::put(buf, static_cast<long long>(r.effects.size()));
                for (const auto& e : r.effects) {
                    int kind = e.kind == Effect::Kind::Write     ? wire::kWrite
                               : e.kind == Effect::Kind::Remove  ? wire::kRemove
                               : e.kind == Effect::Kind::MakeDir ? wire::kMakeDir
                                                                 : wire::kSymlink;
                    wire::put(buf, static_cast<long long>(kind));
                    wire::put(buf, e.path);
                    wire::put(buf, e.data);
                }
            }
        }
        std::ofstream f(root_ / (std::string(wire::kRulesDir) + "/" + name).substr(1), std::ios::binary | std::ios::trunc);
        f.write(buf.data(), static_cast<std::streamsize>(buf.size()));
    }
}

std::vector<Call> Sandbox::calls() const {
    std::vector<Call> out;
    auto data = slurp(root_ / (wire::kCalls + 1));
    if (!data) return out;
    wire::Reader r(*data);
    while (!r.done()) {
        Call c;
        auto n = r.number();
        if (!n) break;
        bool good = true;
        for (long long i = 0; i < *n && good; ++i) {
            auto a = r.field();
            if (a) c.argv.push_back(*a); else good = false;
        }
        auto nf = good ? r.number() : std::nullopt;
        if (!nf) break;
        for (long long i = 0; i < *nf && good; ++i) {
            auto p = r.field();
            auto content = r.field();
            if (p && content) c.files[*p] = *content; else good = false;
        }
        if (!good) break;
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<Call> Sandbox::calls_of(const std::string& program) const {
    std::vector<Call> out;
    for (auto& c : calls())
        if (c.program() == program) out.push_back(std::move(c));
    return out;
}

Argvs Sandbox::argvs() const {
    Argvs out;
    for (auto& c : calls()) out.push_back(std::move(c.argv));
    return out;
}

Argvs Sandbox::argvs_of(const std::string& program) const {
    Argvs out;
    for (auto& c : calls_of(program)) out.push_back(std::move(c.argv));
    return out;
}

std::string Sandbox::dump() const {
    auto all = calls();
    std::string out = "\n--- host tool calls (" + std::to_string(all.size()) + ") ---\n";
    for (std::size_t i = 0; i < all.size(); ++i) {
        out += std::to_string(i + 1) + ". " + all[i].str() + "\n";
        for (const auto& [p, content] : all[i].files)
            out += "   file " + p + " (" + std::to_string(content.size()) + " bytes)\n";
    }
    return out;
}

void Sandbox::clear_calls() { std::ofstream(root_ / (wire::kCalls + 1), std::ios::trunc); }

// ---------------------------------------------------------------- running

Sandbox& Sandbox::env(const std::string& name, const std::string& value) {
    env_.emplace_back(name, value);
    return *this;
}
Sandbox& Sandbox::cwd(const std::string& dir) {
    cwd_ = dir;
    return *this;
}
Sandbox& Sandbox::timeout(std::chrono::milliseconds limit) {
    timeout_ = limit;
    return *this;
}
Sandbox& Sandbox::user(unsigned uid, unsigned gid) {
    user_ = {uid, gid};
    for (const char* f : {wire::kCalls, wire::kLock}) fs::permissions(root_ / (f + 1), fs::perms(0666));
    fs::permissions(root_ / (wire::kCountDir + 1), fs::perms(0777));
    return *this;
}

namespace {

struct Launch {
    std::string tree;
    std::vector<std::string> candidates;  // executables to try, in order, inside the tree
    Args argv;
    std::vector<std::string> envp;
    std::string cwd;
    std::optional<std::pair<unsigned, unsigned>> user;  // uid, gid; root when absent
};

// Mount flags of the source that a read-only remount must keep (the kernel refuses to drop
// locked ones).
unsigned long kept_flags(const char* path) {
    struct statvfs s;
    if (statvfs(path, &s) != 0) return 0;
    unsigned long f = 0;
    if (s.f_flag & ST_NOSUID) f |= MS_NOSUID;
    if (s.f_flag & ST_NODEV) f |= MS_NODEV;
    if (s.f_flag & ST_NOEXEC) f |= MS_NOEXEC;
    if (s.f_flag & ST_NOATIME) f |= MS_NOATIME;
    if (s.f_flag & ST_NODIRATIME) f |= MS_NODIRATIME;
    if (s.f_flag & ST_RELATIME) f |= MS_RELATIME;
    return f;
}

void send(int fd, const std::string& msg) {
    std::size_t done = 0;
    while (done < msg.size()) {
        ssize_t n = ::write(fd, msg.data() + done, msg.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

[[noreturn]] void setup_failed(int ctl, const std::string& step) {
    send(ctl, "E" + step + ": " + std::strerror(errno) + "\n");
    _exit(127);
}

// The middle process: in the new namespaces, builds the mounts, then starts the init of the
// new PID namespace, which chroots, starts the program and reports its wait status.
[[noreturn]] void run_child(const Launch& l, int in_r, int out_w, int err_w, int ctl) {
    if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID) != 0) setup_failed(ctl, "unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) setup_failed(ctl, "make mounts private");
    std::string usr = l.tree + "/usr";
    if (mount("/usr", usr.c_str(), nullptr, MS_BIND, nullptr) != 0) setup_failed(ctl, "bind /usr");
    if (mount(nullptr, usr.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | kept_flags("/usr"), nullptr) != 0)
        setup_failed(ctl, "make /usr read-only");
    std::string units = l.tree + kUnitDir, store = l.tree + kUnitStore;
    if (mount(store.c_str(), units.c_str(), nullptr, MS_BIND, nullptr) != 0) setup_failed(ctl, "bind the unit directory");
    std::string dev = l.tree + "/dev";
    if (mount("/dev", dev.c_str(), nullptr, MS_BIND, nullptr) != 0) setup_failed(ctl, "bind /dev");

    pid_t init = fork();
    if (init < 0) setup_failed(ctl, "fork");
    if (init > 0) {
        close(in_r);
        close(out_w);
        close(err_w);
        close(ctl);
        int st = 0;
        while (waitpid(init, &st, 0) < 0 && errno == EINTR) {
        }
        _exit(0);
    }

    // PID 1 of the new namespace. When it ends, the kernel ends everything left inside.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string proc = l.tree + "/proc";
    if (mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0 &&
        mount("/proc", proc.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        setup_failed(ctl, "mount /proc");
    if (chroot(l.tree.c_str()) != 0) setup_failed(ctl, "chroot");
    if (chdir(l.cwd.c_str()) != 0) setup_failed(ctl, "chdir " + l.cwd);

    std::vector<char*> argv, envp;
    for (const auto& a : l.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : l.envp) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t prog = fork();
    if (prog < 0) setup_failed(ctl, "fork");
    if (prog == 0) {
        for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(in_r, 0);
        dup2(out_w, 1);
        dup2(err_w, 2);
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        if (l.user && (setgroups(0, nullptr) != 0 || setgid(l.user->second) != 0 || setuid(l.user->first) != 0)) {
            std::string msg = std::string("sandbox: cannot change user: ") + std::strerror(errno) + "\n";
            send(ctl, "X" + msg);
            _exit(127);
        }
        int e = ENOENT;
        for (const auto& c : l.candidates) {
            execve(c.c_str(), argv.data(), envp.data());
            if (errno != ENOENT) e = errno;
        }
        std::string msg = "sandbox: cannot start " + l.argv[0] + ": " + std::strerror(e) + "\n";
        send(2, msg);
        send(ctl, "X" + msg);
        _exit(127);
    }
    close(in_r);
    close(out_w);
    close(err_w);
    for (;;) {
        int st = 0;
        pid_t p = waitpid(-1, &st, 0);
        if (p == prog) {
            send(ctl, "S" + std::to_string(st) + "\n");
            _exit(0);
        }
        if (p < 0 && errno != EINTR) setup_failed(ctl, "wait");
    }
}

struct Outcome {
    Result result;
    std::string setup_error;  // the sandbox itself failed
    std::string start_error;  // the program could not be started
};

Outcome launch(const Launch& l, const std::string& input, std::chrono::milliseconds limit) {
    static const bool sigpipe_ignored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)sigpipe_ignored;

    Outcome o;
    int in[2], out[2], err[2], ctl[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(ctl, O_CLOEXEC)) {
        o.setup_error = std::string("pipe: ") + std::strerror(errno);
        return o;
    }
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        o.setup_error = std::string("fork: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1], ctl[0], ctl[1]}) close(fd);
        return o;
    }
    if (child == 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        close(ctl[0]);
        run_child(l, in[0], out[1], err[1], ctl[1]);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(ctl[1]);

    int in_fd = in[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    std::string ctl_text;
    test::ChildPipes pipes{{{out[0], &o.result.out}, {err[0], &o.result.err}, {ctl[0], &ctl_text}}, in_fd, input};
    o.result.timed_out = test::drain_child(pipes, limit, [&] { kill(child, SIGKILL); });
    int st = 0;
    while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
    }

    std::istringstream lines(ctl_text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        std::string rest = line.substr(1);
        if (line[0] == 'E') o.setup_error = rest;
        if (line[0] == 'X') o.start_error = rest;
        if (line[0] == 'S') {
            int ws = std::atoi(rest.c_str());
            if (WIFEXITED(ws)) {
                o.result.status = WEXITSTATUS(ws);
            } else if (WIFSIGNALED(ws)) {
                o.result.signal = WTERMSIG(ws);
                o.result.status = 128 + o.result.signal;
            }
        }
    }
    return o;
}

}  // namespace

Result Sandbox::run(const Args& args, const std::string& stdin_bytes) {
    Args argv{"quillmar"};
    argv.insert(argv.end(), args.begin(), args.end());
    return start({"/qmbin/quillmar"}, argv, stdin_bytes, true);
}

Result Sandbox::exec(const Args& argv, const std::string& stdin_bytes) {
    if (argv.empty()) throw std::invalid_argument("exec needs a program");
    std::vector<std::string> candidates;
    if (argv[0].find('/') != std::string::npos)
        candidates.push_back(argv[0]);
    else
        candidates = {"/fakebin/" + argv[0], "/qmbin/" + argv[0]};
    return start(candidates, argv, stdin_bytes, false);
}

Result Sandbox::start(const std::vector<std::string>& candidates, const Args& argv, const std::string& input,
                      bool program) {
    for (const auto& a : argv)
        if (a.find('\0') != std::string::npos) throw std::invalid_argument("an argument cannot hold a NUL byte");
    if (auto why = unavailable()) {
        ADD_FAILURE() << "sandboxed runs are not possible here: " << *why;
        return {};
    }
    write_rules();
    Launch l{root_.string(), candidates, argv, {"PATH=/fakebin:/qmbin", "HOME=/root", "LANG=C.UTF-8"}, cwd_, user_};
    // Sanitizer settings of the test run hold for the program too.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(name)) l.envp.push_back(std::string(name) + "=" + v);
    for (const auto& [k, v] : env_) {
        auto same = [&k = k](const std::string& e) { return e.rfind(k + "=", 0) == 0; };
        l.envp.erase(std::remove_if(l.envp.begin(), l.envp.end(), same), l.envp.end());
        l.envp.push_back(k + "=" + v);
    }
    Outcome o = launch(l, input, timeout_);
    if (!o.setup_error.empty()) ADD_FAILURE() << "sandbox setup failed: " << o.setup_error;
    if (program && !o.start_error.empty()) ADD_FAILURE() << o.start_error;
    if (o.result.timed_out)
        ADD_FAILURE() << argv[0] << " did not finish within " << timeout_.count() << " ms" << o.result << dump();
    return o.result;
}

std::optional<std::string> Sandbox::unavailable() {
    static const std::optional<std::string> why = []() -> std::optional<std::string> {
        if (geteuid() != 0) return "needs root: runs the program in private mount, network and PID namespaces";
        try {
            Sandbox probe;
            Launch l{probe.root_.string(), {"/.qm/fake/tool"}, {"probe"}, {"PATH=/fakebin:/qmbin"}, "/", {}};
            Outcome o = launch(l, {}, std::chrono::seconds(30));
            if (!o.setup_error.empty()) return "namespaces or mounts unavailable (" + o.setup_error + ")";
            if (!o.start_error.empty() || o.result.status != 0)
                return "cannot start a program inside the sandbox: " + o.start_error + o.result.err;
        } catch (const std::exception& e) {
            return std::string("cannot build a sandbox tree: ") + e.what();
        }
        return std::nullopt;
    }();
    return why;
}

}  // namespace qm::sb
