// libFuzzer target: the EXT superblock and group descriptors of a volume in memory.

#include <cstddef>
#include <cstdint>

#include "engines/ext/ext_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)velk::fuzzExtSuperblock(data, size);
  return 0;
}
