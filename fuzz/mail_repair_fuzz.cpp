// libFuzzer target: the .dbx and .pst repair of a store written to a scratch folder.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "drivers/mail_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!velk::fuzzMailRepair(data, size)) std::abort();
  return 0;
}
