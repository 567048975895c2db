#pragma once
// Fuzz entry for the partition-table walk and what is built on it. Takes any bytes and
// must neither crash, hang nor read outside them; the libFuzzer target in fuzz/ and the
// regression replay in tests/ call it.

#include <cstddef>
#include <cstdint>

namespace velk {

// The bytes as a whole disk: the MBR/EBR/GPT walk at the bytes' size and as a larger disk
// whose tail does not read, then the namespace's volume lettering and the drive catalogue
// over the same bytes attached in memory. False when a walk broke its own bounds (a chain
// sector visited twice, an entry count no table can hold).
bool fuzzPartitionTable(const uint8_t* data, size_t size);

}  // namespace velk
