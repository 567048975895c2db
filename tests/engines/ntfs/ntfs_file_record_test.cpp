// Row texts, sort keys and filter facts of NTFS records, and the scan's filters.

#include <gtest/gtest.h>

#include "engines/ntfs/ntfs_file_record.h"
#include "engines/ntfs/ntfs_filters.h"

namespace velk {
namespace {

NtfsFileRecord named(const std::string& name, uint32_t size = 0) {
  NtfsFileRecord r;
  r.name = name;
  r.size = size;
  r.size64 = size;
  return r;
}

TEST(NtfsRowTextTest, AttributeLettersInTheirOrder) {
  EXPECT_EQ(ntfsAttributeText(0x1 | 0x2 | 0x4 | 0x10 | 0x20, false), "R-H-S-D-A-");
  EXPECT_EQ(ntfsAttributeText(0x40 | 0x80 | 0x100 | 0x200 | 0x400, false), "E-N-T-Sp-ReSp-");
  EXPECT_EQ(ntfsAttributeText(0x800 | 0x1000 | 0x2000 | 0x4000, true), "C-O-I-En-Del-");
  EXPECT_EQ(ntfsAttributeText(0x10000000, false), "Dir-In-");
  EXPECT_EQ(ntfsAttributeText(0, true), "Del-");
}

TEST(NtfsRowTextTest, SizesAndTimes) {
  EXPECT_EQ(named("a", 1023).sizeText(), "1023B");
  EXPECT_EQ(named("a", 1048576).sizeText(), "1.0MB");
  NtfsFileRecord r = named("a");
  r.created = 0;
  EXPECT_EQ(r.dateText(kColumnCreated), "");
  // 2024-01-02 03:04:05 UTC; the text is local time, so only its shape is fixed here.
  r.modified = (1704164645ull + 11644473600ull) * 10000000ull;
  const std::string t = r.dateText(kColumnModified);
  ASSERT_EQ(t.size(), 19u);
  EXPECT_EQ(t.substr(0, 4), "2024");
  EXPECT_EQ(t[4], '-');
  EXPECT_EQ(t[10], ' ');
}

TEST(NtfsRowTextTest, SortKeysCompareNumbers) {
  NtfsFileRecord a = named("a", 10), b = named("b", 9);
  a.attributes = 0x20;
  b.attributes = 0x800;
  a.modified = 5;
  b.modified = 6;
  EXPECT_EQ(a.compareColumn(b, kColumnSize), 1);
  EXPECT_EQ(a.compareColumn(b, kColumnAttributes), -1);
  EXPECT_EQ(a.compareColumn(b, kColumnModified), -1);
  EXPECT_EQ(a.compareColumn(a, kColumnCreated), 0);
}

TEST(NtfsFilterFactsTest, TheExtensionIsTheTextAfterTheFirstDotFoundAnywhereInTheList) {
  EXPECT_TRUE(named("page.html").extensionAccepts("htm.htx.asp.stm.shtml"));
  EXPECT_FALSE(named("archive.tar.gz").extensionAccepts("gz.zip"));
  EXPECT_TRUE(named("archive.tar.gz").extensionAccepts("tar.gz"));
  EXPECT_FALSE(named("noext.").extensionAccepts("txt"));
  EXPECT_FALSE(named("noext").extensionAccepts("noext"));
}

TEST(NtfsFilterFactsTest, FoldersAreGivenTopFirst) {
  NtfsFileRecord r = named("x");
  r.FolderNames = {"Inner", "Outer", "Top"};
  EXPECT_EQ(r.recordFolders(), (std::vector<std::string>{"Top", "Outer", "Inner"}));
}

TEST(NtfsScanFilterTest, MaskTokens) {
  EXPECT_TRUE(ntfsNameMaskAccepts("", "anything"));
  EXPECT_TRUE(ntfsNameMaskAccepts("*.jpg", "a.jpg.txt"));
  EXPECT_TRUE(ntfsNameMaskAccepts(".JPG", "photo.jpg"));
  EXPECT_FALSE(ntfsNameMaskAccepts(".png, .gif", "photo.jpg"));
  EXPECT_TRUE(ntfsNameMaskAccepts(",;.png, .jpg", "photo.jpg"));
  EXPECT_TRUE(ntfsNameMaskAccepts("re*20*.txt", "report 2025.txt"));
  EXPECT_FALSE(ntfsNameMaskAccepts("re*30*.txt", "report 2025.txt"));
}

TEST(NtfsScanFilterTest, FolderFilter) {
  const std::vector<std::string> docsSub{"Sub", "Docs"};
  EXPECT_TRUE(ntfsFolderFilterAccepts("C:\\", {}));
  EXPECT_TRUE(ntfsFolderFilterAccepts("C:\\Docs\\", docsSub));
  EXPECT_TRUE(ntfsFolderFilterAccepts("C:\\Docs\\Sub", docsSub));
  EXPECT_FALSE(ntfsFolderFilterAccepts("C:\\Docs", {}));
  EXPECT_FALSE(ntfsFolderFilterAccepts("C:\\Other", docsSub));
  EXPECT_TRUE(ntfsFolderFilterAccepts("Docs/Sub", docsSub));
}

TEST(NtfsScanFilterTest, PresetsCompareTheEndOfTheNameCaseSensitively) {
  EXPECT_TRUE(ntfsPresetAccepts(kPresetPictures, "a.jpg"));
  EXPECT_FALSE(ntfsPresetAccepts(kPresetPictures, "a.JPG"));
  EXPECT_TRUE(ntfsPresetAccepts(kPresetMail, "inbox.INDX"));
  EXPECT_TRUE(ntfsPresetAccepts(kPresetMail, "x.uidl"));
  EXPECT_FALSE(ntfsPresetAccepts(kPresetMail, "x.txt"));
  EXPECT_TRUE(ntfsPresetAccepts(kPresetNone, "x.txt"));
}

TEST(NtfsScanFilterTest, ResultFilterInOrder) {
  FileFilter f;
  EXPECT_TRUE(ntfsResultFilterAccepts(f, named("a.txt", 5)));
  f.setCategory(3);  // image files
  EXPECT_TRUE(ntfsResultFilterAccepts(f, named("a.JPG", 5)));
  EXPECT_FALSE(ntfsResultFilterAccepts(f, named("a.jp", 5)));
  f.category = 0;
  f.sizeMode = SizeMode::Equal;
  f.startSize = 1;
  EXPECT_TRUE(ntfsResultFilterAccepts(f, named("a", 1019)));
  EXPECT_TRUE(ntfsResultFilterAccepts(f, named("a", 1029)));
  EXPECT_FALSE(ntfsResultFilterAccepts(f, named("a", 1030)));
  f.sizeMode = SizeMode::Between;
  f.endSize = 2;
  EXPECT_FALSE(ntfsResultFilterAccepts(f, named("a", 1024)));
  EXPECT_TRUE(ntfsResultFilterAccepts(f, named("a", 1025)));
  f.sizeMode = SizeMode::Ignore;
  f.name = "REP";
  EXPECT_TRUE(ntfsResultFilterAccepts(f, named("my report.txt")));
  EXPECT_FALSE(ntfsResultFilterAccepts(f, named("notes.txt")));
}

}  // namespace
}  // namespace velk
