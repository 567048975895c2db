// libFuzzer target: the undo files of partition-table rewrites — any bytes decoded as an undo
// file, encoded back, and applied to a small disk in memory, which must end up exactly as
// the file says and nowhere else.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/partition_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzUndoFile(data, size)) std::abort();
  return 0;
}
