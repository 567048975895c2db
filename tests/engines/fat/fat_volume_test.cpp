// FAT engine over volumes built byte by byte: geometry checks, names, the deleted walk,
// the formatted scan and extraction. Expected values are worked out by hand from what each
// test places on the volume.

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "disk/device.h"
#include "engines/engine_registry.h"
#include "engines/fat/fat_volume.h"
#include "drivers/fat_drivers.h"
#include "engines/fat/fat_image_builder.h"
#include "faulty_device.h"
#include "test_support.h"
#include "workspace/result_tree.h"

namespace velk::test {
namespace {

using Files = std::map<std::string, const FatFileRecord*>;

Files filesOf(const ResultTree& tree) {
  Files out;
  for (FolderItem* folder : tree.foldersBreadthFirst()) {
    std::string path;
    for (const auto& part : folder->pathBelowRoot()) path += part + "/";
    for (FileRecord* f : folder->files) out[path + f->name] = dynamic_cast<const FatFileRecord*>(f);
  }
  return out;
}

std::vector<uint8_t> extracted(FatVolume& v, const FileRecord& r, Status* rc = nullptr) {
  VectorSink sink;
  Status code = v.extract(r, sink);
  if (rc) *rc = code;
  return sink.bytes();
}

std::vector<uint8_t> slice(FatImage& img, uint64_t offset, size_t n) {
  return std::vector<uint8_t>(img.at(offset), img.at(offset) + n);
}

Status scanDeleted(FatVolume& v, ResultTree& tree, std::string mask = {}, std::string folder = {}) {
  ScanOptions o;
  o.task = Task::Deleted;
  o.mask = std::move(mask);
  o.folder = std::move(folder);
  Progress p;
  return v.scan(tree, o, p);
}

// The formatted scan over the whole volume.
Status scanFormatted(FatVolume& v, ResultTree& tree) {
  ScanOptions o;
  o.task = Task::Formatted;
  Progress p;
  return v.scan(tree, o, p);
}

class FatVolumeTest : public ::testing::Test {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }
};

// ------------------------------------------------------------------ boot sector

struct BootBreak {
  const char* what;
  size_t offset;
  uint32_t value;
  int width;  // bytes written
};
// Test names and failure messages show the case, not its bytes.
inline void PrintTo(const BootBreak& c, std::ostream* os) { *os << c.what; }

class FatBootSectorBreak : public ::testing::TestWithParam<BootBreak> {};

TEST_P(FatBootSectorBreak, OneBrokenFieldLeavesTheVolumeInvalid) {
  FatImage img = FatImage::fat16(1, 512, 4100, 4);
  ASSERT_TRUE(FatBootSector::parse(ByteSpan(img.bytes()).first(512)));
  const BootBreak& b = GetParam();
  if (b.width == 1) *img.at(b.offset) = uint8_t(b.value);
  else putLe16(img.at(b.offset), uint16_t(b.value));
  EXPECT_FALSE(FatBootSector::parse(ByteSpan(img.bytes()).first(512))) << b.what;
  auto v = img.open();
  EXPECT_FALSE(v->isValid()) << b.what;
}

INSTANTIATE_TEST_SUITE_P(Fields, FatBootSectorBreak,
                         ::testing::Values(BootBreak{"bytes per sector 0", 0x0B, 0, 2},
                                           BootBreak{"bytes per sector 513", 0x0B, 513, 2},
                                           BootBreak{"bytes per sector 8192", 0x0B, 8192, 2},
                                           BootBreak{"sectors per cluster 0", 0x0D, 0, 1},
                                           BootBreak{"sectors per cluster 3", 0x0D, 3, 1},
                                           BootBreak{"no FAT", 0x10, 0, 1},
                                           BootBreak{"five FATs", 0x10, 5, 1},
                                           BootBreak{"FATs past the end", 0x16, 0xF000, 2},
                                           BootBreak{"no root entries", 0x11, 0, 2}),
                         [](const ::testing::TestParamInfo<BootBreak>& p) {
                           std::string n = p.param.what;
                           for (auto& c : n) if (!isalnum(uint8_t(c))) c = '_';
                           return n;
                         });

// The width is what the parameter block declares, whatever jump another formatter wrote:
// no 16-bit FAT size is FAT32 (even with its size at 0x13), else under 4085 clusters FAT12.
struct WidthCase {
  const char* what;
  bool fat32;
  void (*edit)(FatImage&);
  FatWidth width;
};
inline void PrintTo(const WidthCase& c, std::ostream* os) { *os << c.what; }

class FatWidthFromBpb : public ::testing::TestWithParam<WidthCase> {};

TEST_P(FatWidthFromBpb, IsTheDeclaredOne) {
  const WidthCase& c = GetParam();
  FatImage img = c.fat32 ? FatImage::fat32(1, 66000, 4) : FatImage::fat16(1, 16, 4100, 4);
  c.edit(img);
  auto b = FatBootSector::parse(ByteSpan(img.bytes()).first(512));
  ASSERT_TRUE(b) << describe(b.error());
  EXPECT_EQ(b->width, c.width);
  EXPECT_TRUE(img.open()->isValid());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, FatWidthFromBpb,
    ::testing::Values(
        WidthCase{"FAT16 with the FAT32 jump", false, [](FatImage& i) { *i.at(1) = 0x58; }, FatWidth::Fat16},
        WidthCase{"4084 clusters", false, [](FatImage& i) { putLe16(i.at(0x13), uint16_t(i.dataStart() + 4084)); },
                  FatWidth::Fat12},
        WidthCase{"FAT32 with a near jump", true,
                  [](FatImage& i) { *i.at(0) = 0xE9, *i.at(1) = 0x57, *i.at(2) = 0x00; }, FatWidth::Fat32},
        WidthCase{"FAT32 sized at 0x13", true,
                  [](FatImage& i) {
                    putLe16(i.at(0x13), uint16_t(i.dataStart() + 60000));
                    putLe32(i.at(0x20), 0);
                  },
                  FatWidth::Fat32}),
    [](const ::testing::TestParamInfo<WidthCase>& p) { return std::to_string(p.index); });

TEST_F(FatVolumeTest, GeometryOfAFat16VolumeWithAFourClusterRoot) {
  // 8-sector clusters, 512 root entries (32 sectors), 4100 clusters: FAT = ceil(4102·2/512)
  // = 17 sectors, root at 1 + 2·17 = 35, cluster 2 at 35 + 32 = 67.
  FatImage img = FatImage::fat16(8, 512, 4100, 2);
  auto b = FatBootSector::parse(ByteSpan(img.bytes()).first(512));
  ASSERT_TRUE(b);
  EXPECT_EQ(b->rootDirStart, 35u);
  EXPECT_EQ(b->rootDirSectors, 32u);
  EXPECT_EQ(b->dataStart, 67u);
  EXPECT_EQ(b->clusterCount, 4100u);
  EXPECT_EQ(b->lastDataCluster, 4101u);
  EXPECT_EQ(b->clusterOffset(3), (67u + 8u) * 512u);
}

// ------------------------------------------------------------------ FAT16 roots of any size

class Fat16RootSize : public FatVolumeTest, public ::testing::WithParamInterface<int> {};

TEST_P(Fat16RootSize, DeletedFileAfterTheRootIsListedAndExtracted) {
  const uint8_t spc = uint8_t(GetParam());
  FatImage img = FatImage::fat16(spc, 512, 4085, 3);
  img.entry(img.rootOffset(), 0, Dirent{"REPORT  TXT", 0x20, 3, 1000, true});
  img.fill(img.clusterOffset(3), 1024, 0x11);
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree));
  EXPECT_EQ(tree.root()->text, "FAT16 - Logical Disk (F:)");
  Files files = filesOf(tree);
  ASSERT_EQ(files.size(), 1u);
  const FatFileRecord* r = files.at("#EPORT.txt");
  EXPECT_EQ(r->extension, "txt");
  EXPECT_EQ(r->attributes, "RW");
  EXPECT_EQ(extracted(*v, *r), slice(img, img.clusterOffset(3), 1000));
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, Fat16RootSize, ::testing::Values(1, 8, 32, 64));

