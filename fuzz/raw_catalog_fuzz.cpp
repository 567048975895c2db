// libFuzzer target: the rp.dat reader (plain or packed), markup entries and the pattern compiler.

#include <cstddef>
#include <cstdint>

#include "drivers/raw_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzRawCatalog(data, size);
  return 0;
}
