#include "cmds/config/backup_document.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "support/minimal_config.hpp"

namespace qm {
namespace {

using namespace std::chrono;

// 2024-03-05T07:08:09Z
SystemTime march5() { return SystemTime{} + seconds(1709622489); }

NetworkConfig small_fixture() {
    NetworkConfig c;
    c.metadata = {"weekly", std::string("before \"upgrade\""), march5() + milliseconds(120), "1.0.0", false};
    ConnectionInfo lan;
    lan.name = "lan";
    lan.uuid = "eno1";
    lan.type_ = "802-3-ethernet";
    lan.interface_name = "eno1";
    lan.master = "vswitch0";
    lan.slave_type = "bridge";
    lan.mac_address = "52:54:00:12:34:56";
    lan.ipv4_method = "disabled";
    lan.autoconnect = true;
    c.network_manager.connections = {lan};
    c.libvirt_networks = {{"default", "1b2c", true, true, false, std::string("virbr0"),
                           "<network>\n  <name>default</name>\n</network>\n"}};
    c.bridge_mac_addresses = {{"vswitch0", "52:54:00:aa:bb:cc"}};
    c.veth_connections = {{"veth_vswitch1_vswitch0", "veth_vswitch0_vswitch1", "vswitch1", "vswitch0",
                           march5() + nanoseconds(123), "vswitch1_vswitch0"}};
    c.bridge_topology.master_bridges = {"vswitch0"};
    c.bridge_topology.bridge_connections = {{"vswitch0", {"vswitch1"}}};
    ManagedResources m;
    m.vswitches = {"Lab"};
    m.veth_pairs = {"veth_vswitch1_vswitch0"};
    m.created_at = "2024-03-01T00:00:00+00:00";
    c.managed_resources = m;
    return c;
}

constexpr const char* kSmallFixtureText = R"({
  "metadata": {
    "name": "weekly",
    "description": "before \"upgrade\"",
    "created_at": "2024-03-05T07:08:09.120Z",
    "version": "1.0.0",
    "is_default": false
  },
  "network_manager": {
    "connections": [
      {
        "name": "lan",
        "uuid": "eno1",
        "type_": "802-3-ethernet",
        "interface_name": "eno1",
        "master": "vswitch0",
        "slave_type": "bridge",
        "mac_address": "52:54:00:12:34:56",
        "bridge_mac_address": null,
        "bond_options": null,
        "ipv4_method": "disabled",
        "ipv6_method": null,
        "autoconnect": true
      }
    ]
  },
  "libvirt_networks": [
    {
      "name": "default",
      "uuid": "1b2c",
      "active": true,
      "persistent": true,
      "autostart": false,
      "bridge": "virbr0",
      "xml_config": "<network>\n  <name>default</name>\n</network>\n"
    }
  ],
  "bridge_mac_addresses": {
    "vswitch0": "52:54:00:aa:bb:cc"
  },
  "veth_connections": [
    {
      "veth_name": "veth_vswitch1_vswitch0",
      "veth_peer": "veth_vswitch0_vswitch1",
      "bridge1": "vswitch1",
      "bridge2": "vswitch0",
      "created_at": "2024-03-05T07:08:09.000000123Z",
      "connection_id": "vswitch1_vswitch0"
    }
  ],
  "bridge_topology": {
    "master_bridges": [
      "vswitch0"
    ],
    "bridge_connections": {
      "vswitch0": [
        "vswitch1"
      ]
    },
    "veth_pairs": []
  },
  "managed_resources": {
    "vswitches": [
      "Lab"
    ],
    "vlan_bridges": [],
    "veth_pairs": [
      "veth_vswitch1_vswitch0"
    ],
    "bonds": [],
    "created_at": "2024-03-01T00:00:00+00:00"
  }
})";

// The smallest valid document, every list and map empty.
constexpr const char* kEmptyText = test::kMinimalSavedConfig;

NetworkConfig empty_fixture() {
    NetworkConfig c;
    c.metadata = {"x", std::nullopt, march5(), "1.0.0", true};
    return c;
}

TEST(BackupDocument, WritesTheExactBytesAndReadsThemBack) {
    EXPECT_EQ(network_config_to_json_pretty(small_fixture()), kSmallFixtureText);
    auto back = network_config_from_json(kSmallFixtureText);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(*back, small_fixture());
    EXPECT_TRUE(check_network_config_json(kSmallFixtureText));
}

TEST(BackupDocument, EmptyListsAndMapsAreWrittenOnOneLineAndNoneAsNull) {
    EXPECT_EQ(network_config_to_json_pretty(empty_fixture()), kEmptyText);
    auto back = network_config_from_json(kEmptyText);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(*back, empty_fixture());
}

