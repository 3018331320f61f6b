#include "cmds/config/backup.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cmds/config/lookup.hpp"
#include "cmds/config/snapshot.hpp"
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

// 2024-03-05T07:08:09.120Z
SystemTime march5() { return SystemTime{} + seconds(1709622489) + milliseconds(120); }

std::string backup_path(const std::string& name) { return "/var/lib/quillmar/backups/" + name + ".json"; }

struct Backups : ::testing::Test {
    Backups() {
        host.clock.t = march5();
        host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                       Answer::ok("vswitch0:vswitch0:bridge:activated\n"));
    }
    // The document a backup of this host at the clock's time holds.
    std::string document(const std::string& name, std::optional<std::string> description, bool is_default) {
        FakeHost probe;
        probe.clock.t = host.clock.t;
        probe.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"},
                        Answer::ok("vswitch0:vswitch0:bridge:activated\n"));
        auto c = collect_network_config(probe.ctx, name, description, is_default);
        EXPECT_TRUE(c);
        return network_config_to_json_pretty(*c);
    }
    Result<BackupIndex> index() { return load_backup_index(host.ctx); }
    std::vector<std::string> index_names() {
        std::vector<std::string> names;
        if (auto i = index())
            for (const auto& b : i->backups) names.push_back(b.name);
        return names;
    }
    FakeHost host;
};

// A backup's file name is never taken for a temporary file of another write: the backup stays,
// listed and found.
TEST_F(Backups, NoBackupNameLooksLikeATemporaryFileOfAnother) {
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"lab.json.tmp", "lab"},
        {"backup-index.json.tmp.x", "other"},
        {"latest_network_config.json.tmp.0123456789abcdef", "third"},
        {"lab.json.tmp.", "lab"},
    };
    for (const auto& [first, second] : pairs) {
        SCOPED_TRACE(first);
        ASSERT_TRUE(create_backup(host.ctx, first, std::nullopt));
        ASSERT_TRUE(create_backup(host.ctx, second, std::nullopt));
        EXPECT_TRUE(fs::is_regular_file(host.file(backup_path(first))));
        auto found = load_backup(host.ctx, first);
        ASSERT_TRUE(found) << found.error().message;
        EXPECT_EQ(found->metadata.name, first);
    }
}

// A backup killed before its rename leaves a temporary file under a name that is never written
// again; a later backup removes it, and only such files that no live run holds.
TEST_F(Backups, ALaterBackupRemovesWhatKilledBackupsLeft) {
    const std::string hex = "0123456789abcdef";
    const std::string leftover = "/var/lib/quillmar/backups/backup_20240101_000000.json.tmp." + hex;
    const std::string live = "/var/lib/quillmar/backups/backup_20240101_000001.json.tmp." + hex;
    const std::string other = "/var/lib/quillmar/backups/notes.json.tmp.orig";
    host.write_file(leftover, "{\"cut");
    host.write_file(live, "{\"being written");
    host.write_file(other, "an administrator's");
    int fd = ::open(host.file(live).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);

    ASSERT_TRUE(create_backup(host.ctx, std::string("later"), std::nullopt));
    ::close(fd);

    EXPECT_FALSE(fs::exists(host.file(leftover)));
    EXPECT_EQ(host.read_file(live), "{\"being written");
    EXPECT_EQ(host.read_file(other), "an administrator's");
}

TEST_F(Backups, TheFirstBackupOfAHostIsTheDefaultWithItsIndexAndBothCopies) {
    ASSERT_TRUE(create_backup(host.ctx, std::nullopt, std::nullopt));

    const std::string name = "backup_20240305_070809";
    EXPECT_EQ(host.out.str(),
              "[+] Creating network configuration backup 'backup_20240305_070809'...\n"
              "[+] Backup completed successfully:\n"
              "  - JSON backup: /var/lib/quillmar/backups/backup_20240305_070809.json\n"
              "  - Type: Default backup (first run)\n");
    EXPECT_EQ(host.err.str(), "");
    const std::string text = document(name, std::nullopt, true);
    EXPECT_EQ(host.read_file(backup_path(name)), text);
    EXPECT_EQ(host.read_file(kLatest), text);
    EXPECT_EQ(host.read_file(kSaved), text);
    EXPECT_EQ(host.read_file(kIndex), R"({
  "backups": [
    {
      "name": "backup_20240305_070809",
      "description": null,
      "created_at": "2024-03-05T07:08:09.120Z",
      "version": "1.0.0",
      "is_default": true
    }
  ],
  "default_backup": "backup_20240305_070809"
})");
    // Every file is whole: no temporary file is left behind.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(host.file("/var/lib/quillmar/backups")))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"backup-index.json", "backup_20240305_070809.json",
                                               "latest_network_config.json"}));
}