TEST_F(FatVolumeTest, DirtyFat16RootNeverContinuesThroughTheReservedEntry) {
  FatImage img = FatImage::fat16(1, 16, 4100, 4);
  img.setFat(1, 0x7FFF);  // "dirty" mark in the reserved entry
  img.entry(img.rootOffset(), 0, Dirent{"KEEP    TXT", 0x20, 2, 10, true});
  img.entry(img.clusterOffset(2), 0, Dirent{"GHOST   TXT", 0x20, 3, 10, true});
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree));
  Files files = filesOf(tree);
  EXPECT_EQ(files.size(), 1u);
  EXPECT_TRUE(files.count("#EEP.txt"));
}

TEST_F(FatVolumeTest, Fat16EntryRulesForDatesAndEmptyFiles) {
  // Any date a FAT driver writes counts, however old (1980, 1998); month 13 is none.
  FatImage img = FatImage::fat16(1, 16, 4100, 4);
  img.entry(img.rootOffset(), 0, Dirent{"OLD     TXT", 0x20, 2, 10, true, uint16_t((18 << 9) | (1 << 5) | 1)});
  img.entry(img.rootOffset(), 1, Dirent{"ZERO    DAT", 0x20, 0, 0, true});
  img.entry(img.rootOffset(), 2, Dirent{"ZEROBIG DAT", 0x20, 0, 5, true});
  img.entry(img.rootOffset(), 3, Dirent{"EPOCH   TXT", 0x20, 3, 10, true, uint16_t((1 << 5) | 1)});
  img.entry(img.rootOffset(), 4, Dirent{"MONTH13 TXT", 0x20, 3, 10, true, uint16_t((30 << 9) | (13 << 5) | 1)});
  auto v = img.open();
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree));
  Files files = filesOf(tree);
  EXPECT_EQ(files.size(), 3u);
  EXPECT_TRUE(files.count("#LD.txt"));
  EXPECT_TRUE(files.count("#POCH.txt"));
  ASSERT_TRUE(files.count("#ERO.dat"));
  Status rc;
  EXPECT_TRUE(extracted(*v, *files.at("#ERO.dat"), &rc).empty());
  EXPECT_TRUE(rc);
}

