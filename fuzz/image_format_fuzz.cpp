// libFuzzer target: a dynamic VHD file (footer, dynamic header, block table, sector
// bitmaps) read as a disk.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/image_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzDynamicVhd(data, size)) std::abort();
  return 0;
}
