// libFuzzer target: a FAT12/FAT16/FAT32 volume in memory: opening, deleted walk, formatted scan and
// extraction.

#include <cstddef>
#include <cstdint>

#include "drivers/fat_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::runFatScansOnMemoryImage(data, size);
  return 0;
}
