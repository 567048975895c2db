#pragma once
// Small EXT2/EXT3 volumes laid out byte by byte for the engine's tests. Each group holds,
// from its first block: superblock slot, descriptor slot, block bitmap, inode bitmap, inode
// table; data blocks are handed out after the last group's table. Tests place inodes, file
// contents and journal blocks themselves, so every expected value is known by construction.

#include <array>
#include <cstring>
#include <stdexcept>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "formats/bytes.h"
#include "engines/ext/ext_volume.h"
#include "test_support.h"
#include "formats/ext_journal.h"
#include "formats/ext_layout.h"

namespace velk::test {

inline constexpr int64_t kTestNow = 1767323045;  // 2026-01-02 03:04:05 UTC
inline constexpr uint16_t kRegular644 = 0x81A4;

struct InodeFields {
  uint16_t mode = kRegular644;
  uint64_t size = 0;
  uint32_t atime = uint32_t(kTestNow - 300);
  uint32_t ctime = uint32_t(kTestNow - 200);
  uint32_t mtime = uint32_t(kTestNow - 100);
  uint32_t dtime = 0;
  uint32_t blocks512 = 0;
  uint32_t flags = 0;
  std::array<uint32_t, 15> block{};
};

struct ExtGeometry {
  uint32_t blockSize = 1024;
  uint32_t inodeSize = 128;
  uint32_t groups = 1;
  uint32_t blocksPerGroup = 2048;
  uint32_t inodesPerGroup = 64;
  uint32_t revision = 1;
  uint32_t journalInode = 0;
  bool sparseSuper = true;
};

class ExtImage {
 public:
  explicit ExtImage(const ExtGeometry& g) : m_g(g) {
    m_firstDataBlock = g.blockSize == 1024 ? 1 : 0;
    m_blockCount = uint64_t(m_firstDataBlock) + uint64_t(g.groups) * g.blocksPerGroup;
    m_bytes = std::make_shared<std::vector<uint8_t>>(size_t(m_blockCount * g.blockSize), 0);
    m_tableBlocks = (g.inodesPerGroup * g.inodeSize + g.blockSize - 1) / g.blockSize;
    writeSuperblock();
    for (uint32_t grp = 0; grp < g.groups; ++grp) {
      uint8_t* d = block(descriptorBlock()) + grp * 32;
      putLe32(d + kGdBlockBitmap, uint32_t(groupStart(grp) + 2));
      putLe32(d + kGdInodeBitmap, uint32_t(groupStart(grp) + 3));
      putLe32(d + kGdInodeTable, uint32_t(groupStart(grp) + 4));
    }
    m_next = groupStart(g.groups - 1) + 4 + m_tableBlocks;
  }

  const ExtGeometry& geometry() const { return m_g; }
  uint64_t blockCount() const { return m_blockCount; }
  uint32_t blockSize() const { return m_g.blockSize; }
  uint64_t groupStart(uint32_t group) const { return m_firstDataBlock + uint64_t(group) * m_g.blocksPerGroup; }
  uint64_t descriptorBlock() const { return m_firstDataBlock + 1; }
  uint64_t inodeTable(uint32_t group) const { return groupStart(group) + 4; }
  uint32_t inodeCount() const { return m_g.groups * m_g.inodesPerGroup; }

  uint8_t* at(uint64_t offset) { return m_bytes->data() + offset; }
  uint8_t* block(uint64_t n) { return at(n * m_g.blockSize); }
  uint8_t* superblock() { return at(1024); }
  std::shared_ptr<std::vector<uint8_t>> bytes() const { return m_bytes; }

  // The table block and the byte offset of inode n.
  uint64_t inodeBlock(uint32_t n) const {
    const uint32_t index = (n - 1) % m_g.inodesPerGroup;
    return inodeTable((n - 1) / m_g.inodesPerGroup) + index / (m_g.blockSize / m_g.inodeSize);
  }
  uint8_t* inode(uint32_t n) {
    const uint32_t index = (n - 1) % m_g.inodesPerGroup;
    return block(inodeBlock(n)) + (index % (m_g.blockSize / m_g.inodeSize)) * m_g.inodeSize;
  }
  void markInodeUsed(uint32_t n, bool used = true) {
    const uint32_t index = (n - 1) % m_g.inodesPerGroup;
    uint8_t* bitmap = block(groupStart((n - 1) / m_g.inodesPerGroup) + 3);
    if (used) bitmap[index / 8] |= uint8_t(1u << (index % 8));
    else bitmap[index / 8] &= uint8_t(~(1u << (index % 8)));
  }

