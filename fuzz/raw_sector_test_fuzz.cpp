// libFuzzer target: a small signature catalogue built from the first bytes, run over the rest as
// sectors and carved.

#include <cstddef>
#include <cstdint>

#include "drivers/raw_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzRawSectorTest(data, size);
  return 0;
}
