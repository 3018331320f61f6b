// Expected output that tests at more than one level (in-process and the built program) assert
// whole for the same situation: written once here, so the levels cannot drift apart.
#pragma once

namespace qm::test::transcripts {

// VLAN 100 created on vswitch0, which has a MAC address to preserve, its device showing at once.
inline constexpr const char* kVlan100Created =
    "[+] Creating VLAN 100\n"
    "[+] Creating VLAN interface vswitch0.100\n"
    "[+] Creating VLAN bridge vlan100br\n"
    "[+] Preserving vswitch0 MAC address for stability\n"
    "[+] Allowing NetworkManager to process bridge state changes...\n"
    "[+] Restoring vswitch0 MAC address to: 52:54:00:12:34:56\n"
    "[+] Allowing NetworkManager to stabilize...\n"
    "[+] Activating VLAN interface...\n"
    "[+] Activated VLAN interface 'vswitch0.100'\n"
    "[+] VLAN 100 created successfully\n";

// Boot priorities fixed on a host with one bond, bond0, and its one member eth1.
inline constexpr const char* kBond0PrioritiesFixed =
    "[+] Fixing autoconnect priorities for all bonds to prevent boot-time race conditions\n"
    "[+] Fixing autoconnect priorities for all bonds...\n"
    "  - Processing bond: bond0 with 1 members\n"
    "    [+] Set member eth1 priority to 200\n"
    "    [+] Bond bond0 priorities configured\n"
    "[+] Autoconnect priority fix completed\n";

}  // namespace qm::test::transcripts