// ------------------------------------------------------------------ names and patterns

class Fat32Names : public FatVolumeTest {
 protected:
  void SetUp() override {
    img = FatImage::fat32(1, 200, 200);
    const uint64_t root = img.clusterOffset(2);
    size_t i = 0;
    img.entry(root, i++, Dirent{"VELK       ", 0x08});
    img.entry(root, i++, Dirent{"REPORT  TXT", 0x20, 10, 4000, true});
    i += img.longName(root, i, u"Holiday.JPEG", true);
    img.entry(root, i++, Dirent{"HOLIDA~1JPE", 0x20, 20, 3000, true});
    img.entry(root, i++, Dirent{"           ", 0x00});  // a never-used slot hides nothing
    *img.at(root + (i - 1) * 32) = 0;
    i += img.longName(root, i, u"Notes.html5", true);
    img.entry(root, i++, Dirent{"NOTES~1 HTM", 0x20, 30, 100, true});
    img.entry(root, i++, Dirent{"RDONLY  TXT", 0x21, 31, 100, true});
    img.entry(root, i++, Dirent{"HIDDEN  SYS", 0x06, 32, 100, true});
    i += img.longName(root, i, u"R\u00e9sum\u00e9 2026.txt", true);
    img.entry(root, i++, Dirent{"RSUM20~1TXT", 0x20, 33, 100, true});
    i += img.longName(root, i, std::u16string(u"bad") + char16_t(0xD800) + u".jpg", true);
    img.entry(root, i++, Dirent{"BAD~1   JPG", 0x20, 34, 100, true});
    img.entry(root, i++, Dirent{"LIVE    TXT", 0x20, 35, 100, false});
    img.chain(35, 1);
    const uint16_t sixYearsAgo = uint16_t(((kTestYear - 6 - 1980) << 9) | (1 << 5) | 1);
    img.entry(root, i++, Dirent{"OLDDATE TXT", 0x20, 36, 100, true, sixYearsAgo});
  }
  FatImage img = FatImage::fat32(1, 200, 0);
};

TEST_F(Fat32Names, ShortAndLongNamesAttributesAndDates) {
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  ResultTree tree(Variant::Fat);
  Progress progress;
  ScanOptions o;
  ASSERT_TRUE(v->scan(tree, o, progress));
  Files f = filesOf(tree);
  std::vector<std::string> names;
  for (auto& [k, r] : f) names.push_back(k);
  EXPECT_EQ(names, (std::vector<std::string>{"#DONLY.txt", "#EPORT.txt", "#IDDEN.sys", "#LDDATE.txt",
                                             "Holiday.jpeg", "Notes.html", "R\u00e9sum\u00e9 2026.txt", "bad_.jpg"}));
  EXPECT_EQ(f.at("Holiday.jpeg")->extension, "jpeg");
  EXPECT_EQ(f.at("Notes.html")->extension, "html");
  EXPECT_EQ(f.at("#DONLY.txt")->attributes, "R");
  EXPECT_EQ(f.at("#IDDEN.sys")->attributes, "H-RW-S");
  EXPECT_EQ(f.at("Holiday.jpeg")->firstCluster, 20u);
  EXPECT_EQ(progress.status(), "Found Deleted Files : 8");
}

TEST_F(Fat32Names, PatternsKeepOnlyTheirExtensions) {
  auto v = img.open();
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree, "*.jpg,*.jpeg"));
  Files f = filesOf(tree);
  EXPECT_EQ(f.size(), 2u);
  EXPECT_TRUE(f.count("Holiday.jpeg"));
  EXPECT_TRUE(f.count("bad_.jpg"));
}

