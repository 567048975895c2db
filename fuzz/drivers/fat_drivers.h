#pragma once
// Fuzz entries for the FAT boot sector parse and the whole FAT engine over an image in memory. Takes any bytes and must neither crash nor read outside them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/sector_reader.h"

namespace velk {

// The first 512 bytes (zero-padded) parsed, and the width detection. False when an accepted
// geometry breaks what parse() promises: clusters up to the last data cluster lie inside
// the volume and inside the table.
bool fuzzFatBootSector(const uint8_t* data, size_t size);

// A read-only reader over bytes in memory, base 0 (every whole-volume driver starts here).
SectorReader memoryReader(const uint8_t* data, size_t size);

// The bytes as an unpartitioned volume: the deleted walk, the formatted scan and the
// extraction of what they list. Returns the number of records found. Never crashes or hangs
// on any input.
size_t runFatScansOnMemoryImage(const uint8_t* data, size_t size);

}  // namespace velk
