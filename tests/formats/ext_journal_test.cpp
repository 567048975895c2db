// Journal superblock, descriptor tags under each tag layout, and directory blocks as they
// appear in journal copies.

#include <gtest/gtest.h>

#include "engines/ext/ext_image_builder.h"
#include "formats/ext_journal.h"

namespace velk::test {
namespace {

using JB = JournalBuilder;

TEST(JournalSuperblockTest, OnlyTypesThreeAndFourAreJournalSuperblocks) {
  JournalBuilder j(1024);
  auto v2 = j.header(kJournalSuperblockV2);
  JB::putBe32(v2.data() + kJsbFeatureIncompat, kJournalIncompat64Bit);
  auto parsed = JournalSuperblock::parse(v2);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->wideBlocks());

  auto v1 = j.header(kJournalSuperblockV1);
  JB::putBe32(v1.data() + kJsbFeatureIncompat, kJournalIncompat64Bit);  // no feature fields in v1
  ASSERT_TRUE(JournalSuperblock::parse(v1));
  EXPECT_FALSE(JournalSuperblock::parse(v1)->wideBlocks());

  EXPECT_FALSE(JournalSuperblock::parse(j.header(kJournalDescriptor)));
  auto noMagic = j.header(kJournalSuperblockV2);
  noMagic[0] = 0;
  EXPECT_FALSE(JournalSuperblock::parse(noMagic));
}

TEST(JournalSuperblockTest, TagSizeFollowsTheFeatureFlags) {
  JournalSuperblock j;
  EXPECT_EQ(j.tagSize(), 8u);
  j.featureIncompat = kJournalIncompat64Bit;
  EXPECT_EQ(j.tagSize(), 12u);
  j.featureIncompat = kJournalIncompatCsumV2;
  EXPECT_EQ(j.tagSize(), 10u);
  j.featureIncompat = kJournalIncompatCsumV2 | kJournalIncompat64Bit;
  EXPECT_EQ(j.tagSize(), 14u);
  j.featureIncompat = kJournalIncompatCsumV3;
  EXPECT_EQ(j.tagSize(), 16u);
  j.featureIncompat = kJournalIncompatCsumV3 | kJournalIncompat64Bit;
  EXPECT_EQ(j.tagSize(), 16u);
}

TEST(DescriptorTagsTest, AFirstTagForBlockZeroWithNoFlagsIsKept) {
  // On 4 KiB volumes the superblock is block 0: its tag reads (0, 0), then the UUID.
  JournalBuilder j(4096);
  auto d = j.header(kJournalDescriptor);
  JB::putBe32(d.data() + 12, 0);
  JB::putBe32(d.data() + 16, 0);
  JB::putBe32(d.data() + 12 + 8 + 16, 5);
  JB::putBe32(d.data() + 12 + 8 + 16 + 4, kTagSameUuid);
  JB::putBe32(d.data() + 12 + 8 + 16 + 8, 9);
  JB::putBe32(d.data() + 12 + 8 + 16 + 12, kTagSameUuid | kTagLast);
  JB::putBe32(d.data() + 12 + 8 + 16 + 16, 77);  // after the last tag: not read
  const auto tags = descriptorTags(d, JournalSuperblock{});
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0], (JournalTag{0, 0}));
  EXPECT_EQ(tags[1], (JournalTag{5, kTagSameUuid}));
  EXPECT_EQ(tags[2], (JournalTag{9, kTagSameUuid | kTagLast}));
}

TEST(DescriptorTagsTest, TagsStopAtTheEndOfTheBlockWithoutALastFlag) {
  JournalBuilder j(1024);
  auto d = j.header(kJournalDescriptor);
  for (size_t pos = 12; pos + 8 <= 1024; pos += 8) {
    JB::putBe32(d.data() + pos, uint32_t(pos));
    JB::putBe32(d.data() + pos + 4, kTagSameUuid);
  }
  EXPECT_EQ(descriptorTags(d, JournalSuperblock{}).size(), (1024u - 12) / 8);
}

TEST(DescriptorTagsTest, ChecksumV3TagsCarryThirtyTwoBitFlagsAndHighBlockWords) {
  JournalSuperblock js;
  js.featureIncompat = kJournalIncompatCsumV3 | kJournalIncompat64Bit;
  JournalBuilder j(1024);
  auto d = j.header(kJournalDescriptor);
  JB::putBe32(d.data() + 12, 0x10);
  JB::putBe32(d.data() + 16, kTagSameUuid);
  JB::putBe32(d.data() + 20, 0x2);  // high word
  JB::putBe32(d.data() + 24, 0xDEADBEEF);  // checksum
  JB::putBe32(d.data() + 28, 0x11);
  JB::putBe32(d.data() + 32, kTagSameUuid | kTagLast);
  const auto tags = descriptorTags(d, js);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].block, 0x200000010ull);
  EXPECT_EQ(tags[1], (JournalTag{0x11, kTagSameUuid | kTagLast}));
}

