#include <gtest/gtest.h>

#include "app/app_state.h"

namespace velk {
namespace {

PartitionRecord withFs(const char* fs, char letter = 'C') {
  PartitionRecord r;
  r.setFsName(fs);
  r.letter = letter;
  r.startSector = 2048;
  r.length = 1000 * 512;
  return r;
}

TEST(AppState, SelectingAPartitionResetsTheRanges) {
  AppState app;
  app.scratchText = "old";
  app.rangeFirst = 1;
  app.selectPartition(withFs("NTFS", 'E'));
  EXPECT_EQ(app.selectedRoot, "E:\\");
  EXPECT_EQ(app.scratchText, "");
  EXPECT_EQ(app.startSector, 2048u);
  EXPECT_EQ(app.endSector, 3048u);
  EXPECT_EQ(app.rangeFirst, 2048u);
  EXPECT_EQ(app.rangeLast, 3048u);
  app.selectPartition(withFs("Deleted", '*'));
  EXPECT_EQ(app.selectedRoot, "*:\\");
}

TEST(AppState, RecoveryPageFollowsTheFileSystemName) {
  EXPECT_EQ(pageFor(kCommandRecoveryPage, kTaskDeleted, withFs("FAT32")), PageKind::Fat);
  EXPECT_EQ(pageFor(kCommandRecoveryPage, kTaskDeleted, withFs("FAT")), PageKind::Fat);
  EXPECT_EQ(pageFor(kCommandRecoveryPage, kTaskFormatted, withFs("NTFS")), PageKind::Ntfs);
  EXPECT_EQ(pageFor(kCommandRecoveryPage, kTaskDeleted, withFs("EXT3", '*')), PageKind::Ext);
  // Hash-marked names of unlettered entries create no page.
  EXPECT_EQ(pageFor(kCommandRecoveryPage, kTaskDeleted, withFs("#NTFS#", '*')), PageKind::None);
  // RAW takes anything, gaps included; partition recovery needs no partition.
  EXPECT_EQ(pageFor(kCommandRecoveryPage, kTaskRaw, withFs("Deleted", '*')), PageKind::Raw);
  EXPECT_EQ(pageFor(kCommandRecoveryPage, kTaskPartition, PartitionRecord{}), PageKind::Partition);
  EXPECT_EQ(pageFor(kCommandOutlookRepair, 0, PartitionRecord{}), PageKind::OutlookRepair);
  EXPECT_EQ(pageFor(999, 0, PartitionRecord{}), PageKind::None);
}

TEST(AppState, DrivePageListsByTask) {
  EXPECT_TRUE(driveListsPartition(kTaskDeleted, withFs("EXT2")));
  EXPECT_FALSE(driveListsPartition(kTaskFormatted, withFs("EXT2")));
  EXPECT_FALSE(driveListsPartition(kTaskDeleted, withFs("#FAT32#")));
  EXPECT_TRUE(driveListsPartition(kTaskRaw, withFs("#FAT32#")));
  EXPECT_TRUE(driveListsPartition(kTaskRaw, withFs("Deleted")));
}

TEST(AppState, DriveSizeTexts) {
  EXPECT_EQ(driveSizeText(512, true), "512 Byte");
  EXPECT_EQ(driveSizeText(1536, true), "1.50 KB");
  EXPECT_EQ(driveSizeText(1024ull * 1024, false), "1.00 MB");
  EXPECT_EQ(driveSizeText(3ull << 40, false), "3072.00 GB");  // at most two divisions
}

}  // namespace
}  // namespace velk
