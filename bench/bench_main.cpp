// Benchmarks (not tests): the program's own CPU per child it starts, measured on `vm list`
// against a virsh stand-in that answers at once, the speed of the lossy UTF-8 decoder on
// a large domain definition, and the first-run check on a large saved configuration
// (first_run_bench.cpp), and `config sync` over a ledger of stale entries (sync_bench.cpp). Run
// through scripts/bench.
//
//   qm_bench [benchmark flags]   the full set
//   qm_bench --smoke             a tiny run of each, to show they still work
//   qm_bench --decode-once       decode the 2 MiB definition once (for an instruction count)
//   qm_bench --first-run-once    one first-run check on the 10 MB document (likewise)
//   qm_bench --read-utf8-once    one read and UTF-8 check of the same file (likewise)

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/first_run_bench.hpp"
#include "bench/sync_bench.hpp"
#include "cmds/vm/vm.hpp"
#include "utils/context.hpp"
#include "utils/platform.hpp"
#include "utils/process.hpp"
#include "utils/text.hpp"

namespace {

constexpr std::size_t kDefinitionSize = 2u << 20;

// Counts the children started through it.
class CountingRunner final : public qm::Runner {
public:
    explicit CountingRunner(qm::Runner& inner) : inner_(inner) {}
    qm::RunResult run(const std::vector<std::string>& argv, qm::RunMode mode) override {
        ++count;
        return inner_.run(argv, mode);
    }
    long count = 0;

private:
    qm::Runner& inner_;
};

double own_cpu_seconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);  // children are not included
    auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return secs(ru.ru_utime) + secs(ru.ru_stime);
}

