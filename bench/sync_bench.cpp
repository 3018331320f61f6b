// `config sync` over a ledger whose entries are nearly all stale: every vswitch it lists is
// gone from NetworkManager but a few. The ledger is written afresh before each run (outside
// the timing), so every run drops the same entries.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/sync_bench.hpp"
#include "cmds/config/maintenance.hpp"
#include "support/fake_host.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/paths.hpp"

namespace {

constexpr int kLive = 20;

void BM_ConfigSync(benchmark::State& state) {
    const auto stale = static_cast<int>(state.range(0));
    qm::test::FakeHost host;
    qm::ManagedResources ledger;
    ledger.created_at = "2024-03-05T07:08:09Z";
    std::string listing;
    for (int i = 0; i < stale + kLive; ++i) ledger.vswitches.push_back("Lab " + std::to_string(i));
    for (int i = stale; i < stale + kLive; ++i)
        listing += "Lab " + std::to_string(i) + ":vswitch" + std::to_string(i % 100) + ":bridge:activated\n";
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}, qm::test::Answer::ok(listing));
    const std::string text = qm::managed_resources_to_json(ledger);

    for (auto _ : state) {
        state.PauseTiming();
        host.write_file(qm::kManagedResourcesPath, text);
        host.out.str({});
        state.ResumeTiming();
        if (!qm::sync_config_files(host.ctx)) state.SkipWithError("sync failed");
    }
    auto after = qm::load_managed_resources(host.ctx);
    if (after.value.vswitches.size() != static_cast<std::size_t>(kLive)) state.SkipWithError("sync kept stale entries");
    state.counters["stale_entries"] = static_cast<double>(stale);
}

}  // namespace

namespace qm::bench {

void register_sync_benchmarks(bool smoke) {
    auto* b = benchmark::RegisterBenchmark("ConfigSync", BM_ConfigSync)->ArgName("stale")->Unit(benchmark::kMillisecond);
    if (smoke) {
        b->Arg(60)->Iterations(1);
    } else {
        b->Arg(6000)->Arg(60000)->Iterations(3);
    }
}

}  // namespace qm::bench
