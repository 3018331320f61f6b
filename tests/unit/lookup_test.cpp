#include "cmds/config/lookup.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "cmds/config/backup.hpp"
#include "support/fake_host.hpp"

namespace qm {
namespace {

using namespace std::chrono;
using test::Answer;
using test::FakeHost;
namespace fs = std::filesystem;

constexpr const char* kIndex = "/var/lib/quillmar/backups/backup-index.json";
constexpr const char* kLatest = "/var/lib/quillmar/backups/latest_network_config.json";
constexpr const char* kSaved = "/etc/quillmar/config.json";

// 2024-03-05T07:08:09Z
SystemTime march5() { return SystemTime{} + seconds(1709622489); }

// A valid document whose metadata names it; `macs` bridge MAC entries to tell documents apart.
std::string doc(const std::string& name, std::size_t macs = 0, std::optional<std::string> description = {}) {
    NetworkConfig c;
    c.metadata = {name, std::move(description), march5(), "1.0.0", false};
    for (std::size_t i = 0; i < macs; ++i) c.bridge_mac_addresses["vswitch" + std::to_string(i)] = "52:54:00:00:00:01";
    return network_config_to_json_pretty(c);
}

std::string name_of(const Result<NetworkConfig>& c) { return c ? c->metadata.name : "error: " + c.error().message; }

void set_mtime(FakeHost& h, const std::string& relative, int seconds_since_epoch) {
    fs::last_write_time(h.file(relative), fs::file_time_type::clock::from_sys(SystemTime{} + seconds(seconds_since_epoch)));
}

TEST(DefaultConfig, TheSavedCopyWinsOverEveryOtherSource) {
    FakeHost host;
    host.write_file(kSaved, doc("saved"));
    host.write_file(kLatest, doc("latest"));
    host.write_file("/var/lib/quillmar/backups/default.json", doc("default"));
    host.write_file("./network_config_1.json", doc("fallback"));
    set_mtime(host, kSaved, 1000);
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "saved");

    fs::remove(host.file(kSaved));
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "latest");
    fs::remove(host.file(kLatest));
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "default");
    fs::remove(host.file("/var/lib/quillmar/backups/default.json"));
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "fallback");
}

TEST(DefaultConfig, ABrokenCopyHidesTheLaterSources) {
    FakeHost host;
    host.write_file(kSaved, "{\"metadata\": 1}");
    host.write_file(kLatest, doc("latest"));
    EXPECT_EQ(name_of(load_default_config(host.ctx)),
              "error: invalid type: integer `1`, expected struct BackupMetadata at line 1 column 14");
    fs::remove(host.file(kSaved));
    host.write_file(kLatest, "");
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "error: EOF while parsing a value at line 1 column 0");
    // A link to nowhere does not exist; a directory exists and cannot be read.
    fs::remove(host.file(kLatest));
    fs::create_symlink("/nowhere", host.file(kLatest));
    fs::create_directories(host.file(kSaved));
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "error: Is a directory (os error 21)");
    fs::remove(host.file(kSaved));
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "error: No backup configuration found");
}

TEST(DefaultConfig, ABrokenDefaultBackupIsPassedOverSilently) {
    FakeHost host;
    host.write_file("/var/lib/quillmar/backups/default.json", "[]");
    host.write_file("./network_config_7.json", doc("fallback"));
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "fallback");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(host.out.str(), "");
}

TEST(DefaultConfig, TheFirstRunFallbackFileIsNoSource) {
    FakeHost host;
    host.write_file("./default_network_config.json", doc("first"));
    host.write_file("./network_config_.txt", doc("txt"));
    host.write_file("./my_network_config_1.json", doc("other"));
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "error: No backup configuration found");
}

