// The exFAT engine on volumes made by mkfs.exfat and exfat-fuse (tests/fixtures): listed by
// name with the facts the builder read back, every removed file listed at its path and
// recovered byte for byte (sha256 of the manifest), the formatted scan, a damaged entry
// set, a damaged boot region, a file past 4 GiB, and the command line.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "disk/device.h"
#include "engines/engine_registry.h"
#include "engines/exfat/exfat_volume.h"
#include "formats/exfat_entries.h"
#include "support/sha256.h"
#include "test_support.h"
#include "app/app_state.h"

namespace velk::test {
namespace {

using Listing = std::map<std::string, const ExfatFileRecord*>;

Listing listingOf(const ResultTree& tree) {
  Listing out;
  for (FolderItem* folder : tree.foldersBreadthFirst()) {
    std::string path;
    for (const auto& part : folder->pathBelowRoot()) path += part + "/";
    for (FileRecord* f : folder->files) out[path + f->name] = dynamic_cast<const ExfatFileRecord*>(f);
  }
  return out;
}

// "attr=0x21" → "0x21" of the notes' word key=value ("" when absent).
std::string note(const ManifestEntry& row, const std::string& key) {
  std::smatch m;
  const std::regex word("(^| )" + key + "=([^ ]*)");
  return std::regex_search(row.notes, m, word) ? m[2].str() : "";
}

// The builder's volume table: label, cluster bytes, free clusters.
std::vector<std::string> volumeRow(const std::string& image) {
  std::ifstream in(std::string(VELK_FIXTURE_SOURCE_DIR) + "/" + image + ".volume.tsv");
  std::string line;
  std::getline(in, line);
  std::getline(in, line);
  std::vector<std::string> cols;
  for (size_t i = 0, j; i <= line.size(); i = j + 1) cols.push_back(line.substr(i, (j = std::min(line.find('\t', i), line.size())) - i));
  return cols;
}

struct Scanned {
  std::unique_ptr<RecoveryEngine> engine;
  std::unique_ptr<ResultTree> tree;
  Progress progress;
  Status rc;
};

void scanWith(Scanned& s, Result<std::unique_ptr<RecoveryEngine>> engine, Task task) {
  ASSERT_TRUE(engine) << describe(engine.error());
  s.engine = std::move(*engine);
  s.tree = std::make_unique<ResultTree>(Variant::Fat);
  ScanOptions options;
  options.task = task;
  s.rc = s.engine->scan(*s.tree, options, s.progress);
}

// A copy of the start of a fixture's volume in memory, opened on its own (no catalogue); the
// volume reads as cut where the copy ends.
struct VolumeCopy {
  std::shared_ptr<std::vector<uint8_t>> bytes;
  uint64_t base = 0;
  size_t find(const std::u16string& name) const {
    const std::string_view all(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    return all.find(std::string_view(reinterpret_cast<const char*>(name.data()), name.size() * 2));
  }
  std::unique_ptr<ExfatVolume> open() const {
    SectorReader reader;
    reader.OpenDevice(memoryDevice(bytes, false), "copy");
    reader.SetBaseBytes(base);
    return std::make_unique<ExfatVolume>(std::move(reader), 0, 'C');
  }
};
VolumeCopy copyOf(const std::string& image, uint64_t startSector, size_t bytes) {
  auto copy = std::make_shared<std::vector<uint8_t>>(bytes);
  std::ifstream(fixturePath(image + ".img"), std::ios::binary).read(reinterpret_cast<char*>(copy->data()), std::streamsize(bytes));
  return {copy, startSector * 512};
}

struct ExfatImage {
  const char* name;
  uint32_t startSector;
};
std::ostream& operator<<(std::ostream& os, const ExfatImage& i) { return os << i.name; }

class ExfatFixtureTest : public ::testing::TestWithParam<ExfatImage> {
 protected:
  void SetUp() override {
    if (!fixtureExists(std::string(GetParam().name) + ".img")) GTEST_FAIL() << "fixture missing";
    for (const auto& r : catalogOf(fixturePath(std::string(GetParam().name) + ".img")))
      if (r.startSector == GetParam().startSector && r.letter != '*') record = r;
    ASSERT_GE(record.diskNumber, 0) << "no lettered volume at " << GetParam().startSector;
    rows = loadManifest(GetParam().name);
  }
  void TearDown() override { DeviceNamespace::instance().reset(); }
  PartitionRecord record;
  std::vector<ManifestEntry> rows;
};

TEST_P(ExfatFixtureTest, ListedAsExfatWithLabelClusterSizeAndFreeSpace) {
  const auto v = volumeRow(GetParam().name);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(record.fsNameText(), "exFAT");
  EXPECT_EQ(record.labelText(), v[1]);
  EXPECT_EQ(uint64_t(record.sectorsPerCluster) * record.bytesPerSector, std::stoull(v[2]));
  EXPECT_EQ(record.freeBytes, std::stoull(v[3]) * std::stoull(v[2]));
  for (Task task : {Task::Deleted, Task::Formatted}) EXPECT_EQ(engineFor(record, task)->name, "EXFAT");
  EXPECT_EQ(pageFor(kCommandRecoveryPage, kTaskFormatted, record), PageKind::Fat);
  EXPECT_TRUE(driveListsPartition(kTaskDeleted, record) && driveListsPartition(kTaskFormatted, record));
}

TEST_P(ExfatFixtureTest, DeletedScanListsAndRecoversEveryRemovedFile) {
  Scanned s;
  scanWith(s, openEngine(record, Task::Deleted), Task::Deleted);
  ASSERT_TRUE(s.rc);
  const Listing listing = listingOf(*s.tree);
  const std::map<std::string, std::string> attributeTexts{{"0x20", "RW"}, {"0x21", "R"}, {"0x26", "H-RW-S"}};
  size_t expected = 0, recovered = 0;
  for (const auto& row : rows) {
    if (row.state != "deleted" && row.state != "deleted-in-deleted-folder") continue;
    ++expected;
    auto it = listing.find(row.path);
    if (it == listing.end()) {
      ADD_FAILURE() << "not listed: " << row.path;
      continue;
    }
    const ExfatFileRecord& r = *it->second;
    EXPECT_EQ(r.contentSize(), row.size) << row.path;
    EXPECT_TRUE(r.checksumOk && !r.overwritten) << row.path;
    EXPECT_EQ(r.firstCluster, std::stoul(note(row, "cluster"))) << row.path;
    EXPECT_EQ(r.attributeText(), attributeTexts.at(note(row, "attr"))) << row.path;
    // "2026-01-02T03:04:05.00+01:00": local time with its offset, seconds with the 10 ms field.
    const std::string modified = note(row, "modified");
    EXPECT_EQ(r.modified.isoText(), modified) << row.path;
    EXPECT_EQ(r.dateText(kColumnModified), modified.substr(0, 10) + "   " + modified.substr(11, 8)) << row.path;
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(s.engine->readAll(r, bytes)) << row.path;
    EXPECT_EQ(sha256Hex(bytes), row.sha256) << row.path;
    recovered += sha256Hex(bytes) == row.sha256;
  }
  EXPECT_EQ(listing.size(), expected) << "listed files that are no removed manifest row";
  EXPECT_EQ(s.progress.status(), "Found Deleted Files : " + std::to_string(expected));
  std::printf("[ exfat ] %s deleted: %zu removed files, %zu listed, %zu byte-exact\n", GetParam().name, expected,
              listing.size(), recovered);
}

INSTANTIATE_TEST_SUITE_P(Images, ExfatFixtureTest,
                         ::testing::Values(ExfatImage{"exfat_deleted", 2048}, ExfatImage{"exfat_gpt", 2048},
                                           ExfatImage{"exfat_formatted", 0}),
                         [](const auto& p) { return std::string(p.param.name); });

// The new root names nothing: every old top folder is a DIRn under LostDIR, its sub-folders
// keep their names, and a folder whose clusters are not consecutive comes back whole.
TEST(ExfatFormatted, OldFoldersComeBackWithTheirFiles) {
  if (!fixtureExists("exfat_formatted.img")) GTEST_FAIL() << "fixture missing";
  const auto records = catalogOf(fixturePath("exfat_formatted.img"));
  Scanned s;
  scanWith(s, openEngine(records.front(), Task::Formatted), Task::Formatted);
  ASSERT_TRUE(s.rc);
  const Listing listing = listingOf(*s.tree);
  const std::regex lostDir("LostDIR/DIR[0-9]+");
  std::map<std::string, std::set<std::string>> topOf;  // old top folder → listed folder
  size_t expected = 0, recovered = 0;
  for (const auto& row : loadManifest("exfat_formatted")) {
    if (row.state != "formatted") continue;
    ++expected;
    const std::string top = row.path.substr(0, row.path.find('/'));
    const std::string tail = row.path.substr(top.size());
    std::vector<std::string> hits;
    for (const auto& [path, r] : listing)
      if (path.ends_with(tail) && std::regex_match(path.substr(0, path.size() - tail.size()), lostDir))
        hits.push_back(path);
    ASSERT_EQ(hits.size(), 1u) << row.path;
    topOf[top].insert(hits.front().substr(0, hits.front().size() - tail.size()));
    const ExfatFileRecord& r = *listing.at(hits.front());
    EXPECT_EQ(r.deleted, row.notes.find("deleted-before-format") != std::string::npos) << row.path;
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(s.engine->readAll(r, bytes)) << row.path;
    EXPECT_EQ(sha256Hex(bytes), row.sha256) << row.path;
    recovered += sha256Hex(bytes) == row.sha256;
  }
  EXPECT_EQ(listing.size(), expected);
  EXPECT_EQ(topOf.size(), 4u);  // Photos, Documents, Music, Many
  for (const auto& [top, listed] : topOf) EXPECT_EQ(listed.size(), 1u) << top << " split over several folders";
  std::printf("[ exfat ] exfat_formatted: %zu files, %zu listed, %zu byte-exact\n", expected, listing.size(), recovered);
}

// One field of a real structure broken at a time, on a copy of the GPT fixture's volume.
class ExfatDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fixtureExists("exfat_gpt.img")) GTEST_FAIL() << "fixture missing";
    copy = copyOf("exfat_gpt", 2048, size_t(4) << 20);  // gone.txt lies in the first clusters
    for (const auto& row : loadManifest("exfat_gpt"))
      if (row.path == "gone.txt") gone = row;
    // The set of gone.txt: file entry, stream extension, then the name entry holding it.
    set = copy.find(u"gone.txt") - 2 - 2 * exfatentry::kSize;
    ASSERT_LT(set, copy.bytes->size());
  }
  const ExfatFileRecord* scanGone(Scanned& s) {
    scanWith(s, copy.open(), Task::Deleted);
    const Listing listing = listingOf(*s.tree);
    return listing.size() == 1 ? listing.begin()->second : nullptr;
  }
  VolumeCopy copy;
  ManifestEntry gone;
  size_t set = 0;
};

