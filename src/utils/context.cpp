#include "utils/context.hpp"

#include <cstring>

namespace qm {

std::string OsError::message() const {
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

std::filesystem::path Context::path(std::string_view fixed) const {
    if (fixed.empty() || fixed.front() != '/') {
        if (!cwd) return std::filesystem::path(fixed);
        return *cwd / std::filesystem::path(fixed);
    }
    while (!fixed.empty() && fixed.front() == '/') fixed.remove_prefix(1);
    return root / std::filesystem::path(fixed);
}

}  // namespace qm
