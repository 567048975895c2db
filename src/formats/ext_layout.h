#pragma once
// EXT2/EXT3 on-disk structures: superblock, group descriptors and inodes. Each is decoded
// from bytes into a host-order struct, and every field that later arithmetic divides by,
// multiplies with or indexes through is checked first: a damaged superblock must give an
// error, never a division by zero or a read past a buffer.

#include <array>
#include <optional>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>


#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

// Superblock: 1024 bytes at byte 1024 of the volume (ext2_super_block).
inline constexpr uint64_t kExtSuperblockOffset = 1024;
inline constexpr size_t kExtSuperblockSize = 1024;
inline constexpr size_t kSbInodeCount = 0x00;
inline constexpr size_t kSbBlockCount = 0x04;
inline constexpr size_t kSbFreeBlocks = 0x0C;
inline constexpr size_t kSbFirstDataBlock = 0x14;
inline constexpr size_t kSbLogBlockSize = 0x18;
inline constexpr size_t kSbBlocksPerGroup = 0x20;
inline constexpr size_t kSbInodesPerGroup = 0x28;
inline constexpr size_t kSbMagic = 0x38;
inline constexpr size_t kSbRevision = 0x4C;
inline constexpr size_t kSbInodeSize = 0x58;
inline constexpr size_t kSbFeatureCompat = 0x5C;
inline constexpr size_t kSbFeatureIncompat = 0x60;
inline constexpr size_t kSbFeatureRoCompat = 0x64;
inline constexpr size_t kSbVolumeName = 0x78;
inline constexpr size_t kSbVolumeNameSize = 16;
inline constexpr size_t kSbJournalInode = 0xE0;
inline constexpr size_t kSbDescriptorSize = 0xFE;
inline constexpr size_t kSbBlockCountHigh = 0x150;
inline constexpr size_t kSbFreeBlocksHigh = 0x158;
inline constexpr size_t kSbBlockGroupNumber = 0x5A;
// The superblock keeps a copy of the journal inode's block map and size (s_jnl_blocks),
// marked by a backup type of 1.
inline constexpr size_t kSbJournalBackupType = 0xFD;
inline constexpr size_t kSbJournalBlocks = 0x10C;
inline constexpr uint8_t kExtJournalBackupBlocks = 1;
inline constexpr size_t kExtJournalBackupWords = 17;  // 15 block words, size high, size low

inline constexpr uint16_t kExtMagic = 0xEF53;
inline constexpr uint32_t kExtMaxLogBlockSize = 6;  // 64 KiB blocks
inline constexpr uint16_t kExtGoodOldInodeSize = 128;  // revision 0

inline constexpr uint32_t kExtCompatHasJournal = 0x0004;
inline constexpr uint32_t kExtRoCompatSparseSuper = 0x0001;
inline constexpr uint32_t kExtIncompatMetaBg = 0x0010;
inline constexpr uint32_t kExtIncompatExtents = 0x0040;
inline constexpr uint32_t kExtIncompat64Bit = 0x0080;
inline constexpr uint32_t kExtIncompatFlexBg = 0x0200;
inline constexpr uint32_t kExtRoCompatMetadataCsum = 0x0400;

// Group descriptor (ext2_group_desc / ext4_group_desc).
inline constexpr size_t kGdBlockBitmap = 0x00;
inline constexpr size_t kGdInodeBitmap = 0x04;
inline constexpr size_t kGdInodeTable = 0x08;
inline constexpr size_t kGdFlags = 0x12;
inline constexpr uint16_t kGdBlockUninit = 0x0002;  // the block bitmap was never written
inline constexpr size_t kGdBlockBitmapHigh = 0x20;
inline constexpr size_t kGdInodeBitmapHigh = 0x24;
inline constexpr size_t kGdInodeTableHigh = 0x28;
inline constexpr uint32_t kGdClassicSize = 32;
inline constexpr uint32_t kGdMinSize64 = 64;
inline constexpr uint32_t kGdMaxSize = 1024;

