// Logging stand-in put first on PATH inside the real-NetworkManager test host under the names
// nmcli, ip and virsh: it runs the real program of its name (the next one on PATH), passes
// standard input and output straight through, copies standard error through while keeping it,
// and appends the argument vector, the content of every argument that names a regular file
// (read before the tool runs), the exit status and standard error to /run/qm/calls, so a test
// can see every call the program made and what the real tool answered. Under the name
// systemctl it only logs and exits 0: the test host has no systemd to talk to.

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "sandbox/wire.hpp"

namespace {

namespace wire = qm::sb::wire;

constexpr const char* kCallLog = "/run/qm/calls";

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::string slurp(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

// Path and content of each argument that is an absolute path to a regular file, wire-encoded.
std::string files_of(int argc, char** argv) {
    std::string buf;
    long long count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (argv[i][0] != '/' || stat(argv[i], &st) != 0 || !S_ISREG(st.st_mode)) continue;
        int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        wire::put(buf, argv[i]);
        wire::put(buf, slurp(fd));
        close(fd);
        ++count;
    }
    std::string out;
    wire::put(out, count);
    return out + buf;
}

void record(int argc, char** argv, const std::string& files, int status, int signal, const std::string& err) {
    std::string buf;
    wire::put(buf, static_cast<long long>(argc));
    for (int i = 0; i < argc; ++i) wire::put(buf, argv[i]);
    buf += files;
    wire::put(buf, static_cast<long long>(status));
    wire::put(buf, static_cast<long long>(signal));
    wire::put(buf, err);
    int fd = open(kCallLog, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    write_all(fd, buf.data(), buf.size());  // one write: records of concurrent calls stay whole
    close(fd);
}

// The real program of this name: the first executable on PATH that is not this stand-in.
std::string find_real(const std::string& name) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string me = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon - start);
        if (!dir.empty()) {
            std::string candidate = dir + "/" + name;
            char real[PATH_MAX];
            if (access(candidate.c_str(), X_OK) == 0 && realpath(candidate.c_str(), real) && me != real)
                return candidate;
        }
        if (colon == std::string::npos) return {};
        start = colon + 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = argv[0];
    if (auto slash = name.rfind('/'); slash != std::string::npos) name = name.substr(slash + 1);

    const std::string files = files_of(argc, argv);
    if (name == "systemctl") {
        record(argc, argv, files, 0, 0, "");
        return 0;
    }
    std::string real = find_real(name);
    if (real.empty()) {
        std::string msg = "realnm shim: no real " + name + " on PATH\n";
        write_all(2, msg.data(), msg.size());
        record(argc, argv, files, 127, 0, msg);
        return 127;
    }

    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return 127;
    pid_t child = fork();
    if (child < 0) return 127;
    if (child == 0) {
        dup2(err_pipe[1], 2);
        argv[0] = const_cast<char*>(real.c_str());
        execv(real.c_str(), argv);
        _exit(127);
    }
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);
    std::string err;
    char buf[4096];
    for (;;) {
        ssize_t got = read(err_pipe[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        err.append(buf, static_cast<std::size_t>(got));
        write_all(2, buf, static_cast<std::size_t>(got));
    }
    close(err_pipe[0]);
    int st = 0;
    while (waitpid(child, &st, 0) < 0 && errno == EINTR) {
    }
    argv[0] = const_cast<char*>(name.c_str());
    if (WIFSIGNALED(st)) {
        record(argc, argv, files, 128 + WTERMSIG(st), WTERMSIG(st), err);
        signal(WTERMSIG(st), SIG_DFL);
        raise(WTERMSIG(st));
        return 128 + WTERMSIG(st);
    }
    int status = WIFEXITED(st) ? WEXITSTATUS(st) : 127;
    record(argc, argv, files, status, 0, err);
    return status;
}