TEST_F(Backups, LaterBackupsAreNamedKeepTheDefaultAndShowTheirTime) {
    ASSERT_TRUE(create_backup(host.ctx, std::nullopt, std::nullopt));
    host.out.str("");
    host.clock.t += seconds(30) + microseconds(1500);
    ASSERT_TRUE(create_backup(host.ctx, std::string("x"), std::string("y")));

    EXPECT_EQ(host.out.str(),
              "[+] Creating network configuration backup 'x'...\n"
              "[+] Backup completed successfully:\n"
              "  - JSON backup: /var/lib/quillmar/backups/x.json\n"
              "  - Timestamp: 2024-03-05 07:08:39.121500 UTC\n");
    const std::string text = document("x", std::string("y"), false);
    EXPECT_EQ(host.read_file(backup_path("x")), text);
    EXPECT_EQ(host.read_file(kLatest), text);
    EXPECT_EQ(host.read_file(kSaved), text);
    auto i = index();
    ASSERT_TRUE(i) << i.error().message;
    EXPECT_EQ(index_names(), (std::vector<std::string>{"x", "backup_20240305_070809"}));
    EXPECT_EQ(i->default_backup, "backup_20240305_070809");
    EXPECT_FALSE(i->backups[0].is_default);
    EXPECT_EQ(i->backups[0].description, "y");

    // A backup named "default" is a default one, though not the first.
    host.out.str("");
    host.clock.t += seconds(1);
    ASSERT_TRUE(create_backup(host.ctx, std::string("default"), std::nullopt));
    EXPECT_EQ(host.out.str(),
              "[+] Creating network configuration backup 'default'...\n"
              "[+] Backup completed successfully:\n"
              "  - JSON backup: /var/lib/quillmar/backups/default.json\n"
              "  - Timestamp: 2024-03-05 07:08:40.121500 UTC\n");
    EXPECT_EQ(index()->default_backup, "default");
    EXPECT_TRUE(index()->backups[0].is_default);
}

