#include "engines/ext/ext_block_map.h"

#include <cerrno>

namespace velk {

ExtBlockMap::ExtBlockMap(const ExtInode& inode, uint32_t blockSize, uint64_t blockCount, ExtBlockReader read)
    : m_inode(inode), m_blockSize(blockSize), m_blockCount(blockCount), m_perBlock(blockSize / 4),
      m_read(std::move(read)) {}

uint64_t ExtBlockMap::addressableBlocks() const {
  if (m_inode.usesExtents()) return uint64_t(1) << 32;
  return tripleIndirectStart() + m_perBlock * m_perBlock * m_perBlock;
}

Result<ByteSpan> ExtBlockMap::load(size_t level, uint64_t block) {
  if (block >= m_blockCount) return fail(corruptError("the file's block map"));
  Cached& c = m_levels[level];
  if (c.block != block) {
    c.data.resize(m_blockSize);
    if (!m_read(block, c.data)) {
      c.block = UINT64_MAX;
      return fail(ioError("reading the file's block map", EIO));
    }
    c.block = block;
    m_mappingBlocks.push_back(block);
  }
  return ByteSpan(c.data);
}

Result<uint64_t> ExtBlockMap::map(uint64_t fileBlock) {
  if (fileBlock >= addressableBlocks()) return fail(corruptError("the file's block map"));
  return m_inode.usesExtents() ? mapExtents(fileBlock) : mapIndirect(fileBlock);
}

Result<uint64_t> ExtBlockMap::mapIndirect(uint64_t fileBlock) {
  uint64_t root;
  std::array<uint64_t, 3> index{};
  size_t levels;
  const uint64_t n = m_perBlock;
  if (fileBlock < kDirectPointers) {
    root = m_inode.block[fileBlock];
    levels = 0;
  } else if (fileBlock < doubleIndirectStart()) {
    root = m_inode.block[kSingleIndirect];
    index[0] = fileBlock - kDirectPointers;
    levels = 1;
  } else if (fileBlock < tripleIndirectStart()) {
    const uint64_t b = fileBlock - doubleIndirectStart();
    root = m_inode.block[kDoubleIndirect];
    index[0] = b / n;
    index[1] = b % n;
    levels = 2;
  } else {
    const uint64_t b = fileBlock - tripleIndirectStart();
    root = m_inode.block[kTripleIndirect];
    index[0] = b / (n * n);
    index[1] = (b / n) % n;
    index[2] = b % n;
    levels = 3;
  }
  uint64_t pointer = root;
  for (size_t level = 0; level < levels; ++level) {
    if (pointer == kExtHole) return kExtHole;  // a missing indirect block: the whole range is a hole
    auto data = load(level, pointer);
    if (!data) return fail(data.error());
    pointer = le32At(*data, size_t(index[level]) * 4);
  }
  if (pointer >= m_blockCount) return fail(corruptError("the file's block map"));
  return pointer;
}

Result<uint64_t> ExtBlockMap::mapExtents(uint64_t fileBlock) {
  ByteSpan node = m_inode.blockArea();
  auto header = ExtentHeader::parse(node);
  if (!header) return fail(corruptError("the file's block map"));
  // Each step goes one level down; a child whose depth is not exactly one less than its
  // parent's ends the lookup, so the descent is bounded by the root's depth.
  for (size_t level = 0;; ++level) {
    if (header->depth == 0) {
      for (uint16_t i = 0; i < header->entries; ++i) {
        ByteSpan e = node.subspan(kExtentHeaderSize + size_t(i) * kExtentEntrySize, kExtentEntrySize);
        const uint32_t first = le32At(e, 0);
        uint32_t length = le16At(e, 4);
        const bool unwritten = length > kExtentInitMaxLength;
        if (unwritten) length -= kExtentInitMaxLength;
        const uint64_t start = (uint64_t(le16At(e, 6)) << 32) | le32At(e, 8);
        if (fileBlock < first || fileBlock - first >= length) continue;
        if (start >= m_blockCount || length > m_blockCount - start) return fail(corruptError("the file's block map"));
        if (unwritten) return kExtHole;  // allocated but never written: reads as zeros
        return start + (fileBlock - first);
      }
      return kExtHole;
    }
    // Index node: the last entry starting at or before the block leads down.
    int chosen = -1;
    for (uint16_t i = 0; i < header->entries; ++i) {
      ByteSpan e = node.subspan(kExtentHeaderSize + size_t(i) * kExtentEntrySize, kExtentEntrySize);
      if (le32At(e, 0) <= fileBlock) chosen = i;
      else break;
    }
    if (chosen < 0) return kExtHole;
    ByteSpan e = node.subspan(kExtentHeaderSize + size_t(chosen) * kExtentEntrySize, kExtentEntrySize);
    const uint64_t child = (uint64_t(le16At(e, 8)) << 32) | le32At(e, 4);
    if (level >= kExtentMaxDepth) return fail(corruptError("the file's block map"));
    auto data = load(level, child);
    if (!data) return fail(data.error());
    auto childHeader = ExtentHeader::parse(*data);
    if (!childHeader || childHeader->depth + 1 != header->depth) return fail(corruptError("the file's block map"));
    node = *data;
    header = childHeader;
  }
}

}  // namespace velk