TEST(FatNamePattern, TokensSplitAtTheLastDot) {
  EXPECT_EQ(NamePattern::fromToken(".jpg"), (NamePattern{"", "jpg"}));
  EXPECT_EQ(NamePattern::fromToken("*.jpg"), (NamePattern{"", "jpg"}));
  EXPECT_EQ(NamePattern::fromToken("report"), (NamePattern{"report", ""}));
  EXPECT_EQ(NamePattern::fromToken("report."), (NamePattern{"report", ""}));
  EXPECT_EQ(parseNamePatterns("").size(), 1u);
  EXPECT_EQ(parseNamePatterns(" *.JPG;,a.b ").size(), 2u);
  EXPECT_EQ(parseScopePath("C:\\Photos\\\\2009"), (std::vector<std::string>{"photos", "2009"}));
}

// ------------------------------------------------------------------ FAT32 deleted folders

class Fat32DeletedFolders : public FatVolumeTest {
 protected:
  // Clusters above 65535 need a FAT of at least 512 sectors: 66000 clusters of 512 bytes.
  static constexpr uint32_t kTrash = 70000;      // low word 4464; high word cleared on deletion
  static constexpr uint32_t kInner = 70002;      // high word kept
  static constexpr uint32_t kDecoy = 70000 & 0xFFFF;
  void SetUp() override {
    img = FatImage::fat32(1, 70100, 70100);
    const uint64_t root = img.clusterOffset(2);
    img.entry(root, 0, Dirent{"TRASH      ", 0x10, kTrash, 0, true, kTestDate, false});
    img.entry(root, 1, Dirent{"DOCS       ", 0x10, 10, 0, false});
    img.chain(10, 2);
    // The decoy has "." and ".." but its parent is another folder.
    img.dots(kDecoy, 77);
    img.dots(kTrash, 0);
    img.entry(img.clusterOffset(kTrash), 2, Dirent{"A       TXT", 0x20, 100, 1000, false});
    img.entry(img.clusterOffset(kTrash), 3, Dirent{"INNER      ", 0x10, kInner, 0, true, kTestDate, true});
    img.dots(kInner, kTrash);
    img.entry(img.clusterOffset(kInner), 2, Dirent{"C       TXT", 0x20, 102, 600, true});
    img.dots(10, 0);
    // A deleted folder in the second cluster of DOCS: its ".." names DOCS' first cluster.
    img.entry(img.clusterOffset(11), 0, Dirent{"OLD        ", 0x10, 12, 0, true, kTestDate, false});
    img.dots(12, 10);
    img.entry(img.clusterOffset(12), 2, Dirent{"OLD1    TXT", 0x20, 13, 1200, true});
    img.fill(img.clusterOffset(100), 1000, 0x42);
  }
  FatImage img = FatImage::fat32(1, 8, 0);
};

TEST_F(Fat32DeletedFolders, FoldersAreFoundThroughTheirDotEntries) {
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree));
  Files f = filesOf(tree);
  std::vector<std::string> names;
  for (auto& [k, r] : f) names.push_back(k);
  EXPECT_EQ(names, (std::vector<std::string>{"#RASH/#NNER/#.txt", "#RASH/A.txt", "DOCS/#LD/#LD1.txt"}));
  EXPECT_EQ(extracted(*v, *f.at("#RASH/A.txt")), slice(img, img.clusterOffset(100), 1000));
}

TEST_F(Fat32DeletedFolders, ScopeFollowsOnlyTheChosenFolder) {
  auto v = img.open();
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree, "", "C:\\#rash\\#NNER"));
  Files f = filesOf(tree);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_TRUE(f.count("#RASH/#NNER/#.txt"));
}

TEST_F(Fat32DeletedFolders, EntriesSharingALowWordProbeItsClustersOnce) {
  // 120 deleted folder entries without their high words, half pointing at TRASH's low word,
  // half at a low word where no folder begins: each candidate cluster is read once, not
  // once per entry (a crafted volume would otherwise cost entries × high words reads).
  img.chain(2, 8);
  const uint64_t root = img.clusterOffset(2);
  for (size_t i = 2; i < 122; ++i) {
    const std::string name = "D" + std::to_string(100 + i) + "       ";
    img.entry(root, i, Dirent{name, 0x10, i % 2 ? kTrash : 5000u, 0, true, kTestDate, false});
  }
  FaultPlan policy;
  auto v = img.open(policy);
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree));
  // TRASH is listed once, under the name of the last entry that points at it.
  EXPECT_TRUE(filesOf(tree).count("#221/A.txt"));
  EXPECT_LT(policy.readCalls->load(), 60u);
}

