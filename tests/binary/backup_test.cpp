// Configuration backups as a user meets them: the first-run backup before any command,
// `config backup`, `config list`, `config info`, and the fallback into the current directory.

#include <regex>
#include <string>

#include "sandbox/sandbox.hpp"

namespace {

class BackupCli : public sb::SandboxTest {
protected:
    void SetUp() override {
        sb::SandboxTest::SetUp();
        sb.tool("nmcli")
            .on({"-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}, sb::ok("vswitch0:vswitch0:bridge:activated\n"))
            .on({"connection", "show", "vswitch0"},
                sb::ok("connection.id:            vswitch0\n"
                       "connection.interface-name: vswitch0\n"
                       "connection.autoconnect:   yes\n"
                       "ipv4.method:              auto\n"
                       "bridge.mac-address:       52:54:00:AA:BB:CC\n"));
        sb.tool("ip").on({"link", "show", "type", "bridge"},
                         sb::ok("4: vswitch0: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc noqueue state UP\n"
                                "    link/ether 52:54:00:aa:bb:cc brd ff:ff:ff:ff:ff:ff\n"));
        sb.missing("virsh");
    }
};

constexpr const char* kSaved = "/etc/quillmar/config.json";
constexpr const char* kIndex = "/var/lib/quillmar/backups/backup-index.json";
constexpr const char* kLatest = "/var/lib/quillmar/backups/latest_network_config.json";

const std::string kAnnouncement = "[+] First run detected - creating initial network configuration backup...\n";
const std::string kStamp = "\\d{8}_\\d{6}";
const std::string kTime = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The first group of the pattern in the text, or "" when it does not match.
std::string captured(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

TEST_F(BackupCli, TheFirstRunOfAnEmptyHostTakesTheDefaultBackupBeforeTheCommand) {
    sb.remove(kSaved);
    auto r = sb.run({"config", "list"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    const std::string name = captured(r.out, "backup '(backup_" + kStamp + ")'");
    ASSERT_FALSE(name.empty()) << r;
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("\\[\\+\\] First run detected - creating initial network configuration backup\\.\\.\\.\n"
                          "\\[\\+\\] Creating network configuration backup '" + name + "'\\.\\.\\.\n"
                          "\\[\\+\\] Backup completed successfully:\n"
                          "  - JSON backup: /var/lib/quillmar/backups/" + name + "\\.json\n"
                          "  - Type: Default backup \\(first run\\)\n"
                          "Available backups:\n"
                          "Name                 Type         Created                        Description\n"
                          "-{80}\n" +
                          name + " Default      " + kTime + " UTC        No description\n"  // 22 characters, not cut
                          "\n"
                          "Default backup: " + name + "\n")))
        << r;

    const auto backup = sb.read("/var/lib/quillmar/backups/" + name + ".json");
    ASSERT_TRUE(backup);
    EXPECT_EQ(sb.read(kLatest), backup);
    EXPECT_EQ(sb.read(kSaved), backup);
    EXPECT_TRUE(contains(*backup, "    \"name\": \"" + name + "\",\n    \"description\": null,\n")) << *backup;
    EXPECT_TRUE(contains(*backup, "    \"is_default\": true\n")) << *backup;
    EXPECT_TRUE(contains(*backup, "\"bridge_mac_addresses\": {\n    \"vswitch0\": \"52:54:00:aa:bb:cc\"\n  },"));
    EXPECT_TRUE(contains(*backup, "        \"interface_name\": \"vswitch0\",\n")) << *backup;
    EXPECT_TRUE(contains(*backup, "\"libvirt_networks\": [],\n")) << *backup;
    EXPECT_EQ(backup->back(), '}');
    const auto index = sb.read(kIndex);
    ASSERT_TRUE(index);
    EXPECT_TRUE(std::regex_match(*index, std::regex("\\{\n  \"backups\": \\[\n    \\{\n"
                                                    "      \"name\": \"" + name + "\",\n"
                                                    "      \"description\": null,\n"
                                                    "      \"created_at\": \"[-0-9]+T[:0-9]+(\\.\\d+)?Z\",\n"
                                                    "      \"version\": \"1\\.0\\.0\",\n"
                                                    "      \"is_default\": true\n"
                                                    "    \\}\n  \\],\n"
                                                    "  \"default_backup\": \"" + name + "\"\n\\}")))
        << *index;

    // The next command finds the saved configuration and runs alone.
    r = sb.run({"config", "list"});
    EXPECT_FALSE(contains(r.out, kAnnouncement)) << r;
}

TEST_F(BackupCli, AnnouncementComesBeforeEveryCommandEvenUsage) {
    sb.remove(kSaved);
    auto r = sb.run({"usage"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out.rfind(kAnnouncement, 0), 0u) << r;
    const std::string summary_end = "  - Type: Default backup (first run)\n";
    const auto usage_at = r.out.find(summary_end);
    ASSERT_NE(usage_at, std::string::npos) << r;
    auto again = sb.run({"usage"});  // no first run any more: the usage text alone
    EXPECT_EQ(r.out.substr(usage_at + summary_end.size()), again.out);
}

// A first-run backup killed after latest_network_config.json, before config.json: the next run
// takes no backup and puts the missing copy back without a word.
TEST_F(BackupCli, ABackupKilledBeforeItsSavedCopyIsFinishedByTheNextRun) {
    sb.remove(kSaved);
    ASSERT_TRUE(contains(sb.run({"usage"}).out, kAnnouncement));
    sb.remove(kSaved);
    const auto backups = sb.list("/var/lib/quillmar/backups");

    auto r = sb.run({"usage"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    EXPECT_EQ(r.out, sb.run({"usage"}).out);
    EXPECT_FALSE(contains(r.out, kAnnouncement)) << r;
    ASSERT_TRUE(sb.read(kLatest));
    EXPECT_EQ(sb.read(kSaved), sb.read(kLatest));
    EXPECT_EQ(sb.list("/var/lib/quillmar/backups"), backups);
}

TEST_F(BackupCli, ABrokenSavedConfigurationLeadsToAFirstRunBackupThatReplacesIt) {
    sb.write(kSaved, "{\"metadata\": ");
    sb.write("/var/lib/quillmar/backups/old.json", "{}");  // so this backup is not the first
    auto r = sb.run({"config", "info"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "") << r;
    const std::string name = captured(r.out, "backup '(backup_" + kStamp + ")'");
    ASSERT_FALSE(name.empty()) << r;
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("\\[\\+\\] First run detected - creating initial network configuration backup\\.\\.\\.\n"
                          "\\[\\+\\] Creating network configuration backup '" + name + "'\\.\\.\\.\n"
                          "\\[\\+\\] Backup completed successfully:\n"
                          "  - JSON backup: /var/lib/quillmar/backups/" + name + "\\.json\n"
                          "  - Timestamp: " + kTime + "(\\.\\d{3}|\\.\\d{6}|\\.\\d{9})? UTC\n"
                          "Backup Information:\n"
                          "  Name: " + name + "\n"
                          "  Created: " + kTime + " UTC\n"
                          "  Version: 1\\.0\\.0\n"
                          "  Type: Named\n"
                          "  NetworkManager connections: 1\n"
                          "  Libvirt networks: 0\n"
                          "  Veth connections: 0\n"
                          "  Bridge MAC addresses: 1\n")))
        << r;
    EXPECT_EQ(sb.read(kSaved), sb.read("/var/lib/quillmar/backups/" + name + ".json"));
}

TEST_F(BackupCli, NamedBackupsListAndInfo) {
    // The sandbox's saved configuration is there: no first run.
    auto r = sb.run({"config", "backup", "-n", "x", "-d", "y"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "[+] Creating network configuration backup 'x'...\n"
              "[+] Backup completed successfully:\n"
              "  - JSON backup: /var/lib/quillmar/backups/x.json\n"
              "  - Type: Default backup (first run)\n");  // the first backup of this host

    r = sb.run({"config", "backup", "--name=second", "--description", "with words"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("\\[\\+\\] Creating network configuration backup 'second'\\.\\.\\.\n"
                                                   "\\[\\+\\] Backup completed successfully:\n"
                                                   "  - JSON backup: /var/lib/quillmar/backups/second\\.json\n"
                                                   "  - Timestamp: " + kTime + "(\\.\\d+)? UTC\n")))
        << r;
    const auto second = sb.read("/var/lib/quillmar/backups/second.json");
    ASSERT_TRUE(second);
    EXPECT_TRUE(contains(*second, "    \"name\": \"second\",\n    \"description\": \"with words\",\n")) << *second;
    EXPECT_TRUE(contains(*second, "    \"is_default\": false\n")) << *second;
    EXPECT_EQ(sb.read(kSaved), second);
    EXPECT_EQ(sb.read(kLatest), second);

    r = sb.run({"config", "list"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("Available backups:\n"
                                                   "Name                 Type         Created                        "
                                                   "Description\n"
                                                   "-{80}\n"
                                                   "second               Named        " + kTime + " UTC        with words\n"
                                                   "x                    Default      " + kTime + " UTC        y\n"
                                                   "\n"
                                                   "Default backup: x\n")))
        << r;

    r = sb.run({"config", "info", "--name", "x"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("Backup Information:\n"
                                                   "  Name: x\n"
                                                   "  Description: y\n"
                                                   "  Created: " + kTime + " UTC\n"
                                                   "  Version: 1\\.0\\.0\n"
                                                   "  Type: Default\n"
                                                   "  NetworkManager connections: 1\n"
                                                   "  Libvirt networks: 0\n"
                                                   "  Veth connections: 0\n"
                                                   "  Bridge MAC addresses: 1\n")))
        << r;

    // Without a name: the saved configuration, the copy of the newest backup.
    r = sb.run({"config", "info"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_TRUE(contains(r.out, "Backup Information:\n  Name: second\n  Description: with words\n")) << r;

    r = sb.run({"config", "info", "-n", "gone"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Backup 'gone' not found at /var/lib/quillmar/backups/gone.json\n");
}

TEST_F(BackupCli, ABackupNameMustBeOneFileName) {
    for (const char* name : {"../../etc/evil", "a/b", "..", ""}) {
        auto r = sb.run({"config", "backup", "--name", name});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, std::string("Error: Invalid backup name '") + name +
                             "': a backup name is one file name (not empty, without '/', and not '.' or '..')\n");
    }
    EXPECT_FALSE(sb.exists("/var/lib/quillmar/backups"));
    EXPECT_FALSE(sb.exists("/etc/evil.json"));
}

TEST_F(BackupCli, FallsBackToTheCurrentDirectoryWhenTheBackupDirectoryCannotBeCreated) {
    sb.remove("/var/lib/quillmar");
    sb.write("/var/lib/quillmar", "not a directory");
    sb.cwd("/root");
    sb.mkdir("/root");
    auto r = sb.run({"config", "backup", "--name", "x"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err,
              "[-] Warning: Could not create backup directory /var/lib/quillmar/backups: Not a directory (os error 20)\n"
              "[-] Trying to use current directory for backup...\n");
    EXPECT_EQ(r.out,
              "[+] Creating network configuration backup 'x'...\n"
              "[+] Fallback backup completed successfully:\n"
              "  - JSON backup: ./default_network_config.json\n"
              "  - Type: Default backup (first run)\n"
              "  - Note: Running in fallback mode due to permission restrictions\n");
    const auto first = sb.read("/root/default_network_config.json");
    ASSERT_TRUE(first);
    EXPECT_TRUE(std::regex_search(*first, std::regex("\"name\": \"backup_" + kStamp + "\",\n"))) << *first;
    EXPECT_TRUE(contains(*first, "    \"is_default\": false\n")) << *first;

    r = sb.run({"config", "backup"});
    EXPECT_EQ(r.status, 0) << r;
    const std::string stamp = captured(r.out, "JSON backup: \\./network_config_(" + kStamp + ")\\.json\n");
    ASSERT_FALSE(stamp.empty()) << r;
    EXPECT_TRUE(contains(r.out, "  - Note: Running in fallback mode due to permission restrictions\n")) << r;
    EXPECT_TRUE(sb.exists("/root/network_config_" + stamp + ".json"));
    EXPECT_EQ(sb.read("/var/lib/quillmar"), "not a directory");
}

}  // namespace
