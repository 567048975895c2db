#pragma once
// The usage charts of the drive selection page: slices of a disk by partition, or of a
// partition by used and free space. Toolkit-free: the page only paints the slices.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/records.h"

namespace velk {

// Colours as 0x00BBGGRR values.
inline constexpr uint32_t kChartGrey = 0xBEBEBE;
inline constexpr uint32_t kChartFree = 0xFF00FF;
uint32_t fileSystemColour(std::string_view fsName);

struct ChartSlice {
  double start = 0;   // fraction of the circle from 9 o'clock, clockwise
  double share = 0;   // fraction of the circle
  uint32_t colour = 0;
};

// A disk of diskSize bytes with the partitions listed under it (in tree order).
std::vector<ChartSlice> diskChart(uint64_t diskSize, const std::vector<PartitionRecord>& partitions);
// A partition's used and free space.
std::vector<ChartSlice> partitionChart(const PartitionRecord& partition);

// The fact lines of the information panel: column 1 rows 1–3, then column 2 rows 1–3
// (empty for a disk).
std::vector<std::string> diskFacts(const DiskRecord& disk, int partitionItems);
std::vector<std::string> partitionFacts(const PartitionRecord& partition);

}  // namespace velk
