#pragma once
// Extended partitions whose master-boot-record entry is gone. The EBRs the deep scan finds
// in the master boot record's gaps are followed link by link into chains, and each chain is
// offered as one candidate that restores the extended partition with all its logical
// partitions. When no EBR survives and the volumes found outnumber the free entries of the
// master boot record, those that do not fit are proposed as the logical partitions of a new
// extended partition with a chain of its own.

#include <cstdint>
#include <optional>
#include <vector>

#include "disk/partition_table.h"
#include "disk/records.h"

namespace velk {

struct FoundEbr {
  uint64_t sector = 0;
  TableSector table;
};

struct ExtendedCandidate {
  PartitionRecord extended;               // kind 1, type 0x0F, named "Extended"
  std::vector<PartitionRecord> logicals;  // kind 2, table sector = their EBR, in disk order
};

// Sectors in use that an extended partition may not cover.
struct UsedRange {
  uint64_t start = 0;
  uint64_t count = 0;
};

// The chains the EBRs form, each as a candidate. A chain starts at the lowest EBR that no
// earlier chain took, which is taken as the extended partition's start; links to EBRs off
// the scan's probe points are read. A chain whose partitions would overlap `used` is left
// out. Logical partitions that `volumes` (the scan's finds) describe take the find's names
// and facts, and leave `volumes`.
std::vector<ExtendedCandidate> chainsFromEbrs(std::vector<FoundEbr> ebrs, const SectorRead& read, uint64_t diskSectors,
                                              int disk, const std::vector<UsedRange>& used,
                                              std::vector<PartitionRecord>& volumes);

// When `volumes` (the finds of the master boot record's gaps) outnumber `freeEntries`, the
// last of them by position become the logical partitions of a new extended partition (one
// entry stays for it), each with an EBR 2048 or 63 sectors before it, or in the first free
// sector after what precedes it. nullopt when they do not fit a chain; otherwise they leave
// `volumes`.
std::optional<ExtendedCandidate> proposeExtended(std::vector<PartitionRecord>& volumes, size_t freeEntries,
                                                 const SectorRead& read, const std::vector<UsedRange>& used);

}  // namespace velk
