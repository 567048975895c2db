#pragma once
// Fuzz entries for the EXT engine: its parsers over bytes in memory and the whole engine over
// an image. None of them may crash, hang or read outside their input, whatever the bytes.

#include <cstddef>
#include <cstdint>

namespace velk {

// Superblock and group descriptor parsing over an image (bytes from offset 0 of the volume).
// Returns the group count, 0 when the volume does not open.
size_t fuzzExtSuperblock(const uint8_t* data, size_t size);
// Opens the image as EXT2 and as EXT3, runs both deleted scans (inode tables, journal walk)
// and extracts what they list. Returns the number of records found.
size_t runExtScansOnMemoryImage(const uint8_t* data, size_t size);
// The first 128 bytes are an inode, the rest volume blocks of 1024 bytes: maps every block
// of the file through its block pointers or extent tree. Returns the blocks mapped.
size_t fuzzExtBlockMap(const uint8_t* data, size_t size);
// The bytes as one journal block: descriptor tags under every tag layout, and the
// directory-block tests and entry walk. Returns the tags and entries decoded.
size_t fuzzExtJournalBlock(const uint8_t* data, size_t size);

}  // namespace velk
