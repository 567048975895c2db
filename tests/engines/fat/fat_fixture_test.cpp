// The FAT engine on volumes made by mkfs.vfat and mtools (tests/fixtures): every deleted
// file and every file of a deleted folder is listed under the name the listing rules give,
// and every contiguously stored one is extracted byte for byte (sha256 of the manifest).

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <regex>
#include <set>

#include "disk/device.h"
#include "engines/engine_registry.h"
#include "engines/fat/fat_volume.h"
#include "test_support.h"
#include "workspace/result_tree.h"

namespace velk::test {
namespace {

using Listing = std::map<std::string, const FatFileRecord*>;

Listing listingOf(const ResultTree& tree) {
  Listing out;
  for (FolderItem* folder : tree.foldersBreadthFirst()) {
    std::string path;
    for (const auto& part : folder->pathBelowRoot()) path += part + "/";
    for (FileRecord* f : folder->files) out[path + f->name] = dynamic_cast<const FatFileRecord*>(f);
  }
  return out;
}

std::vector<std::string> split(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  for (size_t j; (j = path.find('/', i)) != std::string::npos; i = j + 1) parts.push_back(path.substr(i, j - i));
  parts.push_back(path.substr(i));
  return parts;
}

std::string lower(std::string s) {
  for (auto& c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}
std::string upper(std::string s) {
  for (auto& c : s) c = char(std::toupper(uint8_t(c)));
  return s;
}

// An all-upper or all-lower 8.3 name is stored without long-name entries by mtools.
bool storedAsShortName(const std::string& name) {
  static const std::regex shortName("[A-Za-z0-9_~$!#%&'()@^{}-]{1,8}(\\.[A-Za-z0-9_~$!#%&'()@^{}-]{1,3})?");
  return std::regex_match(name, shortName) && (name == upper(name) || name == lower(name));
}

// The listed name of a file or folder: long names keep their case and take a lowered
// extension of at most four characters; short names come back upper-case with a lowered
// extension, and a deleted short entry has lost its first character ("#").
std::string listedName(const std::string& name, bool shortEntry, bool deleted, bool folder) {
  std::string base = name, ext;
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    base = name.substr(0, dot);
    ext = lower(name.substr(dot + 1));
  }
  if (shortEntry) {
    base = upper(base);
    if (deleted) base[0] = '#';
    if (folder) return base;
  }
  if (ext.empty()) return base;
  return base + "." + ext.substr(0, 4);
}

bool hasNote(const ManifestEntry& row, const std::string& note) {
  for (const auto& token : split(std::regex_replace(row.notes, std::regex(" +"), "/")))
    if (token == note) return true;
  return false;
}
bool hasNotePrefix(const ManifestEntry& row, const std::string& prefix) {
  return row.notes.find(prefix) != std::string::npos;
}
// Stored in one run from its first cluster, in runs between a live file's, or empty: what
// extraction can give back whole. A cleared high word is found again only where the file's
// own format can vouch for the candidate start; a text file cannot be told.
bool recoverable(const ManifestEntry& row) {
  if (row.state == "overwritten" || hasNote(row, "text")) return false;
  return hasNote(row, "contiguous") || hasNotePrefix(row, "interleaved-with=") || row.size == 0;
}

struct FatFixture {
  const char* image;
  int part;
  uint32_t startSector;
  const char* fs;
};

std::ostream& operator<<(std::ostream& os, const FatFixture& f) { return os << f.image << "#" << f.part; }

class FatFixtureTest : public ::testing::TestWithParam<FatFixture> {
 protected:
  void SetUp() override {
    const FatFixture& f = GetParam();
    const std::string file = std::string(f.image) + ".img";
    if (!fixtureExists(file)) GTEST_FAIL() << "fixture " << file << " missing";
    for (const auto& r : catalogOf(fixturePath(file)))
      if (r.startSector == f.startSector && (r.kind != kKindUnknown || f.startSector == 0)) record = r;
    ASSERT_GE(record.diskNumber, 0) << "no partition at sector " << f.startSector;
    for (const auto& row : loadManifest(f.image))
      if (row.part == f.part) rows.push_back(row);
    ASSERT_FALSE(rows.empty());
  }
  void TearDown() override { DeviceNamespace::instance().reset(); }

  // Folder components that some live file, or a file deleted from a live folder, lies under
  // are live folders.
  std::set<std::string> liveFolders() const {
    std::set<std::string> live;
    for (const auto& row : rows) {
      if (row.state != "live" && row.state != "deleted") continue;
      auto parts = split(row.path);
      std::string prefix;
      for (size_t i = 0; i + 1 < parts.size(); ++i) live.insert(prefix += parts[i] + "/");
    }
    return live;
  }

