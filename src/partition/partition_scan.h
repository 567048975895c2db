#pragma once
// Finding lost partitions in a disk's unallocated gaps ("Deleted" catalogue records).
//
// The automatic scan copies every catalogue record of the disk and probes only the first
// sector of each gap for a FAT or NTFS boot sector; a find fills the whole gap (capped at
// the size its boot sector declares). The deep scan probes every 1 MiB and every 63-sector
// boundary inside each gap for FAT16/FAT32/NTFS boot sectors, their backups, EXT
// superblocks and extended boot records, and offers each find with the length its own
// structures declare.

#include <cstdint>
#include <functional>
#include <vector>

#include "disk/drive_catalog.h"
#include "disk/records.h"

namespace velk {

class StopFlag;

// Automatic scan of disk `diskNumber`. False when the disk cannot be opened; candidates is
// then left empty. A gap whose first sector lies past the disk's end or cannot be read is
// listed unprobed.
[[nodiscard]] bool AutoScan(const DriveCatalog& catalog, int diskNumber, std::vector<PartitionRecord>& candidates);

// Reports (probes done, probes in all); the deep scan reads up to a few sectors per probe.
using DeepScanProgress = std::function<void(uint64_t done, uint64_t total)>;

// The logical partitions that come with each candidate: empty except for an extended
// partition, whose rewrite restores them together.
using LogicalSets = std::vector<std::vector<PartitionRecord>>;

// Deep scan of disk `diskNumber`'s gaps. Candidates take the gap's kind and extended base;
// their table sector is their own start in a gap of the master boot record, and the gap's
// table sector inside the extended partition. On a master-boot-record disk without an
// extended partition, surviving EBRs make extended candidates (see extended_finder.h), and
// so do volumes too many for the free entries. `logicals` runs parallel to `candidates`.
// False when the disk cannot be opened; a cleared stop flag ends the scan early with the
// finds so far (true).
[[nodiscard]] bool DeepScan(const DriveCatalog& catalog, int diskNumber, std::vector<PartitionRecord>& candidates,
                            LogicalSets& logicals, const StopFlag* stop = nullptr,
                            const DeepScanProgress& progress = {});

// The deep scan's probe points are the multiples of 2048 and of 63: the first one at or
// after `sector`, and how many lie in [first, end).
uint64_t nextProbePoint(uint64_t sector);
uint64_t countProbePoints(uint64_t first, uint64_t end);

}  // namespace velk