TEST_F(ExfatDamage, ASetWhoseChecksumFailsIsListedAsDamaged) {
  (*copy.bytes)[set + 2 * exfatentry::kSize + exfatentry::kNameChars] = 'G';
  Scanned s;
  const ExfatFileRecord* r = scanGone(s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "Gone.txt");
  EXPECT_FALSE(r->checksumOk);
  EXPECT_EQ(r->verdict, Verdict::Damaged);
}

// gone.txt's first cluster marked in use again in the allocation bitmap, which lies where
// the root's bitmap entry (type 0x81) says.
TEST_F(ExfatDamage, AFileWhoseClustersAreInUseAgainIsListedAsDamaged) {
  using namespace exfatlayout;
  uint8_t* b = copy.bytes->data() + copy.base;
  const unsigned shift = b[kBytesPerSectorShift], clusterShift = shift + b[kSectorsPerClusterShift];
  auto cluster = [&](uint32_t c) { return b + (uint64_t(le32(b + kClusterHeapOffset)) << shift) + (uint64_t(c - 2) << clusterShift); };
  uint8_t* e = cluster(le32(b + kFirstClusterOfRoot));
  while (e[0] != exfatentry::kTypeBitmap) e += exfatentry::kSize;
  const uint32_t bit = std::stoul(note(gone, "cluster")) - 2;
  cluster(le32(e + exfatentry::kBitmapFirstCluster))[bit / 8] |= uint8_t(1 << (bit % 8));
  Scanned s;
  const ExfatFileRecord* r = scanGone(s);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->overwritten);
  EXPECT_TRUE(r->checksumOk);
}

