// libFuzzer target: a runlist decoded against a volume in memory and its stream written out
// (holes, initialized size, compression units).

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/ntfs_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzNtfsStream(data, size)) std::abort();
  return 0;
}
