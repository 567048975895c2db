#include "formats/ext_journal.h"

namespace velk {

std::optional<JournalHeader> JournalHeader::parse(ByteSpan block) {
  if (!fits(block, 0, kJournalHeaderSize) || be32At(block, 0) != kJournalMagic) return std::nullopt;
  return JournalHeader{be32At(block, 4), be32At(block, 8)};
}

size_t JournalSuperblock::tagSize() const {
  if (checksumV3()) return 16;
  size_t size = 8;
  if (checksumV2()) size += 2;
  if (wideBlocks()) size += 4;
  return size;
}

Result<JournalSuperblock> JournalSuperblock::parse(ByteSpan block) {
  auto header = JournalHeader::parse(block);
  if (!header || (header->type != kJournalSuperblockV1 && header->type != kJournalSuperblockV2))
    return fail(corruptError("the journal superblock"));
  JournalSuperblock j;
  j.type = header->type;
  j.blockSize = be32At(block, kJsbBlockSize);
  j.maxLength = be32At(block, kJsbMaxLength);
  j.first = be32At(block, kJsbFirst);
  if (j.type == kJournalSuperblockV2) j.featureIncompat = be32At(block, kJsbFeatureIncompat);
  return j;
}

std::vector<JournalTag> descriptorTags(ByteSpan block, const JournalSuperblock& journal) {
  std::vector<JournalTag> tags;
  const size_t tagSize = journal.tagSize();
  size_t end = block.size();
  if (journal.checksumV2() || journal.checksumV3()) end = end >= kJournalBlockTailSize ? end - kJournalBlockTailSize : 0;
  ByteSpan area = block.first(end);
  // journal_block_tag3_t: blocknr, flags (32 bits), blocknr_high, checksum.
  // journal_block_tag_t: blocknr, checksum (16 bits), flags (16 bits), blocknr_high. The
  // old jbd tag's 32-bit flags read the same through their low half.
  for (size_t pos = kJournalHeaderSize; fits(area, pos, tagSize);) {
    JournalTag tag;
    tag.block = be32At(area, pos);
    if (journal.checksumV3()) {
      tag.flags = be32At(area, pos + 4);
      if (journal.wideBlocks()) tag.block |= uint64_t(be32At(area, pos + 8)) << 32;
    } else {
      tag.flags = be16(area.data() + pos + 6);
      if (journal.wideBlocks()) tag.block |= uint64_t(be32At(area, pos + 8)) << 32;
    }
    tags.push_back(tag);
    pos += tagSize;
    if (tag.flags & kTagLast) break;
    if (!(tag.flags & kTagSameUuid)) pos += kJournalUuidSize;
  }
  return tags;
}

namespace {

constexpr uint32_t kDotEntry = 0x0201000C;     // record length 12, name length 1, type 2
constexpr uint32_t kDotName = 0x0000002E;      // "."
constexpr uint32_t kDotDotEntry = 0x0202000C;  // record length 12, name length 2, type 2
constexpr uint32_t kDotDotName = 0x00002E2E;   // ".."

}  // namespace

bool looksLikeFirstDirectoryBlock(ByteSpan block) {
  return block.size() >= 24 && le32At(block, 4) == kDotEntry && le32At(block, 8) == kDotName &&
         le32At(block, 16) == kDotDotEntry && le32At(block, 20) == kDotDotName;
}

bool looksLikeDirectoryBlock(ByteSpan block, uint32_t inodeCount) {
  size_t pos = 0;
  size_t live = 0;
  while (pos < block.size()) {
    if (!fits(block, pos, kDirEntryHeader)) return false;
    const uint32_t inode = le32At(block, pos);
    const uint16_t recordLength = le16At(block, pos + 4);
    const uint8_t nameLength = u8At(block, pos + 6);
    const uint8_t type = u8At(block, pos + 7);
    if (recordLength < 12 || recordLength % 4 != 0 || recordLength > block.size() - pos) return false;
    if (kDirEntryHeader + nameLength > recordLength) return false;
    if (inode != 0) {
      if (inode > inodeCount || nameLength == 0 || type == 0 || type > 7) return false;
      for (size_t i = 0; i < nameLength; ++i) {
        const uint8_t c = block[pos + kDirEntryHeader + i];
        if (c == 0 || c == '/') return false;
      }
      ++live;
    }
    pos += recordLength;
  }
  return pos == block.size() && live > 0;
}

std::vector<DirEntry> directoryEntries(ByteSpan block, uint32_t inodeCount) {
  std::vector<DirEntry> out;
  forEachDirectoryEntry(block, inodeCount, [&](uint32_t inode, uint8_t type, std::string_view name) {
    out.push_back(DirEntry{inode, type, std::string(name)});
  });
  return out;
}

}  // namespace velk
