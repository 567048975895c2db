#include <gtest/gtest.h>

#include "fake_record.h"
#include "workspace/file_filter.h"

namespace velk {
namespace {

using test::FakeRecord;

TEST(FileFilter, DisabledFilterPassesEverything) {
  FileFilter f;
  f.setCategory(3);
  f.sizeMode = SizeMode::Larger;
  f.startSize = 1e9;
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("a.txt", 10)));
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("a.txt", 10), false));
}

TEST(FileFilter, SizeEqualComparesTwoDecimalKilobytes) {
  FileFilter f;
  f.sizeMode = SizeMode::Equal;
  f.startSize = 1;
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("a", 1018)));
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("a", 1019)));
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("a", 1029)));
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("a", 1030)));
}

TEST(FileFilter, SizeBoundsAreStrict) {
  FileFilter f;
  f.sizeMode = SizeMode::Between;
  f.startSize = 1;
  f.endSize = 2;
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("a", 1024)));
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("a", 1025)));
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("a", 2048)));
  f.sizeMode = SizeMode::Smaller;
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("a", 1023)));
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("a", 1024)));
}

TEST(FileFilter, DatesCompareWholeDays) {
  FileFilter f;
  f.date = packFatDate(2026, 1, 2);
  f.dateMode = DateMode::On;
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("a", 1, Variant::Fat, packFatDate(2026, 1, 2))));
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("a", 1, Variant::Fat, packFatDate(2026, 1, 3))));
  f.dateMode = DateMode::Before;
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("a", 1, Variant::Fat, packFatDate(2025, 12, 31))));
  f.dateMode = DateMode::After;
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("a", 1, Variant::Fat, packFatDate(2026, 2, 1))));
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("a", 1, Variant::Fat, packFatDate(2026, 1, 2))));
}

TEST(FileFilter, NameIsCaseInsensitiveSubstring) {
  FileFilter f;
  f.name = "PhOtO";
  EXPECT_TRUE(FilterAccepts(f, FakeRecord("Holiday photos.jpg", 1)));
  EXPECT_FALSE(FilterAccepts(f, FakeRecord("phot.jpg", 1)));
}

TEST(FileFilter, CategoriesSetTheirListsAndIndexZeroKeepsTheOld) {
  FileFilter f;
  f.setCategory(2);
  EXPECT_EQ(f.extensionList, "htm.htx.asp.stm.shtml");
  f.setCategory(0);
  EXPECT_EQ(f.extensionList, "htm.htx.asp.stm.shtml");
  EXPECT_EQ(categoryText(6), "Email Files (*.dbx | *.pst | *.box)");
  f.setCategory(6);
  EXPECT_EQ(f.extensionList, "dbx.pst.box.stg.bak.ADC.INDX.uidl");
  EXPECT_FALSE(FileFilter{}.anyCriterion());
}

}  // namespace
}  // namespace velk

namespace velk {
namespace {

TEST(FileFilter, SizeEntriesAreChecked) {
  double s, e;
  EXPECT_EQ(checkSizeEntries(SizeMode::Ignore, "junk", "", s, e), SizeEntryCheck::Ok);
  EXPECT_EQ(checkSizeEntries(SizeMode::Equal, "abc", "", s, e), SizeEntryCheck::NotANumber);
  EXPECT_EQ(checkSizeEntries(SizeMode::Equal, "", "", s, e), SizeEntryCheck::NotANumber);
  EXPECT_EQ(checkSizeEntries(SizeMode::Larger, "0.5", "", s, e), SizeEntryCheck::Ok);
  EXPECT_DOUBLE_EQ(s, 0.5);
  EXPECT_EQ(checkSizeEntries(SizeMode::Between, "10", "2", s, e), SizeEntryCheck::StartLargerThanEnd);
  EXPECT_EQ(checkSizeEntries(SizeMode::Between, "2", "x", s, e), SizeEntryCheck::NotANumber);
  EXPECT_EQ(checkSizeEntries(SizeMode::Between, "2", "10", s, e), SizeEntryCheck::Ok);
  EXPECT_DOUBLE_EQ(e, 10);
}

}  // namespace
}  // namespace velk
