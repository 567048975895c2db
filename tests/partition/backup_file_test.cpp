// The partition backup file: its byte layout, what loading refuses, the backup list of a
// disk, and the loader under damaged input.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>

#include "partition/backup_file.h"
#include "partition/backup_store.h"
#include "partition/partition_texts.h"
#include "test_support.h"

namespace velk {
namespace {

DiskRecord diskNamed(const std::string& name, uint64_t size, int number = 0) {
  DiskRecord d;
  setFixedText(d.name, name);
  d.size = size;
  d.number = number;
  d.busType = 7;
  return d;
}

PartitionRecord record(int disk, uint32_t start, const std::string& fs) {
  PartitionRecord r;
  r.diskNumber = disk;
  r.kind = kKindPrimary;
  r.tableSector = start;
  r.startSector = start;
  r.length = r.freeBytes = 2048 * 512;
  r.setFsName(fs);
  r.setLabel("Unknown");
  r.type = 0x0C;
  for (size_t i = 0; i < r.firstSector.size(); ++i) r.firstSector[i] = uint8_t(i * 7 + start);
  return r;
}

std::vector<uint8_t> slurp(const std::filesystem::path& p) { return test::readFile(p); }

class BackupFileTest : public ::testing::Test {
 protected:
  test::TempDir m_dir;
  DiskRecord m_disk = diskNamed("VELK Disk 1", 64ull << 20, 1);
};

TEST_F(BackupFileTest, LayoutIsMagicDiskRecordThenRecordsOfThatDisk) {
  std::vector<PartitionRecord> catalog = {record(1, 2048, "FAT32"), record(0, 63, "NTFS"), record(1, 4096, "Deleted")};
  const auto path = m_dir.path() / "a.pbf";
  ASSERT_TRUE(writeBackupFile(path, m_disk, catalog));
  auto b = slurp(path);
  ASSERT_EQ(b.size(), 4u + 288 + 2 * 600);
  EXPECT_EQ(b[0], 0xEF);
  EXPECT_EQ(b[1], 0xCD);
  EXPECT_EQ(b[2], 0xAB);
  EXPECT_EQ(b[3], 0x89);
  auto disk = m_disk.encode();
  EXPECT_TRUE(std::equal(disk.begin(), disk.end(), b.begin() + 4));
  auto first = catalog[0].encode(), third = catalog[2].encode();
  EXPECT_TRUE(std::equal(first.begin(), first.end(), b.begin() + 292));
  EXPECT_TRUE(std::equal(third.begin(), third.end(), b.begin() + 892));
}

TEST_F(BackupFileTest, DiskWithoutRecordsIs292BytesAndLoadsEmpty) {
  const auto path = m_dir.path() / "empty.pbf";
  ASSERT_TRUE(writeBackupFile(path, m_disk, {record(3, 63, "NTFS")}));
  EXPECT_EQ(std::filesystem::file_size(path), 292u);
  auto loaded = loadBackupFile(path, m_disk);
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(loaded->empty());
}

TEST_F(BackupFileTest, LoadTakesRecordsAsTheyAreAndIgnoresATrailingPiece) {
  std::vector<PartitionRecord> catalog = {record(1, 2048, "FAT32"), record(1, 4096, "NTFS")};
  auto bytes = encodeBackup(m_disk, catalog);
  bytes.resize(bytes.size() + 599, 0xEE);
  const auto path = m_dir.path() / "t.pbf";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  auto loaded = loadBackupFile(path, m_disk);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(*loaded, catalog);
  // Another disk number in the records is not looked at again.
  DiskRecord renumbered = m_disk;
  renumbered.number = 5;
  EXPECT_TRUE(loadBackupFile(path, renumbered));
}

struct Refusal {
  const char* what;
  size_t offset;  // byte changed in the file
  uint8_t value;
};
inline void PrintTo(const Refusal& c, std::ostream* os) { *os << c.what; }

class BackupRefusal : public BackupFileTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(BackupRefusal, IsNotLoaded) {
  auto bytes = encodeBackup(m_disk, {record(1, 2048, "FAT32")});
  bytes[GetParam().offset] = GetParam().value;
  const auto path = m_dir.path() / "r.pbf";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  EXPECT_FALSE(loadBackupFile(path, m_disk));
  EXPECT_FALSE(decodeBackup(bytes) && backupMatchesDisk(decodeBackup(bytes)->disk, m_disk));
}

INSTANTIATE_TEST_SUITE_P(OneField, BackupRefusal,
                         ::testing::Values(Refusal{"magic", 0, 0xEE}, Refusal{"magic high byte", 3, 0x88},
                                           Refusal{"name", 4, 'v'}, Refusal{"name length", 4 + 11, 'X'},
                                           Refusal{"size", 4 + 264, 0x01}, Refusal{"size high", 4 + 271, 0x80}),
                         [](const auto& param) {
                           std::string n = param.param.what;
                           for (char& c : n) if (c == ' ') c = '_';
                           return n;
                         });

TEST_F(BackupFileTest, ShortHeaderAndMissingFileAreRefused) {
  auto bytes = encodeBackup(m_disk, {});
  bytes.resize(291);
  const auto path = m_dir.path() / "s.pbf";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  EXPECT_FALSE(loadBackupFile(path, m_disk));
  EXPECT_FALSE(decodeBackup(bytes));
  EXPECT_FALSE(loadBackupFile(m_dir.path() / "none.pbf", m_disk));
}

TEST_F(BackupFileTest, WriteFailureIsReported) {
  EXPECT_FALSE(writeBackupFile(m_dir.path() / "no" / "such" / "x.pbf", m_disk, {}));
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(writeBackupFile("/dev/full", m_disk, {record(1, 2048, "FAT32")}));
  }
}

// Random damage of a real backup: the decoder answers or refuses, never reads outside.
TEST_F(BackupFileTest, DecoderSurvivesDamagedInput) {
  const auto good = encodeBackup(m_disk, {record(1, 2048, "FAT32"), record(1, 4096, "NTFS")});
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; ++round) {
    auto bytes = good;
    bytes.resize(std::uniform_int_distribution<size_t>(0, good.size() + 700)(rng), 0x41);
    for (int k = 0; k < 4 && !bytes.empty(); ++k)
      bytes[std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng)] = uint8_t(rng());
    auto decoded = decodeBackup(bytes);
    if (bytes.size() < 292) {
      EXPECT_FALSE(decoded);
      continue;
    }
    if (decoded) {
      EXPECT_EQ(decoded->records.size(), (bytes.size() - 292) / 600);
    }
  }
}

