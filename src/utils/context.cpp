#include "utils/context.hpp"

#include <cstring>

namespace qm {

std::string OsError::message() const {
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

std::filesystem::path Context::path(std::string_view absolute) const {
    while (!absolute.empty() && absolute.front() == '/') absolute.remove_prefix(1);
    return root / std::filesystem::path(absolute);
}

}  // namespace qm
