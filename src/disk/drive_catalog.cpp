#include "disk/drive_catalog.h"

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

#include "formats/bytes.h"
#include "disk/file_system.h"
#include "disk/partition_table.h"
#include "disk/sector_reader.h"
#include "formats/exfat_boot.h"
#include "formats/ext_layout.h"

namespace velk {
namespace {

constexpr uint64_t kGapOffset = 63;  // a logical partition starts 63 sectors after its EBR

PartitionRecord tableRecord(int disk) {
  PartitionRecord r;
  r.diskNumber = disk;
  r.letter = '*';
  r.kind = kKindPrimary;
  r.sectorsPerCluster = 8;
  r.bytesPerSector = 512;
  r.setLabel("Unknown");
  return r;
}

PartitionRecord gapRecord(int disk, uint64_t tableSector, uint64_t start, uint64_t endSector,
                          bool logical, uint64_t extendedBase) {
  PartitionRecord r = tableRecord(disk);
  r.kind = logical ? kKindLogical : kKindPrimary;
  r.extendedBase = logical ? extendedBase : 0;
  r.tableSector = tableSector;
  r.startSector = start;
  r.length = r.freeBytes = (endSector - start) * 512;
  r.setFsName("Deleted");
  return r;
}

// Inserts before the first record whose table sector is larger; an equal table sector is
// dropped.
void insertSorted(std::vector<PartitionRecord>& list, const PartitionRecord& r) {
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const PartitionRecord& o) { return o.tableSector >= r.tableSector; });
  if (it != list.end() && it->tableSector == r.tableSector) return;
  list.insert(it, r);
}

std::string fsNameForType(uint8_t type) {
  switch (type) {
    case 0x06: return "#FAT16#";
    case 0x07: return "#NTFS#";
    case 0x0B:
    case 0x0C: return "#FAT32#";
    case 0x82: return "SWAP";
    default: return "Unknown";
  }
}

struct Extended {
  bool present = false;
  uint64_t start = 0, count = 0;
  bool contains(uint64_t s) const { return present && s >= start && s < start + count; }
  uint64_t end() const { return start + count; }
};

// Adds the gap [tableSector, bound) (first sector = tableSector, or + 63 inside the
// extended partition), split where the extended partition begins and ends: a lost first
// logical partition is restored through the EBR at the extended start, never as a primary.
void addGap(std::vector<PartitionRecord>& gaps, int disk, uint64_t tableSector, uint64_t bound,
            const Extended& ext) {
  if (tableSector >= bound) return;
  if (ext.contains(tableSector)) {
    uint64_t start = tableSector + kGapOffset;
    uint64_t logicalBound = std::min(bound, ext.end());
    if (start < logicalBound)
      gaps.push_back(gapRecord(disk, tableSector, start, logicalBound, true, ext.start));
    if (bound > ext.end()) addGap(gaps, disk, ext.end(), bound, ext);
    return;
  }
  if (ext.present && tableSector < ext.start && bound > ext.start) {
    gaps.push_back(gapRecord(disk, tableSector, tableSector, ext.start, false, 0));
    addGap(gaps, disk, ext.start, bound, ext);
    return;
  }
  gaps.push_back(gapRecord(disk, tableSector, tableSector, bound, false, 0));
}

}  // namespace

void probeExtSuperblock(SectorReader& reader, PartitionRecord& r) {
  std::array<uint8_t, kExtSuperblockSize> bytes{};
  r.setFsName("EXTX");
  const uint64_t start = r.startSector * 512;
  // Named from what it says of itself; whether it is sound is the engine's question. A lost
  // primary superblock leaves its backups to name the volume.
  std::optional<ExtSuperblock> sb;
  if (reader.ReadAt(start + kExtSuperblockOffset, bytes.size(), bytes.data())) sb = ExtSuperblock::decode(bytes);
  if (!sb) {
    auto backup = findBackupSuperblock(r.length, [&](uint64_t offset, std::span<uint8_t> out) {
      return reader.ReadAt(start + offset, out.size(), out.data()).has_value();
    });
    if (backup) sb = backup->sb;
  }
  if (!sb) return;
  r.setFsName(sb->familyName());
  r.setLabel(sb->volumeName);
  r.sectorsPerCluster = sb->blocksPerGroup;
  r.bytesPerSector = sb->blockSize;
  r.freeBytes = sb->freeBlocks * sb->blockSize;
}