TEST(DefaultConfig, TheLastModifiedFallbackFileIsTheOneRead) {
    FakeHost host;
    host.write_file("./network_config_20990101_000000.json", doc("named-newest"));
    host.write_file("./network_config_20000101_000000.json", doc("modified-last"));
    set_mtime(host, "./network_config_20990101_000000.json", 1000);
    set_mtime(host, "./network_config_20000101_000000.json", 2000);
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "modified-last");

    // When it is broken, the lookup fails, though the other one is valid.
    host.write_file("./network_config_20000101_000000.json", "{");
    set_mtime(host, "./network_config_20000101_000000.json", 2000);
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "error: EOF while parsing an object at line 1 column 1");

    // Any kind of entry takes part: a directory modified last is read, and fails.
    fs::create_directories(host.file("./network_config_dir.json"));
    set_mtime(host, "./network_config_dir.json", 3000);
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "error: Is a directory (os error 21)");
}

TEST(DefaultConfig, WithoutACurrentDirectoryTheLookupEndsWithItsError) {
    FakeHost host;
    Context ctx = host.ctx;
    ctx.cwd = unexpected(OsError{ENOENT});
    EXPECT_EQ(name_of(load_default_config(ctx)), "error: No such file or directory (os error 2)");
}

TEST(DefaultConfig, NewerModificationTimesComeFirst) {
    FakeHost host;
    host.write_file("./a", "");
    host.write_file("./b", "");
    set_mtime(host, "./a", 10);
    set_mtime(host, "./b", 20);
    EXPECT_TRUE(newer_mtime_first(host.file("./b"), host.file("./a")));
    EXPECT_FALSE(newer_mtime_first(host.file("./a"), host.file("./b")));
    EXPECT_FALSE(newer_mtime_first(host.file("./a"), host.file("./a")));
    // Unreadable counts as the epoch.
    EXPECT_TRUE(newer_mtime_first(host.file("./a"), host.file("./missing")));
    EXPECT_FALSE(newer_mtime_first(host.file("./missing"), host.file("./a")));
}

TEST(LoadBackup, NamesTheFullPathOfAMissingBackup) {
    FakeHost host;
    EXPECT_EQ(name_of(load_backup(host.ctx, "nope")),
              "error: Backup 'nope' not found at /var/lib/quillmar/backups/nope.json");
    host.write_file("/var/lib/quillmar/backups/x.json", doc("stored-as-x"));
    EXPECT_EQ(name_of(load_backup(host.ctx, "x")), "stored-as-x");
    host.write_file("/var/lib/quillmar/backups/bad.json", "{\"metadata\": {\"name\": \"\xff\"}}");
    EXPECT_EQ(name_of(load_backup(host.ctx, "bad")), "error: invalid unicode code point at line 1 column 25");
    // A name that is no file name of the backup directory cannot name a backup.
    host.write_file("/var/lib/quillmar/x.json", doc("outside"));
    EXPECT_EQ(name_of(load_backup(host.ctx, "../x")),
              "error: Invalid backup name '../x': a backup name is one file name (not empty, without '/', and not "
              "'.' or '..')");
}

struct FirstRun : ::testing::Test {
    FirstRun() {
        host.clock.t = march5();
        host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}, Answer::ok(""));
    }
    FakeHost host;
};

