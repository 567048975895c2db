// libFuzzer target: an EXT2/EXT3 volume in memory: inode-table scan, journal walk and extraction.

#include <cstddef>
#include <cstdint>

#include "drivers/ext_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::runExtScansOnMemoryImage(data, size);
  return 0;
}
