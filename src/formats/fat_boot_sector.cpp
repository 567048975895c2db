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
  // Formatters write one or two tables; more is a damaged count, not a volume of ours.
  if (b.numberOfFats > 4) return fail(damaged("it counts more than four FATs"));

  const uint64_t fatsEnd = uint64_t(b.reservedSectors) + uint64_t(b.numberOfFats) * b.sectorsPerFat;
  const uint64_t rootSectors = (uint64_t(b.rootEntries) * kEntrySize + bps - 1) / bps;
  const uint64_t dataStart = fatsEnd + rootSectors;
  // The first data cluster must lie wholly inside the volume.
  if (dataStart + spc > b.totalSectors) return fail(damaged("the data area lies past the volume's end"));

  b.rootDirStart = rootSectors ? uint32_t(fatsEnd) : 0;
  b.rootDirSectors = uint32_t(rootSectors);
  b.dataStart = uint32_t(dataStart);
  b.clusterCount = uint32_t((b.totalSectors - dataStart) / spc);
  if (b.width != FatWidth::Fat32 && b.clusterCount < kMinFat16Clusters) b.width = FatWidth::Fat12;

  // The highest addressable cluster: inside the volume, inside the table, and below the
  // values that mean "end of chain".
  const uint64_t entries = b.width == FatWidth::Fat12 ? b.fatBytes() * 2 / 3
                           : b.fatBytes() / (b.width == FatWidth::Fat16 ? 2 : 4);
  const uint32_t endOfChain = b.width == FatWidth::Fat12   ? kEndOfChain12
                              : b.width == FatWidth::Fat16 ? kEndOfChain16
                                                           : kEndOfChain32;
  if (entries < 3) return fail(damaged("the table addresses no cluster"));
  uint64_t last = uint64_t(b.clusterCount) + 1;
  last = std::min<uint64_t>(last, entries - 1);
  last = std::min<uint64_t>(last, endOfChain - 1);
  if (last < 2) return fail(damaged("the table addresses no cluster"));
  b.lastDataCluster = uint32_t(last);
  return b;
}

Result<FatBootSector> FatBootSector::parse(ByteSpan sector) {
  auto b = parseBpb(sector);
  if (!b) return b;
  if (b->hasFixedRoot()) {
    if (b->rootEntries == 0) return fail(damaged("the fixed root directory has no entries"));
  } else if (b->rootDirSectors != 0 || !b->isDataCluster(b->rootCluster)) {
    // The FAT32 root lives in the cluster heap.
    return fail(damaged("the root cluster is outside the volume"));
  }
  return b;
}

std::optional<FatWidth> detectFatWidth(ByteSpan sector) {
  auto b = FatBootSector::parse(sector);
  if (!b) return std::nullopt;
  return b->width;
}

}  // namespace velk
