// End to end over the NTFS images made with mkntfs and ntfs-3g: scan through the catalogue
// record, compare the listed paths and sizes with the builders' manifests, and recover
// every expected file byte-exact (sha256); the same images with unreadable sectors and
// damaged boot sectors.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "disk/records.h"
#include "engines/engine_registry.h"
#include "engines/ntfs/ntfs_volume.h"
#include "engines/ntfs/ntfs_file_record.h"
#include "engines/ntfs/ntfs_image_builder.h"
#include "faulty_device.h"
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
  SectorReader partition;  // the volume again, for writing plans without the engine
};

// The NTFS record of an image: the only one of a bare volume, else the one starting at
// the given sector.
std::optional<PartitionRecord> ntfsRecord(const std::string& image, uint32_t startSector) {
  for (const PartitionRecord& r : test::catalogOf(test::fixturePath(image)))
    if (r.fsNameText() == "NTFS" && (startSector == 0 || r.startSector == startSector)) return r;
  return std::nullopt;
}

ScanRun scanEngine(std::unique_ptr<RecoveryEngine> engine, Task task) {
  ScanRun run;
  run.engine = std::move(engine);
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

ScanRun scanImage(const PartitionRecord& record, Task task) {
  auto opened = openEngine(record, task);
  EXPECT_TRUE(opened) << describe(opened.error());
  if (!opened) return {};
  ScanRun run = scanEngine(std::move(*opened), task);
  EXPECT_TRUE(run.partition.OpenPartition(record));
  return run;
}

// The volume of an unpartitioned fixture over a copy in memory, reads in [from, to) failing.
ScanRun scanFaulty(std::shared_ptr<std::vector<uint8_t>> bytes, uint64_t from = UINT64_MAX, uint64_t to = 0) {
  test::FaultPlan plan;
  plan.failReadsFrom = from;
  plan.failReadsTo = to;
  SectorReader reader;
  reader.OpenDevice(std::make_unique<test::FaultyDevice>(memoryDevice(bytes, false), plan), "faulty");
  auto volume = std::make_unique<NtfsVolume>(std::move(reader), 0, 'C', bytes->size());
  ScanRun run = scanEngine(std::move(volume), Task::Deleted);
  run.partition.OpenDevice(memoryDevice(bytes, false), "copy");
  return run;
}

std::string noteValue(const std::string& notes, const std::string& key) {
  const size_t at = notes.find(key + "=");
  return at == std::string::npos ? std::string() : notes.substr(at + key.size() + 1, notes.find(' ', at) - at - key.size() - 1);
}

// Where a row is listed: a record whose names are gone by its number, a file whose parent
// record was reused by its own name, both under the lost-files folder.
std::string listedPath(const test::ManifestEntry& row) {
  if (row.notes.find("name-lost") != std::string::npos) return "Lost Files0/Record_" + noteValue(row.notes, "inode");
  if (row.notes.find("parent-reused") != std::string::npos)
    return "Lost Files0/" + row.path.substr(row.path.rfind('/') + 1);
  return row.path;
}

// Every manifest row in one of the states is listed at its path with its size and
// recovers byte-exact. Returns the number checked.
size_t expectRecovered(ScanRun& run, const std::string& manifest, const std::vector<std::string>& states) {
  size_t checked = 0;
  for (const auto& row : test::loadManifest(manifest)) {
    if (std::find(states.begin(), states.end(), row.state) == states.end()) continue;
    ++checked;
    auto it = run.byPath.find(listedPath(row));
    if (it == run.byPath.end()) {
      ADD_FAILURE() << "not listed: " << listedPath(row);
      continue;
    }
    NtfsFileRecord& rec = *it->second.record;
    EXPECT_EQ(rec.contentSize(), row.size) << row.path;
    EXPECT_EQ(rec.size, uint32_t(row.size)) << row.path;
    HashSink sink;
    EXPECT_TRUE(run.engine->extract(rec, sink)) << row.path;
    EXPECT_EQ(sink.written(), row.size) << row.path;
    EXPECT_EQ(sink.hex(), row.sha256) << row.path;
    // So does the plan a saved scan keeps, written without the engine.
    auto plan = run.engine->extractionPlan(rec);
    if (!plan) {
      ADD_FAILURE() << row.path << ": " << describe(plan.error());
      continue;
    }
    HashSink planned;
    EXPECT_TRUE(writePlan(run.partition, *plan, planned)) << row.path;
    EXPECT_EQ(planned.hex(), row.sha256) << row.path;
    if (row.notes.find("lznt1") != std::string::npos) {
      EXPECT_TRUE(std::ranges::any_of(plan->pieces, [](const PlanPiece& p) { return p.kind == PlanPiece::Kind::Lznt1; }))
          << row.path;
    }
    // The memory path gives the same bytes.
    if (row.size <= (2u << 20)) {
      std::vector<uint8_t> bytes;
      EXPECT_TRUE(run.engine->readAll(rec, bytes)) << row.path;
      EXPECT_EQ(test::sha256Hex(bytes), row.sha256) << row.path;
    }
  }
  return checked;
}

struct DeletedCase {
  const char* image;
  uint32_t recordSize;
  NtfsCopy mftCopy;
  size_t rows;  // deleted rows the manifest holds
};
inline void PrintTo(const DeletedCase& c, std::ostream* os) { *os << c.image; }

class NtfsDeletedFixtureTest : public ::testing::TestWithParam<DeletedCase> {};

TEST_P(NtfsDeletedFixtureTest, EveryDeletedFileRecoversByteExactAndOverwrittenOnesAreDamaged) {
  const DeletedCase& c = GetParam();
  const std::string image = std::string(c.image) + ".img";
  if (!test::fixtureExists(image)) GTEST_FAIL() << c.image << " fixture missing";
  auto record = ntfsRecord(image, 0);
  ASSERT_TRUE(record);
  ScanRun run = scanImage(*record, Task::Deleted);
  ASSERT_TRUE(run.engine);
  EXPECT_TRUE(run.scanResult);
  ASSERT_TRUE(run.tree->root());
  EXPECT_EQ(run.tree->root()->text, std::string("NTFS - Logical Disk (") + record->letter + ":)");
  const auto& volume = dynamic_cast<const NtfsVolume&>(*run.engine);
  EXPECT_EQ(volume.recordSize(), c.recordSize);
  EXPECT_EQ(volume.mftCopy(), c.mftCopy);
  EXPECT_EQ(expectRecovered(run, c.image, {"deleted", "deleted-in-deleted-folder"}), c.rows);
  for (const auto& row : test::loadManifest(c.image)) {
    auto it = run.byPath.find(listedPath(row));
    // Live files are not part of a deleted-file scan; overwritten ones are listed damaged.
    if (row.state == "live") {
      EXPECT_EQ(it, run.byPath.end()) << row.path;
    }
    if (row.state == "overwritten") {
      ASSERT_NE(it, run.byPath.end()) << row.path;
      EXPECT_EQ(it->second.record->verdict, Verdict::Damaged) << row.path;
    }
    // fragmented.txt took the clusters of two spacers that were deleted too, and ntfs-3g
    // logs nothing that says which came last: all three are damaged.
    if (row.state.starts_with("deleted") && row.path != "fragmented.txt" && it != run.byPath.end()) {
      EXPECT_EQ(it->second.record->verdict, Verdict::Unverified) << row.path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsDeletedFixtureTest,
                         ::testing::Values(DeletedCase{"ntfs_deleted", 1024, NtfsCopy::Primary, 25},
                                           DeletedCase{"ntfs_rec4k", 4096, NtfsCopy::Primary, 8},
                                           DeletedCase{"ntfs_rec4k_c8k", 4096, NtfsCopy::Primary, 8},
                                           DeletedCase{"ntfs_mft0_damaged", 1024, NtfsCopy::Backup, 4},
                                           DeletedCase{"ntfs_lost_names", 1024, NtfsCopy::Primary, 3}));

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


// ------------------------------------------------------------------ damaged media

std::shared_ptr<std::vector<uint8_t>> fixtureBytes(const std::string& name) {
  return std::make_shared<std::vector<uint8_t>>(test::readFile(test::fixturePath(name + ".img")));
}

// The manifest row of a path, for the record number and first cluster its notes give.
test::ManifestEntry rowOf(const std::string& manifest, const std::string& path) {
  for (const auto& row : test::loadManifest(manifest))
    if (row.path == path) return row;
  ADD_FAILURE() << path << " not in " << manifest;
  return {};
}
uint64_t firstCluster(const test::ManifestEntry& row) {
  const size_t at = row.notes.find('[');
  return at == std::string::npos ? 0 : std::stoull(row.notes.substr(at + 1));
}

TEST(NtfsDamagedMediaTest, AZeroedBootSectorIsReplacedByItsBackupInTheLastSector) {
  if (!test::fixtureExists("ntfs_rec4k.img")) GTEST_FAIL() << "ntfs_rec4k fixture missing";
  auto bytes = fixtureBytes("ntfs_rec4k");
  std::fill(bytes->begin(), bytes->begin() + 4096, uint8_t(0));  // the first 4 KiB sector
  ScanRun run = scanFaulty(bytes);
  ASSERT_TRUE(run.scanResult) << describe(run.scanResult.error());
  EXPECT_EQ(dynamic_cast<const NtfsVolume&>(*run.engine).bootCopy(), NtfsCopy::Backup);
  EXPECT_EQ(expectRecovered(run, "ntfs_rec4k", {"deleted", "deleted-in-deleted-folder"}), 8u);
}

TEST(NtfsDamagedMediaTest, AnUnreadableSectorLosesOnlyWhatItHeldAndIsReported) {
  if (!test::fixtureExists("ntfs_deleted.img")) GTEST_FAIL() << "ntfs_deleted fixture missing";
  auto bytes = fixtureBytes("ntfs_deleted");
  const test::ManifestEntry photo = rowOf("ntfs_deleted", "photo one.jpg");
  const uint64_t mft = le64(bytes->data() + 0x30) * 4096;  // 4 KiB clusters, 1 KiB records
  const uint64_t recordSector = (mft + std::stoull(noteValue(photo.notes, "inode")) * 1024) / 512;
  const uint64_t dataSector = firstCluster(photo) * 8 + 3;
  for (uint64_t bad : {recordSector, dataSector}) {
    ScanRun run = scanFaulty(bytes, bad * 512, bad * 512 + 512);
    ASSERT_TRUE(run.scanResult);
    EXPECT_EQ(run.byPath.count("tiny.txt"), 1u);
    const auto photoEntry = run.byPath.find("photo one.jpg");
    if (bad == recordSector) {
      // The MFT record is gone: the file is not listed, the scan goes on.
      EXPECT_EQ(photoEntry, run.byPath.end());
    } else {
      ASSERT_NE(photoEntry, run.byPath.end());
      HashSink sink;
      const Status rc = run.engine->extract(*photoEntry->second.record, sink);
      ASSERT_EQ(failureKind(rc), ErrorKind::Io);
      EXPECT_EQ(rc.error().sector, bad);
    }
    EXPECT_EQ(run.engine->damage().unreadableRanges(), (std::vector<SectorRange>{{bad, 1}}));
  }
}

// Clears the flag once the first bytes arrived.
class StoppingSink final : public ByteSink {
 public:
  explicit StoppingSink(StopFlag& flag) : m_flag(flag) {}
  bool write(const uint8_t*, size_t n) override {
    m_written += n;
    m_flag.clear();
    return true;
  }

 private:
  StopFlag& m_flag;
};

TEST(NtfsDamagedMediaTest, ACancelEndsTheFileInHandWithinOneReadChunk) {
  if (!test::fixtureExists("ntfs_deleted.img")) GTEST_FAIL() << "ntfs_deleted fixture missing";
  ScanRun run = scanFaulty(fixtureBytes("ntfs_deleted"));
  auto it = run.byPath.find("fragmented.txt");
  ASSERT_NE(it, run.byPath.end());
  StopFlag stop;
  run.engine->setExtractStop(&stop);
  StoppingSink sink(stop);
  EXPECT_EQ(failureKind(run.engine->extract(*it->second.record, sink)), ErrorKind::Cancelled);
  EXPECT_GT(sink.written(), 0u);
  EXPECT_LE(sink.written(), 1u << 20);
}

}  // namespace
}  // namespace velk
