// libFuzzer target: one sector parsed as a FAT16, FAT32 and NTFS boot sector.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/fat_drivers.h"
#include "drivers/ntfs_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzFatBootSector(data, size) || !velk::fuzzNtfsBootSector(data, size)) std::abort();
  return 0;
}