void DriveCatalog::Refresh() {
  m_disks.clear();
  m_partitions.clear();
  m_notes.clear();
  m_lastChain.fill(kNoChain);
  auto& ns = DeviceNamespace::instance();

  for (int n = 0; n < std::min(ns.driveCount(), kMaxDisks); ++n) {
    SectorReader reader;
    if (!reader.OpenPhysicalDrive(n, Access::Read)) continue;
    auto desc = reader.QueryDescriptor();
    if (!desc || desc->deviceType != 0) continue;
    DiskRecord d;
    std::string name = desc->vendor.empty() ? desc->product : desc->vendor + " " + desc->product;
    setFixedText(d.name, name);
    d.size = reader.QueryDiskSize();
    d.removable = desc->removable ? 1 : 0;
    d.number = n;
    d.busType = desc->busType;
    m_disks.push_back(d);
  }

  for (const auto& v : ns.volumes()) {
    SectorReader reader;
    if (!reader.OpenVolume(v.letter, Access::Query)) continue;
    auto desc = reader.QueryDescriptor();
    if (!desc || desc->deviceType != 0) continue;
    std::string diskName = desc->vendor.empty() ? desc->product : desc->vendor + " " + desc->product;
    auto info = SectorReader::QueryVolume(v.letter);
    if (!info) continue;
    auto part = reader.QueryPartitionInfo();
    if (!part) continue;
    PartitionRecord r;
    std::array<char, 264> probe{};
    setFixedText(probe, diskName);
    r.diskNumber = DiskNumberByName(fixedFieldText(probe));
    r.letter = v.letter;
    r.kind = kKindUnknown;
    r.setFsName(info->fsName);
    r.setLabel(info->label);
    r.startSector = part->startingOffset / 512;
    r.sectorsPerCluster = info->sectorsPerCluster;
    r.bytesPerSector = info->bytesPerSector;
    r.freeBytes = info->freeClusters * info->sectorsPerCluster * info->bytesPerSector;
    r.length = part->length;
    m_partitions.push_back(r);
  }

  const size_t lettered = m_partitions.size();
  for (const auto& disk : m_disks) {
    std::vector<PartitionRecord> walked;
    (void)WalkDisk(disk.number, walked);
    for (const auto& w : walked) {
      auto match = std::find_if(m_partitions.begin(), m_partitions.begin() + lettered, [&](const PartitionRecord& v) {
        return v.diskNumber == w.diskNumber &&
               std::llabs(int64_t(v.startSector) - int64_t(w.startSector)) < 63;
      });
      if (match != m_partitions.begin() + lettered) {
        match->kind = w.kind;
        match->type = w.type;
        match->extendedBase = w.extendedBase;
        match->tableSector = w.tableSector;
        match->firstSector = w.firstSector;
      } else {
        m_partitions.push_back(w);
      }
    }
  }
}

