#pragma once
// Fuzz entries for the NTFS pieces below a whole volume: the boot sector, runlists and the
// stream writer (holes, initialized size, LZNT1 compression units). the record parse
// and the whole engine over an image in memory are the other entries. Each
// takes any bytes and must neither crash, hang nor read outside them.

#include <cstddef>
#include <cstdint>

namespace velk {

// Layout of the input: byte 0 picks the cluster size (512 << (b0 % 4)); byte 1 bit 0 marks
// the stream compressed, bits 1-3 the compression unit (1 << n clusters); bytes 2-5 the
// real size and 6-9 the initialized size (both cut to 16 MiB); byte 10 the runlist length,
// then the runlist; the rest is the volume. The runlist is decoded against the volume and
// the stream written to a counting sink. False when the writer produced more than the real
// size, or reported success without producing all of it.
bool fuzzNtfsStream(const uint8_t* data, size_t size);

// The first 512 bytes (zero-padded) parsed as an NTFS boot sector. False when an accepted
// geometry is impossible (cluster or record size zero, a product that overflows).
bool fuzzNtfsBootSector(const uint8_t* data, size_t size);

// Copies at most one 4 KiB record, applies its fixups, parses it fully and quickly, decodes
// every runlist and attribute list it holds. Returns a digest of what it saw.
size_t fuzzParseMftRecord(const uint8_t* data, size_t size);

// The bytes as an unpartitioned volume: both scans, and the extraction of a bounded number
// of what they list. Returns the records found.
size_t runNtfsScansOnMemoryImage(const uint8_t* data, size_t size);

}  // namespace velk
