// The toolkit-free rules behind the workspace views: list rows, filtering and sorting,
// the progress dialog's clock and where thumbnails and previews place an image.

#include <gtest/gtest.h>

#include "workspace/fake_record.h"
#include "workspace/file_list_model.h"
#include "workspace/progress_clock.h"
#include "workspace/thumbnail_layout.h"

namespace velk {
namespace {

using test::FakeRecord;

class FileListModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tree.addFolder(nullptr, "FAT32 - Logical Disk (C:)");
    photos = tree.addFolder(root, "Photos");
    for (auto [name, size] : std::initializer_list<std::pair<const char*, uint32_t>>{
             {"b.jpg", 300}, {"A.txt", 100}, {"c.png", 300}, {"d.doc", 50}})
      tree.addFile(photos, std::make_unique<FakeRecord>(name, size));
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (auto* r : model.rows()) out.push_back(r->name);
    return out;
  }
  ResultTree tree{Variant::Fat};
  FolderItem* root = nullptr;
  FolderItem* photos = nullptr;
  FileListModel model;
};

TEST_F(FileListModelTest, FirstClickSortsDescendingSecondAscendingTiesKeepOrder) {
  model.fill(Variant::Fat, photos, FileFilter{}, false);
  ASSERT_EQ(model.size(), 4u);
  model.sortBy(kColumnSize, nullptr);
  // 300, 300 keep their order (b before c), then 100, 50.
  EXPECT_EQ(names(), (std::vector<std::string>{"b.jpg", "c.png", "A.txt", "d.doc"}));
  EXPECT_FALSE(model.lastSortAscending());
  model.sortBy(kColumnSize, nullptr);
  EXPECT_EQ(names(), (std::vector<std::string>{"d.doc", "A.txt", "b.jpg", "c.png"}));
  EXPECT_TRUE(model.lastSortAscending());
  // Names compare lower-cased: "A.txt" sorts with the a's.
  model.sortBy(kColumnName, nullptr);
  EXPECT_EQ(names(), (std::vector<std::string>{"d.doc", "c.png", "b.jpg", "A.txt"}));
  model.sortBy(kColumnType, [](const FileRecord& r) { return std::string(extensionOf(r.name)); });
  EXPECT_EQ(names(), (std::vector<std::string>{"A.txt", "c.png", "b.jpg", "d.doc"}));
}

TEST_F(FileListModelTest, FilterAppliesOnlyWhenTheBoxIsChecked) {
  FileFilter filter;
  filter.setCategory(3);  // images
  model.fill(Variant::Fat, photos, filter, false);
  EXPECT_EQ(model.size(), 4u);
  model.fill(Variant::Fat, photos, filter, true);
  EXPECT_EQ(names(), (std::vector<std::string>{"b.jpg", "c.png"}));
  filter.setCategory(0);
  filter.name = "A";
  model.fill(Variant::Fat, photos, filter, true);
  EXPECT_EQ(names(), (std::vector<std::string>{"A.txt"}));
  model.fill(Variant::Fat, nullptr, filter, true);
  EXPECT_TRUE(model.empty());
}

TEST_F(FileListModelTest, ExtListShowsTheRootsFirstChildWhateverIsSelected) {
  EXPECT_EQ(listedFolder(Variant::Ext, root), photos);
  FolderItem* other = tree.addFolder(root, "other");
  EXPECT_EQ(listedFolder(Variant::Ext, other), photos);
  EXPECT_EQ(listedFolder(Variant::Fat, other), other);
  EXPECT_EQ(listedFolder(Variant::Raw, root), root);
}

TEST(ProgressClock, ElapsedWrapsHoursAtOneDay) {
  EXPECT_EQ(elapsedText(3725), "Elapsed Time : 01:02:05");
  EXPECT_EQ(elapsedText(25 * 3600), "Elapsed Time : 01:00:00");
  EXPECT_EQ(elapsedText(0), "Elapsed Time : 00:00:00");
}

TEST(ProgressClock, RemainingEstimate) {
  // 10 of 40 after 30 s: 30 × 30 ÷ 10 + 1 = 91 s.
  EXPECT_EQ(remainingText(remainingSeconds(10, 40, 30)), "Remaining Time : 00:01:31");
  // Nothing done yet: total × elapsed + 1.
  EXPECT_EQ(remainingSeconds(0, 40, 30), 1201u);
  // More found than announced: nothing left, not a wrapped subtraction.
  EXPECT_EQ(remainingSeconds(50, 40, 30), 1u);
  // The product needs 64 bits: 99999 × 100000 + 1 s.
  EXPECT_EQ(remainingSeconds(1, 100000, 100000), 9999900001u);
  EXPECT_EQ(remainingText(9999900001u), "Remaining Time : 2777750:00:01");
}

TEST(ProgressClock, ModeTwoUpdatesOnlyWhenTheCountMoves) {
  RemainingClock fat32(2);
  EXPECT_TRUE(fat32.tick(10, 40, 30));
  EXPECT_EQ(fat32.text(), "Remaining Time : 00:01:31");
  EXPECT_FALSE(fat32.tick(10, 40, 60));  // same count: keeps the old estimate
  EXPECT_EQ(fat32.text(), "Remaining Time : 00:01:31");
  EXPECT_FALSE(fat32.tick(40, 40, 70));  // at the total: no update
  RemainingClock normal(0);
  EXPECT_TRUE(normal.tick(10, 40, 30));
  EXPECT_TRUE(normal.tick(10, 40, 60));
  EXPECT_EQ(normal.text(), "Remaining Time : 00:03:01");
}

TEST(ThumbnailLayout, SqueezesEachAxisSeparatelyAndCentresSmallImages) {
  EXPECT_EQ(placeImage(40, 20, 90, 90), (PlacedRect{25, 35, 40, 20}));
  EXPECT_EQ(placeImage(400, 50, 90, 90), (PlacedRect{0, 20, 90, 50}));
  EXPECT_EQ(placeImage(1000, 2000, 90, 90), (PlacedRect{0, 0, 90, 90}));
  EXPECT_EQ(placeImage(800, 600, 500, 700), (PlacedRect{0, 50, 500, 600}));
}

}  // namespace
}  // namespace velk
