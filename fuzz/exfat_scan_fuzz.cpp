// libFuzzer target: an exFAT volume in memory: the drive list's facts, opening (main or
// backup boot region), the deleted walk, the formatted sweep and extraction.

#include <cstddef>
#include <cstdint>

#include "drivers/exfat_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::runExfatScansOnMemoryImage(data, size);
  return 0;
}
