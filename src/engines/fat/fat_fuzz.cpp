#include "engines/fat/fat_fuzz.h"

#include <array>
#include <cstring>

#include "engines/fat/fat_boot_sector.h"

namespace velk {

bool fuzzFatBootSector(const uint8_t* data, size_t size) {
  std::array<uint8_t, fatlayout::kBootSectorSize> sector{};
  std::memcpy(sector.data(), data, std::min(size, sector.size()));
  bool ok = true;
  for (FatWidth width : {FatWidth::Fat16, FatWidth::Fat32}) {
    auto b = FatBootSector::parse(sector, width);
    if (!b) continue;
    const uint64_t entryBytes = width == FatWidth::Fat16 ? 2 : 4;
    const uint64_t lastEnd = b->clusterOffset(b->lastDataCluster) + b->clusterBytes();
    ok = ok && b->isDataCluster(2) && lastEnd <= b->volumeBytes() &&
         (uint64_t(b->lastDataCluster) + 1) * entryBytes <= b->fatBytes() &&
         (width == FatWidth::Fat16 || b->isDataCluster(b->rootCluster));
  }
  (void)detectFatWidth(sector);
  return ok;
}

}  // namespace velk
