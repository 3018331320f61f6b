// Sees a definition file at the moment virsh is handed it, since the fake runner cannot read files.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_host.hpp"

namespace qm::test {

class VirshFileSpy final : public Runner {
public:
    struct Seen {
        std::string path;
        std::string content;
        bool regular = false;  // a regular file, not a link
        unsigned perms = 0;
        bool held = false;  // a run holds the file's lock, so cleaners pass it over
    };

    // Watches `virsh <verb> ...`, whose file path is argv[path_index].
    VirshFileSpy(FakeHost& host, std::string verb, std::size_t path_index)
        : host_(host), verb_(std::move(verb)), index_(path_index) {}

    RunResult run(const std::vector<std::string>& argv, RunMode mode) override {
        if (argv.size() > index_ && argv[0] == "virsh" && argv[1] == verb_) {
            Seen s;
            s.path = argv[index_];
            struct stat st {};
            if (::lstat(s.path.c_str(), &st) == 0) {
                s.regular = S_ISREG(st.st_mode);
                s.perms = st.st_mode & 07777;
            }
            if (int fd = ::open(s.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC); fd >= 0) {
                s.held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
                ::close(fd);
            }
            std::ifstream f(s.path, std::ios::binary);
            std::ostringstream text;
            text << f.rdbuf();
            s.content = text.str();
            seen.push_back(s);
        }
        return host_.runner.run(argv, mode);
    }

    std::vector<Seen> seen;

private:
    FakeHost& host_;
    std::string verb_;
    std::size_t index_;

public:
    Context ctx{*this,           host_.in,          host_.out,        host_.err, host_.clock,
                host_.sleeper,   host_.platform,    host_.root.path(), host_.cwd.path()};
};

}  // namespace qm::test
