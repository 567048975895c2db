// libFuzzer target: the EXT superblock and group descriptors of a volume in memory.

#include <cstddef>
#include <cstdint>

#include "drivers/ext_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzExtSuperblock(data, size);
  return 0;
}
