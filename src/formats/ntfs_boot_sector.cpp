#include "formats/ntfs_boot_sector.h"

#include "formats/ntfs_layout.h"

namespace velk {

using namespace ntfs;

namespace {

constexpr uint32_t kMaxClusterSize = 2u << 20;  // 2 MiB, the largest NTFS cluster

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

uint32_t ntfsRecordSizeFrom(int8_t value) {
  if (value < 0) {
    const int shift = -int(value);
    if (shift >= 9 && shift <= 12) return 1u << shift;
  }
  return kDefaultRecordSize;
}

bool NtfsBootSector::hasSignature(ByteSpan sector) { return matchesAt(sector, kBootOemId, "NTFS"); }

std::optional<NtfsBootSector> NtfsBootSector::parse(ByteSpan sector) {
  if (sector.size() < kBootSize || !hasSignature(sector)) return std::nullopt;
  NtfsBootSector b;
  b.bytesPerSector = le16At(sector, kBootBytesPerSector);
  if (b.bytesPerSector < 256 || b.bytesPerSector > 4096 || !isPowerOfTwo(b.bytesPerSector)) return std::nullopt;
  const uint8_t spc = u8At(sector, kBootSectorsPerCluster);
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
  b.recordSize = ntfsRecordSizeFrom(int8_t(u8At(sector, kBootClustersPerRecord)));
  b.totalSectors = le64At(sector, kBootTotalSectors);
  // Volumes beyond 2^56 bytes do not exist; a wild value would overflow the products.
  if (b.totalSectors > (uint64_t(1) << 56) / b.bytesPerSector) return std::nullopt;
  b.mftCluster = le64At(sector, kBootMftCluster);
  b.mftMirrCluster = le64At(sector, kBootMftMirrCluster);
  return b;
}

}  // namespace velk
