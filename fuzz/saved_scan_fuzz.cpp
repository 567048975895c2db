// libFuzzer target: the saved-scan reader — any bytes as a scan file, and sealed behind a
// right header, with the plans of what it accepts written out.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/saved_scan_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzSavedScan(data, size)) std::abort();
  return 0;
}
