// Keeping a bridge's MAC address across uplink changes, so the host keeps its DHCP lease
// and its address: the stored MAC file and the network identity record of each bridge.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "utils/context.hpp"
#include "utils/paths.hpp"

namespace qm {

struct BridgeNetworkIdentity {
    std::string bridge_name;
    std::string original_mac;               // first MAC seen on the bridge; empty until found
    std::optional<std::string> lease_mac;   // MAC of the bridge's DHCP lease
    std::optional<std::string> current_ip;  // IPv4 address without prefix length
    bool dhcp_enabled = false;
    std::string last_uplink;
    std::uint64_t creation_timestamp = 0;   // seconds since the epoch
    std::uint64_t last_update = 0;
    bool operator==(const BridgeNetworkIdentity&) const = default;
};

// Pretty JSON, keys in field order, null for absent texts, no final line end.
std::string network_identity_to_json(const BridgeNetworkIdentity& identity);
// The object form (any key order, unknown keys skipped, lease_mac/current_ip optional) or the
// array form of the eight values; anything else is no record.
std::optional<BridgeNetworkIdentity> parse_network_identity(std::string_view text);

// Where the MAC that a preservation run applies comes from, in the order they are tried.
struct MacPreservationStrategy {
    enum class Source { DhcpLeaseMac, OriginalMac, UplinkMac, CurrentBridgeMac };
    Source source;
    std::string mac;
    bool operator==(const MacPreservationStrategy&) const = default;
};

// What one run has found out about a bridge, handed from step to step so that the run asks it,
// or does it, once.
struct KnownBridge {
    // What names the bridge's profile (profile_for_device). Once the bridge profile is there,
    // nothing a run does to the uplink profiles or to activations changes that answer.
    std::optional<std::string> profile;
    // The MAC this run put on the running bridge itself (`ip link set ... address`). It stays for
    // the rest of the run: ports joining or leaving do not change an address set so, and bringing
    // a bridge profile up again keeps the link as it is (one pinned to another MAC is refused).
    std::optional<std::string> pinned_mac;
};

// Pins the bridge's MAC in its profile and puts it on the running bridge at once, silently. The
// profile's value alone reaches the bridge only when the profile next creates it; until then the
// bridge follows its ports' MACs, and a profile whose MAC differs from its running bridge's no
// longer activates there ("Failed to find a compatible device"). An address set on the bridge
// itself stays through port changes, so a MAC this run already set there is not set again.
void pin_bridge_mac(const Context& ctx, const std::string& bridge, const std::string& profile, const std::string& mac,
                    KnownBridge& known);
// Writes the stored MAC file and prints the outcome (success on stdout, a warning on stderr).
void store_original_mac(const Context& ctx, const std::string& bridge, const std::string& mac);
// The stored MAC without surrounding white space; absent when unreadable or blank.
std::optional<std::string> load_original_mac(const Context& ctx, const std::string& bridge);
// The token after the words of key on the first line that holds key and has one,
// stripped of ';' and then '"' at both ends.
std::optional<std::string> extract_lease_value(std::string_view text, std::string_view key);
// Chooses, pins and records the bridge MAC after an uplink change; `known` is what the run
// already knows of the bridge, and gets what this step learns.
Status preserve_bridge_network_identity(const Context& ctx, const std::string& bridge, const std::string& uplink,
                                        KnownBridge& known);
Status preserve_bridge_network_identity(const Context& ctx, const std::string& bridge, const std::string& uplink);
// The simpler pinning used when the preservation fails: the stored (or current) MAC on the profile.
void ensure_mac_persistence(const Context& ctx, const std::string& bridge, KnownBridge& known);
void ensure_mac_persistence(const Context& ctx, const std::string& bridge);

}  // namespace qm
