#include <gtest/gtest.h>

#include "workspace/drive_chart.h"

namespace velk {
namespace {

PartitionRecord part(const char* fs, uint64_t length, uint64_t freeBytes = 0) {
  PartitionRecord r;
  r.setFsName(fs);
  r.length = length;
  r.freeBytes = freeBytes;
  return r;
}

TEST(DriveChart, DiskSlicesFollowEachOtherWithAGreyRest) {
  const uint64_t disk = 1000ull << 20;
  auto s = diskChart(disk, {part("FAT32", 250ull << 20), part("NTFS", 500ull << 20)});
  ASSERT_EQ(s.size(), 3u);
  EXPECT_DOUBLE_EQ(s[0].start, 0);
  EXPECT_DOUBLE_EQ(s[0].share, 0.25);
  EXPECT_EQ(s[0].colour, 0xFF0000u);
  EXPECT_DOUBLE_EQ(s[1].start, 0.25);
  EXPECT_EQ(s[1].colour, 0xFF3E9Eu);
  EXPECT_EQ(s[2].colour, kChartGrey);
  EXPECT_NEAR(s[2].share, 0.25, 1e-9);
}

TEST(DriveChart, TinyPartitionGetsNoSlice) {
  const uint64_t disk = 1000ull << 20;
  auto s = diskChart(disk, {part("FAT", 4ull << 20), part("EXT3", 996ull << 20)});  // 0.4 %
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].colour, 0x007878u);
  // A single tiny partition is drawn as a full circle in its colour.
  s = diskChart(disk, {part("EXT2", 4ull << 20)});
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].colour, 0xFFFF00u);
  EXPECT_DOUBLE_EQ(s[0].share, 1);
}

TEST(DriveChart, PartitionUsage) {
  auto full = partitionChart(part("NTFS", 100 << 20, 0));
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0].colour, 0xFF3E9Eu);
  auto empty = partitionChart(part("NTFS", 100 << 20, 100 << 20));
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].colour, kChartFree);
  auto almostFull = partitionChart(part("FAT32", 1000 << 20, 3 << 20));  // 99.7 % used
  ASSERT_EQ(almostFull.size(), 1u);
  EXPECT_EQ(almostFull[0].colour, 0xFF0000u);
  auto half = partitionChart(part("FAT32", 100 << 20, 25 << 20));
  ASSERT_EQ(half.size(), 2u);
  EXPECT_DOUBLE_EQ(half[0].share, 0.75);
}

TEST(DriveChart, FactLines) {
  DiskRecord d;
  setFixedText(d.name, "VBOX HARDDISK");
  d.size = 8ull << 30;
  auto f = diskFacts(d, 0);
  EXPECT_EQ(f[0], "Model : VBOX HARDDISK");
  EXPECT_EQ(f[1], "Drive Size : 8.00 GB");
  EXPECT_EQ(f[2], "This device is not accessible");
  EXPECT_EQ(diskFacts(d, 2)[2], "Count of partitions : 2");
  PartitionRecord p = part("FAT32", 40ull << 20, 10ull << 20);
  p.setLabel("DATA");
  p.startSector = 2048;
  p.sectorsPerCluster = 8;
  p.bytesPerSector = 512;
  auto pf = partitionFacts(p);
  EXPECT_EQ(pf, (std::vector<std::string>{"Volume : DATA", "Start Sector : 2048", "Sectors / Cluster : 8",
                                          "Byte/Sector : 512", "Free Size : 10.00 MB", "Total Size : 40.00 MB"}));
}

}  // namespace
}  // namespace velk
