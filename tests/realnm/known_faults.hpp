// Faults of the program that this tier shows on the real daemon and that are not mended yet.
// A check that depends on one asks `pending(Fault::...)` and is left out while the fault is
// pending; the test then ends as skipped, naming the fault, after all its other checks ran.
// Mending a fault: set its `pending` to false here, which turns every check of it on.
#pragma once

namespace qm::realnm {

enum class Fault {
    DeviceAsProfile,
    MasterField,
    BridgeMacNotLive,
    VirshDomautostart,
};

struct FaultInfo {
    bool pending;
    const char* what;
};

constexpr FaultInfo fault_info(Fault f) {
    switch (f) {
        case Fault::DeviceAsProfile:
            return {true,
                    "pending fault (a): nmcli connection show/modify/up get the bridge's or bond's device name "
                    "where a profile is expected (\"unknown connection 'vswitch0'\")"};
        case Fault::MasterField:
            return {true,
                    "pending fault (b): 'nmcli -t -f NAME,TYPE,MASTER|NAME,MASTER connection show' is refused "
                    "(\"invalid field 'MASTER'\"), so bond members are never found"};
        case Fault::BridgeMacNotLive:
            return {true,
                    "pending fault (c): the pinned bridge.mac-address never reaches the live bridge, which takes "
                    "its port's MAC (and after a NetworkManager restart its profile no longer matches)"};
        case Fault::VirshDomautostart:
            return {true, "pending fault (d): vm list runs 'virsh domautostart', a command virsh does not have"};
    }
    return {false, ""};
}

}  // namespace qm::realnm
