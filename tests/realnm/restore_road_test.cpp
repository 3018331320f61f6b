// The administrator's road on a real NetworkManager: a host with the management bridge on a
// DHCP LAN, an isolated bridge, a bridge with its own uplink, a bridge whose uplink is a bond, a
// VLAN with its bridge and two veth joins; a backup; profiles and links deleted by hand; the
// restore. Afterwards, and again after NetworkManager restarts, the host must be what it was
// before the deletions. This kernel has neither bonding nor 802.1Q, so the bond and the VLAN
// never come up: for them the profiles are compared, and their ports are what the restore
// reports as not come back.

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "realnm/realnm.hpp"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::IsEmpty;

// What the administrator configured in one stored profile.
struct Facts {
    std::map<std::string, std::string> fields;
    bool operator==(const Facts&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Facts& f) {
    for (const auto& [k, v] : f.fields) os << k << "=" << v << " ";
    return os;
}

const std::vector<std::string> kFields{"connection.type",        "connection.interface-name", "connection.master",
                                       "connection.slave-type",  "connection.autoconnect",    "ipv4.method",
                                       "ipv6.method",            "vlan.parent",               "vlan.id",
                                       "bridge.mac-address",     "bond.options"};
const std::vector<std::string> kPorts{"eth1", "eth2", "vvs0_vs1", "vvs1_vs0", "vvs0_vs2", "vvs2_vs0"};
const std::vector<std::string> kBridges{"vswitch0", "vswitch1", "vswitch2", "vswitch3"};

class RestoreRoad : public realnm::RealNmTest {
protected:
    // The stored profiles (NetworkManager's own in-memory ones left out) with their facts.
    std::map<std::string, Facts> stored_profiles() {
        std::map<std::string, Facts> out;
        for (const auto& line : split(nm.nmcli({"-t", "-f", "NAME,FILENAME", "connection", "show"}))) {
            const auto colon = line.find(':');
            if (colon == std::string::npos || line.find("/run/", colon) == colon + 1) continue;
            const std::string name = line.substr(0, colon);
            Facts f;
            for (const auto& field : kFields) {
                auto value = nm.field(name, field);
                if (value && !value->empty() && *value != "--") f.fields[field] = *value;
            }
            out[name] = f;
        }
        return out;
    }
    static std::vector<std::string> split(const std::string& text) {
        std::vector<std::string> lines;
        std::string line;
        for (char c : text) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty()) lines.push_back(line);
        return lines;
    }
    std::map<std::string, std::string> live_masters() {
        std::map<std::string, std::string> out;
        for (const auto& port : kPorts) out[port] = nm.link_master(port).value_or("(missing)");
        return out;
    }
    std::map<std::string, std::string> bridge_macs() {
        std::map<std::string, std::string> out;
        for (const auto& bridge : kBridges) out[bridge] = nm.link_mac(bridge).value_or("(missing)");
        return out;
    }
    // IPv4 addresses on the interfaces that are ports.
    std::string port_addresses() {
        std::string out;
        for (const char* port : {"eth1", "eth2", "eth3"}) out += nm.ip({"-4", "-o", "addr", "show", "dev", port});
        return out;
    }
    bool bridges_activated() {
        for (const char* name : {"Management Network", "Isolated", "Storage", "Backup", "vlan100br"})
            if (!nm.active(name)) return false;
        return true;
    }

    // Everything that must hold against the host before the deletions.
    void expect_as_before(const std::map<std::string, Facts>& profiles, const std::map<std::string, std::string>& masters,
                          const std::map<std::string, std::string>& macs) {
        EXPECT_TRUE(nm.wait_for(bridges_activated_fn(), 90s)) << nm.diagnostics();
        auto now = stored_profiles();
        for (const auto& [name, facts] : profiles) {
            SCOPED_TRACE(name);
            auto found = now.find(name);
            ASSERT_NE(found, now.end()) << nm.diagnostics();
            EXPECT_EQ(found->second, facts);
        }
        // The only stored profiles that are new: those the veth step gives the pair it made.
        for (const auto& [name, facts] : now)
            if (!profiles.contains(name)) {
                EXPECT_TRUE(name.starts_with("veth-")) << name;
            }
        EXPECT_TRUE(nm.wait_for([&] { return live_masters() == masters; }, 30s))
            << testing::PrintToString(live_masters()) << nm.diagnostics();
        EXPECT_EQ(bridge_macs(), macs);
        EXPECT_EQ(port_addresses(), "");
        EXPECT_THAT(nm.ip({"-4", "-o", "addr", "show", "dev", "vswitch0"}), HasSubstr("192.0.2."));
    }
    std::function<bool()> bridges_activated_fn() {
        return [this] { return bridges_activated(); };
    }
};

