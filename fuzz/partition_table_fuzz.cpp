// libFuzzer target: the MBR, EBR chain and GPT walk over a disk in memory, then volume lettering
// and the drive catalogue.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/disk_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzPartitionTable(data, size)) std::abort();
  return 0;
}
