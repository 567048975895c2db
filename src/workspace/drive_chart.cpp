#include "workspace/drive_chart.h"

#include "support/text.h"
#include "app/app_state.h"

namespace velk {

uint32_t fileSystemColour(std::string_view fs) {
  if (fs == "FAT32") return 0xFF0000;
  if (fs == "FAT12") return 0x00FFFF;
  if (fs == "FAT16" || fs == "FAT") return 0x00FF00;
  if (fs == "NTFS") return 0xFF3E9E;
  if (fs == "EXT2") return 0xFFFF00;
  if (fs == "EXT3") return 0x007878;
  return kChartGrey;
}

std::vector<ChartSlice> diskChart(uint64_t diskSize, const std::vector<PartitionRecord>& partitions) {
  std::vector<ChartSlice> slices;
  const double diskKb = double(diskSize / 1024);
  if (diskKb <= 0) return slices;
  if (partitions.size() == 1) {
    double share = double(partitions[0].length / 1024) / diskKb;
    uint32_t colour = fileSystemColour(partitions[0].fsNameText());
    if (share < 0.01) return {{0, 1, colour}};
    slices.push_back({0, std::min(share, 1.0), colour});
    if (share < 1 - 0.01) slices.push_back({share, 1 - share, kChartGrey});
    return slices;
  }
  double at = 0;
  for (const auto& p : partitions) {
    double share = double(p.length / 1024) / diskKb;
    if (share > 0.01 && at < 1) slices.push_back({at, std::min(share, 1 - at), fileSystemColour(p.fsNameText())});
    at += share;
  }
  if (at < 1 - 0.01) slices.push_back({at, 1 - at, kChartGrey});
  return slices;
}

std::vector<ChartSlice> partitionChart(const PartitionRecord& p) {
  const double lengthKb = double(p.length / 1024);
  const uint32_t colour = fileSystemColour(p.fsNameText());
  double used = lengthKb > 0 ? 1 - double(p.freeBytes / 1024) / lengthKb : 0;
  // A nearly full partition shows in its own colour: the free colour would read "empty".
  if (used > 0.995) return {{0, 1, colour}};
  if (used < 0.005) return {{0, 1, kChartFree}};
  return {{0, used, colour}, {used, 1 - used, kChartFree}};
}

std::vector<std::string> diskFacts(const DiskRecord& disk, int partitionItems) {
  return {"Model : " + codepageText(disk.nameText()), "Drive Size : " + driveSizeText(disk.size, false),
          partitionItems > 0 ? "Count of partitions : " + std::to_string(partitionItems)
                             : std::string("This device is not accessible"),
          "", "", ""};
}

std::vector<std::string> partitionFacts(const PartitionRecord& p) {
  return {"Volume : " + codepageText(p.labelText()),
          "Start Sector : " + std::to_string(p.startSector),
          "Sectors / Cluster : " + std::to_string(p.sectorsPerCluster),
          "Byte/Sector : " + std::to_string(p.bytesPerSector),
          "Free Size : " + driveSizeText(p.freeBytes, false),
          "Total Size : " + driveSizeText(p.length, false)};
}

}  // namespace velk
