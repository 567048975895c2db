// libFuzzer target: LZNT1 decompression into a vector and a fixed unit, and the
// compress/decompress round trip.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/lznt1_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::codec::fuzzLznt1(data, size)) std::abort();
  return 0;
}
