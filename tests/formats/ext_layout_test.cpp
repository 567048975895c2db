// Superblock and group descriptor checks: a volume opens only when every field that later
// arithmetic relies on is legal. Each corruption case breaks one field of a sound volume.

#include <gtest/gtest.h>

#include "engines/ext/ext_image_builder.h"

namespace velk::test {
namespace {

ByteSpan superblockOf(ExtImage& img) { return ByteSpan(img.superblock(), kExtSuperblockSize); }

TEST(ExtSuperblockTest, DecodesTheFieldsOfASoundVolume) {
  ExtImage img({.blockSize = 1024, .inodeSize = 256, .groups = 2, .blocksPerGroup = 512, .inodesPerGroup = 32});
  auto sb = ExtSuperblock::parse(superblockOf(img));
  ASSERT_TRUE(sb);
  EXPECT_EQ(sb->blockSize, 1024u);
  EXPECT_EQ(sb->blockCount, 1025u);  // first data block + 2 × 512
  EXPECT_EQ(sb->firstDataBlock, 1u);
  EXPECT_EQ(sb->groupCount, 2u);
  EXPECT_EQ(sb->inodeCount, 64u);
  EXPECT_EQ(sb->inodeSize, 256u);
  EXPECT_EQ(sb->inodesPerBlock(), 4u);
  EXPECT_EQ(sb->inodeTableBlocks(), 8u);  // 32 × 256 / 1024
  EXPECT_EQ(sb->volumeName, "synthetic");
}

TEST(ExtSuperblockTest, RevisionZeroInodesAre128BytesWhateverTheSizeFieldHolds) {
  ExtImage img({.inodeSize = 256, .revision = 0});
  auto sb = ExtSuperblock::parse(superblockOf(img));
  ASSERT_TRUE(sb);
  EXPECT_EQ(sb->inodeSize, 128u);
}

TEST(ExtSuperblockTest, GroupOfABlockCountsFromTheFirstDataBlock) {
  // 1 KiB blocks: group 0 is blocks 1..512, group 1 starts at 513.
  ExtImage img({.groups = 2, .blocksPerGroup = 512});
  auto sb = ExtSuperblock::parse(superblockOf(img));
  ASSERT_TRUE(sb);
  EXPECT_EQ(sb->groupOfBlock(512), 0u);
  EXPECT_EQ(sb->indexInGroup(512), 511u);
  EXPECT_EQ(sb->groupOfBlock(513), 1u);
  EXPECT_EQ(sb->indexInGroup(513), 0u);
}

struct FieldBreak {
  const char* what;
  size_t offset;
  uint32_t value;
  int width;
  ErrorKind expected;
};

std::ostream& operator<<(std::ostream& os, const FieldBreak& b) { return os << b.what; }

class ExtSuperblockBreak : public ::testing::TestWithParam<FieldBreak> {};

TEST_P(ExtSuperblockBreak, OneBrokenFieldLeavesTheVolumeInvalid) {
  // 1 KiB blocks, 2 groups of 1024 blocks, 64 inodes per group.
  ExtImage img({.groups = 2, .blocksPerGroup = 1024, .inodesPerGroup = 64});
  ASSERT_TRUE(ExtSuperblock::parse(superblockOf(img)));
  ASSERT_TRUE(img.openExt2()->isValid());
  const FieldBreak& b = GetParam();
  uint8_t* p = img.superblock() + b.offset;
  if (b.width == 2) putLe16(p, uint16_t(b.value));
  else putLe32(p, b.value);
  auto sb = ExtSuperblock::parse(superblockOf(img));
  ASSERT_FALSE(sb);
  EXPECT_EQ(sb.error().kind, b.expected);
  auto v = img.openExt2();
  EXPECT_FALSE(v->isValid());
  EXPECT_EQ(v->state(), 0);
  ResultTree tree(Variant::Ext);
  Progress progress;
  EXPECT_FALSE(v->scan(tree, ScanOptions{}, progress));
  EXPECT_EQ(tree.recordCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ExtSuperblockBreak,
    ::testing::Values(FieldBreak{"magic", kSbMagic, 0xEF52, 2, ErrorKind::Unsupported},
                      FieldBreak{"log block size 7", kSbLogBlockSize, 7, 4, ErrorKind::Corrupt},
                      FieldBreak{"log block size huge", kSbLogBlockSize, 0x80000000u, 4, ErrorKind::Corrupt},
                      FieldBreak{"blocks per group 0", kSbBlocksPerGroup, 0, 4, ErrorKind::Corrupt},
                      FieldBreak{"blocks per group over 8 x block", kSbBlocksPerGroup, 8193, 4, ErrorKind::Corrupt},
                      FieldBreak{"inodes per group 0", kSbInodesPerGroup, 0, 4, ErrorKind::Corrupt},
                      FieldBreak{"inodes per group over 8 x block", kSbInodesPerGroup, 8193, 4, ErrorKind::Corrupt},
                      FieldBreak{"first data block 2", kSbFirstDataBlock, 2, 4, ErrorKind::Corrupt},
                      FieldBreak{"first data block at the block count", kSbBlockCount, 1, 4, ErrorKind::Corrupt},
                      FieldBreak{"inode count over groups x inodes", kSbInodeCount, 129, 4, ErrorKind::Corrupt},
                      FieldBreak{"inode size 100", kSbInodeSize, 100, 2, ErrorKind::Corrupt},
                      FieldBreak{"inode size 64", kSbInodeSize, 64, 2, ErrorKind::Corrupt},
                      FieldBreak{"inode size over the block", kSbInodeSize, 2048, 2, ErrorKind::Corrupt},
                      FieldBreak{"meta_bg descriptors", kSbFeatureIncompat, kExtIncompatMetaBg, 4, ErrorKind::Unsupported}),
    [](const auto& param) {
      std::string n = param.param.what;
      for (char& c : n)
        if (!isalnum(uint8_t(c))) c = '_';
      return n;
    });

TEST(ExtGroupDescriptorTest, InodeTableOutsideTheVolumeLeavesItInvalid) {
  ExtImage img({.groups = 2, .blocksPerGroup = 1024, .inodesPerGroup = 64});
  // 64 × 128 bytes = 8 table blocks; the volume has 2049 blocks.
  putLe32(img.block(img.descriptorBlock()) + 32 + kGdInodeTable, 2049 - 8 + 1);
  EXPECT_FALSE(img.openExt2()->isValid());
  putLe32(img.block(img.descriptorBlock()) + 32 + kGdInodeTable, 2049 - 8);
  EXPECT_TRUE(img.openExt2()->isValid());
  putLe32(img.block(img.descriptorBlock()) + 32 + kGdInodeTable, 0);
  EXPECT_FALSE(img.openExt2()->isValid());
}

TEST(ExtGroupDescriptorTest, SixtyFourBitVolumesUseTheirDescriptorSize) {
  ExtImage img({.groups = 2, .blocksPerGroup = 1024, .inodesPerGroup = 64});
  putLe32(img.superblock() + kSbFeatureIncompat, kExtIncompat64Bit);
  putLe16(img.superblock() + kSbDescriptorSize, 64);
  // Re-lay the table at 64 bytes per descriptor; group 1's table moves to block 1500.
  uint8_t* table = img.block(img.descriptorBlock());
  std::memset(table, 0, 128);
  for (uint32_t g = 0; g < 2; ++g) {
    putLe32(table + g * 64 + kGdBlockBitmap, uint32_t(img.groupStart(g) + 2));
    putLe32(table + g * 64 + kGdInodeBitmap, uint32_t(img.groupStart(g) + 3));
    putLe32(table + g * 64 + kGdInodeTable, g == 0 ? uint32_t(img.inodeTable(0)) : 1500);
  }
  auto v = img.openExt2();
  ASSERT_TRUE(v->isValid());
  ASSERT_EQ(v->groups().size(), 2u);
  EXPECT_EQ(v->groups()[0].inodeTable, img.inodeTable(0));
  EXPECT_EQ(v->groups()[1].inodeTable, 1500u);
  EXPECT_EQ(v->groups()[1].inodeBitmap, img.groupStart(1) + 3);

  putLe16(img.superblock() + kSbDescriptorSize, 48);  // not a power of two
  EXPECT_FALSE(img.openExt2()->isValid());
}

TEST(ExtGroupDescriptorTest, ADescriptorTableLargerThanTheDeviceIsRefusedBeforeAllocation) {
  ExtImage img({});
  // 4 billion blocks of one per group would need a descriptor table of 128 GiB.
  putLe32(img.superblock() + kSbBlockCount, 0xFFFFFFF0u);
  putLe32(img.superblock() + kSbBlocksPerGroup, 1);
  putLe32(img.superblock() + kSbInodesPerGroup, 1);
  auto v = img.openExt2();
  EXPECT_FALSE(v->isValid());
}

TEST(ExtInodeTest, SizeIsSixtyFourBitsForRegularFilesFromRevisionOne) {
  uint8_t raw[128] = {};
  InodeFields s;
  s.size = 5ull << 30;  // 5 GiB
  ExtImage::encodeInode(raw, s);
  const ExtInode in = ExtInode::decode(ByteSpan(raw, 128));
  EXPECT_EQ(in.sizeLow, uint32_t(1) << 30);
  EXPECT_EQ(in.contentSize(1), 5ull << 30);
  EXPECT_EQ(in.contentSize(0), uint64_t(1) << 30);
  putLe16(raw + kInMode, 0x41ED);  // a directory: the high word is something else there
  EXPECT_EQ(ExtInode::decode(ByteSpan(raw, 128)).contentSize(1), uint64_t(1) << 30);
}

TEST(ExtInodeTest, RegularMeansTheWholeTypeField) {
  uint8_t raw[128] = {};
  for (auto [mode, regular] : {std::pair{0x81A4, true}, {0xA1FF, false}, {0xC1ED, false}, {0x41ED, false},
                               {0x6000, false}}) {
    putLe16(raw, uint16_t(mode));
    EXPECT_EQ(ExtInode::decode(ByteSpan(raw, 128)).isRegular(), regular) << std::hex << mode;
  }
}

TEST(ExtInodeTest, GeneratedNamesUseEightUpperCaseHexDigits) {
  EXPECT_EQ(generatedInodeName(12), "inode_0000000C.tmp");
  EXPECT_EQ(generatedInodeName(0xABCDEF01u), "inode_ABCDEF01.tmp");
}

}  // namespace
}  // namespace velk::test
