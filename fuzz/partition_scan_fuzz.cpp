// libFuzzer target: the automatic and deep gap scans of lost-partition recovery over a disk in
// memory.

#include <cstddef>
#include <cstdint>

#include "drivers/partition_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzPartitionScan(data, size);
  return 0;
}