TEST_F(Backups, TheIndexKeepsOneEntryPerNameNewestFirstAndEqualTimesInTheirOrder) {
    ASSERT_TRUE(create_backup(host.ctx, std::string("a"), std::nullopt));
    host.clock.t += seconds(10);
    ASSERT_TRUE(create_backup(host.ctx, std::string("b"), std::nullopt));
    ASSERT_TRUE(create_backup(host.ctx, std::string("c"), std::nullopt));  // the same time as b
    EXPECT_EQ(index_names(), (std::vector<std::string>{"b", "c", "a"}));

    // Replacing "a" leaves one entry of it, with the new metadata, sorted by its new time.
    host.clock.t += seconds(10);
    ASSERT_TRUE(create_backup(host.ctx, std::string("a"), std::string("again")));
    EXPECT_EQ(index_names(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(index()->backups[0].description, "again");
    EXPECT_FALSE(index()->backups[0].is_default);
    EXPECT_EQ(index()->default_backup, "a");  // from the first backup, which was "a"

    // An entry from an older time that is re-created at the time of others goes behind them.
    host.clock.t -= seconds(10);
    ASSERT_TRUE(create_backup(host.ctx, std::string("b"), std::nullopt));
    EXPECT_EQ(index_names(), (std::vector<std::string>{"a", "c", "b"}));
    EXPECT_EQ(host.read_file(kIndex)->back(), '}');
}

struct FirstCase {
    std::string name;
    std::function<void(FakeHost&)> arrange;
    bool first;
};

class FirstBackupTest : public ::testing::TestWithParam<FirstCase> {};

TEST_P(FirstBackupTest, DependsOnlyOnJsonFilesInTheBackupDirectoryAndFallbackFiles) {
    FakeHost host;
    host.clock.t = march5();
    fs::create_directories(host.file("/var/lib/quillmar/backups"));
    GetParam().arrange(host);
    ASSERT_TRUE(create_backup(host.ctx, std::string("n"), std::nullopt));
    const bool first = host.out.str().find("  - Type: Default backup (first run)\n") != std::string::npos;
    EXPECT_EQ(first, GetParam().first) << host.out.str();
    EXPECT_EQ(load_backup_index(host.ctx)->backups.at(0).is_default, GetParam().first);
}

void file_in_backups(FakeHost& h, const std::string& name) { h.write_file("/var/lib/quillmar/backups/" + name, "x"); }
void file_in_cwd(FakeHost& h, const std::string& name) { h.write_file("./" + name, "x"); }

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstBackupTest,
    ::testing::Values(
        FirstCase{"empty", [](FakeHost&) {}, true},
        FirstCase{"index_alone", [](FakeHost& h) { file_in_backups(h, "backup-index.json"); }, false},
        FirstCase{"latest_alone", [](FakeHost& h) { file_in_backups(h, "latest_network_config.json"); }, false},
        FirstCase{"any_json", [](FakeHost& h) { file_in_backups(h, "..json"); }, false},
        FirstCase{"hidden_json_has_no_extension", [](FakeHost& h) { file_in_backups(h, ".json"); }, true},
        FirstCase{"upper_case_extension", [](FakeHost& h) { file_in_backups(h, "a.JSON"); }, true},
        FirstCase{"other_extension", [](FakeHost& h) { file_in_backups(h, "a.json.tmp"); }, true},
        FirstCase{"link_to_json",
                  [](FakeHost& h) {
                      file_in_backups(h, "real.txt");
                      fs::create_symlink("real.txt", h.file("/var/lib/quillmar/backups/a.json"));
                  },
                  true},
        FirstCase{"directory_named_json",
                  [](FakeHost& h) { fs::create_directories(h.file("/var/lib/quillmar/backups/d.json")); }, true},
        FirstCase{"default_fallback_in_cwd", [](FakeHost& h) { file_in_cwd(h, "default_network_config.json"); },
                  false},
        FirstCase{"timed_fallback_in_cwd", [](FakeHost& h) { file_in_cwd(h, "network_config_20240101_000000.json"); },
                  false},
        FirstCase{"name_containing_the_prefix", [](FakeHost& h) { file_in_cwd(h, "old_network_config_.json"); }, false},
        FirstCase{"fallback_name_not_json", [](FakeHost& h) { file_in_cwd(h, "network_config_1.txt"); }, true},
        FirstCase{"other_json_in_cwd", [](FakeHost& h) { file_in_cwd(h, "config.json"); }, true},
        FirstCase{"fallback_link_in_cwd",
                  [](FakeHost& h) {
                      file_in_cwd(h, "x");
                      fs::create_symlink("x", h.file("./network_config_1.json"));
                  },
                  true}),
    [](const auto& info) { return info.param.name; });

TEST(BackupFallback, GoesToTheCurrentDirectoryWhenTheBackupDirectoryCannotBeCreated) {
    FakeHost host;
    host.clock.t = march5();
    host.write_file("/var/lib/quillmar", "a file where the state directory belongs");

    ASSERT_TRUE(create_backup(host.ctx, std::string("wanted"), std::string("ignored")));
    EXPECT_EQ(host.out.str(),
              "[+] Creating network configuration backup 'wanted'...\n"
              "[+] Fallback backup completed successfully:\n"
              "  - JSON backup: ./default_network_config.json\n"
              "  - Type: Default backup (first run)\n"
              "  - Note: Running in fallback mode due to permission restrictions\n");
    EXPECT_EQ(host.err.str(),
              "[-] Warning: Could not create backup directory /var/lib/quillmar/backups: Not a directory (os error "
              "20)\n"
              "[-] Trying to use current directory for backup...\n");
    auto doc = host.read_file("./default_network_config.json");
    ASSERT_TRUE(doc);
    auto parsed = network_config_from_json(*doc);
    ASSERT_TRUE(parsed) << parsed.error().message;
    // Its own name, no description, not a default backup.
    EXPECT_EQ(parsed->metadata, (BackupMetadata{"backup_20240305_070809", std::nullopt, march5(), "1.0.0", false}));
    EXPECT_FALSE(fs::exists(host.file("/etc/quillmar")));  // the copies are not written

    // The next one is not the first: a timed file.
    host.out.str("");
    host.err.str("");
    host.clock.t += seconds(61);
    ASSERT_TRUE(create_backup(host.ctx, std::nullopt, std::nullopt));
    EXPECT_EQ(host.out.str(),
              "[+] Creating network configuration backup 'backup_20240305_070910'...\n"
              "[+] Fallback backup completed successfully:\n"
              "  - JSON backup: ./network_config_20240305_070910.json\n"
              "  - Timestamp: 2024-03-05 07:09:10.120 UTC\n"
              "  - Note: Running in fallback mode due to permission restrictions\n");
    EXPECT_TRUE(host.read_file("./network_config_20240305_070910.json"));
}

TEST(BackupFallback, GoesToTheCurrentDirectoryWhenTheBackupFileCannotBeWritten) {
    FakeHost host;
    host.clock.t = march5();
    // A directory where the file belongs: the new file cannot be renamed over it.
    fs::create_directories(host.file("/var/lib/quillmar/backups/x.json/in-the-way"));
    host.write_file("./network_config_old.json", "{}");

    ASSERT_TRUE(create_backup(host.ctx, std::string("x"), std::nullopt));
    EXPECT_EQ(host.err.str(),
              "[-] Warning: Could not write to /var/lib/quillmar/backups/x.json: Is a directory (os error 21)\n"
              "[-] Trying to use current directory for backup...\n");
    EXPECT_NE(host.out.str().find("  - JSON backup: ./network_config_20240305_070809.json\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(host.file(kIndex)));
}

// A stalled nmcli or virsh must not keep other runs from the state files: the host is asked
// before the lock is taken, by the backup and by its fallback alike.
TEST_F(Backups, TheHostIsAskedWithoutTheStateLockHeld) {
    std::vector<std::vector<std::string>> under_lock;
    host.runner.while_running = [&](const std::vector<std::string>& argv) {
        if (host.state_lock_taken()) under_lock.push_back(argv);
    };
    ASSERT_TRUE(create_backup(host.ctx, std::string("a"), std::nullopt));
    ASSERT_TRUE(host.read_file(backup_path("a")));
    fs::create_directories(host.file("/var/lib/quillmar/backups/x.json/in-the-way"));
    ASSERT_TRUE(create_backup(host.ctx, std::string("x"), std::nullopt));
    EXPECT_NE(host.out.str().find("[+] Fallback backup completed successfully:\n"), std::string::npos);

    EXPECT_FALSE(host.runner.calls.empty());
    EXPECT_EQ(under_lock, std::vector<std::vector<std::string>>{});
}

TEST(BackupFallback, ItsOwnFailureEndsTheBackup) {
    FakeHost host;
    host.clock.t = march5();
    host.write_file("/var/lib/quillmar", "");
    fs::create_directories(host.file("./default_network_config.json/in-the-way"));
    auto made = create_backup(host.ctx, std::nullopt, std::nullopt);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().message, "Is a directory (os error 21)");
}

TEST_F(Backups, CopiesThatCannotBeWrittenOnlyWarn) {
    host.write_file("/etc/quillmar", "not a directory");
    fs::create_directories(host.file(std::string(kLatest) + "/in-the-way"));
    ASSERT_TRUE(create_backup(host.ctx, std::string("x"), std::nullopt));
    EXPECT_EQ(host.err.str(),
              "[-] Warning: Could not create config directory /etc/quillmar: Not a directory (os error 20)\n"
              "[-] Config file will not be saved\n"
              "[-] Warning: Could not write latest backup: Is a directory (os error 21)\n"
              "[-] Warning: Could not write to config file /etc/quillmar/config.json: Not a directory (os error 20)\n"
              "[-] This is normal if running without root privileges\n");
    EXPECT_NE(host.out.str().find("[+] Backup completed successfully:\n"), std::string::npos);
    EXPECT_EQ(index_names(), (std::vector<std::string>{"x"}));
}

TEST_F(Backups, AnIndexThatCannotBeWrittenEndsTheBackupAfterItsFile) {
    // An index far larger than one backup document, and a limit between the two sizes.
    BackupIndex big;
    for (int i = 0; i < 2000; ++i)
        big.backups.push_back({"old" + std::to_string(i), std::nullopt, march5(), "1.0.0", false});
    host.write_file(kIndex, backup_index_to_json_pretty(big));
    const std::string before = *host.read_file(kIndex);
    Status made;
    {
        test::FileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(limit.active());
        made = create_backup(host.ctx, std::string("x"), std::nullopt);
    }
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().message, "File too large (os error 27)");
    EXPECT_TRUE(host.read_file(backup_path("x")));
    EXPECT_EQ(host.read_file(kIndex), before);  // the old index stays whole
    EXPECT_FALSE(host.read_file(kLatest));
    EXPECT_FALSE(host.read_file(kSaved));
    EXPECT_EQ(host.out.str(), "[+] Creating network configuration backup 'x'...\n");
}

TEST_F(Backups, ADamagedIndexIsSetAsideWithAWarningAndANewOneStarted) {
    host.write_file(kIndex, "{\"backups\": [{\"name\": \"precious\"");
    ASSERT_TRUE(create_backup(host.ctx, std::string("x"), std::nullopt));
    const std::string kept = "/var/lib/quillmar/backups/backup-index.json.damaged-20240305_070809";
    EXPECT_EQ(host.err.str(), "[-] Warning: Backup index /var/lib/quillmar/backups/backup-index.json could not be "
                              "read (EOF while parsing an object at line 1 column 32); kept it as " +
                                  kept + " and started a new index\n");
    EXPECT_EQ(host.read_file(kept), "{\"backups\": [{\"name\": \"precious\"");
    EXPECT_EQ(index_names(), (std::vector<std::string>{"x"}));
    EXPECT_NE(host.out.str().find("[+] Backup completed successfully:\n"), std::string::npos);
}

TEST_F(Backups, NamesThatAreNotOneFileNameAreRefusedBeforeAnythingHappens) {
    for (const std::string& name : std::vector<std::string>{"", ".", "..", "/", "../x", "a/b", "/etc/passwd",
                                                             std::string("a\0b", 3)}) {
        auto made = create_backup(host.ctx, name, std::nullopt);
        ASSERT_FALSE(made) << name;
        EXPECT_EQ(made.error().message, "Invalid backup name '" + name +
                                            "': a backup name is one file name (not empty, without '/', and not "
                                            "'.' or '..')");
    }
    EXPECT_EQ(host.out.str(), "");
    EXPECT_TRUE(host.runner.calls.empty());
    EXPECT_FALSE(fs::exists(host.file("/var/lib/quillmar")));
    // Dots and other characters inside a name are fine.
    EXPECT_TRUE(create_backup(host.ctx, std::string("..a b.c"), std::nullopt));
    EXPECT_TRUE(host.read_file(backup_path("..a b.c")));
}

TEST_F(Backups, ASnapshotErrorWritesNothing) {
    host.runner.on({"nmcli", "-t", "-f", "NAME,DEVICE,TYPE,STATE", "connection", "show"}, Answer::exit(8));
    auto made = create_backup(host.ctx, std::string("x"), std::nullopt);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().message, "Failed to get all connections");
    EXPECT_TRUE(fs::is_empty(host.file("/var/lib/quillmar/backups")));
    EXPECT_FALSE(fs::exists(host.file(kSaved)));
}

TEST(BackupIndexLoad, MissingAndDamagedIndexesAreErrors) {
    FakeHost host;
    auto missing = load_backup_index(host.ctx);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
    host.write_file(kIndex, "[]");
    auto short_array = load_backup_index(host.ctx);
    ASSERT_FALSE(short_array);
    EXPECT_EQ(short_array.error().message,
              "invalid length 0, expected struct BackupIndex with 2 elements at line 1 column 2");
}

}  // namespace
}  // namespace qm
