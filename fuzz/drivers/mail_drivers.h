#pragma once
// Fuzz entry for the mail-store repair. Takes any bytes and must neither crash nor write
// anywhere but its own scratch folder; the libFuzzer target in fuzz/ and the regression
// replay in tests/ call it.

#include <cstddef>
#include <cstdint>

namespace velk {

// Writes the bytes as a store into a scratch folder of the process and repairs it as a
// .dbx and as a .pst. False when a repair failed on a plain readable file, or the repaired
// copy differs from the source anywhere but in the header words the repair rewrites.
bool fuzzMailRepair(const uint8_t* data, size_t size);

}  // namespace velk
