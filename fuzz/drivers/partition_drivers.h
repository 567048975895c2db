#pragma once
// Fuzz entries for lost-partition recovery: the gap scans over a disk in memory, the .pbf
// backup loader and the undo files. Each takes any bytes and must neither crash, hang nor
// read outside them; the libFuzzer targets in fuzz/ and the regression replay in tests/
// call them.

#include <cstddef>
#include <cstdint>

namespace velk {

// The bytes as a whole disk: catalogue, automatic and deep gap scans, and the strict boot
// sector and superblock parses over its first sectors. Always true (crashes are the finding).
bool fuzzPartitionScan(const uint8_t* data, size_t size);

// The bytes as a backup file: decoded, checked against a disk, and encoded again. False
// when a decoded backup does not give back the bytes it was read from.
bool fuzzBackupFile(const uint8_t* data, size_t size);

// The bytes as an undo file: decoded, encoded again, matched to a disk and applied to a small
// disk in memory. False when the bytes do not come back, or when applying it changed a byte
// the file does not name or left a named sector without its old bytes.
bool fuzzUndoFile(const uint8_t* data, size_t size);

}  // namespace velk
