// The first-run check on a large saved configuration (first_run_bench.cpp).
#pragma once

namespace qm::bench {

// Registers the benchmark: on a generated 10 MB document, or on a small one for a smoke run.
void register_first_run_benchmarks(bool smoke);

}  // namespace qm::bench
