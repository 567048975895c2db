#pragma once
// DriveCatalog: the machine's disks and partitions as fixed records. Two sources are
// merged: the lettered volumes of the device namespace and the partition tables read
// straight from each disk (which also find unlettered partitions, gaps and EXT volumes).

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "disk/records.h"

namespace velk {

class SectorReader;

// Three CHS bytes of a partition-table entry (cylinder/sector packing with 255 heads and
// 63 sectors per track), in table order: head, sector, cylinder.
struct ChsAddress {
  uint8_t head = 0;
  uint8_t sector = 0;
  uint8_t cylinder = 0;
};

class DriveCatalog {
 public:
  static constexpr int kMaxDisks = 26;
  static constexpr uint32_t kNoChain = 0xFFFFFFFF;

  void Refresh();

  int DiskCount() const { return int(m_disks.size()); }
  const DiskRecord& DiskAt(int i) const { return m_disks.at(size_t(i)); }
  int PartitionCount() const { return int(m_partitions.size()); }
  const PartitionRecord& PartitionAt(int i) const { return m_partitions.at(size_t(i)); }
  const std::vector<DiskRecord>& disks() const { return m_disks; }
  const std::vector<PartitionRecord>& partitions() const { return m_partitions; }

  int DiskNumberByName(std::string_view name) const;
  uint32_t LastChainSector(int disk) const;
  void SetLastChainSector(int disk, uint32_t sector);

  static ChsAddress LbaToChs(uint64_t sector);

  // The table walk of one disk (sorted by table sector, with gaps), as Refresh merges it.
  // Exposed for partition recovery, which walks a single disk. False when the walk failed
  // (records found before the failure are still in out, without gaps).
  bool WalkDisk(int diskNumber, std::vector<PartitionRecord>& out);

 private:
  std::vector<DiskRecord> m_disks;
  std::vector<PartitionRecord> m_partitions;
  std::array<uint32_t, kMaxDisks> m_lastChain{};
};

// Fills a record's file-system facts from its first sectors for a type-0x83 partition
// (EXT2/EXT3/EXTX), reading the superblock through the reader.
void probeExtSuperblock(SectorReader& reader, PartitionRecord& record);

}  // namespace velk
