#include "formats/ext_layout.h"

#include <cstdio>

namespace velk {

namespace {

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// True when v is a power of base (1 counts: base^0).
bool isPowerOf(uint64_t v, uint64_t base) {
  if (v == 0) return false;
  while (v % base == 0) v /= base;
  return v == 1;
}

}  // namespace

bool ExtSuperblock::groupHasSuperblock(uint64_t group) const {
  if (!(featureRoCompat & kExtRoCompatSparseSuper)) return true;
  if (group <= 1) return true;
  return isPowerOf(group, 3) || isPowerOf(group, 5) || isPowerOf(group, 7);
}

std::optional<ExtSuperblock> ExtSuperblock::decode(ByteSpan bytes) {
  if (bytes.size() < kExtSuperblockSize || le16At(bytes, kSbMagic) != kExtMagic) return std::nullopt;
  ExtSuperblock sb;
  sb.inodeCount = le32At(bytes, kSbInodeCount);
  sb.firstDataBlock = le32At(bytes, kSbFirstDataBlock);
  sb.logBlockSize = le32At(bytes, kSbLogBlockSize);
  sb.blocksPerGroup = le32At(bytes, kSbBlocksPerGroup);
  sb.inodesPerGroup = le32At(bytes, kSbInodesPerGroup);
  sb.revision = le32At(bytes, kSbRevision);
  sb.featureCompat = le32At(bytes, kSbFeatureCompat);
  sb.featureIncompat = le32At(bytes, kSbFeatureIncompat);
  sb.featureRoCompat = le32At(bytes, kSbFeatureRoCompat);
  sb.journalInode = le32At(bytes, kSbJournalInode);
  sb.hasJournalBackup = u8At(bytes, kSbJournalBackupType) == kExtJournalBackupBlocks;
  for (size_t i = 0; i < kExtJournalBackupWords; ++i) sb.journalBackup[i] = le32At(bytes, kSbJournalBlocks + 4 * i);
  sb.volumeName = fixedText(bytes, kSbVolumeName, kSbVolumeNameSize);
  sb.blockCount = le32At(bytes, kSbBlockCount);
  sb.freeBlocks = le32At(bytes, kSbFreeBlocks);
  sb.blockGroupNumber = le16At(bytes, kSbBlockGroupNumber);
  const bool wide = (sb.featureIncompat & kExtIncompat64Bit) != 0;
  if (wide) {
    sb.blockCount |= uint64_t(le32At(bytes, kSbBlockCountHigh)) << 32;
    sb.freeBlocks |= uint64_t(le32At(bytes, kSbFreeBlocksHigh)) << 32;
  }
  if (sb.logBlockSize > kExtMaxLogBlockSize) return std::nullopt;
  sb.blockSize = 1024u << sb.logBlockSize;
  if (sb.revision >= 1) sb.inodeSize = le16At(bytes, kSbInodeSize);
  if (wide) sb.descriptorSize = le16At(bytes, kSbDescriptorSize);
  return sb;
}

Result<ExtSuperblock> ExtSuperblock::parse(ByteSpan bytes) {
  if (bytes.size() < kExtSuperblockSize) return fail(corruptError("the EXT superblock"));
  if (le16At(bytes, kSbMagic) != kExtMagic) return fail(unsupportedError("the volume holds no EXT file system"));
  auto decoded = decode(bytes);
  if (!decoded) return fail(corruptError("the EXT superblock", "its block size is out of range"));
  ExtSuperblock sb = *decoded;
  const bool wide = (sb.featureIncompat & kExtIncompat64Bit) != 0;
  const uint64_t bitsPerBlock = uint64_t(sb.blockSize) * 8;
  if (sb.blocksPerGroup < 1 || sb.blocksPerGroup > bitsPerBlock) return fail(corruptError("the EXT superblock"));
  if (sb.inodesPerGroup < 1 || sb.inodesPerGroup > bitsPerBlock) return fail(corruptError("the EXT superblock"));
  if (sb.firstDataBlock > 1 || sb.firstDataBlock >= sb.blockCount) return fail(corruptError("the EXT superblock"));

  const uint64_t groups = (sb.blockCount - sb.firstDataBlock - 1) / sb.blocksPerGroup + 1;
  if (groups > UINT32_MAX) return fail(corruptError("the EXT superblock"));
  sb.groupCount = uint32_t(groups);
  if (uint64_t(sb.inodeCount) > groups * sb.inodesPerGroup) return fail(corruptError("the EXT superblock"));

  if (sb.revision >= 1) {
    if (!isPowerOfTwo(sb.inodeSize) || sb.inodeSize < kExtGoodOldInodeSize || sb.inodeSize > sb.blockSize)
      return fail(corruptError("the EXT superblock"));
  }
  if (wide) {
    if (!isPowerOfTwo(sb.descriptorSize) || sb.descriptorSize < kGdMinSize64 || sb.descriptorSize > kGdMaxSize ||
        sb.descriptorSize > sb.blockSize)
      return fail(corruptError("the EXT superblock"));
  }
  // meta_bg spreads the descriptors over the volume; reading the classic table would
  // take unrelated blocks for descriptors.
  if (sb.featureIncompat & kExtIncompatMetaBg) return fail(unsupportedError("EXT volumes whose group descriptors are spread by meta_bg are not read"));

  // The descriptor table must lie inside the volume.
  if (sb.descriptorTableBlock() + sb.descriptorTableBlocks() > sb.blockCount)
    return fail(corruptError("the EXT superblock"));
  if (sb.inodeTableBlocks() > sb.blockCount) return fail(corruptError("the EXT superblock"));
  return sb;
}

std::vector<ExtBackupSite> extBackupSites(uint64_t volumeBytes) {
  std::vector<ExtBackupSite> sites;
  for (uint32_t group : {1u, 3u, 5u, 7u, 9u}) {
    for (uint32_t log = 0; log <= kExtMaxLogBlockSize; ++log) {
      const uint32_t blockSize = 1024u << log;
      const uint64_t firstDataBlock = blockSize == 1024 ? 1 : 0;
      const uint64_t offset = (firstDataBlock + uint64_t(group) * 8 * blockSize) * blockSize;
      if (volumeBytes == 0 || offset < volumeBytes) sites.push_back({offset, group, blockSize});
    }
  }
  return sites;
}

Result<ExtSuperblock> parseBackupSuperblock(ByteSpan bytes, const ExtBackupSite& site) {
  auto sb = ExtSuperblock::parse(bytes);
  if (!sb) return sb;
  const uint64_t start = (uint64_t(sb->firstDataBlock) + uint64_t(site.group) * sb->blocksPerGroup) * sb->blockSize;
  if (sb->blockGroupNumber != site.group || sb->blockSize != site.blockSize || start != site.offset ||
      site.group >= sb->groupCount)
    return fail(corruptError("the EXT backup superblock", "it is not the copy of the group it lies in"));
  return sb;
}

std::optional<ExtBackupSuperblock> findBackupSuperblock(
    uint64_t volumeBytes, const std::function<bool(uint64_t offset, std::span<uint8_t> out)>& read) {
  std::array<uint8_t, kExtSuperblockSize> bytes{};
  for (const ExtBackupSite& site : extBackupSites(volumeBytes)) {
    if (!read(site.offset, bytes)) continue;
    if (auto sb = parseBackupSuperblock(bytes, site)) return ExtBackupSuperblock{*sb, site.group};
  }
  return std::nullopt;
}

Result<std::vector<ExtGroupDescriptor>> parseGroupDescriptors(ByteSpan table,
                                                                             const ExtSuperblock& sb) {
  if (table.size() < sb.descriptorTableBytes()) return fail(corruptError("the EXT group descriptors"));
  const bool wide = sb.descriptorSize >= kGdMinSize64;
  const uint64_t tableBlocks = sb.inodeTableBlocks();
  std::vector<ExtGroupDescriptor> out;
  out.reserve(sb.groupCount);
  for (uint32_t g = 0; g < sb.groupCount; ++g) {
    ByteSpan d = table.subspan(size_t(g) * sb.descriptorSize, sb.descriptorSize);
    ExtGroupDescriptor gd;
    gd.blockBitmap = le32At(d, kGdBlockBitmap);
    gd.inodeBitmap = le32At(d, kGdInodeBitmap);
    gd.inodeTable = le32At(d, kGdInodeTable);
    gd.flags = le16At(d, kGdFlags);
    if (wide) {
      gd.blockBitmap |= uint64_t(le32At(d, kGdBlockBitmapHigh)) << 32;
      gd.inodeBitmap |= uint64_t(le32At(d, kGdInodeBitmapHigh)) << 32;
      gd.inodeTable |= uint64_t(le32At(d, kGdInodeTableHigh)) << 32;
    }
    if (gd.inodeTable == 0 || gd.inodeTable > sb.blockCount - tableBlocks) return fail(corruptError("the EXT group descriptors"));
    out.push_back(gd);
  }
  return out;
}

ExtInode ExtInode::decode(ByteSpan bytes) {
  ExtInode in;
  std::copy_n(bytes.begin(), std::min(bytes.size(), in.raw.size()), in.raw.begin());
  ByteSpan r(in.raw);
  in.mode = le16At(r, kInMode);
  in.sizeLow = le32At(r, kInSize);
  in.sizeHigh = le32At(r, kInSizeHigh);
  in.atime = le32At(r, kInAtime);
  in.ctime = le32At(r, kInCtime);
  in.mtime = le32At(r, kInMtime);
  in.dtime = le32At(r, kInDtime);
  in.links = le16At(r, kInLinks);
  in.blockCount = le32At(r, kInBlockCount) | (uint64_t(le16At(r, kInBlockCountHigh)) << 32);
  in.flags = le32At(r, kInFlags);
  in.generation = le32At(r, kInGeneration);
  in.fileAcl = le32At(r, kInFileAcl) | (uint64_t(le16At(r, kInFileAclHigh)) << 32);
  for (size_t i = 0; i < kInodePointerCount; ++i) in.block[i] = le32At(r, kInBlock + 4 * i);
  return in;
}

bool ExtInode::mapsBlocks() const {
  if (!usesExtents()) return block[0] != 0;
  auto root = ExtentHeader::parse(blockArea());
  return root && root->entries > 0;
}

std::optional<ExtInode> ExtInode::journalFromBackup(const ExtSuperblock& sb) {
  if (!sb.hasJournalBackup) return std::nullopt;
  std::array<uint8_t, kInodeCopySize> raw{};
  putLe16(raw.data() + kInMode, kModeRegular | 0600);
  for (size_t i = 0; i < kInodePointerCount; ++i) putLe32(raw.data() + kInBlock + 4 * i, sb.journalBackup[i]);
  putLe32(raw.data() + kInSizeHigh, sb.journalBackup[kInodePointerCount]);
  putLe32(raw.data() + kInSize, sb.journalBackup[kInodePointerCount + 1]);
  if (le16At(raw, kInBlock) == kExtentMagic) putLe32(raw.data() + kInFlags, kInodeFlagExtents);
  return decode(raw);
}

std::optional<ExtentHeader> ExtentHeader::parse(ByteSpan node) {
  if (le16At(node, 0) != kExtentMagic) return std::nullopt;
  ExtentHeader h;
  h.entries = le16At(node, 2);
  const uint16_t max = le16At(node, 4);
  h.depth = le16At(node, 6);
  if (h.depth > kExtentMaxDepth || h.entries > max) return std::nullopt;
  if (kExtentHeaderSize + size_t(h.entries) * kExtentEntrySize > node.size()) return std::nullopt;
  return h;
}

std::string generatedInodeName(uint32_t inodeNumber) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "inode_%08X.tmp", inodeNumber);
  return buf;
}

}  // namespace velk
