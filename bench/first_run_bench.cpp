// The first-run check reads and checks the saved configuration before every command; the
// document holds every libvirt network's whole XML and can grow large. This measures that
// step on a generated document of about 10 MB, beside its floor: reading the same file and
// checking that it is UTF-8.
#include <benchmark/benchmark.h>

#include <iostream>
#include <string>

#include "bench/first_run_bench.hpp"
#include "cmds/config/backup_document.hpp"
#include "cmds/config/lookup.hpp"
#include "support/fake_host.hpp"
#include "utils/fs.hpp"
#include "utils/text.hpp"

namespace {

using namespace std::chrono;

constexpr std::size_t kTargetBytes = 10 * 1024 * 1024;
constexpr std::size_t kSmokeBytes = 64 * 1024;

// A network definition as libvirt dumps it, with a long list of static DHCP hosts.
std::string network_xml(std::size_t n, std::size_t hosts) {
    std::string xml = "<network>\n  <name>net" + std::to_string(n) + "</name>\n"
                      "  <uuid>8d2a1c63-52f0-4e6b-9a1f-" + std::to_string(100000000000 + n) + "</uuid>\n"
                      "  <forward mode='nat'>\n    <nat>\n      <port start='1024' end='65535'/>\n    </nat>\n"
                      "  </forward>\n  <bridge name='virbr" + std::to_string(n) + "' stp='on' delay='0'/>\n"
                      "  <mac address='52:54:00:9f:41:0b'/>\n"
                      "  <ip address='192.168.122.1' netmask='255.255.255.0'>\n    <dhcp>\n"
                      "      <range start='192.168.122.2' end='192.168.122.254'/>\n";
    for (std::size_t h = 0; h < hosts; ++h)
        xml += "      <host mac='52:54:00:00:" + std::to_string(10 + h % 90) + ":" + std::to_string(10 + h % 89) +
               "' name=\"vm-" + std::to_string(h) + "\" ip='192.168.122." + std::to_string(h % 250 + 2) + "'/>\n";
    xml += "    </dhcp>\n  </ip>\n</network>\n";
    return xml;
}

qm::NetworkConfig large_document(std::size_t target_bytes) {
    qm::NetworkConfig c;
    c.metadata = {"backup_20240305_070809", std::string("generated"), qm::SystemTime{} + seconds(1709622489),
                  "1.0.0", true};
    const std::size_t profiles = target_bytes >= kTargetBytes ? 400 : 4;
    for (std::size_t i = 0; i < profiles; ++i) {
        qm::ConnectionInfo p;
        p.name = "profile-" + std::to_string(i);
        p.uuid = "eno" + std::to_string(i);
        p.type_ = i % 3 == 0 ? "bridge" : "802-3-ethernet";
        p.interface_name = p.uuid;
        p.master = "vswitch" + std::to_string(i % 10);
        p.slave_type = "bridge";
        p.mac_address = "52:54:00:12:34:56";
        p.ipv4_method = "disabled";
        p.ipv6_method = "ignore";
        p.autoconnect = true;
        c.network_manager.connections.push_back(std::move(p));
        c.bridge_mac_addresses["vswitch" + std::to_string(i)] = "52:54:00:aa:bb:cc";
    }
    std::size_t size = qm::network_config_to_json_pretty(c).size();
    for (std::size_t n = 0; size < target_bytes; ++n) {
        qm::LibvirtNetwork net{"net" + std::to_string(n), "8d2a1c63", true, true, true,
                               "virbr" + std::to_string(n), network_xml(n, 200)};
        size += net.xml_config.size() + 300;
        c.libvirt_networks.push_back(std::move(net));
    }
    return c;
}

constexpr const char* kSavedConfig = "/etc/quillmar/config.json";

// A fake host whose saved configuration is the generated document.
struct HostWithDocument {
    explicit HostWithDocument(std::size_t target_bytes) : document(large_document(target_bytes)) {
        text = qm::network_config_to_json_pretty(document);
        host.write_file(kSavedConfig, text);
    }
    qm::test::FakeHost host;
    qm::NetworkConfig document;
    std::string text;
};

void BM_CheckFirstRun(benchmark::State& state, std::size_t target_bytes) {
    HostWithDocument h(target_bytes);
    for (auto _ : state) qm::check_first_run(h.host.ctx);
    if (!h.host.out.str().empty() || !h.host.runner.calls.empty()) state.SkipWithError("the check took a backup");
    state.counters["document_bytes"] = static_cast<double>(h.text.size());
    state.counters["networks"] = static_cast<double>(h.document.libvirt_networks.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * h.text.size()));
}

void BM_ReadFileCheckUtf8(benchmark::State& state, std::size_t target_bytes) {
    HostWithDocument h(target_bytes);
    for (auto _ : state) {
        if (!qm::bench::read_and_check_utf8(h.host.file(kSavedConfig))) {
            state.SkipWithError("the document does not read as UTF-8");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * h.text.size()));
}

}  // namespace

namespace qm::bench {

bool read_and_check_utf8(const std::filesystem::path& file) {
    auto bytes = read_file(file);
    return bytes && is_valid_utf8(*bytes);
}

void register_first_run_benchmarks(bool smoke) {
    const std::size_t bytes = smoke ? kSmokeBytes : kTargetBytes;
    const std::string size = smoke ? "saved_config_64KiB" : "saved_config_10MB";
    auto* check = benchmark::RegisterBenchmark(("CheckFirstRun/" + size).c_str(),
                                               [bytes](benchmark::State& s) { BM_CheckFirstRun(s, bytes); });
    auto* floor = benchmark::RegisterBenchmark(("ReadFileCheckUtf8/" + size).c_str(),
                                               [bytes](benchmark::State& s) { BM_ReadFileCheckUtf8(s, bytes); });
    for (benchmark::internal::Benchmark* b : {check, floor}) {
        b->Unit(benchmark::kMillisecond);
        if (smoke) b->Iterations(1);
    }
}

int first_run_once(bool floor_only) {
    HostWithDocument h(kTargetBytes);
    std::cout << "document " << h.text.size() << " bytes\n";
    if (floor_only) return read_and_check_utf8(h.host.file(kSavedConfig)) ? 0 : 1;
    check_first_run(h.host.ctx);
    return h.host.out.str().empty() ? 0 : 1;
}

}  // namespace qm::bench
