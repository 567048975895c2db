// libFuzzer target: one EXT3 journal block: descriptor tags under every tag layout, directory-
// block tests and entries.

#include <cstddef>
#include <cstdint>

#include "drivers/ext_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzExtJournalBlock(data, size);
  return 0;
}
