#include <gtest/gtest.h>

#include "disk/drive_catalog.h"
#include "disk/sector_reader.h"
#include "synthetic_disk.h"
#include "test_support.h"

namespace velk {
namespace {

using test::SyntheticDisk;

std::vector<PartitionRecord> walk(const SyntheticDisk& disk, bool* ok = nullptr) {
  disk.attach();
  DriveCatalog catalog;
  std::vector<PartitionRecord> out;
  bool r = catalog.WalkDisk(0, out);
  if (ok) *ok = r;
  return out;
}

std::vector<PartitionRecord> refresh(const SyntheticDisk& disk) {
  disk.attach();
  DriveCatalog catalog;
  catalog.Refresh();
  return catalog.partitions();
}

struct Expect {
  std::string fs;
  uint8_t kind;
  uint32_t table, start, ext;
  uint64_t sectors;
};

void expectRecords(const std::vector<PartitionRecord>& got, const std::vector<Expect>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_EQ(got[i].fsNameText(), want[i].fs);
    EXPECT_EQ(got[i].kind, want[i].kind);
    EXPECT_EQ(got[i].tableSector, want[i].table);
    EXPECT_EQ(got[i].startSector, want[i].start);
    EXPECT_EQ(got[i].extendedBase, want[i].ext);
    EXPECT_EQ(got[i].length, want[i].sectors * 512);
  }
}

TEST(TableWalk, PrimariesLogicalsAndGapsInTableOrder) {
  SyntheticDisk d(20000);
  d.entry(0, 0, 0x0C, 2048, 4000);    // ends 6048
  d.entry(0, 1, 0x0F, 8000, 10000);   // extended 8000 … 18000
  d.entry(8000, 0, 0x06, 63, 2000);   // logical 8063 … 10063
  d.entry(8000, 1, 0x05, 3000, 5000); // next EBR at 11000
  d.entry(11000, 0, 0x83, 63, 1000);  // logical 11063 … 12063
  d.extSuperblock(11063, "data", true);
  auto recs = walk(d);
  expectRecords(recs, {
                          {"Deleted", 1, 63, 63, 0, 2048 - 63},
                          {"#FAT32#", 1, 2048, 2048, 0, 4000},
                          {"Deleted", 1, 6048, 6048, 0, 8000 - 6048},
                          {"#FAT16#", 2, 8000, 8063, 8000, 2000},
                          // a logical gap starts 63 sectors after the previous partition's end
                          {"Deleted", 2, 10063, 10126, 8000, 11000 - 10126},
                          {"EXT3", 2, 11000, 11063, 8000, 1000},
                          {"Deleted", 2, 12063, 12126, 8000, 18000 - 12126},
                          // past the extended partition the free space is primary again
                          {"Deleted", 1, 18000, 18000, 0, 20000 - 18000},
                      });
  EXPECT_EQ(recs[5].labelText(), "data");
}

TEST(TableWalk, LinkEntryFirstIsSwapped) {
  SyntheticDisk d(8000);
  d.entry(0, 0, 0x0F, 1000, 6000);
  d.entry(1000, 0, 0x05, 2000, 1000);  // link first …
  d.entry(1000, 1, 0x07, 63, 500);     // … partition second
  d.entry(3000, 0, 0x0B, 63, 500);
  auto recs = walk(d);
  std::vector<uint32_t> starts;
  for (const auto& r : recs)
    if (r.fsNameText() != "Deleted") starts.push_back(r.startSector);
  EXPECT_EQ(starts, (std::vector<uint32_t>{1063, 3063}));
}

TEST(TableWalk, ExtendedTypesFromOtherToolsAreWalked) {
  for (uint8_t type : {uint8_t(0x05), uint8_t(0x85)}) {
    SyntheticDisk d(8000);
    d.entry(0, 0, type, 2048, 4000);
    d.entry(2048, 0, 0x07, 63, 1000);
    auto recs = walk(d);
    bool found = false;
    for (const auto& r : recs) found |= (r.kind == kKindLogical && r.startSector == 2111 && r.fsNameText() == "#NTFS#");
    EXPECT_TRUE(found) << "type " << int(type);
  }
}

TEST(TableWalk, LoopingChainStops) {
  SyntheticDisk d(8000);
  d.entry(0, 0, 0x0F, 1000, 6000);
  d.entry(1000, 0, 0x07, 63, 100);
  d.entry(1000, 1, 0x05, 1000, 100);  // → 2000
  d.entry(2000, 0, 0x07, 63, 100);
  d.entry(2000, 1, 0x05, 0, 100);     // → back to 1000
  bool ok = false;
  auto recs = walk(d, &ok);
  EXPECT_TRUE(ok);
  int logicals = 0;
  for (const auto& r : recs) logicals += (r.kind == kKindLogical && r.fsNameText() == "#NTFS#");
  EXPECT_EQ(logicals, 2);
}

TEST(TableWalk, SmallSlackAndBoundaryGaps) {
  SyntheticDisk d(4000);
  d.entry(0, 0, 0x07, 63, 937);        // ends 1000
  d.entry(0, 1, 0x0F, 1000, 3000);     // extended 1000 … 4000
  d.entry(1000, 0, 0x07, 63, 1000);    // 1063 … 2063
  d.entry(1000, 1, 0x05, 1100, 1000);  // next EBR at 2100: only 37 sectors of slack
  d.entry(2100, 0, 0x07, 63, 1837);    // 2163 … 4000: ends exactly at the extended end
  auto recs = walk(d);
  for (const auto& r : recs) {
    EXPECT_LT(r.length, uint64_t(4000) * 512) << r.fsNameText();
    EXPECT_NE(r.fsNameText(), "Deleted") << "no gap fits: table " << r.tableSector;
  }
  EXPECT_EQ(recs.size(), 3u);
}

// The first logical partition's entry is lost but its EBR still links on: the free space
// before the next logical is split at the extended start, so the lost partition comes back
// as a logical one through the EBR there.
TEST(TableWalk, GapIsSplitWhereTheExtendedPartitionBegins) {
  SyntheticDisk d(4000);
  d.entry(0, 0, 0x07, 63, 637);        // 63 … 700
  d.entry(0, 1, 0x0F, 1000, 3000);     // extended 1000 … 4000
  d.entry(1000, 1, 0x05, 1100, 1000);  // entry 0 lost, link to the EBR at 2100 kept
  d.entry(2100, 0, 0x07, 63, 1837);    // 2163 … 4000
  expectRecords(walk(d), {{"#NTFS#", 1, 63, 63, 0, 637},
                          {"Deleted", 1, 700, 700, 0, 300},
                          {"Deleted", 2, 1000, 1063, 1000, 1037},
                          {"#NTFS#", 2, 2100, 2163, 1000, 1837}});
}

TEST(TableWalk, FirstPartitionAt63HasNoLeadingGap) {
  SyntheticDisk d(3000);
  d.entry(0, 0, 0x07, 63, 2937);
  auto recs = walk(d);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].startSector, 63u);
}

