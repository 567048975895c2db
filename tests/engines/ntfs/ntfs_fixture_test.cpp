// End to end over the NTFS images made with mkntfs and ntfs-3g: scan through the catalogue
// record, compare the listed paths and sizes with the builders' manifests, and recover
// every expected file byte-exact (sha256).

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "disk/records.h"
#include "engines/engine_registry.h"
#include "engines/ntfs/ntfs_volume.h"
#include "engines/ntfs/ntfs_file_record.h"
#include "support/sha256.h"
#include "test_support.h"
#include "workspace/result_tree.h"

namespace velk {
namespace {

class HashSink final : public ByteSink {
 public:
  bool write(const uint8_t* data, size_t n) override {
    m_hash.update(std::span<const uint8_t>(data, n));
    m_written += n;
    return true;
  }
  std::string hex() {
    static const char* kDigits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : m_hash.finish()) {
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
    }
    return out;
  }

 private:
  Sha256 m_hash;
};

struct Listed {
  NtfsFileRecord* record = nullptr;
  std::string path;  // folders below the root, "/"-joined, then the name
};

struct ScanRun {
  std::unique_ptr<RecoveryEngine> engine;
  std::unique_ptr<ResultTree> tree;
  std::map<std::string, Listed> byPath;
  Status scanResult;
};

// The NTFS record of an image: the only one of a bare volume, else the one starting at
// the given sector.
std::optional<PartitionRecord> ntfsRecord(const std::string& image, uint32_t startSector) {
  for (const PartitionRecord& r : test::catalogOf(test::fixturePath(image)))
    if (r.fsNameText() == "NTFS" && (startSector == 0 || r.startSector == startSector)) return r;
  return std::nullopt;
}

ScanRun scanImage(const PartitionRecord& record, Task task) {
  ScanRun run;
  auto opened = openEngine(record, task);
  EXPECT_TRUE(opened) << describe(opened.error());
  if (!opened) return run;
  run.engine = std::move(*opened);
  run.tree = std::make_unique<ResultTree>(Variant::Ntfs);
  Progress progress;
  ScanOptions options;
  options.task = task;
  run.scanResult = run.engine->scan(*run.tree, options, progress);
  for (FolderItem* folder : run.tree->foldersBreadthFirst()) {
    std::string prefix;
    for (const auto& part : folder->pathBelowRoot()) prefix += part + "/";
    for (FileRecord* f : folder->files) {
      auto* n = dynamic_cast<NtfsFileRecord*>(f);
      EXPECT_TRUE(n);
      // The record's own folder names agree with the folder it was put in.
      std::string fromRecord;
      for (const auto& part : n->recordFolders()) fromRecord += part + "/";
      EXPECT_EQ(fromRecord, prefix) << n->name;
      run.byPath[prefix + n->name] = {n, prefix + n->name};
    }
  }
  return run;
}

// Every manifest row in one of the states is listed at its path with its size and
// recovers byte-exact. Returns the number checked.
size_t expectRecovered(ScanRun& run, const std::string& manifest, const std::vector<std::string>& states) {
  size_t checked = 0;
  for (const auto& row : test::loadManifest(manifest)) {
    if (std::find(states.begin(), states.end(), row.state) == states.end()) continue;
    ++checked;
    auto it = run.byPath.find(row.path);
    if (it == run.byPath.end()) {
      ADD_FAILURE() << "not listed: " << row.path;
      continue;
    }
    NtfsFileRecord& rec = *it->second.record;
    EXPECT_EQ(rec.contentSize(), row.size) << row.path;
    EXPECT_EQ(rec.size, uint32_t(row.size)) << row.path;
    HashSink sink;
    EXPECT_TRUE(run.engine->extract(rec, sink)) << row.path;
    EXPECT_EQ(sink.written(), row.size) << row.path;
    EXPECT_EQ(sink.hex(), row.sha256) << row.path;
    // The memory path gives the same bytes.
    if (row.size <= (2u << 20)) {
      std::vector<uint8_t> bytes;
      EXPECT_TRUE(run.engine->readAll(rec, bytes)) << row.path;
      EXPECT_EQ(test::sha256Hex(bytes), row.sha256) << row.path;
    }
  }
  return checked;
}

TEST(NtfsFixtureTest, DeletedScanRecoversEveryDeletedFileByteExact) {
  if (!test::fixtureExists("ntfs_deleted.img")) GTEST_FAIL() << "ntfs_deleted fixture missing";
  auto record = ntfsRecord("ntfs_deleted.img", 0);
  ASSERT_TRUE(record);
  ScanRun run = scanImage(*record, Task::Deleted);
  ASSERT_TRUE(run.engine);
  EXPECT_TRUE(run.scanResult);
  ASSERT_TRUE(run.tree->root());
  EXPECT_EQ(run.tree->root()->text, std::string("NTFS - Logical Disk (") + record->letter + ":)");
  const size_t checked = expectRecovered(run, "ntfs_deleted", {"deleted", "deleted-in-deleted-folder"});
  EXPECT_GE(checked, 25u);
  // Live files are not part of a deleted-file scan.
  for (const auto& row : test::loadManifest("ntfs_deleted"))
    if (row.state == "live") {
      EXPECT_EQ(run.byPath.count(row.path), 0u) << row.path;
    }
}

TEST(NtfsFixtureTest, DeletedRecordsCarryTheirFlagsAndStreams) {
  if (!test::fixtureExists("ntfs_deleted.img")) GTEST_FAIL() << "ntfs_deleted fixture missing";
  auto record = ntfsRecord("ntfs_deleted.img", 0);
  ASSERT_TRUE(record);
  ScanRun run = scanImage(*record, Task::Deleted);
  ASSERT_TRUE(run.engine);
  auto big = run.byPath.find("Compressed/big text.txt");
  ASSERT_NE(big, run.byPath.end());
  EXPECT_TRUE(big->second.record->attributes & 0x800);
  EXPECT_NE(big->second.record->attributeText().find("C-"), std::string::npos);
  EXPECT_NE(big->second.record->attributeText().find("Del-"), std::string::npos);
  // The file shows its own size, not its stream's.
  auto withStream = run.byPath.find("with stream.txt");
  ASSERT_NE(withStream, run.byPath.end());
  EXPECT_EQ(withStream->second.record->size, 2000u);
  EXPECT_EQ(run.byPath.count("with stream.txt:secret"), 1u);
}

TEST(NtfsFixtureTest, FormattedScanListsOldFilesAtTheirPaths) {
  if (!test::fixtureExists("ntfs_formatted.img")) GTEST_FAIL() << "ntfs_formatted fixture missing";
  auto record = ntfsRecord("ntfs_formatted.img", 0);
  ASSERT_TRUE(record);
  ScanRun run = scanImage(*record, Task::Formatted);
  ASSERT_TRUE(run.engine);
  EXPECT_TRUE(run.scanResult);
  EXPECT_EQ(expectRecovered(run, "ntfs_formatted", {"formatted"}), 14u);
}

struct PartitionCase {
  const char* image;
  const char* manifest;
  uint32_t startSector;
  int part;
};
// Test names and failure messages show the case, not its bytes.
inline void PrintTo(const PartitionCase& c, std::ostream* os) { *os << c.image; }

class NtfsPartitionFixtureTest : public ::testing::TestWithParam<PartitionCase> {};

TEST_P(NtfsPartitionFixtureTest, DeletedFilesOfTheNtfsPartitionRecover) {
  const PartitionCase& c = GetParam();
  if (!test::fixtureExists(std::string(c.image) + ".img")) GTEST_FAIL() << c.image << " fixture missing";
  auto record = ntfsRecord(std::string(c.image) + ".img", c.startSector);
  ASSERT_TRUE(record);
  ScanRun run = scanImage(*record, Task::Deleted);
  ASSERT_TRUE(run.engine);
  size_t expected = 0, checked = 0;
  for (const auto& row : test::loadManifest(c.manifest)) {
    if (row.part != c.part) continue;
    if (row.state == "live") {
      EXPECT_EQ(run.byPath.count(row.path), 0u) << row.path;
      continue;
    }
    ++expected;
    auto it = run.byPath.find(row.path);
    if (it == run.byPath.end()) {
      ADD_FAILURE() << "not listed: " << row.path;
      continue;
    }
    HashSink sink;
    EXPECT_TRUE(run.engine->extract(*it->second.record, sink));
    EXPECT_EQ(sink.hex(), row.sha256) << row.path;
    ++checked;
  }
  EXPECT_GT(expected, 0u);
  EXPECT_EQ(checked, expected);
}

INSTANTIATE_TEST_SUITE_P(Disks, NtfsPartitionFixtureTest,
                         ::testing::Values(PartitionCase{"mbr_mixed", "mbr_mixed", 92160, 2},
                                           PartitionCase{"demo_disk", "demo_disk", 83968, 2}));

}  // namespace
}  // namespace velk