class BackupListTest : public BackupFileTest {};

TEST_F(BackupListTest, ListsFilesBeginningWithTheDiskName) {
  auto touch = [&](const std::string& name) { std::ofstream(m_dir.path() / name).put('x'); };
  touch("VELK Disk 1 2024-01-01.pbf");
  touch("VELK Disk 1.PBF");
  touch("VELK Disk 10.pbf");  // begins with the name too: listed, as a prefix match
  touch("Other VELK Disk 1.pbf");
  touch("VELK Disk 1 notes.txt");
  std::filesystem::create_directory(m_dir.path() / "VELK Disk 1 folder.pbf");
  auto rows = listBackups(m_disk, m_dir.path());
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows.front().dateText, kRowAutoScan);
  EXPECT_EQ(rows.front().pathText, kRowAutoScanNote);
  EXPECT_EQ(rows.front().image, 1);
  EXPECT_EQ(rows.back().dateText, kRowAddBackup);
  EXPECT_EQ(rows.back().pathText, kRowAddBackupNote);
  EXPECT_EQ(rows.back().image, 2);
  EXPECT_EQ(rows[1].path.filename(), "VELK Disk 1 2024-01-01.pbf");
  EXPECT_EQ(rows[2].path.filename(), "VELK Disk 1.PBF");
  EXPECT_EQ(rows[3].path.filename(), "VELK Disk 10.pbf");
  // "     YYYY-MM-DD HH:MM:SS"
  EXPECT_EQ(rows[1].dateText.size(), 5u + 19);
  EXPECT_EQ(rows[1].dateText.substr(0, 5), "     ");
  EXPECT_EQ(rows[1].image, 0);

  // A file added by the user goes just above the last row, with two leading blanks.
  touch("elsewhere.pbf");
  ASSERT_TRUE(addBackupRow(rows, m_dir.path() / "elsewhere.pbf"));
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[4].kind, BackupRowKind::Added);
  EXPECT_EQ(rows[4].dateText.substr(0, 3), "  2");
  EXPECT_EQ(rows.back().kind, BackupRowKind::AddFile);
  EXPECT_FALSE(addBackupRow(rows, m_dir.path() / "missing.pbf"));
  EXPECT_EQ(rows.size(), 6u);
}

TEST_F(BackupListTest, FolderComesFromTheEnvironment) {
  auto keep = [](const char* n) { const char* v = std::getenv(n); return v ? std::optional<std::string>(v) : std::nullopt; };
  auto backupDir = keep("VELK_BACKUP_DIR"), xdg = keep("XDG_DATA_HOME"), home = keep("HOME");
  ::setenv("VELK_BACKUP_DIR", "/tmp/velk-b", 1);
  EXPECT_EQ(backupFolder(), "/tmp/velk-b");
  ::unsetenv("VELK_BACKUP_DIR");
  ::setenv("XDG_DATA_HOME", "/x/data", 1);
  EXPECT_EQ(backupFolder(), "/x/data/velk/backup");
  ::setenv("XDG_DATA_HOME", "relative", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(backupFolder(), "/home/u/.local/share/velk/backup");
  auto restore = [](const char* n, const std::optional<std::string>& v) {
    if (v) ::setenv(n, v->c_str(), 1); else ::unsetenv(n);
  };
  restore("VELK_BACKUP_DIR", backupDir);
  restore("XDG_DATA_HOME", xdg);
  restore("HOME", home);
}

TEST_F(BackupListTest, DefaultNameIsListedForItsDisk) {
  const std::string name = defaultBackupName(m_disk, 0);
  EXPECT_EQ(name.rfind("VELK Disk 1 ", 0), 0u);
  EXPECT_EQ(name.substr(name.size() - 4), ".pbf");
  DiskRecord slashed = diskNamed("a/b", 1);
  EXPECT_EQ(defaultBackupName(slashed, 0).rfind("a_b ", 0), 0u);
}

}  // namespace
}  // namespace velk