TEST(TableWalk, DataWithoutSignatureIsOneWholeDiskGap) {
  SyntheticDisk d(3000);
  d.sector(0)[0x1BE + 4] = 0x07;  // looks like an entry, but no 0x55AA
  putLe32(d.sector(0) + 0x1BE + 8, 100);
  putLe32(d.sector(0) + 0x1BE + 12, 100);
  auto recs = walk(d);
  expectRecords(recs, {{"Deleted", 1, 0, 0, 0, 3000}});
}

TEST(TableWalk, WipedTableIsOneGapFrom63) {
  SyntheticDisk d(3000);
  d.signature(0);
  auto recs = walk(d);
  expectRecords(recs, {{"Deleted", 1, 63, 63, 0, 3000 - 63}});
}

TEST(TableWalk, EntryPastTheDiskIsListedNotRead) {
  SyntheticDisk d(3000);
  d.entry(0, 0, 0x07, 63, 1000);
  d.entry(0, 1, 0x0C, 50000, 1000);
  bool ok = false;
  auto recs = walk(d, &ok);
  EXPECT_TRUE(ok);
  bool listed = false;
  for (const auto& r : recs) listed |= r.startSector == 50000;
  EXPECT_TRUE(listed);
}

TEST(TableWalk, ExtProbe) {
  SyntheticDisk d(3000);
  d.entry(0, 0, 0x83, 100, 1000);
  d.entry(0, 1, 0x83, 1200, 1000);
  d.entry(0, 2, 0x83, 2300, 600);
  d.extSuperblock(100, "VELKLABEL16CHARS", false, 2);
  d.extSuperblock(1200, "big", true, 7);  // log block size past 6: not a superblock
  auto recs = walk(d);
  std::vector<PartitionRecord> ext;
  for (const auto& r : recs)
    if (r.type == 0x83) ext.push_back(r);
  ASSERT_EQ(ext.size(), 3u);
  EXPECT_EQ(ext[0].fsNameText(), "EXT2");
  EXPECT_EQ(ext[0].labelText(), "VELKLABEL16CHARS");
  EXPECT_EQ(ext[0].bytesPerSector, 4096u);
  EXPECT_EQ(ext[0].sectorsPerCluster, 8192u);
  EXPECT_EQ(ext[0].freeBytes, 100u * 4096);
  EXPECT_EQ(ext[1].fsNameText(), "EXTX");
  EXPECT_EQ(ext[2].fsNameText(), "EXTX");
  EXPECT_EQ(ext[2].labelText(), "Unknown");
}