TEST_F(ExfatDamage, ABrokenMainBootSectorFallsBackToTheBackupRegion) {
  putLe32(copy.bytes->data() + copy.base + exfatlayout::kFatOffset, 1);  // inside the boot region
  Scanned s;
  const ExfatFileRecord* r = scanGone(s);
  EXPECT_TRUE(dynamic_cast<ExfatVolume&>(*s.engine).usedBackupBoot());
  ASSERT_TRUE(r);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(s.engine->readAll(*r, bytes));
  EXPECT_EQ(sha256Hex(bytes), gone.sha256);
}

// A volume of 140000 clusters of 32 KiB (a 4.3 GiB heap) cut after its fourth cluster: boot
// region and backup, FAT, a root with its bitmap entry and one deleted file "big.bin" whose
// data length is `length` and whose valid bytes lie in cluster 4.
std::shared_ptr<std::vector<uint8_t>> bigVolume(const std::vector<uint8_t>& valid, uint64_t length) {
  using namespace exfatlayout;
  constexpr uint32_t kClusters = 140000, kFatSectors = (kClusters + 2) * 4 / 512 + 1, kHeap = 24 + kFatSectors;
  auto v = std::make_shared<std::vector<uint8_t>>((kHeap + 3 * 64) * 512);
  uint8_t* b = v->data();
  std::memcpy(b, "\xEB\x76\x90" "EXFAT   ", 11);
  putLe64(b + kVolumeLength, kHeap + uint64_t(kClusters) * 64);
  putLe32(b + kFatOffset, 24);
  putLe32(b + kFatLength, kFatSectors);
  putLe32(b + kClusterHeapOffset, kHeap);
  putLe32(b + kClusterCount, kClusters);
  putLe32(b + kFirstClusterOfRoot, 2);
  putLe16(b + kRevision, 0x0100);
  b[kBytesPerSectorShift] = 9;
  b[kSectorsPerClusterShift] = 6;
  b[kNumberOfFats] = 1;
  putLe16(b + kBootSignature, 0xAA55);
  const uint32_t sum = exfatBootChecksum(ByteSpan(b, 11 * 512));
  for (size_t i = 0; i < 512; i += 4) putLe32(b + 11 * 512 + i, sum);
  std::memcpy(b + 12 * 512, b, 12 * 512);
  for (uint32_t c : {0u, 1u, 2u, 3u}) putLe32(b + 24 * 512 + 4 * c, 0xFFFFFFFF);
  uint8_t* root = b + kHeap * 512;
  root[0] = exfatentry::kTypeBitmap;
  putLe32(root + exfatentry::kBitmapFirstCluster, 3);
  putLe64(root + exfatentry::kBitmapLength, kClusters / 8);
  uint8_t* e = root + exfatentry::kSize;
  const uint8_t types[] = {exfatentry::kTypeFile, exfatentry::kTypeStream, exfatentry::kTypeName};
  for (size_t k = 0; k < 3; ++k) e[k * exfatentry::kSize] = types[k];
  e[exfatentry::kSecondaryCount] = 2;
  uint8_t* stream = e + exfatentry::kSize;
  stream[exfatentry::kStreamFlags] = exfatentry::kFlagNoFatChain | 1;
  stream[exfatentry::kNameLength] = 7;
  putLe64(stream + exfatentry::kValidDataLength, valid.size());
  putLe32(stream + exfatentry::kFirstCluster, 4);
  putLe64(stream + exfatentry::kDataLength, length);
  for (size_t k = 0; k < 7; ++k) stream[exfatentry::kSize + exfatentry::kNameChars + 2 * k] = uint8_t("big.bin"[k]);
  putLe16(e + exfatentry::kSetChecksum, exfatSetChecksum(ByteSpan(e, 3 * exfatentry::kSize)));
  for (size_t k = 0; k < 3; ++k) e[k * exfatentry::kSize] &= 0x7F;  // deleted
  root[64 * 512] = 0x03;  // bitmap: clusters 2 and 3 in use
  std::copy(valid.begin(), valid.end(), root + 2 * 64 * 512);
  return v;
}

