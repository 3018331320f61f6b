// The parsed command line: one case per command, one field per option.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace qm::cli {

struct BondCreate {
    std::optional<std::string> name;
    std::string members;
    std::string mode = "active-backup";
    bool operator==(const BondCreate&) const = default;
};

struct BondChange {
    std::string name;
    std::optional<std::string> members;
    std::optional<std::string> mode;
    bool operator==(const BondChange&) const = default;
};

struct BondDelete {
    std::string name;
    bool operator==(const BondDelete&) const = default;
};

struct BondList { bool operator==(const BondList&) const = default; };
struct BondFixBootPriorities { bool operator==(const BondFixBootPriorities&) const = default; };
struct BondUsage { bool operator==(const BondUsage&) const = default; };

struct BondCommands {
    using Create = BondCreate;
    using Change = BondChange;
    using Delete = BondDelete;
    using List = BondList;
    using FixBootPriorities = BondFixBootPriorities;
    using Usage = BondUsage;
    std::variant<Create, Change, Delete, List, FixBootPriorities, Usage> value;
    bool operator==(const BondCommands&) const = default;
};

struct VlanCreate {
    std::uint16_t vlan_id = 0;
    std::string vswitch;
    bool operator==(const VlanCreate&) const = default;
};

struct VlanDelete {
    std::uint16_t vlan_id = 0;
    bool force = false;
    bool operator==(const VlanDelete&) const = default;
};

struct VlanList { bool operator==(const VlanList&) const = default; };
struct VlanUsage { bool operator==(const VlanUsage&) const = default; };

struct VlanCommands {
    using Create = VlanCreate;
    using Delete = VlanDelete;
    using List = VlanList;
    using Usage = VlanUsage;
    std::variant<Create, Delete, List, Usage> value;
    bool operator==(const VlanCommands&) const = default;
};

struct VethRestore { bool operator==(const VethRestore&) const = default; };

struct VethCommands {
    using Restore = VethRestore;
    std::variant<Restore> value;
    bool operator==(const VethCommands&) const = default;
};

struct VswitchCreate {
    std::string name;
    std::string uplink;
    bool master = false;
    bool operator==(const VswitchCreate&) const = default;
};

struct VswitchDelete {
    std::string name;
    bool operator==(const VswitchDelete&) const = default;
};

struct VswitchChange {
    std::string name;
    std::string uplink;
    bool master = false;
    bool operator==(const VswitchChange&) const = default;
};

struct VswitchSetMaster {
    std::string name;
    bool operator==(const VswitchSetMaster&) const = default;
};

struct VswitchConnect {
    std::string bridge;
    std::string to;
    bool operator==(const VswitchConnect&) const = default;
};

struct VswitchDisconnect {
    std::string bridge;
    std::string from;
    bool operator==(const VswitchDisconnect&) const = default;
};

struct VswitchIsolate {
    std::string bridge;
    bool operator==(const VswitchIsolate&) const = default;
};

struct VswitchQuarantine {
    std::string bridge;
    bool operator==(const VswitchQuarantine&) const = default;
};

struct VswitchTopology { bool operator==(const VswitchTopology&) const = default; };
struct VswitchList { bool operator==(const VswitchList&) const = default; };
struct VswitchUsage { bool operator==(const VswitchUsage&) const = default; };
struct VswitchVeth {
    VethCommands command;
    bool operator==(const VswitchVeth&) const = default;
};


struct VswitchCommands {
    using Create = VswitchCreate;
    using Delete = VswitchDelete;
    using Change = VswitchChange;
    using SetMaster = VswitchSetMaster;
    using Connect = VswitchConnect;
    using Disconnect = VswitchDisconnect;
    using Isolate = VswitchIsolate;
    using Quarantine = VswitchQuarantine;
    using Topology = VswitchTopology;
    using List = VswitchList;
    using Usage = VswitchUsage;
    using Veth = VswitchVeth;
    std::variant<Create, Delete, Change, SetMaster, Connect, Disconnect, Isolate, Quarantine, Topology, List, Usage,
                 Veth>
        value;
    bool operator==(const VswitchCommands&) const = default;
};

struct NetworkCreate {
    std::string name;
    std::optional<std::string> vswitch;
    std::optional<std::uint16_t> vlan_id;
    bool operator==(const NetworkCreate&) const = default;
};

struct NetworkDelete {
    std::string name;
    bool force = false;
    bool operator==(const NetworkDelete&) const = default;
};

struct NetworkChange {
    std::string name;
    std::optional<std::string> vswitch;
    std::optional<std::uint16_t> vlan_id;
    bool operator==(const NetworkChange&) const = default;
};

struct NetworkList { bool operator==(const NetworkList&) const = default; };
struct NetworkAttach {
    std::string network;
    std::string vm;
    bool operator==(const NetworkAttach&) const = default;
};

