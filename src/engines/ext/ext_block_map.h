#pragma once
// Where the blocks of a file lie: the classic map of 12 direct pointers and single, double
// and triple indirect blocks, or (ext4 inodes found in journals) an extent tree.
//
// Each lookup descends from the inode by index, so a looping or self-referencing indirect
// block can give wrong numbers but never an endless walk: a lookup costs at most three
// block reads (extent trees: one per level, with the depth strictly falling). The blocks
// last read at each level are kept, so walking a file in order reads every indirect block
// once. A zero pointer is a hole that reads as zeros.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>


#include "support/error.h"
#include "formats/ext_layout.h"

namespace velk {

// Reads one whole block (out.size() == block size); false when it cannot be read.
using ExtBlockReader = std::function<bool(uint64_t block, std::span<uint8_t> out)>;

// The number a lookup answers for a hole.
inline constexpr uint64_t kExtHole = 0;

class ExtBlockMap {
 public:
  ExtBlockMap(const ExtInode& inode, uint32_t blockSize, uint64_t blockCount, ExtBlockReader read);

  // The volume block holding file block fileBlock, or kExtHole. Corrupt when a
  // pointer lies past the volume's end, a mapping block is malformed, or the file block
  // lies beyond what the map can address; the reader's failure as EIO.
  Result<uint64_t> map(uint64_t fileBlock);

  // How many file blocks the map can address.
  uint64_t addressableBlocks() const;
  // The mapping blocks (indirect blocks, extent tree nodes) read so far, in the order read;
  // a lookup in file order reads each once.
  const std::vector<uint64_t>& mappingBlocks() const { return m_mappingBlocks; }

  // The first file block of each region of a classic map.
  static uint64_t singleIndirectStart() { return kDirectPointers; }
  uint64_t doubleIndirectStart() const { return kDirectPointers + m_perBlock; }
  uint64_t tripleIndirectStart() const { return kDirectPointers + m_perBlock + m_perBlock * m_perBlock; }

 private:
  struct Cached {
    uint64_t block = UINT64_MAX;
    std::vector<uint8_t> data;
  };
  // The mapping block at a level, read once and then kept until another block is asked for.
  Result<ByteSpan> load(size_t level, uint64_t block);
  Result<uint64_t> mapIndirect(uint64_t fileBlock);
  Result<uint64_t> mapExtents(uint64_t fileBlock);

  ExtInode m_inode;
  uint32_t m_blockSize;
  uint64_t m_blockCount;
  uint64_t m_perBlock;
  ExtBlockReader m_read;
  std::array<Cached, kExtentMaxDepth + 1> m_levels;
  std::vector<uint64_t> m_mappingBlocks;
};

}  // namespace velk
