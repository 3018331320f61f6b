// Measures `vswitch create --name Lab --uplink eth1` on the real daemon: the host-tool calls
// it makes and its wall time, each run on a fresh test host. Not part of the test suite (a
// timing is no assertion); run it by hand:
//
//     build/tests/realnm_measure [runs]      (default 11 runs; prints the calls of the first)
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "realnm/realnm.hpp"

namespace {

int g_runs = 11;

std::string joined(const realnm::Args& argv) {
    std::string s;
    for (const auto& a : argv) s += (s.empty() ? "" : " ") + a;
    return s;
}

TEST(Measure, VswitchCreateWithOneUplink) {
    if (auto why = realnm::RealNm::unavailable()) GTEST_SKIP() << *why;
    std::vector<double> wall_ms;
    std::vector<std::size_t> counts;
    for (int i = 0; i < g_runs; ++i) {
        realnm::RealNm nm;
        ASSERT_EQ(nm.failure(), "") << "the test host did not come up";
        const auto start = std::chrono::steady_clock::now();
        auto r = nm.run_quillmar({"vswitch", "create", "--name", "Lab", "--uplink", "eth1"});
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(r.status, 0) << r;
        wall_ms.push_back(std::chrono::duration<double, std::milli>(took).count());
        counts.push_back(r.calls.size());
        if (i == 0) {
            std::map<std::string, int> repeats;
            for (const auto& c : r.calls) {
                std::cout << "  " << joined(c.argv) << "\n";
                ++repeats[joined(c.argv)];
            }
            for (const auto& [call, n] : repeats)
                if (n > 1) std::cout << "  repeated " << n << "x: " << call << "\n";
        }
        std::cout << "run " << i + 1 << ": " << r.calls.size() << " calls, " << wall_ms.back() << " ms\n";
    }
    auto sorted = wall_ms;
    std::sort(sorted.begin(), sorted.end());
    std::cout << "calls (each run):";
    for (auto n : counts) std::cout << " " << n;
    std::cout << "\nwall time: median " << sorted[sorted.size() / 2] << " ms, min " << sorted.front() << " ms, max "
              << sorted.back() << " ms over " << sorted.size() << " runs\n";
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1) g_runs = std::max(1, std::atoi(argv[1]));
    return RUN_ALL_TESTS();
}
