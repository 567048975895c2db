#pragma once
// The saved-scan fuzz entry, shared by fuzz/saved_scan_fuzz.cpp and the replay of recorded
// inputs (tests/hardening): any bytes read as a saved scan, both as they come and sealed
// behind a right header (so the checksum does not stop the fuzzer at the door), and the
// plans of what was accepted written out against a small disk. Must neither crash nor hang
// nor allocate without bound.

#include <cstddef>
#include <cstdint>

namespace velk {

// False when an accepted scan breaks what the loader promises (a plan not covering its size).
bool fuzzSavedScan(const uint8_t* data, size_t size);

}  // namespace velk
