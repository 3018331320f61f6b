// Stand-in for virsh in the benchmark: answers every query `vm list` makes at once, from
// memory, so that the cost measured is the caller's. The number of machines comes from
// QM_BENCH_VMS (default 1000). It never looks at or changes anything on the host.

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void put(const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(1, s.data() + done, s.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

std::string vm_name(long i) {
    std::string digits = std::to_string(i);
    return "bench-vm-" + std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    const std::string cmd = argv[1];
    const std::string name = argc > 2 ? argv[2] : "";
    if (cmd == "list") {
        const char* env = std::getenv("QM_BENCH_VMS");
        const long count = env ? std::strtol(env, nullptr, 10) : 1000;
        std::string out;
        for (long i = 0; i < count; ++i) out += vm_name(i) + "\n";
        put(out + "\n");
    } else if (cmd == "domstate") {
        put("running\n\n");
    } else if (cmd == "domautostart") {
        put("enabled\n\n");
    } else if (cmd == "dominfo") {
        put("Id:             1\nName:           " + name +
            "\nUUID:           3f6b1c2e-8d4a-4b7e-9c1f-2a5d6e7f8a9b\nOS Type:        hvm\n"
            "State:          running\nCPU(s):         2\nCPU time:       12.3s\nMax memory:     2097152 KiB\n"
            "Used memory:    2097152 KiB\nPersistent:     yes\nAutostart:      enable\n"
            "Managed save:   no\nSecurity model: none\nSecurity DOI:   0\n\n");
    } else if (cmd == "dumpxml") {
        put("<domain type='kvm'>\n  <name>" + name +
            "</name>\n  <memory unit='KiB'>2097152</memory>\n  <vcpu placement='static'>2</vcpu>\n"
            "  <os>\n    <type arch='x86_64' machine='pc-q35-7.2'>hvm</type>\n  </os>\n  <devices>\n"
            "    <interface type='network'>\n      <mac address='52:54:00:12:34:56'/>\n"
            "      <source network='lan'/>\n      <model type='virtio'/>\n    </interface>\n"
            "  </devices>\n</domain>\n");
    } else if (cmd == "domiflist") {
        put(" Interface   Type      Source   Model    MAC\n"
            "-----------------------------------------------------------\n"
            " vnet0       network   lan      virtio   52:54:00:12:34:56\n\n");
    } else {
        return 1;
    }
    return 0;
}