TEST_F(FirstRun, WithASavedConfigurationNothingHappens) {
    host.write_file(kSaved, doc("saved"));
    check_first_run(host.ctx);
    EXPECT_EQ(host.out.str(), "");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST_F(FirstRun, WithoutOneABackupIsTakenAndReplacesABrokenSavedCopy) {
    host.write_file(kSaved, "broken");
    host.write_file(kLatest, doc("latest"));
    check_first_run(host.ctx);
    EXPECT_EQ(host.out.str(),
              "[+] First run detected - creating initial network configuration backup...\n"
              "[+] Creating network configuration backup 'backup_20240305_070809'...\n"
              "[+] Backup completed successfully:\n"
              "  - JSON backup: /var/lib/quillmar/backups/backup_20240305_070809.json\n"
              "  - Timestamp: 2024-03-05 07:08:09 UTC\n");  // latest_network_config.json was there
    EXPECT_EQ(host.err.str(), "");
    EXPECT_EQ(name_of(load_default_config(host.ctx)), "backup_20240305_070809");

    // The next run finds it.
    host.out.str("");
    check_first_run(host.ctx);
    EXPECT_EQ(host.out.str(), "");
}

// A first-run backup killed after latest_network_config.json and before config.json: the next
// run takes no backup, and writes the missing copy from the latest one without a word.
TEST_F(FirstRun, AMissingSavedCopyIsWrittenFromTheLatestOne) {
    host.write_file("/var/lib/quillmar/backups/backup_1.json", doc("backup_1", 2));
    host.write_file(kLatest, doc("backup_1", 2));
    check_first_run(host.ctx);
    EXPECT_EQ(host.out.str(), "");
    EXPECT_EQ(host.err.str(), "");
    EXPECT_TRUE(host.runner.calls.empty());
    EXPECT_EQ(host.read_file(kSaved), doc("backup_1", 2));
    EXPECT_EQ(std::distance(fs::directory_iterator(host.file("/etc/quillmar")), {}), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(host.file("/var/lib/quillmar/backups")), {}), 2);

    // A saved copy that is there is never replaced.
    host.write_file(kLatest, doc("newer"));
    check_first_run(host.ctx);
    EXPECT_EQ(host.read_file(kSaved), doc("backup_1", 2));
}

// The copy is taken only from the program's own file: a link or a second name at the latest
// copy's path may lead to any document of the host, and config.json is readable by everyone.
TEST_F(FirstRun, TheSavedCopyIsNeverTakenThroughALinkOrASecondName) {
    struct Case {
        const char* what;
        void (*plant)(const fs::path& secret, const fs::path& latest);
        const char* why;
    };
    const Case cases[] = {
        {"symbolic link", [](const fs::path& s, const fs::path& l) { fs::create_symlink(s, l); },
         "Too many levels of symbolic links (os error 40)"},
        {"hard link", [](const fs::path& s, const fs::path& l) { fs::create_hard_link(s, l); },
         "Too many links (os error 31)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHost h;
        h.write_file("/root/secret.json", doc("secret"));
        fs::permissions(h.file("/root/secret.json"), fs::perms::owner_read | fs::perms::owner_write);
        fs::create_directories(h.file("/var/lib/quillmar/backups"));
        c.plant(h.file("/root/secret.json"), h.file(kLatest));
        check_first_run(h.ctx);
        EXPECT_FALSE(fs::exists(h.file(kSaved)));
        EXPECT_EQ(h.err.str(), std::string("[!] Warning: Could not restore config file /etc/quillmar/config.json from "
                                           "/var/lib/quillmar/backups/latest_network_config.json: ") +
                                   c.why + "\n");
    }
}

TEST_F(FirstRun, ASavedCopyThatCannotBeWrittenIsAWarning) {
    host.write_file(kLatest, doc("latest"));
    host.write_file("/etc/quillmar", "a file where the directory should be");
    check_first_run(host.ctx);
    EXPECT_EQ(host.out.str(), "");
    EXPECT_EQ(host.err.str(),
              "[!] Warning: Could not restore config file /etc/quillmar/config.json from "
              "/var/lib/quillmar/backups/latest_network_config.json: Not a directory (os error 20)\n");
    EXPECT_TRUE(host.runner.calls.empty());
}

TEST_F(FirstRun, AFailedBackupIsOnlyAWarning) {
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}, Answer::exit(8));
    check_first_run(host.ctx);
    EXPECT_EQ(host.out.str(),
              "[+] First run detected - creating initial network configuration backup...\n"
              "[+] Creating network configuration backup 'backup_20240305_070809'...\n");
    EXPECT_EQ(host.err.str(), "Warning: Failed to create initial backup: Failed to get all connections\n");
}

