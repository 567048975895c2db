// libFuzzer target: every family of format end rules over the bytes as a carved window.

#include <cstddef>
#include <cstdint>

#include "drivers/raw_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzRawFormatEnds(data, size);
  return 0;
}