struct NetworkDetach {
    std::string network;
    std::string vm;
    bool operator==(const NetworkDetach&) const = default;
};

struct NetworkMove {
    std::string vm;
    std::string from;
    std::string to;
    bool operator==(const NetworkMove&) const = default;
};

struct NetworkUsage { bool operator==(const NetworkUsage&) const = default; };

struct NetworkCommands {
    using Create = NetworkCreate;
    using Delete = NetworkDelete;
    using Change = NetworkChange;
    using List = NetworkList;
    using Attach = NetworkAttach;
    using Detach = NetworkDetach;
    using Move = NetworkMove;
    using Usage = NetworkUsage;
    std::variant<Create, Delete, Change, List, Attach, Detach, Move, Usage> value;
    bool operator==(const NetworkCommands&) const = default;
};

struct VmList { bool operator==(const VmList&) const = default; };
struct VmUsage { bool operator==(const VmUsage&) const = default; };

struct VmCommands {
    using List = VmList;
    using Usage = VmUsage;
    std::variant<List, Usage> value;
    bool operator==(const VmCommands&) const = default;
};

struct ListPhysical { bool operator==(const ListPhysical&) const = default; };
struct ListInterfaces { bool operator==(const ListInterfaces&) const = default; };
struct ListConnections { bool operator==(const ListConnections&) const = default; };
struct ListUsage { bool operator==(const ListUsage&) const = default; };

struct ListCommands {
    using Physical = ListPhysical;
    using Interfaces = ListInterfaces;
    using Connections = ListConnections;
    using Usage = ListUsage;
    std::variant<Physical, Interfaces, Connections, Usage> value;
    bool operator==(const ListCommands&) const = default;
};

struct ConfigBackup {
    std::optional<std::string> name;
    std::optional<std::string> description;
    bool operator==(const ConfigBackup&) const = default;
};

struct ConfigRestore {
    std::optional<std::string> name;
    bool operator==(const ConfigRestore&) const = default;
};

struct ConfigList { bool operator==(const ConfigList&) const = default; };
struct ConfigInfo {
    std::optional<std::string> name;
    bool operator==(const ConfigInfo&) const = default;
};

struct ConfigCleanup { bool operator==(const ConfigCleanup&) const = default; };
struct ConfigSmartCleanup { bool operator==(const ConfigSmartCleanup&) const = default; };
struct ConfigSync { bool operator==(const ConfigSync&) const = default; };
struct ConfigRestoreVeth { bool operator==(const ConfigRestoreVeth&) const = default; };
struct ConfigUsage { bool operator==(const ConfigUsage&) const = default; };

struct ConfigCommands {
    using Backup = ConfigBackup;
    using Restore = ConfigRestore;
    using List = ConfigList;
    using Info = ConfigInfo;
    using Cleanup = ConfigCleanup;
    using SmartCleanup = ConfigSmartCleanup;
    using Sync = ConfigSync;
    using RestoreVeth = ConfigRestoreVeth;
    using Usage = ConfigUsage;
    std::variant<Backup, Restore, List, Info, Cleanup, SmartCleanup, Sync, RestoreVeth, Usage> value;
    bool operator==(const ConfigCommands&) const = default;
};

struct Commands {
    struct SyncVmInterfaces { bool operator==(const SyncVmInterfaces&) const = default; };
    struct SyncVmInterfacesUsage { bool operator==(const SyncVmInterfacesUsage&) const = default; };
    struct FixBootPriorities { bool operator==(const FixBootPriorities&) const = default; };
    struct EnableService { bool operator==(const EnableService&) const = default; };
    struct Baseline {
        bool auto_ = false;  // --auto ("auto" is a keyword)
        bool force = false;
        bool operator==(const Baseline&) const = default;
    };

    struct InstallSelf { bool operator==(const InstallSelf&) const = default; };
    struct PostInstall { bool operator==(const PostInstall&) const = default; };
    struct Completion {
        std::string shell;
        bool operator==(const Completion&) const = default;
    };

    struct Usage { bool operator==(const Usage&) const = default; };
    // Bond, Vlan, Vswitch, Network, Vm, List, ..., Config, ... in the order of the command tree.
    std::variant<BondCommands, VlanCommands, VswitchCommands, NetworkCommands, VmCommands, ListCommands,
                 SyncVmInterfaces, SyncVmInterfacesUsage, FixBootPriorities, EnableService, ConfigCommands, Baseline,
                 InstallSelf, PostInstall, Completion, Usage>
        value;
    bool operator==(const Commands&) const = default;
};


struct Cli {
    Commands command;
    bool operator==(const Cli&) const = default;
};

}  // namespace qm::cli