  static void encodeInode(uint8_t* p, const InodeFields& s) {
    putLe16(p + kInMode, s.mode);
    putLe32(p + kInSize, uint32_t(s.size));
    putLe32(p + kInSizeHigh, uint32_t(s.size >> 32));
    putLe32(p + kInAtime, s.atime);
    putLe32(p + kInCtime, s.ctime);
    putLe32(p + kInMtime, s.mtime);
    putLe32(p + kInDtime, s.dtime);
    putLe32(p + kInBlockCount, s.blocks512);
    putLe32(p + kInFlags, s.flags);
    for (size_t i = 0; i < 15; ++i) putLe32(p + kInBlock + 4 * i, s.block[i]);
  }
  void setInode(uint32_t n, const InodeFields& s) { encodeInode(inode(n), s); }

  uint64_t allocate(uint64_t count = 1) {
    const uint64_t first = m_next;
    m_next += count;
    if (m_next > m_blockCount) throw std::runtime_error("test image full");
    return first;
  }

  // Lays content out in fresh blocks with a classic block map (direct, single and double
  // indirect) and returns the inode describing it.
  InodeFields placeFile(const std::vector<uint8_t>& content, InodeFields fields = {}) {
    const uint32_t b = m_g.blockSize;
    const uint64_t perBlock = b / 4;
    const uint64_t blocks = (content.size() + b - 1) / b;
    fields.size = content.size();
    uint64_t meta = 0;
    auto pointerSlot = [&](uint64_t fileBlock) -> uint8_t* {
      if (fileBlock < 12) return nullptr;
      uint64_t i = fileBlock - 12;
      if (i < perBlock) {
        if (!fields.block[12]) fields.block[12] = uint32_t(allocate()), ++meta;
        return block(fields.block[12]) + 4 * i;
      }
      i -= perBlock;
      if (!fields.block[13]) fields.block[13] = uint32_t(allocate()), ++meta;
      uint8_t* first = block(fields.block[13]) + 4 * (i / perBlock);
      if (!le32(first)) putLe32(first, uint32_t(allocate())), ++meta;
      return block(le32(first)) + 4 * (i % perBlock);
    };
    for (uint64_t f = 0; f < blocks; ++f) {
      const uint64_t data = allocate();
      const size_t n = std::min<size_t>(b, content.size() - f * b);
      std::copy_n(content.begin() + ptrdiff_t(f * b), n, block(data));
      if (f < 12) fields.block[f] = uint32_t(data);
      else putLe32(pointerSlot(f), uint32_t(data));
    }
    fields.blocks512 = uint32_t((blocks + meta) * (b / 512));
    return fields;
  }

  std::unique_ptr<Ext2Volume> openExt2(const std::string& label = "TESTVOL") {
    PartitionRecord r;
    r.setLabel(label);
    r.setFsName("EXT2");
    auto v = std::make_unique<Ext2Volume>(r, test::memoryReader(m_bytes));
    v->setClock([] { return kTestNow; });
    return v;
  }
  std::unique_ptr<Ext3Volume> openExt3(const std::string& label = "TESTVOL") {
    PartitionRecord r;
    r.setLabel(label);
    r.setFsName("EXT3");
    auto v = std::make_unique<Ext3Volume>(r, test::memoryReader(m_bytes));
    v->setClock([] { return kTestNow; });
    return v;
  }

  void writeSuperblock() {
    uint8_t* sb = superblock();
    putLe32(sb + kSbInodeCount, inodeCount());
    putLe32(sb + kSbBlockCount, uint32_t(m_blockCount));
    putLe32(sb + kSbFirstDataBlock, m_firstDataBlock);
    uint32_t log = 0;
    while ((1024u << log) < m_g.blockSize) ++log;
    putLe32(sb + kSbLogBlockSize, log);
    putLe32(sb + kSbBlocksPerGroup, m_g.blocksPerGroup);
    putLe32(sb + kSbInodesPerGroup, m_g.inodesPerGroup);
    putLe16(sb + kSbMagic, kExtMagic);
    putLe32(sb + kSbRevision, m_g.revision);
    putLe16(sb + kSbInodeSize, uint16_t(m_g.inodeSize));
    putLe32(sb + kSbFeatureRoCompat, m_g.sparseSuper ? kExtRoCompatSparseSuper : 0);
    putLe32(sb + kSbJournalInode, m_g.journalInode);
    if (m_g.journalInode) putLe32(sb + kSbFeatureCompat, kExtCompatHasJournal);
    std::memcpy(sb + kSbVolumeName, "synthetic", 9);
  }

 private:
  ExtGeometry m_g;
  uint32_t m_firstDataBlock = 1;
  uint64_t m_blockCount = 0;
  uint32_t m_tableBlocks = 0;
  uint64_t m_next = 0;
  std::shared_ptr<std::vector<uint8_t>> m_bytes;
};

// Journal blocks in order, written into the image as the journal inode's file.
class JournalBuilder {
 public:
  explicit JournalBuilder(uint32_t blockSize) : m_blockSize(blockSize) {}

