// libFuzzer target: one sector parsed as a FAT16, FAT32 and NTFS boot sector.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engines/fat/fat_fuzz.h"
#include "engines/ntfs/ntfs_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzFatBootSector(data, size) || !velk::fuzzNtfsBootSector(data, size)) std::abort();
  return 0;
}