// Inode (ext2_inode); everything the engine reads lies in the first 128 bytes.
inline constexpr size_t kInodeCopySize = 128;
inline constexpr size_t kInMode = 0x00;
inline constexpr size_t kInSize = 0x04;
inline constexpr size_t kInAtime = 0x08;
inline constexpr size_t kInCtime = 0x0C;
inline constexpr size_t kInMtime = 0x10;
inline constexpr size_t kInDtime = 0x14;
inline constexpr size_t kInLinks = 0x1A;
inline constexpr size_t kInBlockCount = 0x1C;
inline constexpr size_t kInFlags = 0x20;
inline constexpr size_t kInBlock = 0x28;
inline constexpr size_t kInBlockBytes = 60;
inline constexpr size_t kInGeneration = 0x64;
inline constexpr size_t kInFileAcl = 0x68;
inline constexpr size_t kInSizeHigh = 0x6C;
inline constexpr size_t kInBlockCountHigh = 0x74;
inline constexpr size_t kInFileAclHigh = 0x76;
inline constexpr size_t kInodePointerCount = 15;
inline constexpr size_t kDirectPointers = 12;
inline constexpr size_t kSingleIndirect = 12;
inline constexpr size_t kDoubleIndirect = 13;
inline constexpr size_t kTripleIndirect = 14;

inline constexpr uint16_t kModeTypeMask = 0xF000;
inline constexpr uint16_t kModeRegular = 0x8000;
inline constexpr uint32_t kInodeFlagHugeFile = 0x00040000;  // the block count is in file-system blocks
inline constexpr uint32_t kInodeFlagExtents = 0x00080000;

// Extent tree layout (ext4_extent_header, ext4_extent, ext4_extent_idx).
inline constexpr uint16_t kExtentMagic = 0xF30A;
inline constexpr size_t kExtentHeaderSize = 12;
inline constexpr size_t kExtentEntrySize = 12;
inline constexpr uint16_t kExtentMaxDepth = 5;
inline constexpr uint16_t kExtentInitMaxLength = 32768;

// The header of an extent tree node, checked against the bytes the node occupies.
struct ExtentHeader {
  uint16_t entries = 0;
  uint16_t depth = 0;
  static std::optional<ExtentHeader> parse(ByteSpan node);
};

struct ExtSuperblock {
  uint32_t inodeCount = 0;
  uint64_t blockCount = 0;
  uint64_t freeBlocks = 0;
  uint16_t blockGroupNumber = 0;  // of this copy: 0 in the primary superblock
  uint32_t firstDataBlock = 0;
  uint32_t logBlockSize = 0;
  uint32_t blocksPerGroup = 0;
  uint32_t inodesPerGroup = 0;
  uint32_t revision = 0;
  uint32_t inodeSize = kExtGoodOldInodeSize;
  uint32_t featureCompat = 0;
  uint32_t featureIncompat = 0;
  uint32_t featureRoCompat = 0;
  uint32_t descriptorSize = kGdClassicSize;
  uint32_t journalInode = 0;
  // The superblock's copy of the journal inode's block words and size, when it keeps one.
  bool hasJournalBackup = false;
  std::array<uint32_t, kExtJournalBackupWords> journalBackup{};
  std::string volumeName;

  // Derived once the fields are known to be sane.
  uint32_t blockSize = 0;
  uint32_t groupCount = 0;

  uint32_t inodesPerBlock() const { return blockSize / inodeSize; }
  // Blocks one group's inode table occupies.
  uint64_t inodeTableBlocks() const {
    return (uint64_t(inodesPerGroup) * inodeSize + blockSize - 1) / blockSize;
  }
  uint64_t descriptorTableBytes() const { return uint64_t(groupCount) * descriptorSize; }
  uint64_t descriptorTableBlocks() const { return (descriptorTableBytes() + blockSize - 1) / blockSize; }
  // First block of the group descriptor table.
  uint64_t descriptorTableBlock() const { return uint64_t(firstDataBlock) + 1; }
  // Group of a block and its index inside the group, counted from the first data block.
  uint64_t groupOfBlock(uint64_t block) const { return (block - firstDataBlock) / blocksPerGroup; }
  uint64_t indexInGroup(uint64_t block) const { return (block - firstDataBlock) % blocksPerGroup; }
  // Whether the group keeps a backup superblock and descriptor table.
  bool groupHasSuperblock(uint64_t group) const;
  // ext4 is told by the features only it writes: extent trees, 64-bit block numbers,
  // flexible groups, metadata checksums.
  bool isExt4() const {
    return (featureIncompat & (kExtIncompatExtents | kExtIncompat64Bit | kExtIncompatFlexBg)) != 0 ||
           (featureRoCompat & kExtRoCompatMetadataCsum) != 0;
  }
  // The name a volume is listed under: "EXT4" by its features, else "EXT3" when it has a
  // journal, else "EXT2".
  std::string_view familyName() const { return isExt4() ? "EXT4" : journalInode != 0 ? "EXT3" : "EXT2"; }