// Past 4 GiB the size stays 64 bits, and what lies past the valid data length is zeros that
// are never held in memory; a length past the heap is damage.
TEST(ExfatBigFile, KeepsItsSizeAndReadsZerosPastItsValidLength) {
  std::vector<uint8_t> valid(5000);
  for (size_t i = 0; i < valid.size(); ++i) valid[i] = uint8_t(i * 7 + 1);
  const uint64_t size = (uint64_t(4) << 30) + 123;
  VolumeCopy copy{bigVolume(valid, size), 0};
  Scanned s;
  scanWith(s, copy.open(), Task::Deleted);
  const Listing listing = listingOf(*s.tree);
  ASSERT_EQ(listing.size(), 1u);
  const ExfatFileRecord& r = *listing.at("big.bin");
  EXPECT_EQ(r.contentSize(), size);
  EXPECT_EQ(r.size, size);  // listed, sorted and filtered at its full size
  EXPECT_EQ(r.sizeText(), "4096.00 MB");
  struct CheckingSink final : ByteSink {
    std::vector<uint8_t> head;
    uint64_t limit = 0;
    bool zeroAfter = true;
    bool write(const uint8_t* p, size_t n) override {
      const size_t keep = size_t(std::min<uint64_t>(n, limit - std::min(limit, m_written)));
      head.insert(head.end(), p, p + keep);
      zeroAfter = zeroAfter && (keep == n || (p[keep] == 0 && p[n - 1] == 0));
      m_written += n;
      return true;
    }
  } sink;
  sink.limit = valid.size();
  ASSERT_TRUE(s.engine->extract(r, sink));
  EXPECT_EQ(sink.written(), size);
  EXPECT_EQ(sink.head, valid);
  EXPECT_TRUE(sink.zeroAfter);

  VolumeCopy past{bigVolume(valid, uint64_t(140001) << 15), 0};
  Scanned t;
  scanWith(t, past.open(), Task::Deleted);
  NullSink none;
  ASSERT_EQ(t.tree->recordCount(), 1u);
  EXPECT_EQ(failureKind(t.engine->extract(*t.tree->record(0), none)), ErrorKind::Corrupt);
  EXPECT_EQ(none.written(), 0u);
}

