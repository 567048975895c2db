// libFuzzer target: an inode's block pointers or extent tree mapped over the blocks that follow it.

#include <cstddef>
#include <cstdint>

#include "drivers/ext_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzExtBlockMap(data, size);
  return 0;
}
