#include "formats/exfat_boot.h"

#include <algorithm>

namespace velk {

using namespace exfatlayout;

uint64_t ExfatBootSector::activeFatOffset() const {
  const bool second = numberOfFats == 2 && (flags & kFlagActiveFat) != 0;
  return (uint64_t(fatOffset) + (second ? fatLength : 0)) << sectorShift;
}

Result<ExfatBootSector> ExfatBootSector::parse(ByteSpan s) {
  if (s.size() < kBootSectorSize || !matchesAt(s, kFileSystemName, kName)) return fail(unsupportedError("the volume holds no exFAT file system"));
  if (le16At(s, kBootSignature) != 0xAA55) return fail(corruptError("the exFAT boot region"));
  // A FAT parameter block here would make this a FAT boot sector under a wrong name.
  for (size_t i = 0; i < kMustBeZeroLength; ++i)
    if (s[kMustBeZero + i] != 0) return fail(corruptError("the exFAT boot region"));

  ExfatBootSector b;
  b.volumeLength = le64At(s, kVolumeLength);
  b.fatOffset = le32At(s, kFatOffset);
  b.fatLength = le32At(s, kFatLength);
  b.heapOffset = le32At(s, kClusterHeapOffset);
  b.clusterCount = le32At(s, kClusterCount);
  b.rootCluster = le32At(s, kFirstClusterOfRoot);
  b.serial = le32At(s, kVolumeSerial);
  b.revision = le16At(s, kRevision);
  b.flags = le16At(s, kVolumeFlags);
  b.sectorShift = u8At(s, kBytesPerSectorShift);
  b.clusterShift = u8At(s, kSectorsPerClusterShift);
  b.numberOfFats = u8At(s, kNumberOfFats);

  // The shifts size every offset below: check them before any is formed.
  if (b.sectorShift < kMinSectorShift || b.sectorShift > kMaxSectorShift) return fail(corruptError("the exFAT boot region"));
  if (b.clusterShift > kMaxClusterShift - b.sectorShift) return fail(corruptError("the exFAT boot region"));
  if (b.numberOfFats != 1 && b.numberOfFats != 2) return fail(corruptError("the exFAT boot region"));
  if ((b.revision >> 8) != 1) return fail(corruptError("the exFAT boot region"));
  if (b.clusterCount == 0 || b.clusterCount > kMaxClusterCount) return fail(corruptError("the exFAT boot region"));
  // The FATs follow both boot regions, hold an entry for every cluster, and end before the
  // heap, which ends inside the volume.
  if (b.fatOffset < 2 * kRegionSectors || b.fatLength == 0) return fail(corruptError("the exFAT boot region"));
  const uint64_t fatEntries = (uint64_t(b.fatLength) << b.sectorShift) / 4;
  if (fatEntries < uint64_t(b.clusterCount) + kFirstCluster) return fail(corruptError("the exFAT boot region"));
  if (uint64_t(b.fatOffset) + uint64_t(b.fatLength) * b.numberOfFats > b.heapOffset)
    return fail(corruptError("the exFAT boot region"));
  const uint64_t heapEnd = uint64_t(b.heapOffset) + (uint64_t(b.clusterCount) << b.clusterShift);
  if (b.volumeLength > (UINT64_MAX >> kMaxSectorShift) || heapEnd > b.volumeLength)
    return fail(corruptError("the exFAT boot region"));
  if (!b.isCluster(b.rootCluster)) return fail(corruptError("the exFAT boot region"));
  return b;
}

uint32_t exfatBootChecksum(ByteSpan elevenSectors) {
  uint32_t sum = 0;
  for (size_t i = 0; i < elevenSectors.size(); ++i) {
    if (i == kVolumeFlags || i == kVolumeFlags + 1 || i == kPercentInUse) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + elevenSectors[i];
  }
  return sum;
}

Result<ExfatBootSector> parseExfatBootRegion(ByteSpan region) {
  auto boot = ExfatBootSector::parse(region);
  if (!boot) return boot;
  const size_t bps = boot->bytesPerSector();
  if (region.size() < kRegionSectors * bps) return fail(corruptError("the exFAT boot region"));
  const uint32_t sum = exfatBootChecksum(region.first(kChecksumSector * bps));
  const ByteSpan sealed = region.subspan(kChecksumSector * bps, bps);
  for (size_t i = 0; i < bps; i += 4)
    if (le32At(sealed, i) != sum) return fail(corruptError("the exFAT boot region"));
  return boot;
}

Result<ExfatBootFound> locateExfatBoot(ByteSpan start) {
  if (auto main = parseExfatBootRegion(start)) return ExfatBootFound{*main, false, true};
  // The main boot sector may be the damaged part, so its sector size cannot be trusted:
  // the backup is sought at sector 12 for every sector size, and must say that size itself.
  for (uint32_t shift = kMinSectorShift; shift <= kMaxSectorShift; ++shift) {
    const size_t at = size_t(kRegionSectors) << shift;
    if (start.size() <= at) break;
    auto backup = parseExfatBootRegion(start.subspan(at));
    if (backup && backup->sectorShift == shift) return ExfatBootFound{*backup, true, true};
  }
  auto main = ExfatBootSector::parse(start);
  if (!main) return fail(main.error());
  return ExfatBootFound{*main, false, false};
}

bool looksLikeExfatBootSector(ByteSpan sector) { return matchesAt(sector, kFileSystemName, kName); }

}  // namespace velk