TEST(BackupDocument, MissingOptionalKeysReadAsNoneAndAreWrittenBackAsNull) {
    // No managed_resources, no description, a profile with only its three required keys,
    // a network without bridge, members in another order and keys the records do not have.
    const std::string text = R"({"bridge_topology": {"veth_pairs": [], "master_bridges": [], "bridge_connections": {},
                                  "extra": {"deep": [1, 2.5, null, {"x": "y"}]}},
      "veth_connections": [], "bridge_mac_addresses": {}, "libvirt_networks": [
        {"name": "n", "uuid": "u", "active": false, "persistent": true, "autostart": true, "xml_config": "<x/>",
         "future": true}],
      "network_manager": {"connections": [{"type_": "bridge", "uuid": "", "name": "vswitch0", "autoconnect": null}]},
      "metadata": {"name": "x", "created_at": "2024-03-05T07:08:09Z", "version": "1.0.0", "is_default": true}}
)";
    auto c = network_config_from_json(text);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_TRUE(check_network_config_json(text));
    EXPECT_FALSE(c->managed_resources);
    EXPECT_FALSE(c->metadata.description);
    ASSERT_EQ(c->network_manager.connections.size(), 1u);
    ConnectionInfo bare;
    bare.name = "vswitch0";
    bare.type_ = "bridge";
    EXPECT_EQ(c->network_manager.connections[0], bare);
    ASSERT_EQ(c->libvirt_networks.size(), 1u);
    EXPECT_FALSE(c->libvirt_networks[0].bridge);
    const std::string written = network_config_to_json_pretty(*c);
    EXPECT_NE(written.find("\"managed_resources\": null\n}"), std::string::npos) << written;
    EXPECT_NE(written.find("\"description\": null,"), std::string::npos);
    EXPECT_NE(written.find("\"bridge\": null,"), std::string::npos);
    EXPECT_NE(written.find("        \"interface_name\": null,\n        \"master\": null,\n"), std::string::npos);
    EXPECT_NE(written.find("        \"autoconnect\": null\n"), std::string::npos);
    EXPECT_EQ(written.back(), '}');
}

TEST(BackupDocument, RecordsMayBeArraysOfTheirValues) {
    const std::string text = R"([["x", null, "2024-03-05T07:08:09Z", "1.0.0", true], [[]], [], {}, [],
                                 [[], {}, []], null])";
    auto c = network_config_from_json(text);
    ASSERT_TRUE(c) << c.error().message;
    EXPECT_EQ(*c, empty_fixture());
    EXPECT_TRUE(check_network_config_json(text));
}

TEST(BackupDocument, AFinalLineEndReadsButAnythingElseAfterTheDocumentIsRefused) {
    for (auto accepts : {+[](std::string_view t) { return network_config_from_json(t).has_value(); },
                         +[](std::string_view t) { return check_network_config_json(t).has_value(); }}) {
        EXPECT_TRUE(accepts(std::string(kEmptyText) + "\n"));
        EXPECT_TRUE(accepts(std::string(" \t\r\n") + kEmptyText + " \r\n\t"));
    }
    auto r = network_config_from_json(std::string(kEmptyText) + "\nx");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "trailing characters at line 22 column 1");
    auto checked = check_network_config_json(std::string(kEmptyText) + "\nx");
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().message, "trailing characters at line 22 column 1");
}

TEST(BackupDocument, TheCheckRefusesLongDocumentsWhereReadingDoesAndWithTheSameWords) {
    // Libvirt definitions make long strings full of escapes; a fault anywhere in them, or in
    // what follows, is refused by the check exactly as by reading the document.
    NetworkConfig c = small_fixture();
    for (int n = 0; n < 3; ++n) {
        std::string xml = "<network>\n  <name>net" + std::to_string(n) + "</name>\n";
        for (int h = 0; h < 12; ++h)
            xml += "  <host mac='52:54:00:00:00:" + std::to_string(10 + h) + "' name=\"vm-" + std::to_string(h) +
                   "\" note='caf\xc3\xa9 \\ \t'/>\n";
        c.libvirt_networks.push_back({"net" + std::to_string(n), "u", true, true, false, std::nullopt, xml + "</network>\n"});
    }
    const std::string text = network_config_to_json_pretty(c);
    const std::vector<std::string> faults = {"\x01", "\\q", "\\u12G4", "\\ud800", "\xff", "\xc3", "\"", "\\", "\\u00e9",
                                             "\\\\", "\\ud83d\\ude00", "}", "\n", ""};
    for (std::size_t at = text.find("\"xml_config\""); at < text.size(); at += 37) {
        for (const std::string& fault : faults) {
            std::string damaged = text;
            if (fault.empty()) damaged.resize(at);  // cut short
            else damaged.insert(at, fault);
            const auto read = network_config_from_json(damaged);
            const auto checked = check_network_config_json(damaged);
            ASSERT_EQ(checked.has_value(), read.has_value()) << at << " " << fault;
            if (!read) {
                EXPECT_EQ(checked.error().message, read.error().message) << at << " " << fault;
            }
        }
    }
}

