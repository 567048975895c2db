#pragma once
// The FAT boot sector (BIOS parameter block) of a FAT16 or FAT32 volume, decoded and checked
// before any geometry is computed from it, and the directory-entry layout both widths share.

#include <cstdint>
#include <optional>

#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

// Width of the allocation table entries; a volume is read either as FAT16 or as FAT32.
enum class FatWidth : uint8_t { Fat16, Fat32 };

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
inline constexpr uint8_t kJumpFat16 = 0x3C;
inline constexpr uint8_t kJumpFat32 = 0x58;

// Directory entry (32 bytes).
inline constexpr size_t kEntrySize = 32;
inline constexpr size_t kName = 0x00;
inline constexpr size_t kNameLength = 8;
inline constexpr size_t kExtension = 0x08;
inline constexpr size_t kExtensionLength = 3;
inline constexpr size_t kAttributes = 0x0B;
inline constexpr size_t kChecksum = 0x0D;  // long-name entries
inline constexpr size_t kCreateTime = 0x0E;
inline constexpr size_t kCreateDate = 0x10;
inline constexpr size_t kAccessDate = 0x12;
inline constexpr size_t kClusterHigh = 0x14;
inline constexpr size_t kWriteTime = 0x16;
inline constexpr size_t kWriteDate = 0x18;
inline constexpr size_t kClusterLow = 0x1A;
inline constexpr size_t kFileSize = 0x1C;

inline constexpr uint8_t kNeverUsed = 0x00;
inline constexpr uint8_t kDeletedMark = 0xE5;
inline constexpr uint8_t kAttrReadOnly = 0x01;
inline constexpr uint8_t kAttrHidden = 0x02;
inline constexpr uint8_t kAttrSystem = 0x04;
inline constexpr uint8_t kAttrVolumeLabel = 0x08;
inline constexpr uint8_t kAttrDirectory = 0x10;
inline constexpr uint8_t kAttrLongName = 0x0F;

// End-of-chain thresholds (bad-cluster and reserved values end a chain too).
inline constexpr uint32_t kEndOfChain16 = 0xFFF0;
inline constexpr uint32_t kEndOfChain32 = 0x0FFFFFF0;
inline constexpr uint32_t kFat32EntryMask = 0x0FFFFFFF;  // the top four bits are reserved
// FAT16 needs at least this many clusters; fewer is FAT12, which has no 16-bit table.
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
  uint16_t rootEntries = 0;     // FAT16: entries of the fixed root directory
  uint32_t totalSectors = 0;
  uint32_t sectorsPerFat = 0;
  uint32_t rootCluster = 0;     // FAT32: first cluster of the root directory

  // Derived from the fields above once they are known to be sane.
  uint32_t rootDirStart = 0;    // FAT16: first sector of the fixed root (right after the FATs)
  uint32_t rootDirSectors = 0;  // FAT16: sectors the fixed root occupies (0 on FAT32)
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

  // Decodes the BIOS parameter block of any FAT volume: every field in its legal range and
  // the layout it implies lying inside the volume. The width is the one the block declares
  // (no 16-bit FAT size: FAT32; else FAT16), clusterCount tells FAT12 volumes apart. The
  // total is the 16-bit field when set, else the 32-bit one, for both widths.
  static Result<FatBootSector> parseBpb(ByteSpan sector);
  // The engine's reading of a volume as the given width: parseBpb, then the width's own
  // rules (its jump byte, at least 4085 clusters for FAT16, a root cluster for FAT32).
  // Unsupported when the jump byte belongs to the other width, Corrupt when a field is out
  // of range.
  static Result<FatBootSector> parse(ByteSpan sector, FatWidth width);
};

// Which width a boot sector describes (nullopt: neither). Decides unpartitioned volumes.
std::optional<FatWidth> detectFatWidth(ByteSpan sector);

}  // namespace velk