TEST_F(Fat32DeletedFolders, AnUnreadableFolderEndsOnlyThatFolder) {
  // DOCS' second cluster (holding the deleted OLD) cannot be read: TRASH is walked all the same.
  FaultPlan faults;
  faults.failReadsFrom = img.clusterOffset(11);
  faults.failReadsTo = img.clusterOffset(12);
  auto v = img.open(faults);
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree));
  Files f = filesOf(tree);
  EXPECT_TRUE(f.count("#RASH/A.txt"));
  EXPECT_TRUE(f.count("#RASH/#NNER/#.txt"));
  EXPECT_FALSE(f.count("DOCS/#LD/#LD1.txt"));
  // An unreadable root leaves nothing to walk: that is an error.
  faults.failReadsFrom = img.clusterOffset(2);
  faults.failReadsTo = img.clusterOffset(3);
  v = img.open(faults);
  ResultTree none(Variant::Fat);
  EXPECT_FALSE(scanDeleted(*v, none));
}

TEST_F(FatVolumeTest, TheStatusCountsEveryFileFoundWhenTheWalkEnds) {
  FatImage img = FatImage::fat32(8, 400, 8);  // a 4 KiB root cluster holds 128 entries
  const uint64_t root = img.clusterOffset(2);
  for (size_t i = 0; i < 100; ++i) {
    const std::string name = "F" + std::to_string(1000 + i) + "   TXT";
    img.entry(root, i, Dirent{name, 0x20, uint32_t(10 + i), 100, true});
  }
  auto v = img.open();
  ResultTree tree(Variant::Fat);
  Progress progress;
  ASSERT_TRUE(v->scan(tree, ScanOptions{}, progress));
  EXPECT_EQ(filesOf(tree).size(), 100u);
  EXPECT_EQ(progress.status(), "Found Deleted Files : 100");
}

TEST_F(FatVolumeTest, ATableLargerThanOneReadIsDecodedWhole) {
  // 300,000 clusters: 1.2 MB of table, read a megabyte at a time.
  FatImage img = FatImage::fat32(1, 300000, 4);
  img.setFat(262143, 262144);  // the last entry of the first megabyte, pointing into the next
  img.setFat(262144, 0x0FFFFFFF);
  img.setFat(300001, 7);  // the last data cluster
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  EXPECT_EQ(v->fatEntry(262143), 262144u);
  EXPECT_TRUE(v->isEndOfChain(v->fatEntry(262144)));
  EXPECT_EQ(v->fatEntry(300001), 7u);
  EXPECT_EQ(v->fatEntry(300002), 0u);  // past the table
}

TEST_F(FatVolumeTest, LoopingChainsAndSelfContainingFoldersEnd) {
  FatImage img = FatImage::fat32(1, 64, 64);
  const uint64_t root = img.clusterOffset(2);
  img.entry(root, 0, Dirent{"LOOP       ", 0x10, 10, 0, false});
  img.setFat(10, 11);
  img.setFat(11, 10);  // the folder's chain loops
  img.dots(10, 0);
  img.entry(img.clusterOffset(10), 2, Dirent{"SELF       ", 0x10, 10, 0, false});
  img.entry(img.clusterOffset(10), 3, Dirent{"UP         ", 0x10, 2, 0, false});
  img.entry(img.clusterOffset(10), 4, Dirent{"GONE       ", 0x10, 10, 0, true, kTestDate, true});
  img.entry(img.clusterOffset(11), 0, Dirent{"X       TXT", 0x20, 20, 5, true});
  img.setFat(2, 2);  // even the root's chain loops
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree));
  Files f = filesOf(tree);
  EXPECT_TRUE(f.count("LOOP/#.txt"));
  EXPECT_LE(f.size(), 3u);  // at most once live and once through the deleted entry
}

TEST_F(FatVolumeTest, ChainEstimateCountsShortChains) {
  FatImage img = FatImage::fat32(1, 64, 64);
  img.chain(5, 3);   // 3
  img.chain(10, 5);  // 5: not counted
  img.chain(20, 1);  // 1
  img.setFat(30, 31);
  img.setFat(31, 30);  // a loop of two: 30 then 31 and 30 again marked, 3
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  EXPECT_EQ(v->ChainEstimate(), 1 + 3 + 1 + 3);  // the root's one cluster first
}

// ------------------------------------------------------------------ extraction

