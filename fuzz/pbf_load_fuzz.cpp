// libFuzzer target: the partition backup (.pbf) loader — any bytes decoded as a backup,
// checked against a disk, and what was accepted encoded back to the same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/partition_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzBackupFile(data, size)) std::abort();
  return 0;
}
