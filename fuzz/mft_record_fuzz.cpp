// libFuzzer target: one MFT record: fixups, full and quick attribute parse, runlists and
// attribute lists.

#include <cstddef>
#include <cstdint>

#include "drivers/ntfs_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzParseMftRecord(data, size);
  return 0;
}