bool DriveCatalog::WalkDisk(int disk, std::vector<PartitionRecord>& out) {
  out.clear();
  std::erase_if(m_notes, [&](const CatalogNote& n) { return n.disk == disk; });
  SectorReader reader;
  if (!reader.OpenPhysicalDrive(disk, Access::Read)) return false;
  const uint64_t diskSize = reader.QueryDiskSize();
  if (diskSize == 0) return false;
  const uint64_t diskSectors = diskSize / 512;
  auto read = [&](uint64_t sector, uint8_t* buf) {
    return sector < diskSectors && reader.ReadAt(sector * 512, 512, buf);
  };
  TableScan scan = scanPartitionTable(read, diskSectors);
  if (!scan.chainSectors.empty()) SetLastChainSector(disk, scan.chainSectors.back());
  for (auto& note : scan.notes) m_notes.push_back({disk, note.sector, std::move(note.text)});

  switch (scan.layout) {
    case TableScan::Layout::Empty:
      return false;
    case TableScan::Layout::Unpartitioned: {
      PartitionRecord r = tableRecord(disk);
      r.setFsName("Unknown");
      r.length = r.freeBytes = diskSize;
      out.push_back(r);
      return true;
    }
    case TableScan::Layout::NoSignature: {
      // A bare EXT file system (a partition dump, a disk formatted without a table) keeps its
      // boot sector empty; its superblock at byte 1024 tells it from ordinary data.
      PartitionRecord ext = tableRecord(disk);
      ext.length = ext.freeBytes = diskSize;
      ext.type = 0x83;
      probeExtSuperblock(reader, ext);
      if (ext.fsNameText() != "EXTX") {
        out.push_back(ext);
        return true;
      }
      // Ordinary data at sector 0 (a raw dump, a card without a table): the whole disk is
      // one free stretch, so a raw scan can read all of it and partition recovery can probe it.
      out.push_back(gapRecord(disk, 0, 0, diskSectors, false, 0));
      return true;
    }
    case TableScan::Layout::Mbr:
    case TableScan::Layout::Gpt:
      break;
  }

  for (const auto& e : scan.entries) {
    PartitionRecord r = tableRecord(disk);
    r.kind = e.kind;
    r.tableSector = e.tableSector;
    r.extendedBase = e.extendedBase;
    r.startSector = e.start;
    r.length = r.freeBytes = e.count * 512;
    r.type = e.type;
    r.setFsName(fsNameForType(e.type));
    // An entry pointing past the disk is listed but never read past the disk's end.
    if (e.start < diskSectors) {
      if (!read(e.start, r.firstSector.data())) {
        m_notes.push_back({disk, e.start, fmt::format("The first sector of the partition at sector {} could not be "
                                                      "read.",
                                                      e.start)});
        return false;
      }
      if (e.type == 0x83) probeExtSuperblock(reader, r);
      // An exFAT volume keeps a whole copy of its boot region 12 sectors on: a wiped first
      // sector must not turn the card into "#NTFS#" (the type byte both share).
      std::array<uint8_t, 512> backup{};
      if (detectFileSystem(r.firstSector) == FileSystem::Unknown && e.count > exfatlayout::kRegionSectors &&
          read(e.start + exfatlayout::kRegionSectors, backup.data()) && looksLikeExfatBootSector(backup)) {
        r.firstSector = backup;
        r.setFsName(fileSystemName(FileSystem::ExFat));
        m_notes.push_back({disk, e.start,
                           fmt::format("The exFAT boot sector at sector {} is damaged; its backup at sector {} was "
                                       "used.",
                                       e.start, e.start + exfatlayout::kRegionSectors)});
      }
    }
    insertSorted(out, r);
  }
  if (!scan.ok) return false;

  Extended ext{scan.hasExtended, scan.extendedStart, scan.extendedCount};
  // Free space starts after the first track of an MBR disk; on a GPT disk it is the range
  // its header declares usable (the tables and their backups lie outside it).
  uint64_t lowest = kGapOffset, limit = diskSectors;
  if (scan.layout == TableScan::Layout::Gpt) {
    const GptHeader& h = *scan.gpt->used().header;
    lowest = h.firstUsable;
    limit = std::min(diskSectors, h.lastUsable + 1);
  }
  std::vector<PartitionRecord> withGaps;
  if (out.empty()) {
    // A table with the signature but no entry: a wiped table that can still be recovered.
    addGap(withGaps, disk, lowest, limit, Extended{});
    out = std::move(withGaps);
    return true;
  }
  if (out.front().startSector > lowest)
    addGap(withGaps, disk, lowest, std::min(out.front().tableSector, limit), ext);
  for (size_t i = 0; i < out.size(); ++i) {
    withGaps.push_back(out[i]);
    uint64_t end = out[i].endSector();
    uint64_t bound = i + 1 < out.size() ? std::min(out[i + 1].tableSector, limit) : limit;
    addGap(withGaps, disk, end, bound, ext);
  }
  out = std::move(withGaps);
  return true;
}

int DriveCatalog::DiskNumberByName(std::string_view name) const {
  for (const auto& d : m_disks)
    if (d.nameText() == name) return d.number;
  return -1;
}

std::vector<CatalogNote> DriveCatalog::notesOf(int disk) const {
  std::vector<CatalogNote> out;
  for (const auto& n : m_notes)
    if (n.disk == disk) out.push_back(n);
  return out;
}

uint64_t DriveCatalog::LastChainSector(int disk) const {
  return disk >= 0 && disk < kMaxDisks ? m_lastChain[size_t(disk)] : kNoChain;
}

void DriveCatalog::SetLastChainSector(int disk, uint64_t sector) {
  if (disk >= 0 && disk < kMaxDisks) m_lastChain[size_t(disk)] = sector;
}

}  // namespace velk