TEST_F(FatVolumeTest, ExtractionCopiesOneRunAndReportsWhatItCannot) {
  FatImage img = FatImage::fat32(1, 40, 40);
  img.fill(img.clusterOffset(5), 4096, 0x20);
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  FatFileRecord r;
  r.firstCluster = 5;
  for (uint32_t size : {1000u, 1024u, 1u}) {
    r.size = size;
    Status rc;
    EXPECT_EQ(extracted(*v, r, &rc), slice(img, img.clusterOffset(5), size)) << size;
    EXPECT_TRUE(rc);
  }
  // Cluster numbers below 2 name no data.
  r.firstCluster = 1;
  r.size = 10;
  Status rc;
  EXPECT_TRUE(extracted(*v, r, &rc).empty());
  EXPECT_FALSE(rc);
  // A run past the end of the volume: the last cluster is copied, the file fails.
  r.firstCluster = 41;
  r.size = 1500;
  EXPECT_EQ(extracted(*v, r, &rc), slice(img, img.clusterOffset(41), 512));
  EXPECT_FALSE(rc);
  // A read error fails the file (the device is opened again with the fault in place).
  FaultPlan faults;
  faults.failReadsFrom = img.clusterOffset(6);
  faults.failReadsTo = img.clusterOffset(7);
  auto faulty = img.open(faults);
  ASSERT_TRUE(faulty->isValid());
  r.firstCluster = 5;
  r.size = 2000;
  extracted(*faulty, r, &rc);
  EXPECT_FALSE(rc);
}

// A zeroed boot sector and a wiped first table are stood in for by their copies, and both
// are named; a deleted file's clusters step over a live file's; a bad sector fails only the
// file that lies on it and is noted by its disk sector.
TEST_F(FatVolumeTest, DamagedCopiesAndSectorsAreStoodInForAndNoted) {
  FatImage img = FatImage::fat32(1, 40, 40);
  img.chain(10, 2);  // a live file at 10 and 11
  img.entry(img.clusterOffset(2), 0, Dirent{"GONE    TXT", 0x20, 9, 1536, true});
  img.fill(img.clusterOffset(9), 5 * 512, 0x30);
  std::memcpy(img.at(6 * 512), img.at(0), 512);
  std::memset(img.at(0), 0, 512);
  putLe32(img.at(kReserved32 * 512), 0);  // the first table's entry 0
  FaultPlan faults;
  faults.failReadsFrom = img.clusterOffset(12);
  faults.failReadsTo = img.clusterOffset(12) + 512;
  auto v = img.open(faults);
  ASSERT_TRUE(v->isValid());
  EXPECT_EQ(v->bootSectorUsed(), 6u);
  EXPECT_EQ(v->fatCopyUsed(), 2u);
  const auto kinds = v->damage().damagedCounts();
  EXPECT_TRUE(kinds.count(kBackupBootUsed) && kinds.count(kSecondFatUsed));
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanDeleted(*v, tree));
  const Files files = filesOf(tree);
  ASSERT_TRUE(files.count("#ONE.txt"));
  const FatFileRecord& gone = *files.at("#ONE.txt");
  auto plan = v->extractionPlan(gone);
  ASSERT_TRUE(plan);
  ExtractionPlan expected;
  expected.disk(img.clusterOffset(9), 512);
  expected.disk(img.clusterOffset(12), 1024);
  EXPECT_EQ(*plan, expected);
  Status rc;
  extracted(*v, gone, &rc);
  EXPECT_FALSE(rc);
  EXPECT_EQ(v->damage().unreadableRanges(), (std::vector<SectorRange>{{img.clusterOffset(12) / 512, 1}}));
}

// A stopped recovery ends a large file within one read, not at its end.
TEST_F(FatVolumeTest, AStoppedJobEndsExtractionWithinOneRead) {
  FatImage img = FatImage::fat32(8, 700, 700);
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  FatFileRecord r;
  r.firstCluster = 3;
  r.size = 600 * 4096;
  JobFlag job;
  v->setExtractStop(&job);
  struct StoppingSink final : ByteSink {
    JobFlag* job;
    uint64_t written = 0;
    bool write(const uint8_t*, size_t n) override {
      written += n;
      job->clear();
      return true;
    }
  } sink;
  sink.job = &job;
  EXPECT_EQ(failureKind(v->extract(r, sink)), ErrorKind::Cancelled);
  EXPECT_EQ(sink.written, uint64_t(1) << 20);
}

// ------------------------------------------------------------------ formatted scan

