#pragma once
// Writing entries of a partition-table sector (master boot record or extended boot
// record): four 16-byte entries at 0x1BE and the 0xAA55 signature at 0x1FE.

#include <array>
#include <cstdint>

#include "formats/bytes.h"

namespace velk {

using Sector = std::array<uint8_t, 512>;

inline constexpr size_t kTableEntryCount = 4;
inline constexpr size_t kTableEntrySize = 16;
inline constexpr uint8_t kTypeExtendedLink = 0x05;  // the link from one EBR to the next

// Fills entry `slot` (0–3): boot flag 0, type, start, count, and the CHS bytes of start and
// start + count − 1 as the values are written (relative values stay relative).
void writeTableEntry(Sector& sector, size_t slot, uint8_t type, uint32_t start, uint32_t count);
// Copies entry `from` over entry `to`.
void copyTableEntry(Sector& sector, size_t from, size_t to);
void setTableSignature(Sector& sector);
// Zeroes the four entries (the boot code before them is kept).
void clearTableEntries(Sector& sector);

}  // namespace velk