TEST(ListBackups, PrintsTheIndexAsATable) {
    FakeHost host;
    BackupIndex index;
    index.backups = {
        {"a-rather-long-backup-name", std::string("before the upgrade"), march5() + milliseconds(999), "1.0.0", false},
        {"été", std::nullopt, march5() - hours(24), "1.0.0", true},
    };
    index.default_backup = "été";
    host.write_file(kIndex, backup_index_to_json_pretty(index));
    list_backups(host.ctx);
    EXPECT_EQ(host.out.str(),
              "Available backups:\n"
              "Name                 Type         Created                        Description\n"
              "--------------------------------------------------------------------------------\n"
              "a-rather-long-backup-name Named        2024-03-05 07:08:09 UTC        before the upgrade\n"
              "été                  Default      2024-03-04 07:08:09 UTC        No description\n"
              "\n"
              "Default backup: été\n");
    EXPECT_EQ(host.err.str(), "");
}

TEST(ListBackups, EveryFailureOfTheIndexReadsAsNoBackups) {
    for (const char* text : {static_cast<const char*>(nullptr), "{\"backups\": [], \"default_backup\": \"x\"}",
                             "{\"backups\": 1}"}) {
        FakeHost host;
        if (text) host.write_file(kIndex, text);
        host.write_file("./network_config_1.json", doc("fallbacks are never listed"));
        list_backups(host.ctx);
        EXPECT_EQ(host.out.str(), "No backups found.\n");
    }
}

TEST(BackupInfo, ShowsTheStoredMetadataAndCounts) {
    FakeHost host;
    NetworkConfig c;
    c.metadata = {"stored", std::string("notes"), march5() + microseconds(5), "1.0.0", true};
    c.network_manager.connections.resize(3);
    c.libvirt_networks.resize(2);
    c.veth_connections.resize(1);
    c.bridge_mac_addresses = {{"vswitch0", "m"}, {"vswitch1", "m"}, {"virbr0", "m"}, {"cni0", "m"}};
    host.write_file("/var/lib/quillmar/backups/asked.json", network_config_to_json_pretty(c));

    ASSERT_TRUE(show_backup_info(host.ctx, std::string("asked")));
    EXPECT_EQ(host.out.str(),
              "Backup Information:\n"
              "  Name: stored\n"
              "  Description: notes\n"
              "  Created: 2024-03-05 07:08:09 UTC\n"
              "  Version: 1.0.0\n"
              "  Type: Default\n"
              "  NetworkManager connections: 3\n"
              "  Libvirt networks: 2\n"
              "  Veth connections: 1\n"
              "  Bridge MAC addresses: 4\n");
}

TEST(BackupInfo, LatestMeansTheSavedConfiguration) {
    FakeHost host;
    host.write_file(kSaved, doc("saved", 2));
    host.write_file("/var/lib/quillmar/backups/latest.json", doc("stored-as-latest"));
    const std::string expected =
        "Backup Information:\n"
        "  Name: saved\n"
        "  Created: 2024-03-05 07:08:09 UTC\n"
        "  Version: 1.0.0\n"
        "  Type: Named\n"
        "  NetworkManager connections: 0\n"
        "  Libvirt networks: 0\n"
        "  Veth connections: 0\n"
        "  Bridge MAC addresses: 2\n";
    ASSERT_TRUE(show_backup_info(host.ctx, std::nullopt));
    EXPECT_EQ(host.out.str(), expected);
    host.out.str("");
    ASSERT_TRUE(show_backup_info(host.ctx, std::string("latest")));
    EXPECT_EQ(host.out.str(), expected);
}

TEST(BackupInfo, ErrorsAreReturnedBeforeAnythingIsPrinted) {
    FakeHost host;
    auto missing = show_backup_info(host.ctx, std::string("gone"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "Backup 'gone' not found at /var/lib/quillmar/backups/gone.json");
    auto none = show_backup_info(host.ctx, std::nullopt);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message, "No backup configuration found");
    EXPECT_EQ(host.out.str(), "");
}

}  // namespace
}  // namespace qm
