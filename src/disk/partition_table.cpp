#include "disk/partition_table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

#include "formats/fat_boot_sector.h"
#include "support/crc32.h"

namespace velk {
namespace {

constexpr uint8_t kTypeGptProtective = 0xEE;
constexpr size_t kGptHeaderMinSize = 92;
constexpr uint32_t kGptMaxEntries = 4096;

// Mixed-endian GUID text order is irrelevant here: we compare raw on-disk bytes.
constexpr std::array<uint8_t, 16> kGuidBasicData = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                                   0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
constexpr std::array<uint8_t, 16> kGuidLinuxData = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                                   0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
constexpr std::array<uint8_t, 16> kGuidLinuxSwap = {0x6D, 0xFD, 0x57, 0x06, 0xAB, 0xA4, 0xC4, 0x43,
                                                   0x84, 0xE5, 0x09, 0x33, 0xC8, 0x4B, 0x4F, 0x4F};
constexpr std::array<uint8_t, 16> kGuidEfiSystem = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                                   0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

struct GptHeader {
  uint64_t entriesLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  uint32_t entriesCrc = 0;
};

std::optional<GptHeader> parseGptHeader(ByteSpan s, uint64_t diskSectors) {
  if (!matchesAt(s, 0, "EFI PART")) return std::nullopt;
  uint32_t headerSize = le32At(s, 12);
  if (headerSize < kGptHeaderMinSize || headerSize > 512) return std::nullopt;
  std::array<uint8_t, 512> copy{};
  std::memcpy(copy.data(), s.data(), headerSize);
  putLe32(copy.data() + 16, 0);
  if (crc32({copy.data(), headerSize}) != le32At(s, 16)) return std::nullopt;
  GptHeader h;
  h.entriesLba = le64At(s, 72);
  h.entryCount = le32At(s, 80);
  h.entrySize = le32At(s, 84);
  h.entriesCrc = le32At(s, 88);
  if (h.entrySize < 128 || h.entrySize > 4096 || h.entrySize % 8 != 0) return std::nullopt;
  if (h.entryCount == 0 || h.entryCount > kGptMaxEntries) return std::nullopt;
  if (h.entriesLba >= diskSectors) return std::nullopt;
  return h;
}

bool readGpt(const SectorRead& read, uint64_t diskSectors, TableScan& scan) {
  std::array<uint8_t, 512> sector{};
  std::optional<GptHeader> header;
  // The primary header at LBA 1; the backup at the last LBA when the primary is damaged.
  for (uint64_t lba : {uint64_t(1), diskSectors - 1}) {
    if (!read(lba, sector.data())) continue;
    header = parseGptHeader(sector, diskSectors);
    if (!header) continue;
    uint64_t bytes = uint64_t(header->entryCount) * header->entrySize;
    uint64_t sectors = (bytes + 511) / 512;
    if (header->entriesLba + sectors > diskSectors) {
      header.reset();
      continue;
    }
    std::vector<uint8_t> array(sectors * 512);
    bool readOk = true;
    for (uint64_t i = 0; i < sectors && readOk; ++i)
      readOk = read(header->entriesLba + i, array.data() + i * 512);
    if (!readOk || crc32({array.data(), size_t(bytes)}) != header->entriesCrc) {
      header.reset();
      continue;
    }
    for (uint32_t i = 0; i < header->entryCount; ++i) {
      const uint8_t* e = array.data() + size_t(i) * header->entrySize;
      std::array<uint8_t, 16> guid;
      std::memcpy(guid.data(), e, 16);
      bool unused = std::all_of(guid.begin(), guid.end(), [](uint8_t b) { return b == 0; });
      if (unused) continue;
      uint64_t first = le64(e + 32), last = le64(e + 40);
      if (last < first || first >= diskSectors || first > 0xFFFFFFFFull) continue;
      TableEntry t;
      std::array<uint8_t, 512> firstSector{};
      (void)read(first, firstSector.data());
      t.type = mbrTypeForGpt(guid, firstSector);
      t.kind = 1;
      t.start = first;
      t.tableSector = uint32_t(first);
      t.count = std::min(last, diskSectors - 1) - first + 1;
      scan.entries.push_back(t);
    }
    return true;
  }
  return false;
}

}  // namespace

std::array<MbrEntry, 4> parseMbrEntries(ByteSpan sector) {
  std::array<MbrEntry, 4> out{};
  for (size_t i = 0; i < 4; ++i) {
    size_t off = kMbrEntryOffset + i * 16;
    out[i].bootFlag = u8At(sector, off);
    out[i].type = u8At(sector, off + 4);
    out[i].start = le32At(sector, off + 8);
    out[i].count = le32At(sector, off + 12);
  }
  return out;
}

bool hasBootSignature(ByteSpan sector) {
  return u8At(sector, kMbrSignatureOffset) == 0x55 && u8At(sector, kMbrSignatureOffset + 1) == 0xAA;
}

bool isVolumeBootSector(ByteSpan s) {
  // A FAT32 start is told by its parameter block, whatever jump another formatter wrote.
  return (matchesAt(s, 0x52, "FAT3") && FatBootSector::parse(s)) || matchesAt(s, 3, "NTFS") ||
         matchesAt(s, 0x36, "FAT1") || matchesAt(s, 3, "EXFAT   ");
}

bool isExtendedType(uint8_t type) { return type == 0x0F || type == 0x05 || type == 0x85; }

uint8_t mbrTypeForGpt(const std::array<uint8_t, 16>& guid, ByteSpan first) {
  if (guid == kGuidBasicData) {
    if (matchesAt(first, 3, "NTFS")) return 0x07;
    if (matchesAt(first, 0x52, "FAT32")) return 0x0C;
    if (matchesAt(first, 0x36, "FAT16")) return 0x06;
    if (matchesAt(first, 0x36, "FAT1")) return 0x01;
    return 0x07;
  }
  if (guid == kGuidLinuxData) return 0x83;
  if (guid == kGuidLinuxSwap) return 0x82;
  if (guid == kGuidEfiSystem) return 0xEF;
  return 0xEE;  // a GPT type with no MBR counterpart
}

TableScan scanPartitionTable(const SectorRead& read, uint64_t diskSectors) {
  TableScan scan;
  std::array<uint8_t, 512> mbr{};
  if (diskSectors == 0 || !read(0, mbr.data())) {
    scan.ok = false;
    return scan;
  }
  if (isVolumeBootSector(mbr)) {
    scan.layout = TableScan::Layout::Unpartitioned;
    return scan;
  }
  if (!hasBootSignature(mbr)) {
    scan.layout = TableScan::Layout::NoSignature;
    return scan;
  }
  auto entries = parseMbrEntries(mbr);
  scan.layout = TableScan::Layout::Mbr;
  for (const auto& e : entries) {
    if (e.type == kTypeGptProtective) {
      if (readGpt(read, diskSectors, scan)) {
        scan.layout = TableScan::Layout::Gpt;
        return scan;
      }
    }
  }
  for (const auto& e : entries) {
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
    // The chain: each EBR's first entry is a logical partition (relative to its EBR), the
    // second links to the next EBR (relative to the extended partition's start).
    std::set<uint64_t> visited;
    uint64_t current = e.start;
    std::array<uint8_t, 512> ebr{};
    while (true) {
      if (current >= diskSectors || !visited.insert(current).second) break;
      scan.chainSectors.push_back(uint32_t(current));
      if (!read(current, ebr.data())) {
        scan.ok = false;
        break;
      }
      auto links = parseMbrEntries(ebr);
      if (links[0].type == 0x05) std::swap(links[0], links[1]);
      if (links[0].count != 0) {
        TableEntry t;
        t.type = links[0].type;
        t.kind = 2;
        t.tableSector = uint32_t(current);
        t.extendedBase = uint32_t(e.start);
        t.start = current + links[0].start;
        t.count = links[0].count;
        scan.entries.push_back(t);
      }
      if (links[1].type != 0x05) break;
      current = e.start + uint64_t(links[1].start);
    }
  }
  return scan;
}

}  // namespace velk