TEST(DescriptorTagsTest, ChecksumV2TagsReadTheirFlagsFromTheLowHalf) {
  JournalSuperblock js;
  js.featureIncompat = kJournalIncompatCsumV2;  // 10-byte tags: block, checksum16, flags16, checksum16
  JournalBuilder j(1024);
  auto d = j.header(kJournalDescriptor);
  JB::putBe32(d.data() + 12, 7);
  d[16] = 0xAB;  // checksum
  d[17] = 0xCD;
  d[19] = uint8_t(kTagSameUuid);
  JB::putBe32(d.data() + 22, 8);
  d[29] = uint8_t(kTagSameUuid | kTagLast);
  const auto tags = descriptorTags(d, js);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0], (JournalTag{7, kTagSameUuid}));
  EXPECT_EQ(tags[1], (JournalTag{8, kTagSameUuid | kTagLast}));
}

TEST(DirectoryBlockTest, EntriesSkipDotsFreeSlotsAndInodesPastTheCount) {
  auto b = directoryBlock(1024, 2, 2, {{12, "Report.PDF"}, {0, "gone"}, {500, "toolarge"}, {13, "b"}});
  const auto entries = directoryEntries(b, 100);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].inode, 12u);
  EXPECT_EQ(entries[0].name, "Report.PDF");
  EXPECT_EQ(entries[1].inode, 13u);
  EXPECT_EQ(entries[1].name, "b");
}

TEST(DirectoryBlockTest, OnlyTypesWithOneOfTheTwoLowBitsAreNamed) {
  for (auto [type, named] : {std::pair{1, true}, {2, true}, {3, true}, {4, false}, {5, true}, {6, true}, {7, true},
                             {0, false}, {8, false}, {0xDE, false}}) {
    auto b = directoryBlock(1024, 2, 2, {{12, "x"}}, uint8_t(type));
    EXPECT_EQ(directoryEntries(b, 100).size(), named ? 1u : 0u) << type;
  }
}

TEST(DirectoryBlockTest, TheWalkEndsAtAShortRecordOrANamePastTheBlock) {
  auto b = directoryBlock(1024, 2, 2, {{12, "a"}, {13, "b"}});
  putLe16(b.data() + 24 + 4, 4);  // entry "a" claims a record of 4 bytes
  EXPECT_TRUE(directoryEntries(b, 100).empty());

  auto tail = directoryBlock(1024, 2, 2, {{12, "a"}});
  // The last record starts 12 bytes before the end and claims a 200-byte name.
  putLe16(tail.data() + 24 + 4, 1024 - 24 - 12);
  putLe32(tail.data() + 1012, 13);
  putLe16(tail.data() + 1016, 12);
  tail[1018] = 200;
  tail[1019] = 1;
  const auto entries = directoryEntries(tail, 100);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "a");

  std::vector<uint8_t> zeros(1024, 0);  // record length 0
  EXPECT_TRUE(directoryEntries(zeros, 100).empty());
}

TEST(DirectoryBlockTest, FirstBlocksBeginWithDotAndDotDot) {
  auto first = directoryBlock(1024, 2, 2, {{12, "a"}});
  EXPECT_TRUE(looksLikeFirstDirectoryBlock(first));
  auto later = directoryBlock(1024, 2, 2, {{12, "a"}, {13, "b"}}, 1, false);
  EXPECT_FALSE(looksLikeFirstDirectoryBlock(later));
  // An indexed directory's root: ".." spans the rest of the block and holds no names.
  auto root = directoryBlock(1024, 2, 2, {});
  EXPECT_FALSE(looksLikeFirstDirectoryBlock(root));
}

TEST(DirectoryBlockTest, LaterBlocksAreRecognisedByAnExactChainOfEntries) {
  EXPECT_TRUE(looksLikeDirectoryBlock(directoryBlock(1024, 2, 2, {{12, "a"}, {13, "b"}}, 1, false), 100));
  EXPECT_TRUE(looksLikeDirectoryBlock(directoryBlock(1024, 2, 2, {{12, "a"}}), 100));

  // An indirect block: consecutive block numbers.
  std::vector<uint8_t> indirect(1024, 0);
  for (uint32_t i = 0; i < 256; ++i) putLe32(indirect.data() + 4 * i, 1025 + i);
  EXPECT_FALSE(looksLikeDirectoryBlock(indirect, 100000));
  // An index node of an indexed directory: one empty record spanning the block.
  std::vector<uint8_t> node(1024, 0);
  putLe16(node.data() + 4, 1024);
  EXPECT_FALSE(looksLikeDirectoryBlock(node, 100));
  // A name holding "/" or an inode past the count.
  auto slash = directoryBlock(1024, 2, 2, {{12, "a/b"}}, 1, false);
  EXPECT_FALSE(looksLikeDirectoryBlock(slash, 100));
  EXPECT_FALSE(looksLikeDirectoryBlock(directoryBlock(1024, 2, 2, {{120, "a"}}, 1, false), 100));
}

}  // namespace
}  // namespace velk::test