TEST_F(RestoreRoad, TheHostComesBackAsItWasAndStaysSoAfterARestart) {
    for (const realnm::Args& args : {
             realnm::Args{"vswitch", "create", "--name", "Management Network", "--uplink", "eth1"},
             realnm::Args{"vswitch", "create", "--name", "Isolated", "--uplink", "none"},
             realnm::Args{"vswitch", "create", "--name", "Storage", "--uplink", "eth2"},
             realnm::Args{"bond", "create", "--members", "eth3"},
             realnm::Args{"vswitch", "create", "--name", "Backup", "--uplink", "bond0"},
             realnm::Args{"vlan", "create", "--vlan-id", "100", "--vswitch", "vswitch0"},
             realnm::Args{"vswitch", "connect", "--bridge", "Isolated", "--to", "Management Network"},
             realnm::Args{"vswitch", "connect", "--bridge", "Storage", "--to", "Management Network"},
         }) {
        auto made = nm.run_quillmar(args);
        ASSERT_EQ(made.status, 0) << made;
    }
    ASSERT_TRUE(nm.wait_for(bridges_activated_fn(), 90s)) << nm.diagnostics();
    const auto profiles = stored_profiles();
    ASSERT_EQ(profiles.at("Vlan 100").fields.at("vlan.parent"), "vswitch0");
    ASSERT_EQ(profiles.at("bond0").fields.at("connection.master"), "vswitch3");
    ASSERT_EQ(profiles.at("Isolated").fields.at("ipv4.method"), "disabled");
    const auto masters = live_masters();
    ASSERT_EQ(masters.at("eth1"), "vswitch0");
    ASSERT_EQ(masters.at("vvs0_vs2"), "vswitch0");
    const auto macs = bridge_macs();
    ASSERT_EQ(port_addresses(), "");

    auto backup = nm.run_quillmar({"config", "backup", "--name", "day1"});
    ASSERT_EQ(backup.status, 0) << backup;
    const std::string document = nm.read("/var/lib/quillmar/backups/day1.json").value_or("");
    EXPECT_THAT(document, testing::Not(HasSubstr("\"name\": \"lo\""))) << document;
    EXPECT_THAT(document, testing::Not(HasSubstr("\"name\": \"vvs0_vs1\""))) << document;

    // By hand: profiles and links gone; the pair between Storage and the management bridge
    // stays, its end on the management bridge released with the bridge.
    for (const char* name : {"Management Uplink", "Management Network", "Isolated", "Storage Uplink", "Vlan 100",
                             "bond0", "eth3", "vlan100br"})
        nm.nmcli({"connection", "delete", name});
    for (const char* link : {"vvs1_vs0", "vswitch0", "vswitch1"}) nm.exec({"ip", "link", "delete", link});
    ASSERT_TRUE(nm.wait_for([&] { return nm.link_master("vvs0_vs2") == ""; })) << nm.diagnostics();

    auto r = nm.run_quillmar({"config", "restore", "--name", "day1"});
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_THAT(r.out, HasSubstr("  + Restored VLAN connection 'Vlan 100'\n")) << r;
    EXPECT_THAT(r.out, HasSubstr("  + Put veth end 'vvs0_vs2' back on bridge 'vswitch0'\n")) << r;
    // What this kernel cannot make is all that did not come back.
    EXPECT_EQ(r.err,
              "[!] Warning: Port 'Vlan 100' is not on its master: vswitch0.100 has no master, not on vlan100br\n"
              "[!] Warning: Port 'bond0' is not on its master: bond0 has no master, not on vswitch3\n"
              "[!] Warning: Port 'eth3' is not on its master: eth3 has no master, not on bond0\n")
        << r;
    EXPECT_THAT(r.out, HasSubstr("[!] Configuration restore incomplete: 3 items did not come back (see the "
                                 "warnings above)\n"))
        << r;
    EXPECT_THAT(r.out, testing::Not(HasSubstr("completed successfully"))) << r;
    EXPECT_THAT(r.refusals_except({realnm::kAbsentProfile, realnm::kNoBondOrVlanKernel}), IsEmpty()) << r;
    EXPECT_THAT(r.refusals_except({realnm::kAbsentLink}, "ip"), IsEmpty()) << r;
    for (const auto& argv : r.argvs_of("nmcli")) EXPECT_NE(argv[2], "modify") << testing::PrintToString(argv);

    {
        SCOPED_TRACE("after the restore");
        expect_as_before(profiles, masters, macs);
    }
    nm.restart_nm();
    {
        SCOPED_TRACE("after NetworkManager's restart");
        expect_as_before(profiles, masters, macs);
    }
}

}  // namespace
