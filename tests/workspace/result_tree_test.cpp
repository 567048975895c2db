#include <gtest/gtest.h>

#include "fake_record.h"
#include "workspace/result_tree.h"

namespace velk {
namespace {

using test::FakeRecord;

class CheckPropagation : public ::testing::Test {
 protected:
  // root ─ a ─ a1 (f3)
  //      │   └ (f1, f2)
  //      └ b (f4)
  void SetUp() override {
    root = tree.addFolder(nullptr, "root");
    a = tree.addFolder(root, "a");
    a1 = tree.addFolder(a, "a1");
    b = tree.addFolder(root, "b");
    f1 = tree.addFile(a, std::make_unique<FakeRecord>("f1", 100));
    f2 = tree.addFile(a, std::make_unique<FakeRecord>("f2", 200));
    f3 = tree.addFile(a1, std::make_unique<FakeRecord>("f3", 300));
    f4 = tree.addFile(b, std::make_unique<FakeRecord>("f4", 400));
  }
  ResultTree tree{Variant::Fat};
  FolderItem *root, *a, *a1, *b;
  FileRecord *f1, *f2, *f3, *f4;
};

TEST_F(CheckPropagation, CheckingAFileChecksEveryAncestor) {
  tree.setFileChecked(a1, f3, true);
  EXPECT_TRUE(a1->checked);
  EXPECT_TRUE(a->checked);
  EXPECT_TRUE(root->checked);
  EXPECT_FALSE(b->checked);
  EXPECT_EQ(tree.checkedTotals(), (Totals{1, 300}));
}

TEST_F(CheckPropagation, UncheckingTheOnlyFileUnchecksUpToACheckedSibling) {
  tree.setFileChecked(a1, f3, true);
  tree.setFileChecked(b, f4, true);
  tree.setFileChecked(a1, f3, false);
  EXPECT_FALSE(a1->checked);
  EXPECT_FALSE(a->checked);
  EXPECT_TRUE(root->checked);  // b is still checked
  tree.setFileChecked(b, f4, false);
  EXPECT_FALSE(root->checked);
}

TEST_F(CheckPropagation, AncestorWithACheckedFileOfItsOwnStaysChecked) {
  tree.setFileChecked(a, f1, true);
  tree.setFileChecked(a1, f3, true);
  tree.setFileChecked(a1, f3, false);
  EXPECT_FALSE(a1->checked);
  EXPECT_TRUE(a->checked);
  EXPECT_TRUE(root->checked);
}

TEST_F(CheckPropagation, CheckingAFolderChecksEverythingBelow) {
  tree.setFolderChecked(a, true);
  EXPECT_TRUE(f1->checked && f2->checked && f3->checked);
  EXPECT_TRUE(a1->checked);
  EXPECT_TRUE(root->checked);
  EXPECT_FALSE(f4->checked);
  EXPECT_EQ(tree.checkedTotals(), (Totals{3, 600}));
  tree.setFolderChecked(a, false);
  EXPECT_FALSE(root->checked);
  EXPECT_EQ(tree.checkedTotals(), (Totals{0, 0}));
}

TEST_F(CheckPropagation, FolderTotalsCoverSubFolders) {
  EXPECT_EQ(tree.folderTotals(a), (Totals{3, 600}));
  EXPECT_EQ(tree.folderTotals(root), (Totals{4, 1000}));
  EXPECT_EQ(tree.folderTotals(b), (Totals{1, 400}));
}

TEST_F(CheckPropagation, RemovingAFolderForgetsItsRecords) {
  uint64_t id = f3->id;
  tree.removeFolder(a1);
  EXPECT_EQ(tree.record(id), nullptr);
  EXPECT_EQ(tree.recordCount(), 3u);
  EXPECT_EQ(a->children.size(), 0u);
  EXPECT_EQ(tree.record(f4->id), f4);
}

TEST(ResultTreeBasics, IdsFollowInsertionAndPathsSkipTheRoot) {
  ResultTree tree(Variant::Ntfs);
  auto* root = tree.addFolder(nullptr, "NTFS - Logical Disk (C:)");
  auto* docs = tree.addFolder(root, "Docs");
  auto* old = tree.addFolder(docs, "Old");
  auto* r0 = tree.addFile(old, std::make_unique<FakeRecord>("x", 1));
  auto* r1 = tree.addFile(root, std::make_unique<FakeRecord>("y", 1));
  EXPECT_EQ(r0->id, 0u);
  EXPECT_EQ(r1->id, 1u);
  EXPECT_EQ(old->pathBelowRoot(), (std::vector<std::string>{"Docs", "Old"}));
  EXPECT_TRUE(root->pathBelowRoot().empty());
  EXPECT_EQ(tree.findFolder(root, "Docs"), docs);
  EXPECT_EQ(tree.findFolder(root, "docs"), nullptr);
  EXPECT_EQ(tree.folderOf(r0), old);
}

}  // namespace
}  // namespace velk
