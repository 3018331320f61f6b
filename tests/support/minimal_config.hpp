// The smallest valid saved configuration (`/etc/quillmar/config.json`): every list and map
// empty, exactly as the program writes it (no line end after the closing brace). The unit
// tests read and write it; the sandbox and the real-NetworkManager test host start with it in
// place, so that no run begins with a first-run backup.
#pragma once

namespace qm::test {

inline constexpr const char* kMinimalSavedConfig = R"({
  "metadata": {
    "name": "x",
    "description": null,
    "created_at": "2024-03-05T07:08:09Z",
    "version": "1.0.0",
    "is_default": true
  },
  "network_manager": {
    "connections": []
  },
  "libvirt_networks": [],
  "bridge_mac_addresses": {},
  "veth_connections": [],
  "bridge_topology": {
    "master_bridges": [],
    "bridge_connections": {},
    "veth_pairs": []
  },
  "managed_resources": null
})";

}  // namespace qm::test
