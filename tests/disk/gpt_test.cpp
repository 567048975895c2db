#include <gtest/gtest.h>

#include <cstring>

#include "disk/drive_catalog.h"
#include "support/crc32.h"
#include "synthetic_disk.h"

namespace velk {
namespace {

constexpr uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                    0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
constexpr uint8_t kLinuxData[16] = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                    0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};

// A GPT disk with 128 entries of 128 bytes: primary at LBA 1 (entries at 2), backup at the
// last LBA (entries in the 32 sectors before it).
test::SyntheticDisk gptDisk() {
  test::SyntheticDisk d(20000);
  d.entry(0, 0, 0xEE, 1, 19999);
  std::vector<uint8_t> entries(128 * 128);
  std::memcpy(&entries[0], kBasicData, 16);
  putLe64(&entries[32], 2048);
  putLe64(&entries[40], 6047);
  std::memcpy(&entries[128], kLinuxData, 16);
  putLe64(&entries[128 + 32], 8192);
  putLe64(&entries[128 + 40], 12287);
  uint32_t entriesCrc = crc32(entries);
  auto header = [&](uint64_t at, uint64_t entriesLba) {
    uint8_t* h = d.sector(at);
    std::memcpy(h, "EFI PART", 8);
    putLe32(h + 8, 0x00010000);
    putLe32(h + 12, 92);
    putLe64(h + 24, at);
    putLe64(h + 72, entriesLba);
    putLe32(h + 80, 128);
    putLe32(h + 84, 128);
    putLe32(h + 88, entriesCrc);
    putLe32(h + 16, crc32({h, 92}));
    std::memcpy(d.sector(entriesLba), entries.data(), entries.size());
  };
  header(1, 2);
  header(d.sectors() - 1, d.sectors() - 33);
  d.fat32Boot(2048, 4000);
  d.extSuperblock(8192, "linux", true);
  return d;
}

std::vector<PartitionRecord> tableRecords(const test::SyntheticDisk& d) {
  d.attach();
  DriveCatalog c;
  std::vector<PartitionRecord> out;
  EXPECT_TRUE(c.WalkDisk(0, out));
  std::vector<PartitionRecord> tables;
  for (const auto& r : out)
    if (r.fsNameText() != "Deleted") tables.push_back(r);
  return tables;
}

TEST(Gpt, PartitionsAreListedWithMbrEquivalentTypes) {
  auto recs = tableRecords(gptDisk());
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].startSector, 2048u);
  EXPECT_EQ(recs[0].length, 4000u * 512);
  EXPECT_EQ(recs[0].type, 0x0C);
  EXPECT_EQ(recs[0].fsNameText(), "#FAT32#");
  EXPECT_EQ(recs[0].kind, kKindPrimary);
  EXPECT_EQ(recs[1].type, 0x83);
  EXPECT_EQ(recs[1].fsNameText(), "EXT3");
  EXPECT_EQ(recs[1].labelText(), "linux");
}

TEST(Gpt, DamagedPrimaryHeaderFallsBackToTheBackup) {
  auto d = gptDisk();
  d.sector(1)[100 - 8] ^= 0xFF;  // inside the CRC-covered header
  d.sector(1)[24] ^= 1;
  EXPECT_EQ(tableRecords(d).size(), 2u);
  // A damaged entry array is caught by its CRC too.
  auto e = gptDisk();
  e.sector(2)[40] ^= 0x10;
  EXPECT_EQ(tableRecords(e).size(), 2u);
}

TEST(Gpt, BothHeadersDamagedLeavesTheProtectiveEntry) {
  auto d = gptDisk();
  d.sector(1)[24] ^= 1;
  d.sector(d.sectors() - 1)[24] ^= 1;
  auto recs = tableRecords(d);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].type, 0xEE);
}

}  // namespace
}  // namespace velk
