#pragma once
// The FAT boot sector (BIOS parameter block) of a FAT12, FAT16 or FAT32 volume, decoded and
// checked before any geometry is computed from it. The width is the one the block itself
// declares; the jump instruction and the OEM name differ from formatter to formatter and
// say nothing about it.

#include <cstdint>
#include <optional>

#include "formats/bytes.h"
#include "formats/fat_dir_entry.h"
#include "support/error.h"

namespace velk {

// Width of the allocation table entries.
enum class FatWidth : uint8_t { Fat12, Fat16, Fat32 };

namespace fatlayout {
// Boot sector.
inline constexpr size_t kJumpSecondByte = 0x01;
inline constexpr size_t kBytesPerSector = 0x0B;
inline constexpr size_t kSectorsPerCluster = 0x0D;
inline constexpr size_t kReservedSectors = 0x0E;
inline constexpr size_t kNumberOfFats = 0x10;
inline constexpr size_t kRootEntries = 0x11;
inline constexpr size_t kTotalSectors16 = 0x13;
inline constexpr size_t kSectorsPerFat16 = 0x16;
inline constexpr size_t kTotalSectors32 = 0x20;
inline constexpr size_t kSectorsPerFat32 = 0x24;
inline constexpr size_t kRootCluster = 0x2C;
inline constexpr size_t kBackupBootSector = 0x32;
inline constexpr size_t kFat16FsType = 0x36;
inline constexpr size_t kFat32FsType = 0x52;
inline constexpr size_t kBootSignature = 0x1FE;
inline constexpr size_t kBootSectorSize = 512;
// FAT32 keeps a copy of its boot sector here when the boot sector does not say (0x32).
inline constexpr uint32_t kDefaultBackupBootSector = 6;

// End-of-chain thresholds (bad-cluster and reserved values end a chain too).
inline constexpr uint32_t kEndOfChain12 = 0xFF0;
inline constexpr uint32_t kEndOfChain16 = 0xFFF0;
inline constexpr uint32_t kEndOfChain32 = 0x0FFFFFF0;
inline constexpr uint32_t kFat32EntryMask = 0x0FFFFFFF;  // the top four bits are reserved
// A volume with a 16-bit FAT size and fewer clusters than this is FAT12.
inline constexpr uint32_t kMinFat16Clusters = 4085;
}  // namespace fatlayout

// Geometry of one volume. Sector numbers are in the file system's own sectors
// (bytesPerSector), relative to the volume's first sector.
struct FatBootSector {
  FatWidth width = FatWidth::Fat16;
  uint16_t bytesPerSector = 0;
  uint8_t sectorsPerCluster = 0;
  uint16_t reservedSectors = 0;
  uint8_t numberOfFats = 0;
  uint16_t rootEntries = 0;     // FAT12/16: entries of the fixed root directory
  uint32_t totalSectors = 0;
  uint32_t sectorsPerFat = 0;
  uint32_t rootCluster = 0;     // FAT32: first cluster of the root directory

  // Derived from the fields above once they are known to be sane.
  uint32_t rootDirStart = 0;    // FAT12/16: first sector of the fixed root (right after the FATs)
  uint32_t rootDirSectors = 0;  // FAT12/16: sectors the fixed root occupies (0 on FAT32)
  uint32_t dataStart = 0;       // first sector of cluster 2
  uint32_t clusterCount = 0;    // clusters lying wholly inside the volume
  uint32_t lastDataCluster = 0; // highest cluster number that is data and addressable

  uint32_t clusterBytes() const { return uint32_t(bytesPerSector) * sectorsPerCluster; }
  uint64_t fatBytes() const { return uint64_t(bytesPerSector) * sectorsPerFat; }
  uint64_t volumeBytes() const { return uint64_t(totalSectors) * bytesPerSector; }
  // Byte offset of cluster c (c ≥ 2) from the volume's first byte.
  uint64_t clusterOffset(uint32_t c) const {
    return (uint64_t(dataStart) + uint64_t(c - 2) * sectorsPerCluster) * bytesPerSector;
  }
  bool isDataCluster(uint32_t c) const { return c >= 2 && c <= lastDataCluster; }
  // The fixed root directory of FAT12 and FAT16.
  bool hasFixedRoot() const { return width != FatWidth::Fat32; }

  // Decodes the BIOS parameter block of any FAT volume: every field in its legal range and
  // the layout it implies lying inside the volume. The width is the one the block declares:
  // no 16-bit FAT size is FAT32, else fewer than 4085 clusters is FAT12 and more FAT16. The
  // total is the 16-bit field when set, else the 32-bit one, for every width (a small FAT32
  // volume keeps its size at 0x13).
  static Result<FatBootSector> parseBpb(ByteSpan sector);
  // parseBpb, then the width's own rules: a fixed root for FAT12/16, a root cluster inside
  // the volume and no fixed root for FAT32. Corrupt when a field is out of range.
  static Result<FatBootSector> parse(ByteSpan sector);
};

// Which width a boot sector describes (nullopt: none, the block does not hold).
std::optional<FatWidth> detectFatWidth(ByteSpan sector);

}  // namespace velk