// A directory whose only entry is `virsh`, the stand-in; first on PATH while it lives.
class FakeVirshOnPath {
public:
    explicit FakeVirshOnPath(long vms) {
        dir_ = std::filesystem::path("/dev/shm") / ("qm-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::filesystem::remove(dir_ / "virsh");
        std::filesystem::create_symlink(QM_BENCH_FAKE_VIRSH, dir_ / "virsh");
        if (const char* p = std::getenv("PATH")) old_path_ = p;
        ::setenv("PATH", dir_.c_str(), 1);
        ::setenv("QM_BENCH_VMS", std::to_string(vms).c_str(), 1);
    }
    ~FakeVirshOnPath() {
        if (old_path_) ::setenv("PATH", old_path_->c_str(), 1);
        else ::unsetenv("PATH");
        ::unsetenv("QM_BENCH_VMS");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    FakeVirshOnPath(const FakeVirshOnPath&) = delete;
    FakeVirshOnPath& operator=(const FakeVirshOnPath&) = delete;

private:
    std::filesystem::path dir_;
    std::optional<std::string> old_path_;
};

// `vm list` over range(0) machines while the process holds range(1) MiB of touched heap.
void BM_VmList(benchmark::State& state) {
    const long vms = state.range(0);
    std::vector<char> ballast(static_cast<std::size_t>(state.range(1)) << 20);
    if (!ballast.empty()) {
        std::memset(ballast.data(), 1, ballast.size());  // resident, so every page table entry exists
        benchmark::DoNotOptimize(ballast.data());
    }

    FakeVirshOnPath virsh(vms);
    qm::PosixRunner posix;
    CountingRunner runner(posix);
    qm::SystemClock clock;
    qm::RealSleeper sleeper;
    std::istringstream in;
    std::ostringstream out, err;
    qm::LinuxPlatform platform;
    const qm::Context ctx{runner, in, out, err, clock, sleeper, platform, "/", std::filesystem::path("/")};

    double cpu = 0;
    for (auto _ : state) {
        out.str({});
        const double before = own_cpu_seconds();
        qm::list_vms(ctx);
        cpu += own_cpu_seconds() - before;
    }
    if (out.str().find("bench-vm-") == std::string::npos) state.SkipWithError("the listing shows no machine");
    state.counters["children"] = benchmark::Counter(static_cast<double>(runner.count));
    state.counters["own_cpu_us_per_child"] = benchmark::Counter(runner.count ? cpu * 1e6 / static_cast<double>(runner.count) : 0);
}

// A domain definition of about `size` bytes: mostly ASCII markup with some multi-byte text.
std::string domain_definition(std::size_t size, bool damaged) {
    std::string xml =
        "<domain type='kvm' id='7'>\n  <name>bench-vm</name>\n  <uuid>3f6b1c2e-8d4a-4b7e-9c1f-2a5d6e7f8a9b</uuid>\n"
        "  <description>Prüfstand für Überlast — café, naïve, 東京, 🚀</description>\n  <devices>\n";
    for (int i = 0; xml.size() < size; ++i) {
        const std::string n = std::to_string(i);
        xml += "    <disk type='file' device='disk'>\n      <driver name='qemu' type='qcow2' cache='none'/>\n"
               "      <source file='/var/lib/libvirt/images/disk-" + n + ".qcow2'/>\n      <target dev='vd" + n +
               "' bus='virtio'/>\n      <alias name='virtio-disk" + n + "'/>\n    </disk>\n"
               "    <interface type='network'>\n      <mac address='52:54:00:00:00:" + n.substr(0, 2) +
               "'/>\n      <source network='lan-" + n + "'/>\n      <model type='virtio'/>\n    </interface>\n";
        if (i % 40 == 0) xml += "    <!-- Gerät " + n + ": Größe geändert, übernommen — ✓ -->\n";
        if (damaged && i % 20 == 0) xml += "    <!-- \xC3\x28 \xED\xA0\x80 \xF0\x9F\x98 -->\n";
    }
    xml += "  </devices>\n</domain>\n";
    return xml;
}

void BM_DecodeLossy(benchmark::State& state, bool damaged) {
    const std::string xml = domain_definition(static_cast<std::size_t>(state.range(0)), damaged);
    for (auto _ : state) {
        std::string text = qm::decode_utf8_lossy(xml);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(xml.size()));
    state.counters["bytes"] = benchmark::Counter(static_cast<double>(xml.size()));
}

void register_all(bool smoke) {
    auto* list = benchmark::RegisterBenchmark("VmList", BM_VmList)->ArgNames({"vms", "heap_mib"})->Unit(benchmark::kMillisecond);
    if (smoke) {
        list->Args({3, 0})->Iterations(1);
    } else {
        list->Args({1000, 0})->Args({1000, 256})->Iterations(2);
    }
    const long size = smoke ? 4096 : static_cast<long>(kDefinitionSize);
    for (bool damaged : {false, true}) {
        auto* b = benchmark::RegisterBenchmark(damaged ? "DecodeLossy/damaged" : "DecodeLossy/valid",
                                               [damaged](benchmark::State& s) { BM_DecodeLossy(s, damaged); });
        b->Arg(size)->Unit(benchmark::kMicrosecond);
        if (smoke) b->Iterations(1);
    }
    qm::bench::register_first_run_benchmarks(smoke);
    qm::bench::register_sync_benchmarks(smoke);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    bool smoke = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (std::strcmp(args[i], "--decode-once") == 0) {
            const std::string xml = domain_definition(kDefinitionSize, false);
            std::string text = qm::decode_utf8_lossy(xml);
            benchmark::DoNotOptimize(text.data());
            std::cout << "decoded " << xml.size() << " bytes\n";
            return text.size() == xml.size() ? 0 : 1;
        }
        if (std::strcmp(args[i], "--first-run-once") == 0) return qm::bench::first_run_once(false);
        if (std::strcmp(args[i], "--read-utf8-once") == 0) return qm::bench::first_run_once(true);
        if (std::strcmp(args[i], "--smoke") == 0) {
            smoke = true;
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i--));
        }
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
    register_all(smoke);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
