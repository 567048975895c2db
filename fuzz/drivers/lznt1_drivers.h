#pragma once
// Fuzz entry for the LZNT1 codec. Takes any bytes and must neither crash nor write outside
// its buffers; the libFuzzer target in fuzz/ and the regression replay in tests/ call it.

#include <cstddef>
#include <cstdint>

namespace velk::codec {

// The bytes decompressed into a growing vector (capped at 1 MiB) and into one 64 KiB
// compression unit, then compressed and decompressed again. False when a cap was passed
// or the round trip does not give the bytes back.
bool fuzzLznt1(const uint8_t* data, size_t size);

}  // namespace velk::codec
