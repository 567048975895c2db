// libFuzzer target: an NTFS volume in memory: boot sector, MFT load, deleted and formatted
// scans, extraction.

#include <cstddef>
#include <cstdint>

#include "drivers/ntfs_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::runNtfsScansOnMemoryImage(data, size);
  return 0;
}
