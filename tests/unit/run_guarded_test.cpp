#include <gtest/gtest.h>

#include <new>
#include <sstream>
#include <stdexcept>

#include "cli/dispatch.hpp"

namespace qm::cli {
namespace {

TEST(RunGuarded, AnEscapingExceptionEndsWithOneLineAndStatusOne) {
    struct Case {
        const char* name;
        std::function<int()> body;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"allocation failure", []() -> int { throw std::bad_alloc(); }, "error: out of memory\n"},
        {"any other", []() -> int { throw std::runtime_error("broken pipe"); }, "error: broken pipe\n"},
        {"not an exception type", []() -> int { throw 7; }, "error: unexpected failure\n"},
    };
    for (const auto& c : cases) {
        std::ostringstream out, err;
        out << "[+] Before\n";
        EXPECT_EQ(run_guarded(out, err, c.body), 1) << c.name;
        EXPECT_EQ(err.str(), c.err) << c.name;
        EXPECT_EQ(out.str(), "[+] Before\n") << c.name;
    }
}

TEST(RunGuarded, AnOrdinaryRunKeepsItsStatus) {
    std::ostringstream out, err;
    EXPECT_EQ(run_guarded(out, err, [] { return 2; }), 2);
    EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace qm::cli