TEST(Catalogue, LetteredVolumeMergesWithTableEntryWithin63Sectors) {
  SyntheticDisk d(12000);
  d.entry(0, 0, 0x0C, 2048, 4000);
  d.fat32Boot(2048, 4000);
  d.entry(0, 1, 0x07, 7000, 4000);
  d.ntfsBoot(7000, 4000);
  auto recs = refresh(d);
  ASSERT_GE(recs.size(), 2u);
  EXPECT_EQ(recs[0].letter, 'C');
  EXPECT_EQ(recs[0].fsNameText(), "FAT32");
  EXPECT_EQ(recs[0].kind, kKindPrimary);
  EXPECT_EQ(recs[0].type, 0x0C);
  EXPECT_EQ(recs[0].tableSector, 2048u);
  EXPECT_EQ(recs[1].letter, 'D');
  EXPECT_EQ(recs[1].fsNameText(), "NTFS");
  EXPECT_EQ(recs[1].firstSector[3], 'N');
  for (size_t i = 2; i < recs.size(); ++i) EXPECT_EQ(recs[i].fsNameText(), "Deleted");
}

TEST(Catalogue, UnpartitionedVolume) {
  SyntheticDisk d(5000);
  d.fat32Boot(0, 5000);
  auto recs = refresh(d);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].letter, 'C');
  EXPECT_EQ(recs[0].startSector, 0u);
  EXPECT_EQ(recs[0].length, 5000u * 512);
  EXPECT_EQ(recs[0].kind, kKindPrimary);
}

TEST(Catalogue, LbaToChs) {
  auto chs = DriveCatalog::LbaToChs(0);
  EXPECT_EQ(chs.cylinder, 0);
  EXPECT_EQ(chs.head, 0);
  EXPECT_EQ(chs.sector, 1);
  chs = DriveCatalog::LbaToChs(2048);  // cylinder 0, head 32, sector 33
  EXPECT_EQ(chs.head, 32);
  EXPECT_EQ(chs.sector, 33);
  chs = DriveCatalog::LbaToChs(1023ull * 16065 + 62);  // the last addressable sector
  EXPECT_EQ(chs.cylinder, 0xFF);
  EXPECT_EQ(chs.head, 0);
  EXPECT_EQ(chs.sector, 0xC0 | 63);
  for (uint64_t s : {1024ull * 16065, 0xFC0000ull, 0xFFFFFFFFull}) {
    chs = DriveCatalog::LbaToChs(s);
    EXPECT_EQ(chs.cylinder, 0xFF);
    EXPECT_EQ(chs.head, 0xFE);
    EXPECT_EQ(chs.sector, 0xFF);
  }
}

}  // namespace
}  // namespace velk