struct Refusal {
    std::string text;
    std::string message;
};

// Replaces the first occurrence of `from` in the valid empty document.
std::string edited(std::string_view from, std::string_view to) {
    std::string text = kEmptyText;
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

class BackupDocumentRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(BackupDocumentRefusals, NameTheRecordAndThePlace) {
    auto r = network_config_from_json(GetParam().text);
    ASSERT_FALSE(r) << GetParam().text;
    EXPECT_EQ(r.error().message, GetParam().message) << GetParam().text;
    // The check that keeps nothing refuses alike.
    auto checked = check_network_config_json(GetParam().text);
    ASSERT_FALSE(checked) << GetParam().text;
    EXPECT_EQ(checked.error().message, GetParam().message) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BackupDocumentRefusals,
    ::testing::Values(
        // Each record's expectation text.
        Refusal{"7", "invalid type: integer `7`, expected struct NetworkConfig at line 1 column 1"},
        Refusal{edited(R"("metadata": {)", R"("metadata": "m", "x": {)"),
                "invalid type: string \"m\", expected struct BackupMetadata at line 2 column 17"},
        Refusal{edited(R"("network_manager": {)", R"("network_manager": true, "x": {)"),
                "invalid type: boolean `true`, expected struct NetworkManagerConfig at line 9 column 25"},
        Refusal{edited(R"("connections": [])", R"("connections": [1])"),
                "invalid type: integer `1`, expected struct ConnectionInfo at line 10 column 21"},
        Refusal{edited(R"("libvirt_networks": [])", R"("libvirt_networks": ["n"])"),
                "invalid type: string \"n\", expected struct LibvirtNetwork at line 12 column 26"},
        Refusal{edited(R"("veth_connections": [])", R"("veth_connections": [null])"),
                "invalid type: null, expected struct VethConnection at line 14 column 27"},
        Refusal{edited(R"("bridge_topology": {)", R"("bridge_topology": 1.5, "x": {)"),
                "invalid type: floating point `1.5`, expected struct BridgeTopology at line 15 column 24"},
        // Each record's element-count text.
        Refusal{"[]", "invalid length 0, expected struct NetworkConfig with 7 elements at line 1 column 2"},
        Refusal{edited(R"("metadata": {)", R"("metadata": ["x", null, "2024-03-05T07:08:09Z", "1.0.0"], "x": {)"),
                "invalid length 4, expected struct BackupMetadata with 5 elements at line 2 column 58"},
        Refusal{edited(R"("network_manager": {)", R"("network_manager": [], "x": {)"),
                "invalid length 0, expected struct NetworkManagerConfig with 1 element at line 9 column 23"},
        Refusal{edited(R"("connections": [])", R"("connections": [["n", "u"]])"),
                "invalid length 2, expected struct ConnectionInfo with 12 elements at line 10 column 30"},
        Refusal{edited(R"("libvirt_networks": [])", R"("libvirt_networks": [["n"]])"),
                "invalid length 1, expected struct LibvirtNetwork with 7 elements at line 12 column 28"},
        Refusal{edited(R"("veth_connections": [])", R"("veth_connections": [[]])"),
                "invalid length 0, expected struct VethConnection with 6 elements at line 14 column 25"},
        Refusal{edited(R"("bridge_topology": {)", R"("bridge_topology": [[], {}], "x": {)"),
                "invalid length 2, expected struct BridgeTopology with 3 elements at line 15 column 29"},
        // Missing, repeated and null required keys.
        Refusal{edited(R"(    "version": "1.0.0",
)", ""),
                "missing field `version` at line 7 column 3"},
        Refusal{edited(R"("is_default": true)", R"("is_default": true, "name": "y")"),
                "duplicate field `name` at line 7 column 30"},
        Refusal{edited(R"("name": "x")", R"("name": null)"), "invalid type: null, expected a string at line 3 column 16"},
        Refusal{edited(R"("is_default": true)", R"("is_default": "yes")"),
                "invalid type: string \"yes\", expected a boolean at line 7 column 23"},
        Refusal{edited(R"("libvirt_networks": [])", R"("libvirt_networks": {})"),
                "invalid type: map, expected a sequence at line 12 column 22"},
        Refusal{edited(R"("bridge_mac_addresses": {})", R"("bridge_mac_addresses": [])"),
                "invalid type: sequence, expected a map at line 13 column 26"},
        Refusal{edited(R"("bridge_mac_addresses": {})", R"("bridge_mac_addresses": {"vswitch0": 1})"),
                "invalid type: integer `1`, expected a string at line 13 column 40"},
        Refusal{edited(R"("created_at": "2024-03-05T07:08:09Z")", R"("created_at": 20240305)"),
                "invalid type: integer `20240305`, expected an RFC 3339 formatted date and time string at line 5 "
                "column 26"},
        Refusal{edited(R"("created_at": "2024-03-05T07:08:09Z")", R"("created_at": "2024-03-05")"),
                "premature end of input at line 5 column 30"},
        Refusal{edited(R"("created_at": "2024-03-05T07:08:09Z")", R"("created_at": "2024-02-30T07:08:09Z")"),
                "input is out of range at line 5 column 40"},
        // An unknown key with a malformed value makes the whole document unreadable.
        Refusal{edited(R"("is_default": true)", R"("is_default": true, "extra": [1,])"),
                "trailing comma at line 7 column 37"}));

TEST(BackupDocument, DateTimesAreReadInAnyOffsetAndWrittenInUtcWithTheFewestFractionDigits) {
    struct Case {
        const char* read;
        const char* written;
    };
    for (const Case& c : {
             Case{"2024-03-05T09:08:09+02:00", "2024-03-05T07:08:09Z"},
             Case{"2024-03-05T00:30:00-01:15", "2024-03-05T01:45:00Z"},
             Case{"2024-03-05T07:08:09.120Z", "2024-03-05T07:08:09.120Z"},
             Case{"2024-03-05T07:08:09.12Z", "2024-03-05T07:08:09.120Z"},
             Case{"2024-03-05T07:08:09.0015Z", "2024-03-05T07:08:09.001500Z"},
             Case{"2024-03-05T07:08:09.000000123Z", "2024-03-05T07:08:09.000000123Z"},
             Case{"2024-03-05T07:08:09.000000000Z", "2024-03-05T07:08:09Z"},
             Case{"2024-03-05T07:08:09.999999999+00:00", "2024-03-05T07:08:09.999999999Z"},
         }) {
        std::string text = edited(R"("created_at": "2024-03-05T07:08:09Z")",
                                  std::string("\"created_at\": \"") + c.read + "\"");
        auto doc = network_config_from_json(text);
        ASSERT_TRUE(doc) << c.read << ": " << doc.error().message;
        EXPECT_EQ(network_config_to_json_pretty(*doc),
                  edited(R"("created_at": "2024-03-05T07:08:09Z")", std::string("\"created_at\": \"") + c.written + "\""))
            << c.read;
    }
}

TEST(BackupIndexDocument, WritesEntriesAndTheDefaultAndReadsThemBack) {
    BackupIndex index;
    index.backups = {{"b", std::nullopt, march5() + seconds(1), "1.0.0", false},
                     {"a", std::string("first"), march5(), "1.0.0", true}};
    index.default_backup = "a";
    const std::string text = R"({
  "backups": [
    {
      "name": "b",
      "description": null,
      "created_at": "2024-03-05T07:08:10Z",
      "version": "1.0.0",
      "is_default": false
    },
    {
      "name": "a",
      "description": "first",
      "created_at": "2024-03-05T07:08:09Z",
      "version": "1.0.0",
      "is_default": true
    }
  ],
  "default_backup": "a"
})";
    EXPECT_EQ(backup_index_to_json_pretty(index), text);
    auto back = backup_index_from_json(text);
    ASSERT_TRUE(back) << back.error().message;
    EXPECT_EQ(*back, index);

    EXPECT_EQ(backup_index_to_json_pretty(BackupIndex{}), "{\n  \"backups\": [],\n  \"default_backup\": null\n}");
    auto bare = backup_index_from_json(R"({"backups": []})");
    ASSERT_TRUE(bare) << bare.error().message;
    EXPECT_EQ(*bare, BackupIndex{});

    auto refused = backup_index_from_json("[[]]");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "invalid length 1, expected struct BackupIndex with 2 elements at line 1 column 4");
    refused = backup_index_from_json("{}");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "missing field `backups` at line 1 column 2");
    refused = backup_index_from_json("\"i\"");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "invalid type: string \"i\", expected struct BackupIndex at line 1 column 3");
}

}  // namespace
}  // namespace qm