// velk-cli on the MBR fixture: drives, scan and recover, with the FAT page's folder layout.
TEST(ExfatCli, DrivesScanAndRecover) {
  if (!fixtureExists("exfat_deleted.img")) GTEST_FAIL() << "fixture missing";
  const std::string cli = std::string(VELK_CLI_PATH) + " --image " + fixturePath("exfat_deleted.img").string();
  std::string out;
  ASSERT_EQ(runCommand(cli + " drives --json", &out), 0);
  const auto part = nlohmann::json::parse(out)["partitions"][0];
  EXPECT_EQ(part["fs"], "exFAT");
  EXPECT_EQ(part["type"], 7);
  EXPECT_EQ(part["label"], volumeRow("exfat_deleted")[1]);
  size_t removed = 0;
  for (const auto& row : loadManifest("exfat_deleted")) removed += row.state.starts_with("deleted");
  out.clear();
  ASSERT_EQ(runCommand(cli + " scan --partition 0 --task deleted --json", &out), 0);
  EXPECT_EQ(nlohmann::json::parse(out)["found"], removed);
  TempDir dir;
  out.clear();
  ASSERT_EQ(runCommand(cli + " recover --partition 0 --task deleted --all --out " + dir.path().string(), &out), 0);
  EXPECT_NE(out.find("Recovered " + std::to_string(removed) + " files, 0 failed"), std::string::npos) << out;
  for (const auto& row : loadManifest("exfat_deleted")) {
    if (!row.state.starts_with("deleted")) continue;
    EXPECT_EQ(sha256File(dir.path() / row.path), row.sha256) << row.path;
  }

  // The volume's first sector wiped: named from its backup region, and scanned as before.
  auto bytes = readFile(fixturePath("exfat_deleted.img"));
  std::fill_n(bytes.begin() + 2048 * 512, 512, uint8_t(0));
  const auto wiped = dir.path() / "wiped.img";
  std::ofstream(wiped, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  const std::string wipedCli = std::string(VELK_CLI_PATH) + " --image " + wiped.string();
  out.clear();
  ASSERT_EQ(runCommand(wipedCli + " drives --json", &out), 0);
  const auto json = nlohmann::json::parse(out);
  EXPECT_EQ(json["partitions"][1]["fs"], "exFAT") << out;
  out.clear();
  ASSERT_EQ(runCommand(wipedCli + " scan --partition 1 --task deleted --json", &out), 0);
  EXPECT_EQ(nlohmann::json::parse(out)["found"], removed);
}

}  // namespace
}  // namespace velk::test
