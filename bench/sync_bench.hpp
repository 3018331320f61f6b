#pragma once

namespace qm::bench {

// `config sync` at 6,000 and 60,000 stale ledger entries, or at 60 for a smoke run.
void register_sync_benchmarks(bool smoke);

}  // namespace qm::bench
