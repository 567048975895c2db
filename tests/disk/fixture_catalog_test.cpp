#include <gtest/gtest.h>

#include "disk/drive_catalog.h"
#include "test_support.h"

namespace velk {
namespace {

struct Row {
  char letter;
  uint8_t kind;
  const char* fs;
  const char* label;
  uint32_t start;
  uint64_t sectors;
  uint8_t type;
  uint32_t table, ext;
};

void expectCatalog(const std::string& image, const std::vector<Row>& rows) {
  if (!test::fixtureExists(image)) GTEST_FAIL() << image << " not built";
  auto recs = test::catalogOf(test::fixturePath(image));
  ASSERT_EQ(recs.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    const Row& w = rows[i];
    EXPECT_EQ(recs[i].diskNumber, 0);
    EXPECT_EQ(recs[i].letter, w.letter);
    EXPECT_EQ(recs[i].kind, w.kind);
    EXPECT_EQ(recs[i].fsNameText(), w.fs);
    EXPECT_EQ(recs[i].labelText(), w.label);
    EXPECT_EQ(recs[i].startSector, w.start);
    EXPECT_EQ(recs[i].length, w.sectors * 512);
    EXPECT_EQ(recs[i].type, w.type);
    EXPECT_EQ(recs[i].tableSector, w.table);
    EXPECT_EQ(recs[i].extendedBase, w.ext);
  }
}

// The layout sfdisk wrote (tests/fixtures/mbr_mixed.layout.tsv): FAT32 at 2048, NTFS at
// 92160, extended 198656 … 292864 with a FAT16 (EBR 198656) and an EXT2 (EBR 239616),
// on a disk of 524288 sectors. Lettered volumes come first, then the table's other
// records in table-sector order with the gaps between them.
TEST(FixtureCatalog, MixedMbrDisk) {
  expectCatalog("mbr_mixed.img",
                {
                    {'C', 1, "FAT32", "MIXFAT32", 2048, 81920, 0x0C, 2048, 0},
                    {'D', 1, "NTFS", "MIXNTFS", 92160, 98304, 0x07, 92160, 0},
                    {'E', 2, "FAT", "MIXFAT16", 200704, 32768, 0x06, 198656, 198656},
                    {'*', 1, "Deleted", "Unknown", 63, 2048 - 63, 0, 63, 0},
                    {'*', 1, "Deleted", "Unknown", 83968, 92160 - 83968, 0, 83968, 0},
                    {'*', 1, "Deleted", "Unknown", 190464, 198656 - 190464, 0, 190464, 0},
                    {'*', 2, "Deleted", "Unknown", 233472 + 63, 239616 - 233535, 0, 233472, 198656},
                    {'*', 2, "EXT2", "mixext2", 241664, 32768, 0x83, 239616, 198656},
                    {'*', 2, "Deleted", "Unknown", 274432 + 63, 292864 - 274495, 0, 274432, 198656},
                    {'*', 1, "Deleted", "Unknown", 292864, 524288 - 292864, 0, 292864, 0},
                });
}

// An extended partition written as type 0x05 (fdisk, sfdisk) is walked like 0x0F.
TEST(FixtureCatalog, ExtendedPartitionOfType05) {
  expectCatalog("mbr_ext05.img",
                {
                    {'C', 1, "FAT", "E05PRIMARY", 2048, 24576, 0x06, 2048, 0},
                    {'D', 2, "FAT", "E05LOGICAL", 32768, 24576, 0x06, 30720, 30720},
                    {'*', 1, "Deleted", "Unknown", 63, 2048 - 63, 0, 63, 0},
                    {'*', 1, "Deleted", "Unknown", 26624, 30720 - 26624, 0, 26624, 0},
                    {'*', 2, "Deleted", "Unknown", 57344 + 63, 59392 - 57407, 0, 57344, 30720},
                    {'*', 1, "Deleted", "Unknown", 59392, 131072 - 59392, 0, 59392, 0},
                });
}

// A bare EXT file system has no boot signature; its superblock names it, so it is listed as
// one whole-disk volume instead of a free stretch.
TEST(FixtureCatalog, BareExtImagesAreListedAsVolumes) {
  expectCatalog("ext3_4k.img", {{'*', 1, "EXT3", "VELK-EXT3-4096", 0, 131072, 0x83, 0, 0}});
  expectCatalog("ext2_deleted.img", {{'*', 1, "EXT2", "VELKLABEL16CHARS", 0, 32768, 0x83, 0, 0}});
}

TEST(FixtureCatalog, LetteredVolumesReportTheirFreeSpace) {
  if (!test::fixtureExists("mbr_mixed.img")) GTEST_FAIL();
  auto recs = test::catalogOf(test::fixturePath("mbr_mixed.img"));
  ASSERT_GE(recs.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(recs[size_t(i)].freeBytes, 0u) << i;
    EXPECT_LT(recs[size_t(i)].freeBytes, recs[size_t(i)].length) << i;
  }
}

}  // namespace
}  // namespace velk
