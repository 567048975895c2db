// Recognising lost volumes from their first sectors: the automatic scan's loose test, the
// size a boot sector declares, the deep scan's strict parses (one field broken at a time)
// and its probe points.

#include <gtest/gtest.h>

#include "disk/synthetic_disk.h"
#include "partition/partition_scan.h"
#include "partition/partition_texts.h"
#include "partition/volume_probe.h"

namespace velk {
namespace {

ByteSpan sectorOf(test::SyntheticDisk& d, uint64_t n, size_t bytes = 512) { return ByteSpan(d.sector(n), bytes); }

TEST(GapSector, NamesFollowTheFirstMatchingMark) {
  test::SyntheticDisk d(8);
  d.fat32Boot(0, 4096);
  d.ntfsBoot(1, 4096);
  EXPECT_EQ(classifyGapSector(sectorOf(d, 0)), VolumeKind::Fat32);
  EXPECT_EQ(classifyGapSector(sectorOf(d, 1)), VolumeKind::Ntfs);
  uint8_t* f = d.sector(2);
  f[0] = 0xEB;
  std::memcpy(f + 0x36, "FAT12   ", 8);
  d.signature(2);
  EXPECT_EQ(classifyGapSector(sectorOf(d, 2)), VolumeKind::Fat16);  // "FAT1" is all it looks for
  d.sector(0)[0] = 0xE9;
  EXPECT_EQ(classifyGapSector(sectorOf(d, 0)), VolumeKind::None);
  d.sector(1)[0x1FE] = 0;
  EXPECT_EQ(classifyGapSector(sectorOf(d, 1)), VolumeKind::None);
  EXPECT_EQ(classifyGapSector(sectorOf(d, 3)), VolumeKind::None);
}

TEST(GapSector, DeclaredSizes) {
  test::SyntheticDisk d(8);
  d.fat32Boot(0, 81920);
  d.ntfsBoot(1, 98304);
  EXPECT_EQ(declaredSectors(sectorOf(d, 0), VolumeKind::Fat32), 81920u);
  EXPECT_EQ(declaredSectors(sectorOf(d, 1), VolumeKind::Ntfs), 98304u);  // 98303 + the backup
  uint8_t* f = d.sector(2);
  putLe16(f + 0x0B, 512);
  putLe16(f + 0x13, 32768);
  putLe32(f + 0x20, 99);
  EXPECT_EQ(declaredSectors(sectorOf(d, 2), VolumeKind::Fat16), 32768u);
  putLe16(f + 0x13, 0);
  putLe32(f + 0x20, 70000);
  EXPECT_EQ(declaredSectors(sectorOf(d, 2), VolumeKind::Fat16), 70000u);
  putLe16(f + 0x0B, 4096);  // counts are in the volume's own sectors
  EXPECT_EQ(declaredSectors(sectorOf(d, 2), VolumeKind::Fat16), 560000u);
  putLe64(d.sector(1) + 0x28, ~uint64_t(0));
  EXPECT_EQ(declaredSectors(sectorOf(d, 1), VolumeKind::Ntfs), 0u);
}

struct Corruption {
  const char* what;
  int volume;  // 0 FAT32, 1 NTFS
  size_t offset;
  std::vector<uint8_t> bytes;
};
// Test names and failure messages show the case, not its bytes.
inline void PrintTo(const Corruption& c, std::ostream* os) { *os << c.what; }

class BootSectorCorruption : public ::testing::TestWithParam<Corruption> {};

TEST_P(BootSectorCorruption, IsRejected) {
  test::SyntheticDisk d(2);
  if (GetParam().volume == 0)
    d.fat32Boot(0, 4096);
  else
    d.ntfsBoot(0, 4096);
  ASSERT_TRUE(parseBootSector(sectorOf(d, 0)));
  std::copy(GetParam().bytes.begin(), GetParam().bytes.end(), d.sector(0) + GetParam().offset);
  EXPECT_FALSE(parseBootSector(sectorOf(d, 0)));
}

INSTANTIATE_TEST_SUITE_P(
    OneField, BootSectorCorruption,
    ::testing::Values(Corruption{"fat32_jump", 0, 0x00, {0x00}}, Corruption{"fat32_bps", 0, 0x0B, {0x00, 0x03}},
                      Corruption{"fat32_spc", 0, 0x0D, {3}}, Corruption{"fat32_reserved", 0, 0x0E, {0, 0}},
                      Corruption{"fat32_fats", 0, 0x10, {0}}, Corruption{"fat32_fat16_size", 0, 0x16, {1, 0}},
                      Corruption{"fat32_total", 0, 0x20, {0, 0, 0, 0}}, Corruption{"fat32_type", 0, 0x52, {'X'}},
                      Corruption{"fat32_signature", 0, 0x1FE, {0x55, 0x00}},
                      Corruption{"ntfs_oem", 1, 0x03, {'n'}}, Corruption{"ntfs_spc", 1, 0x0D, {0}},
                      Corruption{"ntfs_mft", 1, 0x30, {0, 0, 0, 0, 0, 0, 0, 0}},
                      Corruption{"ntfs_total", 1, 0x28, {0, 0, 0, 0, 0, 0, 0, 0}}),
    [](const auto& param) { return std::string(param.param.what); });

TEST(BootSector, FieldsOfAFind) {
  test::SyntheticDisk d(2);
  d.fat32Boot(0, 4096);
  d.sector(0)[0x32] = 6;
  auto v = parseBootSector(sectorOf(d, 0));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, VolumeKind::Fat32);
  EXPECT_EQ(v->sectors, 4096u);
  EXPECT_EQ(v->sectorsPerCluster, 1u);
  EXPECT_EQ(v->backupOffset, 6u);
  d.ntfsBoot(1, 4096);
  d.sector(1)[0x0D] = 0xF4;  // 2^12 sectors (2 MiB) per cluster, written the large-cluster way
  v = parseBootSector(sectorOf(d, 1));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->sectorsPerCluster, 4096u);
}

