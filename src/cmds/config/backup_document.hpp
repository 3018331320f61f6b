// The backup document (`NetworkConfig`) and the backup index (`BackupIndex`): the records,
// how they are written and how they are read back.
//
// Every file that holds a backup uses this one form: the backup files, the two copies of the
// newest one and the fallback files in the current directory. Each record has one
// description below that drives both reading and writing (see utils/json_record.hpp):
//   - written in the pretty layout, keys in declaration order, absent values as null, date-times
//     as RFC 3339 in UTC with "Z", no line end after the closing brace;
//   - read as an object in any key order (unknown keys skipped, a repeated key refused) or as
//     the array of all values in declaration order; every refusal names the record
//     ("struct BackupMetadata", "struct BackupMetadata with 5 elements") and ends in
//     " at line L column C". There is no partial result.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cmds/bridge/topology.hpp"
#include "utils/expected.hpp"
#include "utils/json.hpp"
#include "utils/managed_resources/managed_resources.hpp"
#include "utils/time.hpp"

namespace qm {

// Name, time and kind of one backup; also one entry of the index.
struct BackupMetadata {
    std::string name;
    std::optional<std::string> description;
    SystemTime created_at;
    std::string version;
    bool is_default = false;
    bool operator==(const BackupMetadata&) const = default;
};

// One NetworkManager profile. `uuid` holds what the profile listing's second column shows.
struct ConnectionInfo {
    std::string name;
    std::string uuid;
    std::string type_;  // the key is spelled "type_" too
    std::optional<std::string> interface_name;
    std::optional<std::string> master;
    std::optional<std::string> slave_type;
    std::optional<std::string> mac_address;
    std::optional<std::string> bridge_mac_address;
    std::optional<std::string> bond_options;
    std::optional<std::string> ipv4_method;
    std::optional<std::string> ipv6_method;
    std::optional<bool> autoconnect;
    bool operator==(const ConnectionInfo&) const = default;
};

struct NetworkManagerConfig {
    std::vector<ConnectionInfo> connections;
    bool operator==(const NetworkManagerConfig&) const = default;
};

struct LibvirtNetwork {
    std::string name;
    std::string uuid;
    bool active = false;
    bool persistent = false;
    bool autostart = false;
    std::optional<std::string> bridge;  // the network's bridge device
    std::string xml_config;             // the whole XML definition
    bool operator==(const LibvirtNetwork&) const = default;
};

// One veth pair: `veth_name` is the end enslaved to `bridge1`, `veth_peer` the end enslaved
// to `bridge2`.
struct VethConnection {
    std::string veth_name;
    std::string veth_peer;
    std::string bridge1;
    std::string bridge2;
    SystemTime created_at;
    std::string connection_id;
    bool operator==(const VethConnection&) const = default;
};

// Copies of the two topology files, and the veth pairs once more.
struct BridgeTopology {
    MasterBridgeList master_bridges;
    BridgeConnectionMap bridge_connections;
    std::vector<VethConnection> veth_pairs;
    bool operator==(const BridgeTopology&) const = default;
};

// Bridge device name -> its MAC address text.
using BridgeMacMap = std::map<std::string, std::string>;

// The backup document.
struct NetworkConfig {
    BackupMetadata metadata;
    NetworkManagerConfig network_manager;
    std::vector<LibvirtNetwork> libvirt_networks;
    BridgeMacMap bridge_mac_addresses;
    std::vector<VethConnection> veth_connections;
    BridgeTopology bridge_topology;
    std::optional<ManagedResources> managed_resources;  // a missing key reads as none
    bool operator==(const NetworkConfig&) const = default;
};

// The index of all backups, newest first.
struct BackupIndex {
    std::vector<BackupMetadata> backups;
    std::optional<std::string> default_backup;
    bool operator==(const BackupIndex&) const = default;
};

// ------------------------------------------------------------------ one description each

constexpr auto describe_json(JsonTag<BackupMetadata>) {
    using R = BackupMetadata;
    return json_record("BackupMetadata", required_field("name", &R::name),
                       optional_field("description", &R::description), required_field("created_at", &R::created_at),
                       required_field("version", &R::version), required_field("is_default", &R::is_default));
}

constexpr auto describe_json(JsonTag<ConnectionInfo>) {
    using R = ConnectionInfo;
    return json_record("ConnectionInfo", required_field("name", &R::name), required_field("uuid", &R::uuid),
                       required_field("type_", &R::type_), optional_field("interface_name", &R::interface_name),
                       optional_field("master", &R::master), optional_field("slave_type", &R::slave_type),
                       optional_field("mac_address", &R::mac_address),
                       optional_field("bridge_mac_address", &R::bridge_mac_address),
                       optional_field("bond_options", &R::bond_options),
                       optional_field("ipv4_method", &R::ipv4_method), optional_field("ipv6_method", &R::ipv6_method),
                       optional_field("autoconnect", &R::autoconnect));
}

constexpr auto describe_json(JsonTag<NetworkManagerConfig>) {
    using R = NetworkManagerConfig;
    return json_record("NetworkManagerConfig", required_field("connections", &R::connections));
}

constexpr auto describe_json(JsonTag<LibvirtNetwork>) {
    using R = LibvirtNetwork;
    return json_record("LibvirtNetwork", required_field("name", &R::name), required_field("uuid", &R::uuid),
                       required_field("active", &R::active), required_field("persistent", &R::persistent),
                       required_field("autostart", &R::autostart), optional_field("bridge", &R::bridge),
                       required_field("xml_config", &R::xml_config));
}

constexpr auto describe_json(JsonTag<VethConnection>) {
    using R = VethConnection;
    return json_record("VethConnection", required_field("veth_name", &R::veth_name),
                       required_field("veth_peer", &R::veth_peer), required_field("bridge1", &R::bridge1),
                       required_field("bridge2", &R::bridge2), required_field("created_at", &R::created_at),
                       required_field("connection_id", &R::connection_id));
}

constexpr auto describe_json(JsonTag<BridgeTopology>) {
    using R = BridgeTopology;
    return json_record("BridgeTopology", required_field("master_bridges", &R::master_bridges),
                       required_field("bridge_connections", &R::bridge_connections),
                       required_field("veth_pairs", &R::veth_pairs));
}

constexpr auto describe_json(JsonTag<NetworkConfig>) {
    using R = NetworkConfig;
    return json_record("NetworkConfig", required_field("metadata", &R::metadata),
                       required_field("network_manager", &R::network_manager),
                       required_field("libvirt_networks", &R::libvirt_networks),
                       required_field("bridge_mac_addresses", &R::bridge_mac_addresses),
                       required_field("veth_connections", &R::veth_connections),
                       required_field("bridge_topology", &R::bridge_topology),
                       optional_field("managed_resources", &R::managed_resources));
}

constexpr auto describe_json(JsonTag<BackupIndex>) {
    using R = BackupIndex;
    return json_record("BackupIndex", required_field("backups", &R::backups),
                       optional_field("default_backup", &R::default_backup));
}

// ------------------------------------------------------------------ whole documents

// The document's text exactly as it is written to a file. Every time point the document can
// hold renders, so this cannot fail.
std::string network_config_to_json_pretty(const NetworkConfig& config);
// A whole document; only white space may follow it ("trailing characters").
Result<NetworkConfig> network_config_from_json(std::string_view text);
// Whether network_config_from_json would read the text, with the same refusal when it would
// not, in one pass over the text that keeps none of the records.
Status check_network_config_json(std::string_view text);

std::string backup_index_to_json_pretty(const BackupIndex& index);
Result<BackupIndex> backup_index_from_json(std::string_view text);

}  // namespace qm
