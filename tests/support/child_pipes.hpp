// Reading a child's pipes to their end with a time limit: the sandbox and the
// real-NetworkManager harness both run a program this way.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::test {

struct ChildPipes {
    // The read ends of the child's output pipes, each with the text its bytes are added to.
    std::vector<std::pair<int, std::string*>> outputs;
    // The write end of the child's stdin pipe, set non-blocking, and what to feed it; closed
    // once all is written (or the child stops reading). -1: none.
    int input_fd = -1;
    std::string_view input;
};

// Reads every output pipe until all of them are closed. When `limit` passes first,
// `on_timeout` is called once (it kills what runs); reading then goes on for five seconds
// more at most, so that a stray holder of a pipe is not waited for. Closes every descriptor
// of `pipes`. True when the limit passed.
inline bool drain_child(ChildPipes pipes, std::chrono::milliseconds limit, const std::function<void()>& on_timeout) {
    using Clock = std::chrono::steady_clock;
    auto& outs = pipes.outputs;
    int in_fd = pipes.input_fd;
    std::size_t fed = 0;
    auto deadline = Clock::now() + limit;
    bool timed_out = false;
    auto open_outputs = [&] { return std::any_of(outs.begin(), outs.end(), [](const auto& o) { return o.first >= 0; }); };
    while (open_outputs()) {
        std::vector<pollfd> p;
        for (const auto& o : outs) p.push_back({o.first, POLLIN, 0});  // a closed one (-1) is passed over
        if (in_fd >= 0) p.push_back({in_fd, POLLOUT, 0});
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        int rc = poll(p.data(), static_cast<nfds_t>(p.size()), static_cast<int>(std::max<long long>(0, left.count())));
        if (rc < 0 && errno == EINTR) continue;
        if (rc == 0) {
            if (timed_out) break;  // everything inside is gone; a stray holder of a pipe is not waited for
            timed_out = true;
            on_timeout();
            deadline = Clock::now() + std::chrono::seconds(5);
            continue;
        }
        for (std::size_t i = 0; i < outs.size(); ++i) {
            auto& [fd, sink] = outs[i];
            if (fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t got = ::read(fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ::close(fd);
                fd = -1;
            } else {
                sink->append(buf, static_cast<std::size_t>(got));
            }
        }
        if (in_fd >= 0 && (p.back().revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = ::write(in_fd, pipes.input.data() + fed, pipes.input.size() - fed);
            if (put > 0) fed += static_cast<std::size_t>(put);
            if ((put < 0 && errno != EAGAIN && errno != EINTR) || fed == pipes.input.size()) {
                ::close(in_fd);
                in_fd = -1;
            }
        }
    }
    for (const auto& o : outs)
        if (o.first >= 0) ::close(o.first);
    if (in_fd >= 0) ::close(in_fd);
    return timed_out;
}

}  // namespace qm::test