  std::string expectedPath(const ManifestEntry& row, const std::set<std::string>& live) const {
    auto parts = split(row.path);
    std::string out, prefix;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      prefix += parts[i] + "/";
      out += listedName(parts[i], storedAsShortName(parts[i]), !live.count(prefix), true) + "/";
    }
    const bool shortEntry = !hasNote(row, "longname");
    return out + listedName(parts.back(), shortEntry, row.state != "live", false);
  }

  PartitionRecord record;
  std::vector<ManifestEntry> rows;
};

TEST_P(FatFixtureTest, DeletedScanListsAndRecoversEveryDeletedFile) {
  auto opened = openEngine(record, Task::Deleted);
  ASSERT_TRUE(opened) << describe(opened.error());
  auto engine = std::move(*opened);
  static const std::map<FatWidth, std::string> kWidthNames{
      {FatWidth::Fat12, "FAT12"}, {FatWidth::Fat16, "FAT16"}, {FatWidth::Fat32, "FAT32"}};
  const auto& volume = dynamic_cast<FatVolume&>(*engine);
  EXPECT_EQ(kWidthNames.at(volume.width()), GetParam().fs);
  // A zeroed boot sector is stood in for by the FAT32 backup, and the scan says so.
  const bool zeroedBoot = std::any_of(rows.begin(), rows.end(), [](auto& r) { return hasNote(r, "boot-sector-zeroed"); });
  EXPECT_EQ(volume.bootSectorUsed(), zeroedBoot ? fatlayout::kDefaultBackupBootSector : 0u);
  EXPECT_EQ(volume.damage().damagedCounts().count(kBackupBootUsed), zeroedBoot ? 1u : 0u);
  ResultTree tree(Variant::Fat);
  ScanOptions options;
  Progress progress;
  ASSERT_TRUE(engine->scan(tree, options, progress));
  const Listing listing = listingOf(tree);
  const auto live = liveFolders();

  // The partition alone, as a saved scan reads it: a file's plan gives what extraction gives.
  auto device = openDeviceFile(fixturePath(std::string(GetParam().image) + ".img"), Access::Read);
  ASSERT_TRUE(device) << describe(device.error());
  SectorReader partition;
  partition.OpenDevice(std::move(*device), "partition");
  partition.SetBase(GetParam().startSector);

  size_t expected = 0, recovered = 0, wrongButVerified = 0;
  std::set<std::string> seen;
  for (const auto& row : rows) {
    if (row.state == "live" || row.state == "formatted" || hasNote(row, "entry-gone")) continue;
    const std::string path = expectedPath(row, live);
    ++expected;
    seen.insert(path);
    auto it = listing.find(path);
    if (it == listing.end()) {
      ADD_FAILURE() << "not listed: " << path << " (" << row.path << ")";
      continue;
    }
    EXPECT_EQ(it->second->size, row.size) << path;
    std::vector<uint8_t> bytes;
    const bool read = engine->readAll(*it->second, bytes).has_value();
    const bool right = read && sha256Hex(bytes) == row.sha256;
    // Whatever cannot be given back whole is never vouched for.
    if (!right) wrongButVerified += it->second->verdict == Verdict::Verified;
    auto plan = engine->extractionPlan(*it->second);
    EXPECT_TRUE(plan || !recoverable(row)) << path;
    if (read && plan) {
      VectorSink planned;
      ASSERT_TRUE(writePlan(partition, *plan, planned)) << path;
      EXPECT_EQ(planned.bytes(), bytes) << path;
    }
    if (!recoverable(row)) continue;
    EXPECT_TRUE(right) << path;
    recovered += right;
  }
  EXPECT_EQ(wrongButVerified, 0u);
  for (const auto& [path, r] : listing) EXPECT_TRUE(seen.count(path)) << "listed but not in the manifest: " << path;
  EXPECT_EQ(progress.status(), "Found Deleted Files : " + std::to_string(listing.size()));
  std::printf("[ fat ] %s part %d: %zu expected, %zu listed, %zu recovered byte-exact, %zu wrong but verified\n",
              GetParam().image, GetParam().part, expected, listing.size(), recovered, wrongButVerified);
}

INSTANTIATE_TEST_SUITE_P(Images, FatFixtureTest,
                         ::testing::Values(FatFixture{"fat32_deleted", 0, 0, "FAT32"},
                                           FatFixture{"fat16_32s", 0, 0, "FAT16"},
                                           FatFixture{"fat16_8s", 0, 0, "FAT16"},
                                           FatFixture{"demo_disk", 1, 2048, "FAT32"},
                                           FatFixture{"mbr_mixed", 1, 2048, "FAT32"},
                                           FatFixture{"mbr_mixed", 5, 200704, "FAT16"},
                                           FatFixture{"fat12_floppy", 0, 0, "FAT12"},
                                           FatFixture{"fat16_old_card", 0, 0, "FAT16"},
                                           FatFixture{"fat32_bigdir", 0, 0, "FAT32"},
                                           FatFixture{"fat32_hiword", 0, 0, "FAT32"},
                                           FatFixture{"fat32_interleaved", 0, 0, "FAT32"},
                                           FatFixture{"fat32_other_jump", 0, 0, "FAT32"},
                                           FatFixture{"fat32_zeroed_boot", 1, 2048, "FAT32"},
                                           FatFixture{"mbr_fat32_small", 1, 2048, "FAT32"}),
                         [](const ::testing::TestParamInfo<FatFixture>& p) {
                           return std::string(p.param.image) + "_part" + std::to_string(p.param.part);
                         });

TEST(FatFormattedFixture, OldFoldersComeBackWithTheirFiles) {
  if (!fixtureExists("fat32_formatted.img")) GTEST_FAIL() << "fixture missing";
  auto records = catalogOf(fixturePath("fat32_formatted.img"));
  ASSERT_FALSE(records.empty());
  auto opened = openEngine(records.front(), Task::Formatted);
  ASSERT_TRUE(opened) << describe(opened.error());
  auto engine = std::move(*opened);
  ResultTree tree(Variant::Fat);
  ScanOptions options;
  options.task = Task::Formatted;
  // The whole volume, with an end sector one past it as the drive page passes it.
  options.firstSector = records.front().startSector;
  options.lastSector = records.front().endSector();
  Progress progress;
  ASSERT_TRUE(engine->scan(tree, options, progress));
  const Listing listing = listingOf(tree);

  // The wiped root named no folder: each top-level folder is a DIRn item under the volume
  // item, its sub-folders keep their names, and a folder cluster after the first two is a
  // DIRn under LostDIR.
  std::map<std::string, std::set<std::string>> topOf;  // manifest top folder → listed top
  size_t expected = 0, recovered = 0;
  for (const auto& row : loadManifest("fat32_formatted")) {
    if (row.state != "formatted") continue;
    // Many/E31.TXT is the only entry of the folder's third cluster; a cluster whose second
    // entry is never used does not count as a folder, so that entry cannot be found.
    if (row.path == "Many/E31.TXT") continue;
    ++expected;
    auto parts = split(row.path);
    std::string tail;
    for (size_t i = 1; i + 1 < parts.size(); ++i) tail += parts[i] + "/";
    const bool shortEntry = !hasNote(row, "longname");
    const bool deleted = hasNote(row, "deleted-before-format");
    tail += listedName(parts.back(), shortEntry, deleted, false);
    std::vector<std::string> hits;
    for (const auto& [path, r] : listing)
      if (path.size() > tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0 &&
          path[path.size() - tail.size() - 1] == '/')
        hits.push_back(path);
    ASSERT_EQ(hits.size(), 1u) << tail;
    const std::string& path = hits.front();
    EXPECT_TRUE(std::regex_match(path.substr(0, path.size() - tail.size()), std::regex("(LostDIR/)?DIR[0-9]+/")))
        << path;
    if (path.rfind("LostDIR/", 0) != 0) topOf[parts[0]].insert(split(path)[0]);
    const FatFileRecord* r = listing.at(path);
    EXPECT_EQ(r->size, row.size) << path;
    EXPECT_EQ(r->deleted, deleted) << path;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(engine->readAll(*r, bytes)) << path;
    EXPECT_EQ(sha256Hex(bytes), row.sha256) << path;
    recovered += sha256Hex(bytes) == row.sha256;
  }
  for (const auto& [top, listed] : topOf) EXPECT_EQ(listed.size(), 1u) << top << " split over several items";
  EXPECT_EQ(topOf.size(), 4u);  // Photos, Documents, Music, Many
  std::printf("[ fat ] fat32_formatted: %zu expected, %zu listed, %zu recovered byte-exact\n", expected,
              listing.size(), recovered);
}

}  // namespace
}  // namespace velk::test