  std::vector<uint8_t> header(uint32_t type) const {
    std::vector<uint8_t> b(m_blockSize, 0);
    putBe32(b.data(), kJournalMagic);
    putBe32(b.data() + 4, type);
    putBe32(b.data() + 8, m_sequence);
    return b;
  }
  JournalBuilder& superblock(uint32_t type = kJournalSuperblockV2, uint32_t incompat = 0) {
    auto b = header(type);
    putBe32(b.data() + kJsbBlockSize, m_blockSize);
    putBe32(b.data() + kJsbFirst, 1);
    if (type == kJournalSuperblockV2) putBe32(b.data() + kJsbFeatureIncompat, incompat);
    m_blocks.push_back(std::move(b));
    return *this;
  }
  // Classic 8-byte tags; the first carries the UUID, later ones the same-UUID flag.
  JournalBuilder& descriptor(const std::vector<uint32_t>& targets) {
    auto b = header(kJournalDescriptor);
    size_t pos = 12;
    for (size_t i = 0; i < targets.size(); ++i) {
      uint32_t flags = i == 0 ? 0 : kTagSameUuid;
      if (i + 1 == targets.size()) flags |= kTagLast;
      putBe32(b.data() + pos, targets[i]);
      putBe32(b.data() + pos + 4, flags);
      pos += 8 + (i == 0 ? 16 : 0);
    }
    m_blocks.push_back(std::move(b));
    return *this;
  }
  JournalBuilder& data(std::vector<uint8_t> copy) {
    copy.resize(m_blockSize);
    m_blocks.push_back(std::move(copy));
    return *this;
  }
  JournalBuilder& commit() {
    m_blocks.push_back(header(kJournalCommit));
    ++m_sequence;
    return *this;
  }
  JournalBuilder& raw(std::vector<uint8_t> block) { return data(std::move(block)); }
  // The transaction number the next descriptor and commit carry.
  JournalBuilder& sequence(uint32_t n) {
    m_sequence = n;
    return *this;
  }

  // Writes the journal contiguously into fresh blocks and points the journal inode at them
  // (direct and single indirect). minBlocks pads it with zero blocks.
  void install(ExtImage& img, uint32_t journalInode, size_t minBlocks = 0) {
    while (m_blocks.size() < minBlocks) m_blocks.emplace_back(m_blockSize, 0);
    InodeFields s;
    s.mode = 0x8180;
    s.size = uint64_t(m_blocks.size()) * m_blockSize;
    const uint64_t first = img.allocate(m_blocks.size());
    for (size_t i = 0; i < m_blocks.size(); ++i) std::copy(m_blocks[i].begin(), m_blocks[i].end(), img.block(first + i));
    for (size_t i = 0; i < m_blocks.size() && i < 12; ++i) s.block[i] = uint32_t(first + i);
    if (m_blocks.size() > 12) {
      s.block[12] = uint32_t(img.allocate());
      for (size_t i = 12; i < m_blocks.size(); ++i) putLe32(img.block(s.block[12]) + 4 * (i - 12), uint32_t(first + i));
    }
    img.setInode(journalInode, s);
    img.markInodeUsed(journalInode);
  }

  static void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
  }

 private:
  uint32_t m_blockSize;
  uint32_t m_sequence = 1;
  std::vector<std::vector<uint8_t>> m_blocks;
};

// A directory block: "." and ".." and then the given entries, the last one stretched to
// the end of the block.
inline std::vector<uint8_t> directoryBlock(uint32_t blockSize, uint32_t self, uint32_t parent,
                                           const std::vector<std::pair<uint32_t, std::string>>& entries,
                                           uint8_t type = 1, bool first = true) {
  std::vector<uint8_t> b(blockSize, 0);
  size_t pos = 0;
  auto put = [&](uint32_t inode, const std::string& name, uint8_t t, bool last) {
    const uint16_t minimal = uint16_t((8 + name.size() + 3) / 4 * 4);
    const uint16_t length = last ? uint16_t(blockSize - pos) : minimal;
    putLe32(b.data() + pos, inode);
    putLe16(b.data() + pos + 4, length);
    b[pos + 6] = uint8_t(name.size());
    b[pos + 7] = t;
    std::memcpy(b.data() + pos + 8, name.data(), name.size());
    pos += length;
  };
  if (first) {
    put(self, ".", 2, false);
    put(parent, "..", 2, entries.empty());
  }
  for (size_t i = 0; i < entries.size(); ++i) put(entries[i].first, entries[i].second, type, i + 1 == entries.size());
  return b;
}

inline std::vector<uint8_t> patterned(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : v) {
    x = x * 1103515245u + 12345u;
    c = uint8_t(x >> 16);
  }
  return v;
}

}  // namespace velk::test