TEST(ExtSuperblock, PrimaryOnly) {
  test::SyntheticDisk d(8);
  d.extSuperblock(0, "volume-name-16ch", true);
  uint8_t* sb = d.sector(2);
  putLe32(sb + 0x00, 2048);  // inodes
  putLe32(sb + 0x04, 8192);  // blocks
  putLe32(sb + 0x28, 2048);  // inodes per group (one group)
  putLe32(sb + 0x14, 1);     // first data block of 1 KiB blocks
  auto v = parseExtSuperblock(sectorOf(d, 2, 1024));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->kind, VolumeKind::Ext3);
  EXPECT_EQ(v->sectors, 16384u);
  EXPECT_EQ(v->label, "volume-name-16ch");
  EXPECT_EQ(v->bytesPerSector, 1024u);
  EXPECT_EQ(v->sectorsPerCluster, 8192u);
  EXPECT_EQ(v->freeBytes, 100u * 1024);
  putLe16(sb + 0x5A, 1);  // a backup copy in block group 1
  EXPECT_FALSE(parseExtSuperblock(sectorOf(d, 2, 1024)));
  putLe16(sb + 0x5A, 0);
  putLe32(sb + 0x14, 0);
  EXPECT_FALSE(parseExtSuperblock(sectorOf(d, 2, 1024)));
  putLe32(sb + 0x14, 1);
  putLe32(sb + 0x18, 7);
  EXPECT_FALSE(parseExtSuperblock(sectorOf(d, 2, 1024)));
}

TEST(ProbePoints, MultiplesOf2048And63) {
  EXPECT_EQ(nextProbePoint(0), 0u);
  EXPECT_EQ(nextProbePoint(1), 63u);
  EXPECT_EQ(nextProbePoint(2017), 2048u);
  EXPECT_EQ(nextProbePoint(2049), 2079u);
  // [0, 4096): 0, 2048 and 63·1 … 63·65 (4095), 0 counted once.
  EXPECT_EQ(countProbePoints(0, 4096), 2u + 65u);
  EXPECT_EQ(countProbePoints(2048, 2049), 1u);
  EXPECT_EQ(countProbePoints(5, 5), 0u);
  // 129024 = 2048 · 63 is counted once.
  EXPECT_EQ(countProbePoints(129024, 129025), 1u);
  uint64_t n = 0;
  for (uint64_t p = nextProbePoint(100000); p < 300000; p = nextProbePoint(p + 1)) ++n;
  EXPECT_EQ(n, countProbePoints(100000, 300000));
}

TEST(PartitionTexts, MessagesOfTheRewriteCodes) {
  EXPECT_EQ(rewriteMessage(RewriteCode::NoDisk), "Select the disk you want recover");
  EXPECT_EQ(rewriteMessage(RewriteCode::NoCandidate), "Select the partition you want recover");
  EXPECT_EQ(rewriteMessage(RewriteCode::DeviceFailure), "Recovery failed. Can not access the disk! ");
  EXPECT_EQ(rewriteMessage(RewriteCode::InvalidPartition),
            "The partition selected is invalid. Please select the other partition.");
  EXPECT_EQ(rewriteMessage(RewriteCode::NoGap),
            "The partition selected can't be recovered. Please select the other partition.");
  EXPECT_TRUE(rewriteMessage(RewriteCode::Rewritten).empty());
}

TEST(PartitionTexts, CandidateLineAndDiskCombo) {
  PartitionRecord r;
  r.letter = '*';
  r.setFsName("FAT32");
  r.startSector = 2048;
  r.length = 81920ull * 512;
  auto line = candidateLine(r);
  EXPECT_EQ(line.name, "*:  FAT32");
  EXPECT_EQ(line.start, "Start Sector : 2048");
  EXPECT_EQ(line.end, "End Sector : 83967");
  r.startSector = 3000000000u;  // past 2^31: printed unsigned
  EXPECT_EQ(candidateLine(r).start, "Start Sector : 3000000000");

  DiskRecord d;
  setFixedText(d.name, "disk.img");
  d.busType = 7;
  d.size = 1000;
  EXPECT_EQ(diskComboText(d), "disk.img (  BusType :  USB ,    Size :  1000 B  )");
  d.size = 1536;
  EXPECT_EQ(diskComboText(d), "disk.img(  BusType :   USB ,    Size :  1.50 KB  )");
  d.size = 256ull << 20;
  EXPECT_EQ(diskComboText(d), "disk.img (  BusType :  USB ,    Size :  256.00 MB  )");
  d.size = 2ull << 40;
  EXPECT_EQ(diskComboText(d), "disk.img (  BusType :  USB ,    Size :  2048.00 GB  )");
  EXPECT_EQ(diskMapColour("NTFS"), 0xFF00FFu);
  EXPECT_EQ(diskMapColour("#NTFS#"), 0xBEBEBEu);
  EXPECT_EQ(diskMapColour("EXT3"), 0x007878u);
}

}  // namespace
}  // namespace velk
