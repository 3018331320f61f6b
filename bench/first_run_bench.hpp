// The first-run check on a large saved configuration (first_run_bench.cpp).
#pragma once

#include <filesystem>

namespace qm::bench {

// Registers the benchmarks: the check and its floor (read_and_check_utf8), on a generated
// 10 MB document, or on a small one for a smoke run.
void register_first_run_benchmarks(bool smoke);

// The floor of the check: reads the file whole and checks that it is UTF-8.
bool read_and_check_utf8(const std::filesystem::path& file);

// One check (or, with `floor_only`, one read_and_check_utf8) on the 10 MB document, for an
// instruction count; 0 when it went as expected.
int first_run_once(bool floor_only);

}  // namespace qm::bench
