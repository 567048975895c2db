// libFuzzer target: names from metadata and the two-piece JPEG search over the bytes.

#include <cstddef>
#include <cstdint>

#include "drivers/raw_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzRawContent(data, size);
  return 0;
}
