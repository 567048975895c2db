#pragma once
// The NTFS boot sector: geometry (sector and cluster size, file-record size) and where the
// MFT and its mirror lie. parse() checks every field before anything is computed from it.

#include <cstdint>
#include <optional>

#include "formats/bytes.h"

namespace velk {

struct NtfsBootSector {
  uint32_t bytesPerSector = 512;
  uint32_t clusterSize = 4096;
  uint32_t recordSize = 1024;  // 1024 when the boot sector's field is impossible
  uint64_t totalSectors = 0;   // file-system sectors of bytesPerSector
  uint64_t mftCluster = 0;
  uint64_t mftMirrCluster = 0;

  // Volume bytes the boot sector describes (the backup boot sector follows them).
  uint64_t volumeBytes() const { return totalSectors * bytesPerSector; }
  uint64_t totalClusters() const { return clusterSize ? volumeBytes() / clusterSize : 0; }

  // True when the four bytes at offset 3 are "NTFS".
  static bool hasSignature(ByteSpan sector);
  // nullopt when the signature is missing or the geometry is impossible.
  static std::optional<NtfsBootSector> parse(ByteSpan sector);
};

// File-record size from the boot sector's signed byte at 0x40: a positive value counts
// clusters per record (mkntfs writes 1 for 4 KiB records on 4 KiB clusters), a negative
// value n gives 2^(−n) bytes. nullopt unless the size is a power of two from 512 to 4096.
std::optional<uint32_t> ntfsRecordSizeFrom(int8_t value, uint32_t clusterSize);

}  // namespace velk
