#include "engines/fat/fat_boot_sector.h"

#include <algorithm>
#include <optional>

namespace velk {

using namespace fatlayout;

tl::expected<FatBootSector, ErrorCode> FatBootSector::parse(ByteSpan sector, FatWidth width) {
  if (sector.size() < kBootSectorSize) return tl::unexpected(kErrorInvalidAccess);
  const uint8_t jump = width == FatWidth::Fat16 ? kJumpFat16 : kJumpFat32;
  if (sector[kJumpSecondByte] != jump) return tl::unexpected(kErrorInvalidDrive);

  FatBootSector b;
  b.width = width;
  b.bytesPerSector = le16At(sector, kBytesPerSector);
  b.sectorsPerCluster = u8At(sector, kSectorsPerCluster);
  b.reservedSectors = le16At(sector, kReservedSectors);
  b.numberOfFats = u8At(sector, kNumberOfFats);
  if (width == FatWidth::Fat16) {
    b.rootEntries = le16At(sector, kRootEntries);
    b.totalSectors = le16At(sector, kTotalSectors16);
    if (b.totalSectors == 0) b.totalSectors = le32At(sector, kTotalSectors32);
    b.sectorsPerFat = le16At(sector, kSectorsPerFat16);
  } else {
    b.totalSectors = le32At(sector, kTotalSectors32);
    b.sectorsPerFat = le32At(sector, kSectorsPerFat32);
    b.rootCluster = le32At(sector, kRootCluster);
  }

  // Every divisor and multiplier below comes from these fields: check them first.
  const uint16_t bps = b.bytesPerSector;
  if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return tl::unexpected(kErrorInvalidAccess);
  const uint8_t spc = b.sectorsPerCluster;
  if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return tl::unexpected(kErrorInvalidAccess);
  if (b.reservedSectors == 0 || b.numberOfFats == 0 || b.sectorsPerFat == 0 || b.totalSectors == 0)
    return tl::unexpected(kErrorInvalidAccess);
  if (width == FatWidth::Fat16 && b.rootEntries == 0) return tl::unexpected(kErrorInvalidAccess);

  const uint64_t fatsEnd = uint64_t(b.reservedSectors) + uint64_t(b.numberOfFats) * b.sectorsPerFat;
  const uint64_t rootSectors =
      width == FatWidth::Fat16 ? (uint64_t(b.rootEntries) * kEntrySize + bps - 1) / bps : 0;
  const uint64_t dataStart = fatsEnd + rootSectors;
  // The first data cluster must lie wholly inside the volume.
  if (dataStart + spc > b.totalSectors) return tl::unexpected(kErrorInvalidAccess);

  b.rootDirStart = width == FatWidth::Fat16 ? uint32_t(fatsEnd) : 0;
  b.rootDirSectors = uint32_t(rootSectors);
  b.dataStart = uint32_t(dataStart);
  b.clusterCount = uint32_t((b.totalSectors - dataStart) / spc);
  if (width == FatWidth::Fat16 && b.clusterCount < kMinFat16Clusters) return tl::unexpected(kErrorInvalidAccess);

  // The highest addressable cluster: inside the volume, inside the table, and below the
  // values that mean "end of chain".
  const uint64_t entries = b.fatBytes() / (width == FatWidth::Fat16 ? 2 : 4);
  uint64_t last = uint64_t(b.clusterCount) + 1;
  last = std::min<uint64_t>(last, entries - 1);
  last = std::min<uint64_t>(last, (width == FatWidth::Fat16 ? kEndOfChain16 : kEndOfChain32) - 1);
  if (last < 2) return tl::unexpected(kErrorInvalidAccess);
  b.lastDataCluster = uint32_t(last);
  if (width == FatWidth::Fat32 && !b.isDataCluster(b.rootCluster)) return tl::unexpected(kErrorInvalidAccess);
  return b;
}

std::optional<FatWidth> detectFatWidth(ByteSpan sector) {
  if (sector.size() < kBootSectorSize) return std::nullopt;
  // A FAT32 boot sector has no 16-bit FAT size; FAT16 has one.
  if (sector[kJumpSecondByte] == kJumpFat32 && le16At(sector, kSectorsPerFat16) == 0 &&
      FatBootSector::parse(sector, FatWidth::Fat32))
    return FatWidth::Fat32;
  if (sector[kJumpSecondByte] == kJumpFat16 && FatBootSector::parse(sector, FatWidth::Fat16))
    return FatWidth::Fat16;
  return std::nullopt;
}

}  // namespace velk
