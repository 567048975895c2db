#include "disk/partition_table.h"

#include <algorithm>
#include <array>
#include <set>

#include <fmt/format.h>

#include "disk/file_system.h"
#include "formats/fat_boot_sector.h"
#include "formats/ntfs_boot_sector.h"

namespace velk {
namespace {

constexpr uint64_t kPrimaryGptLba = 1;

// GPT entries as primaries with MBR-like types, in array order. Entries that end before
// they begin or start past the disk are left out; a partition running past the disk's end
// is cut there.
void listGptEntries(const SectorRead& read, uint64_t diskSectors, const GptCopy& copy, TableScan& scan) {
  const GptHeader& h = *copy.header;
  for (uint32_t i = 0; i < h.entryCount; ++i) {
    auto entry = GptEntry::parse(ByteSpan(copy.array).subspan(size_t(i) * h.entrySize, h.entrySize));
    if (!entry || !entry->used()) continue;
    if (entry->lastLba < entry->firstLba || entry->firstLba >= diskSectors) {
      scan.notes.push_back({copy.headerLba, fmt::format("GPT entry {} lies outside the disk and is not listed.", i + 1)});
      continue;
    }
    Sector first{};
    if (!read(entry->firstLba, first.data())) first.fill(0);
    TableEntry t;
    t.type = mbrTypeForGpt(entry->type, first);
    t.kind = 1;
    t.start = entry->firstLba;
    t.tableSector = entry->firstLba;
    t.count = std::min(entry->lastLba, diskSectors - 1) - entry->firstLba + 1;
    scan.entries.push_back(t);
  }
}

// Both copies are read so that a damaged one can be named (and restored from the other).
bool readGpt(const SectorRead& read, uint64_t diskSectors, TableScan& scan) {
  GptFacts facts;
  facts.primary = readGptCopy(read, kPrimaryGptLba, diskSectors);
  uint64_t backupLba = diskSectors - 1;
  if (facts.primary.header && facts.primary.header->alternateLba < diskSectors)
    backupLba = facts.primary.header->alternateLba;
  facts.backup = readGptCopy(read, backupLba, diskSectors);
  const bool primaryOk = facts.primary.header.has_value(), backupOk = facts.backup.header.has_value();
  if (!primaryOk && backupOk)
    scan.notes.push_back({kPrimaryGptLba, fmt::format("The primary GPT at sector 1 is damaged ({}); the backup at "
                                                      "sector {} was used.",
                                                      facts.primary.damage, backupLba)});
  else if (primaryOk && !backupOk)
    scan.notes.push_back({backupLba, fmt::format("The backup GPT at sector {} is damaged ({}).", backupLba,
                                                 facts.backup.damage)});
  else if (!primaryOk)
    scan.notes.push_back({kPrimaryGptLba, fmt::format("Neither GPT copy is intact (primary: {}; backup: {}); only "
                                                      "the protective entry is listed.",
                                                      facts.primary.damage, facts.backup.damage)});
  scan.gpt = std::move(facts);
  if (!primaryOk && !backupOk) return false;
  listGptEntries(read, diskSectors, scan.gpt->used(), scan);
  return true;
}

// The chain: each EBR's first entry is a logical partition (relative to its EBR), the
// second links to the next EBR (relative to the extended partition's start).
void walkChain(const SectorRead& read, uint64_t diskSectors, uint64_t base, TableScan& scan) {
  std::set<uint64_t> visited;
  uint64_t current = base;
  Sector ebr{};
  while (true) {
    if (current >= diskSectors) {
      scan.notes.push_back({current, fmt::format("The extended chain links to sector {}, past the disk's end; the "
                                                 "logical partitions from there on are not listed.",
                                                 current)});
      return;
    }
    if (!visited.insert(current).second) {
      scan.notes.push_back({current, fmt::format("The extended chain loops back to sector {}.", current)});
      return;
    }
    scan.chainSectors.push_back(current);
    if (!read(current, ebr.data())) {
      scan.ok = false;
      scan.notes.push_back({current, fmt::format("The extended boot record at sector {} could not be read; the "
                                                 "logical partitions from there on are not listed.",
                                                 current)});
      return;
    }
    auto links = TableSector::of(ebr).entries;
    if (links[0].type == kTypeExtendedLink) std::swap(links[0], links[1]);
    if (links[0].count != 0) {
      TableEntry t;
      t.type = links[0].type;
      t.kind = 2;
      t.tableSector = current;
      t.extendedBase = base;
      t.start = current + links[0].start;
      t.count = links[0].count;
      scan.entries.push_back(t);
    }
    if (links[1].type != kTypeExtendedLink) return;
    current = base + uint64_t(links[1].start);
  }
}

}  // namespace

bool isVolumeBootSector(ByteSpan s) { return isLetteredVolumeBootSector(s); }

GptCopy readGptCopy(const SectorRead& read, uint64_t headerLba, uint64_t diskSectors) {
  GptCopy copy;
  copy.headerLba = headerLba;
  Sector sector{};
  if (headerLba >= diskSectors || !read(headerLba, sector.data())) {
    copy.damage = "its header cannot be read";
    return copy;
  }
  auto header = GptHeader::parse(sector, diskSectors);
  if (!header) {
    copy.damage = header.error().detail;
    return copy;
  }
  if (header->myLba != headerLba) {
    copy.damage = "the header names another sector as its own";
    return copy;
  }
  copy.array.resize(size_t(header->arraySectors()) * gptlayout::kSectorSize);
  for (uint64_t i = 0; i < header->arraySectors(); ++i) {
    if (!read(header->entriesLba + i, copy.array.data() + i * gptlayout::kSectorSize)) {
      copy.damage = fmt::format("its entry array cannot be read at sector {}", header->entriesLba + i);
      return copy;
    }
  }
  if (gptArrayCrc(copy.array, *header) != header->entriesCrc) {
    copy.damage = "the checksum of its entry array does not match";
    return copy;
  }
  copy.header = *header;
  return copy;
}

uint8_t mbrTypeForGpt(const Guid& guid, ByteSpan first) {
  if (guid == kGuidBasicData) {
    switch (detectFileSystem(first)) {
      case FileSystem::Fat32: return 0x0C;
      case FileSystem::Fat16: return 0x06;
      case FileSystem::Fat12: return 0x01;
      default: break;
    }
    // A FAT volume from another formatter that names itself FAT; else NTFS and exFAT, and
    // what a Windows data partition most often holds.
    auto bpb = FatBootSector::parseBpb(first);
    if (bpb && isLetteredVolumeBootSector(first) && !NtfsBootSector::hasSignature(first)) {
      if (bpb->width == FatWidth::Fat32) return 0x0C;
      return bpb->clusterCount < fatlayout::kMinFat16Clusters ? 0x01 : 0x06;
    }
    return 0x07;
  }
  if (guid == kGuidLinuxData) return 0x83;
  if (guid == kGuidLinuxSwap) return 0x82;
  if (guid == kGuidEfiSystem) return 0xEF;
  return kTypeGptProtective;  // a GPT type with no MBR counterpart
}

TableScan scanPartitionTable(const SectorRead& read, uint64_t diskSectors) {
  TableScan scan;
  Sector mbr{};
  if (diskSectors == 0 || !read(0, mbr.data())) {
    scan.ok = false;
    scan.notes.push_back({0, "Sector 0 (the master boot record) could not be read."});
    return scan;
  }
  if (isVolumeBootSector(mbr)) {
    scan.layout = TableScan::Layout::Unpartitioned;
    return scan;
  }
  const TableSector table = TableSector::of(mbr);
  if (!table.signature) {
    scan.layout = TableScan::Layout::NoSignature;
    return scan;
  }
  scan.layout = TableScan::Layout::Mbr;
  const bool protective = std::any_of(table.entries.begin(), table.entries.end(),
                                      [](const MbrEntry& e) { return e.type == kTypeGptProtective; });
  if (protective && readGpt(read, diskSectors, scan)) {
    scan.layout = TableScan::Layout::Gpt;
    return scan;
  }
  for (const auto& e : table.entries) {
    if (e.type == 0) continue;
    if (!isExtendedType(e.type) || scan.hasExtended) {
      TableEntry t;
      t.type = e.type;
      t.start = e.start;
      t.tableSector = e.start;
      t.count = e.count;
      scan.entries.push_back(t);
      continue;
    }
    scan.hasExtended = true;
    scan.extendedStart = e.start;
    scan.extendedCount = e.count;
    walkChain(read, diskSectors, e.start, scan);
  }
  return scan;
}

}  // namespace velk