class Fat32Formatted : public FatVolumeTest {
 protected:
  void SetUp() override {
    img = FatImage::fat32(1, 64, 64);
    // A top-level folder at 10 holds a file and names its sub-folder 2009, which lies
    // before it at cluster 8.
    img.dots(10, 0);
    img.entry(img.clusterOffset(10), 2, Dirent{"DSC     JPG", 0x20, 20, 1000, false});
    img.entry(img.clusterOffset(10), 3, Dirent{"2009       ", 0x10, 8, 0, false});
    img.dots(8, 10);
    img.entry(img.clusterOffset(8), 2, Dirent{"X       TXT", 0x20, 21, 700, true});
    // 14's parent is no candidate: LostDIR/DIR0. A long name followed by an entry that
    // fails the entry test is not given to the next short entry.
    img.dots(14, 40);
    size_t i = 2 + img.longName(img.clusterOffset(14), 2, u"Long name.txt", false);
    Dirent bad{"BAD     TXT", 0x20, 22, 10, false};
    img.entry(img.clusterOffset(14), i, bad);
    putLe16(img.at(img.clusterOffset(14) + i * 32 + 0x14), 5);  // high word beyond the FAT
    img.entry(img.clusterOffset(14), i + 1, Dirent{"Y       TXT", 0x20, 23, 10, false});
    // A top-level folder of three clusters (16, 17, 18): one candidate of two, one of one.
    img.dots(16, 0);
    img.entry(img.clusterOffset(16), 2, Dirent{"E1      TXT", 0x20, 0, 0, false});
    img.entry(img.clusterOffset(17), 0, Dirent{"E2      TXT", 0x20, 0, 0, false});
    img.entry(img.clusterOffset(17), 1, Dirent{"E2B     TXT", 0x20, 0, 0, false});
    img.entry(img.clusterOffset(18), 0, Dirent{"E3      TXT", 0x20, 0, 0, false});
    img.entry(img.clusterOffset(18), 1, Dirent{"E3B     TXT", 0x20, 0, 0, false});
    // Two folders whose ".." entries name each other.
    img.dots(30, 32);
    img.entry(img.clusterOffset(30), 2, Dirent{"P       TXT", 0x20, 24, 10, false});
    img.dots(32, 30);
    img.entry(img.clusterOffset(32), 2, Dirent{"Q       TXT", 0x20, 25, 10, false});
    img.fill(img.clusterOffset(20), 1000, 0x33);
  }
  FatImage img = FatImage::fat32(1, 8, 0);
};

TEST_F(Fat32Formatted, OldFoldersAreRebuiltUnderTheVolumeOrLostDir) {
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  ResultTree tree(Variant::Fat);
  ScanOptions o;
  o.task = Task::Formatted;
  o.firstSector = 0;
  o.lastSector = img.totalSectors();  // one past the volume, as the page passes it
  Progress p;
  ASSERT_TRUE(v->scan(tree, o, p));
  Files f = filesOf(tree);
  std::vector<std::string> names;
  for (auto& [k, r] : f) names.push_back(k);
  // The wiped root names no folder, so top-level folders are numbered. Processing order:
  // 8 waits for its parent 10; 10 → DIR0 (naming 8 "2009"); 14 → DIR1 under LostDIR (".."
  // is no candidate); 16+17 → DIR2; 18 (no dot entries) → DIR3 under LostDIR; 30 and 32
  // wait for each other until a full turn passes; 8; then 30 → DIR4, 32 → DIR5.
  EXPECT_EQ(names, (std::vector<std::string>{"DIR0/2009/#.txt", "DIR0/DSC.jpg", "DIR2/E1.txt", "DIR2/E2.txt",
                                             "DIR2/E2B.txt", "LostDIR/DIR1/Y.txt", "LostDIR/DIR3/E3.txt",
                                             "LostDIR/DIR3/E3B.txt", "LostDIR/DIR4/P.txt", "LostDIR/DIR5/Q.txt"}))
      << ::testing::PrintToString(names);
  EXPECT_FALSE(f.at("DIR0/DSC.jpg")->deleted);
  EXPECT_TRUE(f.at("DIR0/2009/#.txt")->deleted);
  EXPECT_EQ(extracted(*v, *f.at("DIR0/DSC.jpg")), slice(img, img.clusterOffset(20), 1000));
}

TEST_F(FatVolumeTest, Fat16FormattedScanKeepsWhatItFoundBeforeAReadError) {
  // The image ends after cluster 5 of a volume of 4100: the collection ends there.
  FatImage img = FatImage::fat16(8, 512, 4100, 4);
  img.dots(3, 0);
  img.entry(img.clusterOffset(3), 2, Dirent{"KEEP    TXT", 0x20, 4, 3000, false});
  img.fill(img.clusterOffset(4), 3000, 0x55);
  auto v = img.open();
  ASSERT_TRUE(v->isValid());
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanFormatted(*v, tree));
  Files f = filesOf(tree);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(extracted(*v, *f.at("DIR0/KEEP.txt")), slice(img, img.clusterOffset(4), 3000));
}

