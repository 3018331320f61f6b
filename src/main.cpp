#include <iostream>

#include "build_id.hpp"

int main() {
    std::cout << "quillmar 1.0.0 (" << qm::kBuildId << ")\n";
    return 0;
}
