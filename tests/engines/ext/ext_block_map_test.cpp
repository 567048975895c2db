// Block map lookups over mapping blocks held in memory: which pointer each file block goes
// through, holes, pointers past the volume, loops, and extent trees.

#include <gtest/gtest.h>

#include <map>

#include "engines/ext/ext_block_map.h"
#include "engines/ext/ext_image_builder.h"

namespace velk::test {
namespace {

// Mapping blocks by number; every read is counted.
class FakeBlocks {
 public:
  explicit FakeBlocks(uint32_t blockSize) : m_blockSize(blockSize) {}
  std::vector<uint8_t>& block(uint64_t n) {
    auto& b = m_blocks[n];
    b.resize(m_blockSize);
    return b;
  }
  void pointer(uint64_t n, size_t index, uint32_t value) { putLe32(block(n).data() + 4 * index, value); }
  ExtBlockReader reader() {
    return [this](uint64_t n, std::span<uint8_t> out) {
      ++reads[n];
      auto it = m_blocks.find(n);
      if (it == m_blocks.end() || failing.count(n)) return false;
      std::copy(it->second.begin(), it->second.end(), out.begin());
      return true;
    };
  }
  std::map<uint64_t, int> reads;
  std::set<uint64_t> failing;

 private:
  uint32_t m_blockSize;
  std::map<uint64_t, std::vector<uint8_t>> m_blocks;
};

ExtInode inodeWith(const std::array<uint32_t, 15>& pointers, uint32_t flags = 0) {
  uint8_t raw[128] = {};
  InodeFields s;
  s.block = pointers;
  s.flags = flags;
  ExtImage::encodeInode(raw, s);
  return ExtInode::decode(ByteSpan(raw, 128));
}

constexpr uint64_t kVolumeBlocks = 1'000'000;

TEST(ExtBlockMapTest, OneKilobyteBlocksWalkAllFourRegions) {
  FakeBlocks fake(1024);
  std::array<uint32_t, 15> p{};
  for (uint32_t i = 0; i < 12; ++i) p[i] = 100 + i;
  p[12] = 500;  // single
  p[13] = 600;  // double
  p[14] = 700;  // triple
  fake.pointer(500, 0, 1000);
  fake.pointer(500, 255, 1255);
  fake.pointer(600, 0, 601);
  fake.pointer(601, 0, 2000);
  fake.pointer(601, 1, 2001);
  fake.pointer(600, 1, 602);
  fake.pointer(602, 0, 2256);
  fake.pointer(700, 0, 701);
  fake.pointer(701, 0, 702);
  fake.pointer(702, 0, 3000);
  ExtBlockMap map(inodeWith(p), 1024, kVolumeBlocks, fake.reader());

  EXPECT_EQ(*map.map(0), 100u);
  EXPECT_EQ(*map.map(11), 111u);
  // A 13,000-byte file's 13th block is entry 0 of the single indirect block.
  EXPECT_EQ(*map.map(12), 1000u);
  EXPECT_EQ(*map.map(12 + 255), 1255u);
  // 12 + 256 = 268: entry 0 of both double-indirect levels.
  EXPECT_EQ(map.doubleIndirectStart(), 268u);
  EXPECT_EQ(*map.map(268), 2000u);
  EXPECT_EQ(*map.map(269), 2001u);
  EXPECT_EQ(*map.map(268 + 256), 2256u);
  // 268 + 65536 = 65804: entry 0 of all three triple-indirect levels.
  EXPECT_EQ(map.tripleIndirectStart(), 65804u);
  EXPECT_EQ(*map.map(65804), 3000u);
  EXPECT_EQ(map.addressableBlocks(), 65804u + 256u * 256u * 256u);
  EXPECT_FALSE(map.map(map.addressableBlocks()));
}

TEST(ExtBlockMapTest, FourKilobyteBlocksReachTheDoubleIndirectAtFourMegabytesPlus48K) {
  FakeBlocks fake(4096);
  std::array<uint32_t, 15> p{};
  p[12] = 50;
  p[13] = 60;
  fake.pointer(50, 1023, 7777);
  fake.pointer(60, 0, 61);
  fake.pointer(61, 0, 8888);
  ExtBlockMap map(inodeWith(p), 4096, kVolumeBlocks, fake.reader());
  const uint64_t firstPastSingle = (4ull * 1024 * 1024 + 48 * 1024) / 4096;
  EXPECT_EQ(firstPastSingle, 1036u);
  EXPECT_EQ(*map.map(firstPastSingle - 1), 7777u);
  EXPECT_EQ(*map.map(firstPastSingle), 8888u);
}

TEST(ExtBlockMapTest, ZeroPointersAreHoles) {
  FakeBlocks fake(1024);
  std::array<uint32_t, 15> p{};
  p[0] = 100;
  p[12] = 500;  // single indirect with a zero entry
  fake.pointer(500, 0, 0);
  fake.pointer(500, 1, 1001);
  ExtBlockMap map(inodeWith(p), 1024, kVolumeBlocks, fake.reader());
  EXPECT_EQ(*map.map(1), kExtHole);
  EXPECT_EQ(*map.map(12), kExtHole);
  EXPECT_EQ(*map.map(13), 1001u);
  // No double indirect block: its whole range is a hole and nothing is read for it.
  EXPECT_EQ(*map.map(268), kExtHole);
  EXPECT_EQ(fake.reads.count(0), 0u);
}

TEST(ExtBlockMapTest, PointersPastTheVolumeAreErrors) {
  FakeBlocks fake(1024);
  std::array<uint32_t, 15> p{};
  p[0] = 999;  // the volume has 999 blocks: 0..998
  p[12] = 1200;
  ExtBlockMap map(inodeWith(p), 1024, 999, fake.reader());
  EXPECT_EQ(map.map(0).error().kind, ErrorKind::Corrupt);
  EXPECT_EQ(map.map(12).error().kind, ErrorKind::Corrupt);
  EXPECT_TRUE(fake.reads.empty());
}

TEST(ExtBlockMapTest, ASelfReferencingIndirectBlockEndsEveryLookup) {
  FakeBlocks fake(1024);
  std::array<uint32_t, 15> p{};
  p[14] = 700;
  for (size_t i = 0; i < 256; ++i) fake.pointer(700, i, 700);  // every entry points back
  ExtBlockMap map(inodeWith(p), 1024, kVolumeBlocks, fake.reader());
  for (uint64_t b = map.tripleIndirectStart(); b < map.tripleIndirectStart() + 1000; ++b) EXPECT_EQ(*map.map(b), 700u);
  // Kept in the per-level cache: block 700 read once per level.
  EXPECT_LE(fake.reads[700], 3);
}

TEST(ExtBlockMapTest, WalkingInOrderReadsEachIndirectBlockOnce) {
  FakeBlocks fake(1024);
  std::array<uint32_t, 15> p{};
  p[13] = 600;
  for (uint32_t i = 0; i < 4; ++i) {
    fake.pointer(600, i, 601 + i);
    for (uint32_t j = 0; j < 256; ++j) fake.pointer(601 + i, j, 10000 + i * 256 + j);
  }
  ExtBlockMap map(inodeWith(p), 1024, kVolumeBlocks, fake.reader());
  for (uint64_t b = 0; b < 4 * 256; ++b) ASSERT_EQ(*map.map(268 + b), 10000 + b);
  EXPECT_EQ(fake.reads[600], 1);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(fake.reads[601 + i], 1);
}

// Extent trees (ext4 inodes met in journals).
void putExtentHeader(uint8_t* p, uint16_t entries, uint16_t max, uint16_t depth) {
  putLe16(p, kExtentMagic);
  putLe16(p + 2, entries);
  putLe16(p + 4, max);
  putLe16(p + 6, depth);
}
void putLeaf(uint8_t* p, uint32_t first, uint16_t length, uint64_t start) {
  putLe32(p, first);
  putLe16(p + 4, length);
  putLe16(p + 6, uint16_t(start >> 32));
  putLe32(p + 8, uint32_t(start));
}
void putIndex(uint8_t* p, uint32_t first, uint64_t child) {
  putLe32(p, first);
  putLe32(p + 4, uint32_t(child));
  putLe16(p + 8, uint16_t(child >> 32));
}

ExtInode extentInode(const std::function<void(uint8_t*)>& fill) {
  uint8_t raw[128] = {};
  InodeFields s;
  s.flags = kInodeFlagExtents;
  ExtImage::encodeInode(raw, s);
  fill(raw + kInBlock);
  return ExtInode::decode(ByteSpan(raw, 128));
}

TEST(ExtBlockMapTest, ExtentLeavesInTheInodeMapRuns) {
  FakeBlocks fake(4096);
  ExtInode in = extentInode([](uint8_t* root) {
    putExtentHeader(root, 3, 4, 0);
    putLeaf(root + 12, 0, 10, 5000);                          // blocks 0..9
    putLeaf(root + 24, 20, 5 + kExtentInitMaxLength, 6000);   // 20..24 allocated, unwritten
    putLeaf(root + 36, 30, 2, 7000);                          // 30..31
  });
  ExtBlockMap map(in, 4096, kVolumeBlocks, fake.reader());
  EXPECT_EQ(*map.map(0), 5000u);
  EXPECT_EQ(*map.map(9), 5009u);
  EXPECT_EQ(*map.map(10), kExtHole);
  EXPECT_EQ(*map.map(22), kExtHole);
  EXPECT_EQ(*map.map(31), 7001u);
  EXPECT_EQ(*map.map(32), kExtHole);
}

TEST(ExtBlockMapTest, ExtentIndexNodesLeadToLeafBlocks) {
  FakeBlocks fake(4096);
  putExtentHeader(fake.block(900).data(), 1, 340, 0);
  putLeaf(fake.block(900).data() + 12, 100, 50, 8000);
  ExtInode in = extentInode([](uint8_t* root) {
    putExtentHeader(root, 1, 4, 1);
    putIndex(root + 12, 0, 900);
  });
  ExtBlockMap map(in, 4096, kVolumeBlocks, fake.reader());
  EXPECT_EQ(*map.map(120), 8020u);
  EXPECT_EQ(*map.map(99), kExtHole);

  // A child that claims the parent's own depth would let a loop descend forever.
  putExtentHeader(fake.block(900).data(), 1, 340, 1);
  ExtBlockMap looping(in, 4096, kVolumeBlocks, fake.reader());
  EXPECT_EQ(looping.map(120).error().kind, ErrorKind::Corrupt);
}

TEST(ExtBlockMapTest, MalformedExtentRootsAreErrors) {
  FakeBlocks fake(4096);
  ExtInode badMagic = extentInode([](uint8_t* root) { putLe16(root, 0x1234); });
  EXPECT_EQ(ExtBlockMap(badMagic, 4096, kVolumeBlocks, fake.reader()).map(0).error().kind, ErrorKind::Corrupt);
  ExtInode tooMany = extentInode([](uint8_t* root) { putExtentHeader(root, 5, 5, 0); });  // 4 fit in 60 bytes
  EXPECT_EQ(ExtBlockMap(tooMany, 4096, kVolumeBlocks, fake.reader()).map(0).error().kind, ErrorKind::Corrupt);
  ExtInode pastEnd = extentInode([](uint8_t* root) {
    putExtentHeader(root, 1, 4, 0);
    putLeaf(root + 12, 0, 10, kVolumeBlocks - 5);
  });
  EXPECT_EQ(ExtBlockMap(pastEnd, 4096, kVolumeBlocks, fake.reader()).map(0).error().kind, ErrorKind::Corrupt);
}

}  // namespace
}  // namespace velk::test
