#pragma once
// The exFAT boot region: the boot sector's geometry, checked before anything is computed
// from it, and the checksum sector that seals the region. A volume keeps a second copy of the
// twelve-sector region right behind the first; when the first is damaged the copy stands in.

#include <cstdint>

#include <tl/expected.hpp>

#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

namespace exfatlayout {
// Boot sector.
inline constexpr size_t kFileSystemName = 0x03;  // "EXFAT   "
inline constexpr size_t kMustBeZero = 0x0B;      // 53 bytes where a FAT BPB would lie
inline constexpr size_t kMustBeZeroLength = 53;
inline constexpr size_t kVolumeLength = 0x48;    // sectors
inline constexpr size_t kFatOffset = 0x50;       // sectors
inline constexpr size_t kFatLength = 0x54;       // sectors
inline constexpr size_t kClusterHeapOffset = 0x58;
inline constexpr size_t kClusterCount = 0x5C;
inline constexpr size_t kFirstClusterOfRoot = 0x60;
inline constexpr size_t kVolumeSerial = 0x64;
inline constexpr size_t kRevision = 0x68;
inline constexpr size_t kVolumeFlags = 0x6A;
inline constexpr size_t kBytesPerSectorShift = 0x6C;
inline constexpr size_t kSectorsPerClusterShift = 0x6D;
inline constexpr size_t kNumberOfFats = 0x6E;
inline constexpr size_t kPercentInUse = 0x70;
inline constexpr size_t kBootSignature = 0x1FE;
inline constexpr size_t kBootSectorSize = 512;
inline constexpr const char* kName = "EXFAT   ";

// Boot region: boot sector, eight extended boot sectors, OEM parameters, a reserved sector
// and the checksum sector; the backup region follows at sector 12.
inline constexpr uint32_t kRegionSectors = 12;
inline constexpr uint32_t kChecksumSector = 11;
inline constexpr uint32_t kMinSectorShift = 9;
inline constexpr uint32_t kMaxSectorShift = 12;
inline constexpr uint32_t kMaxClusterShift = 25;  // sector and cluster shifts add up to at most 32 MiB
// Bytes that hold both regions whatever the sector size.
inline constexpr size_t kBothRegionsMaxBytes = size_t(2 * kRegionSectors) << kMaxSectorShift;

// Cluster numbers and FAT values.
inline constexpr uint32_t kFirstCluster = 2;
inline constexpr uint32_t kMaxClusterCount = 0xFFFFFFF5;
inline constexpr uint32_t kBadCluster = 0xFFFFFFF7;
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFF;
inline constexpr uint16_t kFlagActiveFat = 0x0001;
}  // namespace exfatlayout

// Geometry of one volume; sectors are the volume's own, counted from its first sector.
struct ExfatBootSector {
  uint64_t volumeLength = 0;
  uint32_t fatOffset = 0;
  uint32_t fatLength = 0;
  uint32_t heapOffset = 0;
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
  uint32_t serial = 0;
  uint16_t revision = 0;
  uint16_t flags = 0;
  uint8_t sectorShift = 9;
  uint8_t clusterShift = 0;  // sectors per cluster as a power of two
  uint8_t numberOfFats = 1;

  uint32_t bytesPerSector() const { return uint32_t(1) << sectorShift; }
  uint32_t sectorsPerCluster() const { return uint32_t(1) << clusterShift; }
  uint64_t clusterBytes() const { return uint64_t(1) << (sectorShift + clusterShift); }
  uint64_t volumeBytes() const { return volumeLength << sectorShift; }
  uint64_t heapBytes() const { return uint64_t(clusterCount) << (sectorShift + clusterShift); }
  bool isCluster(uint32_t c) const { return c >= exfatlayout::kFirstCluster && c - exfatlayout::kFirstCluster < clusterCount; }
  uint32_t lastCluster() const { return clusterCount + 1; }
  // Byte offset of cluster c (c ≥ 2) from the volume's first byte.
  uint64_t clusterOffset(uint32_t c) const {
    return (uint64_t(heapOffset) << sectorShift) + (uint64_t(c - exfatlayout::kFirstCluster) << (sectorShift + clusterShift));
  }
  // Byte offset of the FAT in use (the second one only when the volume says so).
  uint64_t activeFatOffset() const;

  // Decodes a boot sector (at least 512 bytes); Unsupported when it is no exFAT boot
  // sector, Corrupt when a field lies outside its legal range.
  static Result<ExfatBootSector> parse(ByteSpan sector);
};

// The boot checksum over the region's first eleven sectors; the volume flags and the
// percent-in-use byte change while mounted and are left out.
uint32_t exfatBootChecksum(ByteSpan elevenSectors);

// A region of twelve sectors (of the boot sector's own size) whose checksum sector repeats
// the checksum of the eleven before it.
Result<ExfatBootSector> parseExfatBootRegion(ByteSpan region);

struct ExfatBootFound {
  ExfatBootSector boot;
  bool fromBackup = false;  // the main region was damaged
  bool sealed = true;       // false: no region's checksum matched, the main boot sector was taken
};

// Finds the geometry in the first bytes of a volume (kBothRegionsMaxBytes, or fewer when
// the volume is shorter): the main region when it is whole, else the backup region at
// sector 12 (each sector size tried), else a main boot sector whose checksum failed.
Result<ExfatBootFound> locateExfatBoot(ByteSpan volumeStart);

// True when a sector begins like an exFAT boot sector (the name at 3); a cheap test for
// telling file systems apart, not a validation.
bool looksLikeExfatBootSector(ByteSpan sector);

}  // namespace velk
