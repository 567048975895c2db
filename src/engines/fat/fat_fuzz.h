#pragma once
// Fuzz entry for the FAT boot sector parse; runFatScansOnMemoryImage (fat_engine.h) is the
// whole-volume entry. Takes any bytes and must neither crash nor read outside them.

#include <cstddef>
#include <cstdint>

namespace velk {

// The first 512 bytes (zero-padded) parsed as FAT16 and as FAT32, and the width detection.
// False when an accepted geometry breaks what parse() promises: clusters up to the last
// data cluster lie inside the volume and inside the table.
bool fuzzFatBootSector(const uint8_t* data, size_t size);

}  // namespace velk
