#include "formats/fat_boot_sector.h"

#include <algorithm>
#include <optional>

namespace velk {

using namespace fatlayout;

namespace {

Error damaged(const char* detail) { return corruptError("the FAT boot sector", detail); }

}  // namespace

Result<FatBootSector> FatBootSector::parseBpb(ByteSpan sector) {
  const ByteView v(sector);
  if (!v.has(0, kBootSectorSize)) return fail(damaged("it is shorter than 512 bytes"));
  FatBootSector b;
  b.bytesPerSector = v.le16(kBytesPerSector);
  b.sectorsPerCluster = v.u8(kSectorsPerCluster);
  b.reservedSectors = v.le16(kReservedSectors);
  b.numberOfFats = v.u8(kNumberOfFats);
  b.rootEntries = v.le16(kRootEntries);
  b.totalSectors = v.le16(kTotalSectors16);
  if (b.totalSectors == 0) b.totalSectors = v.le32(kTotalSectors32);
  const uint16_t sectorsPerFat16 = v.le16(kSectorsPerFat16);
  b.width = sectorsPerFat16 == 0 ? FatWidth::Fat32 : FatWidth::Fat16;
  b.sectorsPerFat = sectorsPerFat16 != 0 ? sectorsPerFat16 : v.le32(kSectorsPerFat32);
  if (b.width == FatWidth::Fat32) b.rootCluster = v.le32(kRootCluster);

  // Every divisor and multiplier below comes from these fields: check them first.
  const uint16_t bps = b.bytesPerSector;
  if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return fail(damaged("bytes per sector is not 512 to 4096"));
  const uint8_t spc = b.sectorsPerCluster;
  if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return fail(damaged("sectors per cluster is not a power of two"));
  if (b.reservedSectors == 0 || b.numberOfFats == 0 || b.sectorsPerFat == 0 || b.totalSectors == 0)
    return fail(damaged("a size field is zero"));

  const uint64_t fatsEnd = uint64_t(b.reservedSectors) + uint64_t(b.numberOfFats) * b.sectorsPerFat;
  const uint64_t rootSectors = (uint64_t(b.rootEntries) * kEntrySize + bps - 1) / bps;
  const uint64_t dataStart = fatsEnd + rootSectors;
  // The first data cluster must lie wholly inside the volume.
  if (dataStart + spc > b.totalSectors) return fail(damaged("the data area lies past the volume's end"));

  b.rootDirStart = rootSectors ? uint32_t(fatsEnd) : 0;
  b.rootDirSectors = uint32_t(rootSectors);
  b.dataStart = uint32_t(dataStart);
  b.clusterCount = uint32_t((b.totalSectors - dataStart) / spc);

  // The highest addressable cluster: inside the volume, inside the table, and below the
  // values that mean "end of chain".
  const uint64_t entries = b.fatBytes() / (b.width == FatWidth::Fat16 ? 2 : 4);
  uint64_t last = uint64_t(b.clusterCount) + 1;
  last = std::min<uint64_t>(last, entries - 1);
  last = std::min<uint64_t>(last, (b.width == FatWidth::Fat16 ? kEndOfChain16 : kEndOfChain32) - 1);
  if (last < 2) return fail(damaged("the table addresses no cluster"));
  b.lastDataCluster = uint32_t(last);
  return b;
}

Result<FatBootSector> FatBootSector::parse(ByteSpan sector, FatWidth width) {
  if (sector.size() < kBootSectorSize) return fail(damaged("it is shorter than 512 bytes"));
  const uint8_t jump = width == FatWidth::Fat16 ? kJumpFat16 : kJumpFat32;
  if (sector[kJumpSecondByte] != jump)
    return fail(unsupportedError(width == FatWidth::Fat16 ? "the volume is not FAT16" : "the volume is not FAT32"));
  auto b = parseBpb(sector);
  if (!b) return b;
  // The width decides which fields count: FAT16 keeps a fixed root and a 16-bit table size.
  if (width == FatWidth::Fat16) {
    if (b->rootEntries == 0 || b->width != FatWidth::Fat16) return fail(damaged("the FAT16 fields are not set"));
    if (b->clusterCount < kMinFat16Clusters) return fail(damaged("too few clusters for FAT16"));
  } else {
    if (b->width != FatWidth::Fat32) return fail(damaged("the FAT32 fields are not set"));
    // The root lives in the cluster heap.
    if (b->rootDirSectors != 0 || !b->isDataCluster(b->rootCluster)) return fail(damaged("the root cluster is outside the volume"));
  }
  return b;
}

std::optional<FatWidth> detectFatWidth(ByteSpan sector) {
  if (sector.size() < kBootSectorSize) return std::nullopt;
  // A FAT32 boot sector has no 16-bit FAT size; FAT16 has one.
  if (sector[kJumpSecondByte] == kJumpFat32 && le16(sector.data() + kSectorsPerFat16) == 0 &&
      FatBootSector::parse(sector, FatWidth::Fat32))
    return FatWidth::Fat32;
  if (sector[kJumpSecondByte] == kJumpFat16 && FatBootSector::parse(sector, FatWidth::Fat16))
    return FatWidth::Fat16;
  return std::nullopt;
}

}  // namespace velk
