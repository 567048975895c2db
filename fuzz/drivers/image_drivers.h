#pragma once
// Fuzz entry for the dynamic VHD reader (the one container layout decoded here rather
// than by its library). Takes any bytes as the container file and must neither crash,
// hang nor read outside them; the libFuzzer target in fuzz/ and the regression replay in
// tests/ call it.

#include <cstddef>
#include <cstdint>

namespace velk {

// The bytes as a VHD file, with the checksums of a footer and a dynamic header that
// carry their cookies set right (so that the fuzzer reaches the table and the blocks),
// opened and read at its start, middle and end. False when a read broke its contract
// (more bytes than asked, or a disk size the file's table cannot cover).
bool fuzzDynamicVhd(const uint8_t* data, size_t size);

}  // namespace velk
