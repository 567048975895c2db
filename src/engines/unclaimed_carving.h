#pragma once
// Carving what no record claims: after a deleted or formatted scan, the raw scan runs over
// the stretches of the partition that no listed file's plan and no live file occupies, and
// what it finds is listed under "Carved" below the scan's root. Each method alone leaves
// files behind on a quick-formatted volume; together they give every file either finds.

#include <memory>
#include <vector>

#include "disk/records.h"
#include "workspace/engine.h"

namespace velk {

// The folder under the scan's root that holds the carved files.
inline constexpr const char* kCarvedFolderText = "Carved";

// Sectors [first, first + count) of a partition, 512 bytes each, relative to its start.
struct SectorSpan {
  uint64_t first = 0;
  uint64_t count = 0;
  bool operator==(const SectorSpan&) const = default;
};

// The sectors of [0, totalSectors) that no claimed byte range touches (byte offsets and
// lengths from the partition's first byte); a sector partly claimed counts as claimed.
std::vector<SectorSpan> unclaimedSectors(std::vector<std::pair<uint64_t, uint64_t>> claimed, uint64_t totalSectors);

// Wraps the engine a deleted or formatted scan runs with: its scan is followed by the raw
// scan of the unclaimed sectors (the raw options of the scan's options: catalogue, types,
// maximum size, names from content), and recovery goes to whichever engine found a record.
std::unique_ptr<RecoveryEngine> withUnclaimedCarving(std::unique_ptr<RecoveryEngine> engine,
                                                     const PartitionRecord& record);

}  // namespace velk
