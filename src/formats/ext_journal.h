#pragma once
// The EXT3 journal (jbd/jbd2) and the directory blocks it keeps copies of. Journal headers
// are big-endian; directory entries little-endian. Every decoder here reads only inside
// the block it is given.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>


#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

inline constexpr uint32_t kJournalMagic = 0xC03B3998;
inline constexpr size_t kJournalHeaderSize = 12;  // magic, block type, sequence
inline constexpr uint32_t kJournalDescriptor = 1;
inline constexpr uint32_t kJournalCommit = 2;
inline constexpr uint32_t kJournalSuperblockV1 = 3;
inline constexpr uint32_t kJournalSuperblockV2 = 4;
inline constexpr uint32_t kJournalRevoke = 5;

// Journal superblock (journal_superblock_t).
inline constexpr size_t kJsbBlockSize = 0x0C;
inline constexpr size_t kJsbMaxLength = 0x10;
inline constexpr size_t kJsbFirst = 0x14;
inline constexpr size_t kJsbFeatureCompat = 0x24;
inline constexpr size_t kJsbFeatureIncompat = 0x28;
inline constexpr uint32_t kJournalIncompat64Bit = 0x2;
inline constexpr uint32_t kJournalIncompatCsumV2 = 0x8;
inline constexpr uint32_t kJournalIncompatCsumV3 = 0x10;
inline constexpr size_t kJournalBlockTailSize = 4;  // checksum tail of descriptor blocks (csum v2/v3)

// Tag flags.
inline constexpr uint32_t kTagEscaped = 0x1;
inline constexpr uint32_t kTagSameUuid = 0x2;
inline constexpr uint32_t kTagLast = 0x8;
inline constexpr size_t kJournalUuidSize = 16;

struct JournalHeader {
  uint32_t type = 0;
  uint32_t sequence = 0;
  // nullopt when the block does not begin with the journal magic.
  static std::optional<JournalHeader> parse(ByteSpan block);
};

struct JournalSuperblock {
  uint32_t type = 0;
  uint32_t blockSize = 0;
  uint32_t maxLength = 0;  // journal blocks
  uint32_t first = 0;      // first log block
  uint32_t featureIncompat = 0;

  // Bytes of one descriptor tag: 16 with checksum v3, else 8, +2 with checksum v2, +4 with
  // 64-bit block numbers.
  size_t tagSize() const;
  bool wideBlocks() const { return (featureIncompat & kJournalIncompat64Bit) != 0; }
  bool checksumV3() const { return (featureIncompat & kJournalIncompatCsumV3) != 0; }
  bool checksumV2() const { return (featureIncompat & kJournalIncompatCsumV2) != 0; }

  // The first journal block must be a journal superblock (type 3 or 4); an error
  // otherwise. Version 1 has no feature fields.
  static Result<JournalSuperblock> parse(ByteSpan block);
};

struct JournalTag {
  uint64_t block = 0;  // the file-system block whose copy follows in the journal
  uint32_t flags = 0;
  bool operator==(const JournalTag&) const = default;
};

// Every tag of a descriptor block from byte 12 up to and including the one flagged last,
// whatever its block number, never past the end of the block (or its checksum tail).
std::vector<JournalTag> descriptorTags(ByteSpan block, const JournalSuperblock& journal);

// Directory entry (ext2_dir_entry_2).
inline constexpr size_t kDirEntryHeader = 8;
inline constexpr uint32_t kDirFileTypeRegular = 1;

struct DirEntry {
  uint32_t inode = 0;
  uint8_t fileType = 0;
  std::string name;  // raw bytes of the name
};

// The first block of a directory: "." with record length 12 then ".." with record length 12.
bool looksLikeFirstDirectoryBlock(ByteSpan block);
// Any other block of a directory: entries whose record lengths chain exactly to the end of
// the block, each well formed, with at least one entry in use. Strict enough that inode
// tables, bitmaps and indirect blocks do not pass.
bool looksLikeDirectoryBlock(ByteSpan block, uint32_t inodeCount);
// The named entries of a directory block, following the record lengths from byte 0: entries
// whose inode number is 0 or above inodeCount are ignored, as are "." and ".." and entries
// whose file type is none of 1, 2, 3, 5, 6, 7. The walk ends when a header or name would
// pass the block or a record length is below 8.
std::vector<DirEntry> directoryEntries(ByteSpan block, uint32_t inodeCount);
// A file type an entry may carry (regular file to symbolic link).
inline bool namedDirEntryType(uint8_t type) { return (type & 0x3) != 0 && type <= 7; }
// The same entries handed to fn(inode, fileType, name) in place, the name viewing the block.
template <typename Fn>
void forEachDirectoryEntry(ByteSpan block, uint32_t inodeCount, Fn&& fn) {
  for (size_t pos = 0; fits(block, pos, kDirEntryHeader);) {
    const uint32_t inode = le32At(block, pos);
    const uint16_t recordLength = le16At(block, pos + 4);
    const uint8_t nameLength = u8At(block, pos + 6);
    const uint8_t type = u8At(block, pos + 7);
    if (recordLength < kDirEntryHeader) break;
    if (!fits(block, pos + kDirEntryHeader, nameLength)) break;
    const std::string_view name(reinterpret_cast<const char*>(block.data() + pos + kDirEntryHeader), nameLength);
    if (inode != 0 && inode <= inodeCount && namedDirEntryType(type) && nameLength > 0 && name != "." && name != "..")
      fn(inode, type, name);
    pos += recordLength;
  }
}

}  // namespace velk
