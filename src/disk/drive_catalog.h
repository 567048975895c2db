#pragma once
// DriveCatalog: the machine's disks and partitions as fixed records. Two sources are
// merged: the lettered volumes of the device namespace and the partition tables read
// straight from each disk (which also find unlettered partitions, gaps and EXT volumes).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/records.h"
#include "formats/mbr.h"

namespace velk {

class SectorReader;

// What a disk's table walk found damaged or could not read ("The extended boot record at
// sector 2048 could not be read; …"), so that a partition never vanishes without a word.
struct CatalogNote {
  int disk = -1;
  uint64_t sector = 0;
  std::string text;
};

class DriveCatalog {
 public:
  static constexpr int kMaxDisks = 26;
  static constexpr uint64_t kNoChain = UINT64_MAX;

  void Refresh();

  int DiskCount() const { return int(m_disks.size()); }
  const DiskRecord& DiskAt(int i) const { return m_disks.at(size_t(i)); }
  int PartitionCount() const { return int(m_partitions.size()); }
  const PartitionRecord& PartitionAt(int i) const { return m_partitions.at(size_t(i)); }
  const std::vector<DiskRecord>& disks() const { return m_disks; }
  const std::vector<PartitionRecord>& partitions() const { return m_partitions; }

  // Notes of the table walks, disk by disk.
  const std::vector<CatalogNote>& notes() const { return m_notes; }
  std::vector<CatalogNote> notesOf(int disk) const;

  int DiskNumberByName(std::string_view name) const;
  uint64_t LastChainSector(int disk) const;
  void SetLastChainSector(int disk, uint64_t sector);

  static ChsAddress LbaToChs(uint64_t sector) { return chsOf(sector); }

  // The table walk of one disk (sorted by table sector, with gaps), as Refresh merges it.
  // Exposed for partition recovery, which walks a single disk. False when the walk failed
  // (records found before the failure are still in out, without gaps). Replaces the disk's
  // notes with what this walk found.
  bool WalkDisk(int diskNumber, std::vector<PartitionRecord>& out);

 private:
  std::vector<DiskRecord> m_disks;
  std::vector<PartitionRecord> m_partitions;
  std::vector<CatalogNote> m_notes;
  std::array<uint64_t, kMaxDisks> m_lastChain{};
};

// Fills a record's file-system facts from its first sectors for a type-0x83 partition
// (EXT2/EXT3/EXTX), reading the superblock through the reader.
void probeExtSuperblock(SectorReader& reader, PartitionRecord& record);

}  // namespace velk