  // The fields of the 1024 superblock bytes as they stand (the magic and a block size up to
  // 64 KiB are all it asks): enough to name and list a volume.
  static std::optional<ExtSuperblock> decode(ByteSpan bytes);
  // Decodes and validates the 1024 superblock bytes. Unsupported when the magic is missing
  // or the layout is one the engine does not read (descriptors placed by meta_bg), Corrupt
  // for a field outside its legal range.
  static Result<ExtSuperblock> parse(ByteSpan bytes);
};

// Where a backup superblock may lie when the primary is lost: the first block of groups 1, 3,
// 5, 7 and 9 (each keeps one, sparse_super or not), for every block size, with groups of the
// default 8 × block size blocks; group 1 of each block size first. Sites that begin at or past
// volumeBytes are left out (0: the size is unknown).
struct ExtBackupSite {
  uint64_t offset = 0;  // bytes from the volume's start
  uint32_t group = 0;
  uint32_t blockSize = 0;
};
std::vector<ExtBackupSite> extBackupSites(uint64_t volumeBytes);
// The superblock copy read at a site: taken only when it parses and says it is that group's
// copy, at that place, of a volume that has that group.
Result<ExtSuperblock> parseBackupSuperblock(ByteSpan bytes, const ExtBackupSite& site);
// The first backup superblock that reads (read fills the bytes at a volume offset, false when
// it cannot) and is sound, with the group it belongs to.
struct ExtBackupSuperblock {
  ExtSuperblock sb;
  uint32_t group = 0;
};
std::optional<ExtBackupSuperblock> findBackupSuperblock(
    uint64_t volumeBytes, const std::function<bool(uint64_t offset, std::span<uint8_t> out)>& read);

struct ExtGroupDescriptor {
  uint64_t blockBitmap = 0;
  uint64_t inodeBitmap = 0;
  uint64_t inodeTable = 0;
  uint16_t flags = 0;  // kGdBlockUninit …
};

// Decodes the descriptor table (groupCount descriptors of the superblock's descriptor size)
// and checks that every inode table lies inside the volume.
Result<std::vector<ExtGroupDescriptor>> parseGroupDescriptors(ByteSpan table,
                                                                             const ExtSuperblock& sb);

// The first 128 bytes of an inode, decoded.
struct ExtInode {
  std::array<uint8_t, kInodeCopySize> raw{};
  uint16_t mode = 0;
  uint32_t sizeLow = 0;
  uint32_t sizeHigh = 0;
  uint32_t atime = 0;
  uint32_t ctime = 0;
  uint32_t mtime = 0;
  uint32_t dtime = 0;
  uint16_t links = 0;
  uint64_t blockCount = 0;  // 512-byte units (file-system blocks with kInodeFlagHugeFile)
  uint32_t flags = 0;
  uint32_t generation = 0;
  uint64_t fileAcl = 0;  // block of extended attributes, counted in the block count
  std::array<uint32_t, kInodePointerCount> block{};

  // Bytes shorter than 128 are taken as zero-padded.
  static ExtInode decode(ByteSpan bytes);
  // The journal inode as the superblock's copy of it describes it (a regular file; an
  // extent tree when the words begin with one).
  static std::optional<ExtInode> journalFromBackup(const ExtSuperblock& sb);

  bool isRegular() const { return (mode & kModeTypeMask) == kModeRegular; }
  bool usesExtents() const { return (flags & kInodeFlagExtents) != 0; }
  // The full byte size: the high word counts for regular files from revision 1 on.
  uint64_t contentSize(uint32_t revision) const {
    return revision >= 1 && isRegular() ? (uint64_t(sizeHigh) << 32) | sizeLow : sizeLow;
  }
  // Whether the inode still maps blocks: a first block pointer, or an extent tree root with
  // entries (deletion empties the root and leaves its header).
  bool mapsBlocks() const;
  // The 60 bytes of block pointers (or of the extent tree root).
  ByteSpan blockArea() const { return ByteSpan(raw).subspan(kInBlock, kInBlockBytes); }
  // Blocks of blockSize bytes the inode says it holds (data, mapping and attribute blocks).
  uint64_t blocksHeld(uint32_t blockSize) const {
    return flags & kInodeFlagHugeFile ? blockCount : blockCount / (blockSize / 512);
  }
};

// "inode_%p.tmp" of an inode number: eight upper-case hexadecimal digits.
std::string generatedInodeName(uint32_t inodeNumber);

}  // namespace velk
