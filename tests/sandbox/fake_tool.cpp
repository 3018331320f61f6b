// Stand-in for a host tool inside the test sandbox. It is installed under each tool's name;
// every call is appended to the sandbox's call log and answered from the rules the sandbox
// wrote for that name (see sandbox.hpp). Outside a sandbox it does nothing and exits 0, so it
// can never touch the real host.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sandbox/wire.hpp"

namespace {

namespace wire = qm::sb::wire;

std::optional<std::string> slurp(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return out;
}

bool write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void make_parents(const std::string& path) {
    for (std::size_t i = 1; i < path.size(); ++i)
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (auto* d = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (auto* e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            closedir(d);
            for (const auto& n : names) remove_tree(path + "/" + n);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

struct Reply {
    long long status = 0, signal = 0;
    std::string out, err;
    struct Effect {
        long long kind;
        std::string path, data;
    };
    std::vector<Effect> effects;
};

struct Rule {
    bool prefix = false;
    std::vector<std::string> args;
    std::vector<Reply> replies;
};

std::optional<std::vector<Rule>> parse_rules(const std::string& data) {
    wire::Reader r(data);
    std::vector<Rule> rules;
    auto count = r.number();
    if (!count) return std::nullopt;
    for (long long i = 0; i < *count; ++i) {
        Rule rule;
        auto prefix = r.number();
        auto nargs = r.number();
        if (!prefix || !nargs) return std::nullopt;
        rule.prefix = *prefix != 0;
        for (long long a = 0; a < *nargs; ++a) {
            auto f = r.field();
            if (!f) return std::nullopt;
            rule.args.push_back(*f);
        }
        auto nreplies = r.number();
        if (!nreplies) return std::nullopt;
        for (long long k = 0; k < *nreplies; ++k) {
            Reply rep;
            auto status = r.number();
            auto sig = r.number();
            auto out = r.field();
            auto err = r.field();
            auto neff = r.number();
            if (!status || !sig || !out || !err || !neff) return std::nullopt;
            rep.status = *status;
            rep.signal = *sig;
            rep.out = *out;
            rep.err = *err;
            for (long long e = 0; e < *neff; ++e) {
                auto kind = r.number();
                auto path = r.field();
                auto d = r.field();
                if (!kind || !path || !d) return std::nullopt;
                rep.effects.push_back({*kind, *path, *d});
            }
            rule.replies.push_back(std::move(rep));
        }
        rules.push_back(std::move(rule));
    }
    return rules;
}

bool matches(const Rule& rule, const std::vector<std::string>& args) {
    if (rule.prefix) {
        if (args.size() < rule.args.size()) return false;
        for (std::size_t i = 0; i < rule.args.size(); ++i)
            if (args[i] != rule.args[i]) return false;
        return true;
    }
    return args == rule.args;
}

// Takes the next reply of rule `index`, advancing its counter kept in the tree.
const Reply& next_reply(const std::string& tool, std::size_t index, const Rule& rule) {
    std::string counter = std::string(wire::kCountDir) + "/" + tool + "." + std::to_string(index);
    std::size_t used = 0;
    if (auto c = slurp(counter)) used = std::strtoull(c->c_str(), nullptr, 10);
    std::size_t pick = used < rule.replies.size() ? used : rule.replies.size() - 1;
    int fd = open(counter.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        write_all(fd, std::to_string(used + 1));
        close(fd);
    }
    return rule.replies[pick];
}

void apply(const Reply::Effect& e) {
    if (e.path.empty() || e.path[0] != '/') return;
    switch (e.kind) {
        case wire::kWrite: {
            make_parents(e.path);
            int fd = open(e.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                write_all(fd, e.data);
                close(fd);
            }
            break;
        }
        case wire::kRemove:
            remove_tree(e.path);
            break;
        case wire::kMakeDir:
            make_parents(e.path + "/");
            break;
        case wire::kSymlink:
            make_parents(e.path);
            unlink(e.path.c_str());
            if (symlink(e.data.c_str(), e.path.c_str()) != 0) std::perror("fake tool: symlink");
            break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (access(wire::kMarker, F_OK) != 0) return 0;

    std::vector<std::string> all(argv, argv + argc);
    std::string tool = all.empty() ? std::string() : all[0];
    if (auto slash = tool.rfind('/'); slash != std::string::npos) tool = tool.substr(slash + 1);
    std::vector<std::string> args(all.begin() + (all.empty() ? 0 : 1), all.end());

    // One tool at a time: the log append and the counter update stay consistent even when
    // the program starts tools without waiting for them.
    int lock = open(wire::kLock, O_RDWR | O_CLOEXEC);
    if (lock >= 0) flock(lock, LOCK_EX);

    std::string record;
    wire::put(record, static_cast<long long>(all.size()));
    for (const auto& a : all) wire::put(record, a);
    std::vector<std::pair<std::string, std::string>> files;
    for (std::size_t i = 1; i < all.size(); ++i) {
        const auto& a = all[i];
        struct stat st;
        if (a.empty() || a[0] != '/' || stat(a.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (auto content = slurp(a)) files.emplace_back(a, *content);
    }
    wire::put(record, static_cast<long long>(files.size()));
    for (const auto& [p, c] : files) {
        wire::put(record, p);
        wire::put(record, c);
    }
    int log = open(wire::kCalls, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (log >= 0) {
        write_all(log, record);
        close(log);
    }

    const Reply* reply = nullptr;
    std::vector<Rule> rules;
    if (!tool.empty() && tool != "." && tool != "..") {
        if (auto data = slurp(std::string(wire::kRulesDir) + "/" + tool)) {
            if (auto parsed = parse_rules(*data)) {
                rules = std::move(*parsed);
            } else {
                std::fputs("fake tool: damaged rule file\n", stderr);
                return 125;
            }
        }
    }
    for (std::size_t i = rules.size(); i-- > 0;) {
        if (!rules[i].replies.empty() && matches(rules[i], args)) {
            reply = &next_reply(tool, i, rules[i]);
            break;
        }
    }
    if (reply)
        for (const auto& e : reply->effects) apply(e);
    if (lock >= 0) close(lock);
    if (!reply) return 0;

    write_all(1, reply->out);
    write_all(2, reply->err);
    if (reply->signal > 0) {
        signal(static_cast<int>(reply->signal), SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, static_cast<int>(reply->signal));
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        raise(static_cast<int>(reply->signal));
        kill(getpid(), SIGKILL);  // the signal was one that does not end a process
    }
    return static_cast<int>(reply->status & 0xff);
}
