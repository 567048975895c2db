#pragma once
// The exFAT whole-volume fuzz entry, shared by fuzz/exfat_scan_fuzz.cpp and the replay of
// recorded inputs (tests/hardening): the bytes as a volume of their own, read as the drive
// list reads them, opened, both scans run and a bounded number of what they list extracted.
// Must neither crash nor hang, nor read outside the bytes, on any input.

#include <cstddef>
#include <cstdint>

namespace velk {

// The bytes as a volume of their own: the drive list's reading, both scans and a bounded
// number of extractions. Returns the records found.
size_t runExfatScansOnMemoryImage(const uint8_t* data, size_t size);

}  // namespace velk
