#pragma once
// Entries of a file allocation table: 12-bit entries packed two to three bytes, 16-bit
// entries, and 32-bit entries whose top four bits are reserved.

#include <cstdint>
#include <optional>

#include "formats/bytes.h"
#include "formats/fat_boot_sector.h"

namespace velk {

// Bytes that entries 0 … count − 1 take.
uint64_t fatTableBytes(uint64_t count, FatWidth width);
// Entry c of table bytes that begin with entry 0; nullopt when its bytes are not all there.
std::optional<uint32_t> fatEntryAt(ByteSpan table, uint64_t c, FatWidth width);
// Entries from this value on end a chain (bad-cluster and reserved values among them).
uint32_t fatEndOfChain(FatWidth width);
// Entry 0 as formatters write it: a media descriptor in the low byte and ones above. A
// table whose entry 0 is otherwise was overwritten or never written.
bool fatTableHeadHolds(uint32_t entry0, FatWidth width);

}  // namespace velk
