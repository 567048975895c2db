// Damaged images derived in memory from the fixtures: cut short, boot sectors and
// superblocks zeroed, links that loop, lengths and sizes far past what the image holds.
// Every engine and task the catalogue offers must return (an error or what it found)
// within a watchdog's time, never extract more than a record's size, and allocate no more
// than the image could justify.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "formats/bytes.h"
#include "engines/ext/ext_file_record.h"
#include "engines/ntfs/ntfs_image_builder.h"
#include "engines/ntfs/ntfs_volume.h"
#include "hardening/hardening_support.h"

namespace velk::test {
namespace {

using Image = std::vector<uint8_t>;
using Damage = std::function<void(Image&)>;

// ------------------------------------------------------------------ FAT helpers

struct FatGeometry {
  uint64_t bps, spc, reserved, fats, fatSectors, rootStart, rootBytes, dataStart;
  bool fat32;
  uint32_t rootCluster;
  uint64_t clusterOffset(uint32_t c) const { return (dataStart + uint64_t(c - 2) * spc) * bps; }
};

FatGeometry fatGeometry(const Image& img, uint64_t base = 0) {
  const uint8_t* b = img.data() + base;
  FatGeometry g{};
  g.bps = le16(b + 0x0B);
  g.spc = b[0x0D];
  g.reserved = le16(b + 0x0E);
  g.fats = b[0x10];
  g.fat32 = le16(b + 0x16) == 0;
  g.fatSectors = g.fat32 ? le32(b + 0x24) : le16(b + 0x16);
  g.rootCluster = g.fat32 ? le32(b + 0x2C) : 0;
  const uint64_t rootEntries = le16(b + 0x11);
  g.rootStart = g.reserved + g.fats * g.fatSectors;
  g.rootBytes = g.fat32 ? g.spc * g.bps : rootEntries * 32;
  g.dataStart = g.rootStart + (g.fat32 ? 0 : (rootEntries * 32 + g.bps - 1) / g.bps);
  return g;
}

// Byte offset of the root folder's first cluster (FAT32) or of the fixed root (FAT16).
uint64_t fatRootOffset(const FatGeometry& g) {
  return g.fat32 ? g.clusterOffset(g.rootCluster) : g.rootStart * g.bps;
}

// Calls edit on every short entry (deleted or not) of the root folder.
void forEachRootEntry(Image& img, const std::function<void(uint8_t*)>& edit) {
  const FatGeometry g = fatGeometry(img);
  const uint64_t root = fatRootOffset(g);
  for (uint64_t at = root; at + 32 <= root + g.rootBytes; at += 32) {
    uint8_t* e = img.data() + at;
    if (e[0] == 0) break;
    if (e[0x0B] == 0x0F) continue;
    edit(e);
  }
}

void setFatEntries(Image& img, const std::function<uint32_t(uint32_t)>& value) {
  const FatGeometry g = fatGeometry(img);
  const uint64_t entries = g.fatSectors * g.bps / (g.fat32 ? 4 : 2);
  for (uint64_t copy = 0; copy < g.fats; ++copy) {
    uint8_t* fat = img.data() + (g.reserved + copy * g.fatSectors) * g.bps;
    for (uint32_t c = 2; c < entries; ++c) {
      if (g.fat32) putLe32(fat + 4 * c, value(c));
      else putLe16(fat + 2 * c, uint16_t(value(c)));
    }
  }
}

// ------------------------------------------------------------------ NTFS helpers

// Edits every MFT record lying in the first run of the MFT of the volume at byte `base`.
// The update sequence is undone before the edit and applied after, so the records still
// pass their fixups: the damage is in the structure, not a torn write.
void forEachMftRecord(Image& img, uint64_t base, const std::function<void(uint8_t* record, size_t size)>& edit) {
  const uint8_t* boot = img.data() + base;
  const uint64_t cluster = uint64_t(le16(boot + 0x0B)) * boot[0x0D];
  const uint64_t mft = base + le64(boot + 0x30) * cluster;
  constexpr size_t kRecord = 1024;
  for (uint64_t at = mft; at + kRecord <= img.size() && at < mft + 124 * kRecord; at += kRecord) {
    uint8_t* r = img.data() + at;
    if (std::memcmp(r, "FILE", 4) != 0) continue;
    const uint16_t usa = le16(r + 4), count = le16(r + 6);
    if (count != kRecord / 512 + 1 || usa + 2u * count > 510) continue;
    for (uint16_t i = 1; i < count; ++i) std::memcpy(r + i * 512 - 2, r + usa + 2 * i, 2);
    edit(r, kRecord);
    for (uint16_t i = 1; i < count; ++i) {
      std::memcpy(r + usa + 2 * i, r + i * 512 - 2, 2);
      std::memcpy(r + i * 512 - 2, r + usa, 2);
    }
  }
}

// Calls visit with the offset of every attribute of a record (fixups undone).
void forEachAttribute(uint8_t* r, size_t size, const std::function<void(size_t offset)>& visit) {
  size_t off = le16(r + 0x14);
  while (off + 16 <= size) {
    const uint32_t type = le32(r + off), length = le32(r + off + 4);
    if (type == 0xFFFFFFFF || length < 16 || off + length > size) return;
    visit(off);
    off += length;
  }
}

void onDataAttributes(Image& img, uint64_t base, const std::function<void(uint8_t* attr, size_t room)>& edit) {
  forEachMftRecord(img, base, [&](uint8_t* r, size_t size) {
    forEachAttribute(r, size, [&](size_t off) {
      if (le32(r + off) == 0x80) edit(r + off, size - off);
    });
  });
}

// ------------------------------------------------------------------ EXT helpers

struct ExtGeometry {
  uint64_t blockSize, inodeSize, inodeTable;
  uint64_t inodeOffset(uint32_t n) const { return inodeTable * blockSize + (n - 1) * inodeSize; }
};

ExtGeometry extGeometry(const Image& img) {
  const uint8_t* sb = img.data() + 1024;
  ExtGeometry g{};
  g.blockSize = 1024u << le32(sb + 0x18);
  g.inodeSize = le32(sb + 0x4C) >= 1 ? le16(sb + 0x58) : 128;
  g.inodeTable = le32(img.data() + (g.blockSize == 1024 ? 2 : 1) * g.blockSize + 8);
  return g;
}

// Points an inode's single, double and triple indirect pointers at one block whose every
// entry names the block itself, and gives the inode the size asked for.
void loopIndirectBlocks(Image& img, uint32_t inode, uint64_t size) {
  const ExtGeometry g = extGeometry(img);
  uint8_t* in = img.data() + g.inodeOffset(inode);
  uint32_t loop = le32(in + 0x28 + 12 * 4);
  if (loop == 0) loop = le32(in + 0x28);  // no indirect block yet: take over the first data block
  for (uint64_t i = 0; i < g.blockSize / 4; ++i) putLe32(img.data() + loop * g.blockSize + 4 * i, loop);
  for (int slot = 12; slot < 15; ++slot) putLe32(in + 0x28 + 4 * slot, loop);
  putLe32(in + 0x04, uint32_t(size));
  putLe32(in + 0x6C, uint32_t(size >> 32));
}

// ------------------------------------------------------------------ partition helpers

void setEntry(Image& img, uint64_t tableSector, int slot, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* e = img.data() + tableSector * 512 + 0x1BE + 16 * slot;
  e[4] = type;
  putLe32(e + 8, start);
  putLe32(e + 12, count);
}

// ------------------------------------------------------------------ the cases

struct DamageCase {
  const char* name;
  const char* image;
  size_t keep;  // bytes of the fixture kept (SIZE_MAX: all)
  Damage damage;
  bool raw = false;  // also run the raw scan (small images only: it reads every sector)
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

constexpr size_t kAll = SIZE_MAX;
constexpr uint64_t k4GiB = uint64_t(1) << 32;

const DamageCase kCases[] = {
    // Cut short: structures that point past the end of what is there.
    {"Fat16CutInsideTheData", "fat16_8s.img", 64 << 10, {}, true},
    {"Fat32CutInsideTheTable", "fat32_deleted.img", 300 << 10, {}, true},
    {"Fat32CutAfterOneMiB", "fat32_deleted.img", 1 << 20, {}, true},
    {"NtfsCutInsideTheMft", "ntfs_deleted.img", 100 << 10, {}, true},
    {"NtfsCutAfterOneMiB", "ntfs_deleted.img", 1 << 20, {}, true},
    {"NtfsFormattedCutAfterOneMiB", "ntfs_formatted.img", 1 << 20, {}, true},
    {"Ext2CutInsideTheInodeTable", "ext2_deleted.img", 100 << 10, {}, true},
    {"Ext3CutInsideTheJournal", "ext3_1k.img", 600 << 10, {}, true},
    {"DiskCutAfterItsTable", "mbr_mixed.img", 1 << 20, {}, true},
    {"GptDiskCutBeforeItsBackup", "gpt_damaged_primary.img", 4 << 20, {}},

    // Zeroed boot sectors and superblock: the table still names the volumes.
    {"ZeroedBootSectorsAndSuperblock", "demo_disk.img", kAll,
     [](Image& img) {
       for (uint64_t start : {2048u, 83968u}) std::memset(img.data() + start * 512, 0, 512);
       std::memset(img.data() + 165888ull * 512 + 1024, 0, 1024);
     }},
    {"ZeroedMasterBootRecord", "mbr_mixed.img", 8 << 20, [](Image& img) { std::memset(img.data(), 0, 512); }, true},

    // FAT: chains that loop, folders that contain their ancestors, sizes of 4 GiB.
    {"FatChainsPointAtThemselves", "fat16_8s.img", kAll, [](Image& img) { setFatEntries(img, [](uint32_t c) { return c; }); }},
    {"FatChainsFormOneRing", "fat32_deleted.img", kAll,
     [](Image& img) { setFatEntries(img, [](uint32_t c) { return c == 4000 ? 2 : c + 1; }); }},
    {"FatFoldersPointAtTheRoot", "fat32_deleted.img", kAll,
     [](Image& img) {
       forEachRootEntry(img, [](uint8_t* e) {
         e[0x0B] = 0x10;
         putLe16(e + 0x14, 0);
         putLe16(e + 0x1A, 2);
       });
     }},
    {"FatFileSizesOf4GiB", "fat16_8s.img", kAll,
     [](Image& img) { forEachRootEntry(img, [](uint8_t* e) { putLe32(e + 0x1C, 0xFFFFFFFF); }); }},
    {"FatFileSizesOf4GiBInATinyImage", "fat32_deleted.img", 1 << 20,
     [](Image& img) { forEachRootEntry(img, [](uint8_t* e) { putLe32(e + 0x1C, 0xFFFFFFFF); }); }},
    {"FatBootSectorClaims2TiB", "fat32_deleted.img", 2 << 20,
     [](Image& img) { putLe32(img.data() + 0x20, 0xFFFFFFFF); }},
    {"FatTableClaims8GiB", "fat32_deleted.img", kAll,
     [](Image& img) {
       putLe32(img.data() + 0x20, 0xFFFFFFFF);
       putLe32(img.data() + 0x24, 0x00FFFFFF);
     }},

    // NTFS: attribute lengths outside the record, runlists past the end, sizes of 4 GiB.
    {"NtfsAttributeLengthsPastTheRecord", "ntfs_deleted.img", kAll,
     [](Image& img) {
       forEachMftRecord(img, 0, [](uint8_t* r, size_t) { putLe32(r + le16(r + 0x14) + 4, 0xFFFFFFF0); });
     }},
    {"NtfsAttributeLengthsJustPastTheRecord", "ntfs_deleted.img", kAll,
     [](Image& img) {
       forEachMftRecord(img, 0, [](uint8_t* r, size_t size) {
         size_t last = 0;
         forEachAttribute(r, size, [&](size_t off) { last = off; });
         if (last) putLe32(r + last + 4, uint32_t(size - last + 8));
       });
     }},
    {"NtfsValueLengthsPastTheAttribute", "ntfs_deleted.img", kAll,
     [](Image& img) {
       forEachMftRecord(img, 0, [](uint8_t* r, size_t size) {
         forEachAttribute(r, size, [&](size_t off) {
           if (r[off + 8] == 0) putLe32(r + off + 0x10, 0xFFFFFF00);
         });
       });
     }},
    {"NtfsRunlistsPastTheVolume", "ntfs_deleted.img", kAll,
     [](Image& img) {
       onDataAttributes(img, 0, [](uint8_t* a, size_t room) {
         const size_t runs = le16(a + 0x20);
         if (a[8] == 0 || runs + 9 > std::min<size_t>(le32(a + 4), room)) return;
         const uint8_t far[9] = {0x44, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
         std::memcpy(a + runs, far, sizeof far);
       });
     }},
    {"NtfsRunlistsInATinyImage", "ntfs_formatted.img", 200 << 10, {}, true},
    {"NtfsStreamSizesOf4GiB", "ntfs_deleted.img", kAll,
     [](Image& img) {
       onDataAttributes(img, 0, [](uint8_t* a, size_t) {
         if (a[8] == 0) return;
         for (size_t field : {0x28, 0x30, 0x38}) putLe64(a + field, k4GiB);
       });
     }},
    {"NtfsParentsLoop", "ntfs_deleted.img", kAll,
     [](Image& img) {
       forEachMftRecord(img, 0, [](uint8_t* r, size_t size) {
         const uint32_t self = le32(r + 0x2C);
         forEachAttribute(r, size, [&](size_t off) {
           if (le32(r + off) == 0x30 && r[off + 8] == 0) putLe64(r + off + le16(r + off + 0x14), self);
         });
       });
     }},

    // EXT: indirect blocks that loop, sizes of 4 GiB, a journal that loops.
    {"Ext2IndirectBlocksLoop", "ext2_deleted.img", kAll,
     [](Image& img) {
       for (uint32_t inode : {12u, 15u, 16u, 17u}) loopIndirectBlocks(img, inode, k4GiB - 1);
     }},
    {"Ext2SizesOf4GiB", "ext2_deleted.img", 2 << 20,
     [](Image& img) {
       const ExtGeometry g = extGeometry(img);
       for (uint32_t inode = 12; inode <= 20; ++inode) putLe32(img.data() + g.inodeOffset(inode) + 4, 0xFFFFFFFF);
     },
     true},
    {"Ext3JournalIndirectBlocksLoop", "ext3_1k.img", kAll,
     [](Image& img) { loopIndirectBlocks(img, 8, uint64_t(1) << 40); }},
    {"Ext3JournalOf4GiBIn4KiBBlocks", "ext3_4k.img", kAll,
     [](Image& img) { loopIndirectBlocks(img, 8, uint64_t(1) << 44); }},

    // Partition tables: EBR chains that loop or leave the disk, 4 GiB entries in a tiny disk.
    {"EbrLinksToItself", "mbr_ext05.img", kAll,
     [](Image& img) { setEntry(img, 30720, 1, 0x05, 0, 2048); }},
    {"EbrChainFormsACycle", "mbr_mixed.img", kAll,
     [](Image& img) { setEntry(img, 239616, 1, 0x05, 0, 2048); }},
    {"EbrLinksPastTheDisk", "mbr_ext05.img", kAll,
     [](Image& img) { setEntry(img, 30720, 1, 0x05, 0xFFFFFF00, 2048); }},
    {"TableEntriesOf4GiBInATinyDisk", "mbr_ext05.img", 1 << 20,
     [](Image& img) {
       for (int slot = 0; slot < 4; ++slot) setEntry(img, 0, slot, slot == 1 ? 0x05 : 0x06, 63, 0xFFFFFFFF);
     },
     true},
};

class DamagedImage : public ::testing::TestWithParam<DamageCase> {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }
};

TEST_P(DamagedImage, EveryEngineEndsWithinBoundsAndReportsWhatItCould) {
  const DamageCase& c = GetParam();
  if (!fixtureExists(c.image)) GTEST_FAIL() << c.image << " is not unpacked";
  auto bytes = fixtureCopy(c.image, c.keep);
  if (c.damage) c.damage(*bytes);
  const uint64_t imageBytes = bytes->size();

  std::vector<Task> tasks{Task::Deleted, Task::Formatted};
  if (c.raw) tasks.push_back(Task::Raw);
  HeapWatch heap;
  heap.start();
  std::vector<PartitionRecord> records;
  ASSERT_TRUE(finishesWithin(std::chrono::seconds(60), [&] { records = attachInMemory(bytes); }));
  const EnginePass pass = runEveryEngine(records, tasks, 16);
  heap.stop();

  EXPECT_TRUE(pass.problems.empty()) << ::testing::PrintToString(pass.problems);
  // What a scan keeps (tables, the MFT, result trees) grows with the image, never with the
  // sizes its damaged fields claim.
  if (HeapWatch::available()) {
    EXPECT_LE(heap.largestBlock(), imageBytes + (16u << 20)) << "largest single allocation";
    EXPECT_LE(heap.peakGrowth(), 2 * imageBytes + (64u << 20)) << "peak heap growth";
  }
  RecordProperty("records", int(records.size()));
  RecordProperty("scans", int(pass.scans));
  RecordProperty("files", int(pass.files));
}

// Runs that map the whole volume again and again (cross-linked damage) must not make one
// extraction read the volume over and over: at most the volume is produced, and the file
// is reported as not whole.
TEST(DamagedNtfsRuns, RunsMappingTheVolumeManyTimesAreReadOnce) {
  VolumeBuilder v;  // 256 clusters of 4 KiB
  const uint64_t clusters = v.bytes.size() / v.clusterSize;
  NonResident data;
  for (int i = 0; i < 150; ++i) data.runs.push_back({clusters - 1, 1});
  data.realSize = 150 * (clusters - 1) * v.clusterSize;
  v.setRecord(30, v.record(30).flags(0).standardInfo(0x20).fileName(5, u"again.bin")
                      .nonResidentData(data, {}, v.clusterSize).finish());
  auto opened = openNtfsInMemory(v.bytes, "runs");
  ASSERT_NE(opened, nullptr);
  NtfsVolume& volume = *opened;
  ResultTree tree(Variant::Ntfs);
  ScanOptions options;
  Progress progress;
  ASSERT_TRUE(volume.scan(tree, options, progress));
  ASSERT_EQ(tree.recordCount(), 1u);
  const FileRecord* file = tree.foldersBreadthFirst().front()->files.front();
  EXPECT_EQ(file->contentSize(), data.realSize);
  CountingSink sink;
  EXPECT_EQ(failureKind(volume.extract(*file, sink)), ErrorKind::Corrupt);
  EXPECT_LE(sink.written(), v.bytes.size());
  DeviceNamespace::instance().reset();
}

// An inode whose indirect blocks name themselves maps every file block to one block: its
// extraction ends with an error once it has produced as many blocks as the volume holds,
// instead of repeating that block for the 4 GiB its size claims.
TEST(DamagedExtBlocks, IndirectBlocksThatNameThemselvesEndTheExtraction) {
  if (!fixtureExists("ext2_deleted.img")) GTEST_FAIL() << "ext2_deleted.img is not unpacked";
  auto bytes = fixtureCopy("ext2_deleted.img");
  loopIndirectBlocks(*bytes, 16, k4GiB - 1);
  const uint64_t volumeBytes = bytes->size();
  std::unique_ptr<RecoveryEngine> engine;
  for (const PartitionRecord& r : attachInMemory(bytes)) {
    if (engine) break;
    if (auto opened = openEngine(r, Task::Deleted)) engine = std::move(*opened);
  }
  ASSERT_TRUE(engine);
  ResultTree tree(engine->variant());
  ScanOptions options;
  Progress progress;
  ASSERT_TRUE(engine->scan(tree, options, progress));
  const FileRecord* looped = nullptr;
  for (FolderItem* folder : tree.foldersBreadthFirst())
    for (FileRecord* f : folder->files)
      if (static_cast<ExtFileRecord*>(f)->inodeNumber == 16) looped = f;
  ASSERT_TRUE(looped);
  CountingSink sink;
  EXPECT_EQ(failureKind(engine->extract(*looped, sink)), ErrorKind::Corrupt);
  EXPECT_LE(sink.written(), volumeBytes);
  DeviceNamespace::instance().reset();
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DamagedImage, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace velk::test