TEST_F(FatVolumeTest, FormattedScanSkipsUnreadableClustersAndGoesOn) {
  // Folders at clusters 3 and 9 with an unreadable cluster 6 between them: both are found.
  FatImage img = FatImage::fat16(8, 512, 4100, 12);  // the image is cut after cluster 13
  img.dots(3, 0);
  img.entry(img.clusterOffset(3), 2, Dirent{"FIRST   TXT", 0x20, 4, 100, false});
  img.dots(9, 0);
  img.entry(img.clusterOffset(9), 2, Dirent{"SECOND  TXT", 0x20, 10, 100, false});
  FaultPlan faults;
  faults.failReadsFrom = img.clusterOffset(6) + 512;
  faults.failReadsTo = img.clusterOffset(6) + 1024;
  auto v = img.open(faults);
  ASSERT_TRUE(v->isValid());
  ResultTree tree(Variant::Fat);
  ASSERT_TRUE(scanFormatted(*v, tree));
  Files f = filesOf(tree);
  EXPECT_TRUE(f.count("DIR0/FIRST.txt"));
  EXPECT_TRUE(f.count("DIR1/SECOND.txt"));
}

// ------------------------------------------------------------------ folder-sector test

TEST(FatFolderSectorTest, EndMarkAndRepeatedNamesWithinTheSector) {
  const FolderSectorFacts facts{4000, false};
  auto entry = [](std::vector<uint8_t>& s, size_t i, const char* name) {
    uint8_t* e = s.data() + i * 32;
    std::memcpy(e, name, 11);
    e[0x0B] = 0x20;
    // Every byte non-zero, so the name text runs to the end of the sector.
    for (size_t k = 12; k < 32; ++k) e[k] = 0x01;
    putLe16(e + 0x0E, kTestTime), putLe16(e + 0x16, kTestTime);
    putLe16(e + 0x10, kTestDate), putLe16(e + 0x12, kTestDate), putLe16(e + 0x18, kTestDate);
  };
  std::vector<uint8_t> sector(512, 0);
  entry(sector, 0, "A       TXT");
  entry(sector, 1, "B       TXT");
  std::fill(sector.begin() + 3 * 32, sector.end(), 0xEE);  // garbage after an end mark
  EXPECT_TRUE(folderSectorTest(sector, facts));

  // Names are compared up to their first zero byte: here the zero high cluster word.
  std::vector<uint8_t> full(512, 0);
  for (size_t i = 0; i < 16; ++i) {
    entry(full, i, "A       TXT");
    full[i * 32] = uint8_t('C' + i);
    full[i * 32 + 0x14] = 0;
  }
  full[15 * 32] = full[14 * 32];  // the last entry repeats the one before it
  EXPECT_FALSE(folderSectorTest(full, facts));
  // Without a zero byte the last name runs to the end of the sector and no further.
  full[15 * 32] = 'Y';
  full[15 * 32 + 0x14] = 1;
  EXPECT_TRUE(folderSectorTest(full, facts));
}

// ------------------------------------------------------------------ opening by record

TEST_F(FatVolumeTest, UnpartitionedVolumesAreOpenedByTheirBootSector) {
  FatImage img = FatImage::fat32(1, 64, 64);
  DeviceNamespace::instance().reset();
  PartitionRecord record;
  record.diskNumber = DeviceNamespace::instance().attachMemory("fat", std::make_shared<std::vector<uint8_t>>(img.bytes()));
  std::copy_n(img.bytes().begin(), 512, record.firstSector.begin());
  record.setFsName("Unknown");
  auto engine = openEngine(record, Task::Deleted);
  ASSERT_TRUE(engine);
  EXPECT_EQ(dynamic_cast<FatVolume&>(**engine).width(), FatWidth::Fat32);
  // The boot sector decides the width, whatever name the catalogue gave.
  record.setFsName("FAT16");
  engine = openEngine(record, Task::Deleted);
  ASSERT_TRUE(engine);
  EXPECT_EQ(dynamic_cast<FatVolume&>(**engine).width(), FatWidth::Fat32);
  record.setFsName("NTFS");
  EXPECT_NE(engineFor(record, Task::Deleted)->name, "FAT");
}

TEST_F(FatVolumeTest, MemoryImageEntryPointSurvivesDamage) {
  FatImage img = FatImage::fat32(1, 64, 64);
  img.dots(10, 0);
  img.entry(img.clusterOffset(2), 0, Dirent{"D          ", 0x10, 10, 0, true});
  img.entry(img.clusterOffset(10), 2, Dirent{"F       TXT", 0x20, 11, 100, true});
  std::vector<uint8_t> bytes = img.bytes();
  EXPECT_GT(runFatScansOnMemoryImage(bytes.data(), bytes.size()), 0u);
  uint32_t seed = 12345;
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> damaged = bytes;
    for (int k = 0; k < 64; ++k) {
      seed = seed * 1103515245u + 12345u;
      damaged[(seed >> 8) % std::min<size_t>(damaged.size(), 12 * 1024)] ^= uint8_t(seed >> 24);
    }
    damaged.resize(damaged.size() - (seed % 4096));
    runFatScansOnMemoryImage(damaged.data(), damaged.size());
  }
}

}  // namespace
}  // namespace velk::test
