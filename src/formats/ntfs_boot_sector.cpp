#include "formats/ntfs_boot_sector.h"

#include "formats/ntfs_layout.h"

namespace velk {

using namespace ntfs;

namespace {

constexpr uint32_t kMaxClusterSize = 2u << 20;  // 2 MiB, the largest NTFS cluster

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::optional<uint32_t> ntfsRecordSizeFrom(int8_t value, uint32_t clusterSize) {
  uint64_t size = 0;
  if (value < 0) {
    const int shift = -int(value);
    if (shift > 12) return std::nullopt;
    size = uint64_t(1) << shift;
  } else {
    size = uint64_t(value) * clusterSize;  // at most 127 × 2 MiB: no overflow
  }
  if (size < kMinRecordSize || size > kMaxRecordSize || !isPowerOfTwo(size)) return std::nullopt;
  return uint32_t(size);
}

bool NtfsBootSector::hasSignature(ByteSpan sector) { return matchesAt(sector, kBootOemId, "NTFS"); }

std::optional<NtfsBootSector> NtfsBootSector::parse(ByteSpan sector) {
  const ByteView v(sector);
  if (v.size() < kBootSize || !hasSignature(sector)) return std::nullopt;
  NtfsBootSector b;
  b.bytesPerSector = v.le16(kBootBytesPerSector);
  if (b.bytesPerSector < 256 || b.bytesPerSector > 4096 || !isPowerOfTwo(b.bytesPerSector)) return std::nullopt;
  const uint8_t spc = v.u8(kBootSectorsPerCluster);
  uint64_t sectorsPerCluster = 0;
  if (spc == 0) return std::nullopt;
  if (spc <= 0x80) {
    if (!isPowerOfTwo(spc)) return std::nullopt;
    sectorsPerCluster = spc;
  } else {
    // Large clusters are stored as a negative power of two.
    const int shift = 256 - spc;
    if (shift > 21) return std::nullopt;
    sectorsPerCluster = uint64_t(1) << shift;
  }
  const uint64_t cluster = sectorsPerCluster * b.bytesPerSector;
  if (cluster > kMaxClusterSize) return std::nullopt;
  b.clusterSize = uint32_t(cluster);
  // A damaged size field leaves the size nearly every volume uses; the MFT's first record
  // is checked before anything is read through it.
  b.recordSize = ntfsRecordSizeFrom(int8_t(v.u8(kBootClustersPerRecord)), b.clusterSize).value_or(kDefaultRecordSize);
  b.totalSectors = v.le64(kBootTotalSectors);
  // Volumes beyond 2^56 bytes do not exist; a wild value would overflow the products.
  if (b.totalSectors > (uint64_t(1) << 56) / b.bytesPerSector) return std::nullopt;
  b.mftCluster = v.le64(kBootMftCluster);
  b.mftMirrCluster = v.le64(kBootMftMirrCluster);
  return b;
}

}  // namespace velk
