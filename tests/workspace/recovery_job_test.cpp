#include <gtest/gtest.h>

#include <fstream>

#include "fake_record.h"
#include "test_support.h"
#include "workspace/recovery_job.h"

namespace velk {
namespace {

using test::FakeEngine;
using test::FakeRecord;
namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RecoveryJobTest : public ::testing::Test {
 protected:
  FileRecord* add(ResultTree& t, FolderItem* f, const std::string& name, const std::string& data) {
    engine.content[name] = data;
    return t.addFile(f, std::make_unique<FakeRecord>(name, uint32_t(data.size()), t.variant()));
  }
  RecoveryReport run(ResultTree& t, OverwriteQuestion ask = {}) {
    RecoveryRequest req;
    req.outputFolder = out.path();
    req.ask = std::move(ask);
    JobFlag job;
    Progress progress;
    return runRecovery(t, engine, req, job, progress);
  }
  test::TempDir out;
  FakeEngine engine;
};

TEST_F(RecoveryJobTest, FatRecreatesFolderPathsBelowTheRoot) {
  ResultTree t(Variant::Fat);
  auto* root = t.addFolder(nullptr, "FAT32( C: )");
  auto* docs = t.addFolder(root, "Docs");
  auto* sub = t.addFolder(docs, "Sub");
  add(t, root, "top.txt", "top");
  add(t, sub, "deep.txt", "deep");
  t.setAllChecked(true);
  auto report = run(t);
  EXPECT_EQ(report.recovered, 2u);
  EXPECT_EQ(slurp(out.path() / "top.txt"), "top");
  EXPECT_EQ(slurp(out.path() / "Docs" / "Sub" / "deep.txt"), "deep");
}

TEST_F(RecoveryJobTest, FatSkipsCheckedFolderInsideUncheckedFolder) {
  ResultTree t(Variant::Fat);
  auto* root = t.addFolder(nullptr, "root");
  auto* a = t.addFolder(root, "a");
  auto* inner = t.addFolder(a, "inner");
  FileRecord* r = add(t, inner, "x.txt", "x");
  t.setFileChecked(inner, r, true);
  a->checked = false;  // the user unchecked the middle folder only
  EXPECT_TRUE(checkedRecords(t).empty());
}

TEST_F(RecoveryJobTest, RawGoesByExtensionNtfsByRecordFoldersExtFlat) {
  ResultTree raw(Variant::Raw);
  auto* rr = raw.addFolder(nullptr, "RAW - Logical Disk (C:)");
  auto* jpeg = raw.addFolder(rr, "JPEG image");
  add(raw, jpeg, "File1.jpg", "jpg-data");
  add(raw, jpeg, "File2.jpg", "jpg-2");  // the first file of a type is not skipped
  raw.setAllChecked(true);
  EXPECT_EQ(run(raw).recovered, 2u);
  EXPECT_EQ(slurp(out.path() / "jpg" / "File1.jpg"), "jpg-data");
  EXPECT_EQ(slurp(out.path() / "jpg" / "File2.jpg"), "jpg-2");

  ResultTree ntfs(Variant::Ntfs);
  auto* nr = ntfs.addFolder(nullptr, "NTFS - Logical Disk (C:)");
  auto* rec = static_cast<FakeRecord*>(add(ntfs, nr, "n.txt", "n"));
  rec->folders = {"Top", "Mid", "Low"};
  ntfs.setAllChecked(true);
  run(ntfs);
  EXPECT_EQ(slurp(out.path() / "Top" / "Mid" / "Low" / "n.txt"), "n");

  ResultTree ext(Variant::Ext);
  auto* er = ext.addFolder(nullptr, "EXT2( sda1 )");
  auto* lost = ext.addFolder(er, "Lost files");
  add(ext, lost, "inode_0000000C.tmp", "e");
  ext.setAllChecked(true);
  run(ext);
  EXPECT_EQ(slurp(out.path() / "inode_0000000C.tmp"), "e");
}

TEST_F(RecoveryJobTest, OverwriteAnswers) {
  ResultTree t(Variant::Raw);
  auto* root = t.addFolder(nullptr, "r");
  for (const char* n : {"a.bin", "b.bin", "c.bin"}) add(t, root, n, std::string("new-") + n);
  t.setAllChecked(true);
  fs::create_directories(out.path() / "bin");
  for (const char* n : {"a.bin", "b.bin", "c.bin"}) std::ofstream(out.path() / "bin" / n) << "old contents that are longer";

  // No keeps the old file untouched.
  auto report = run(t, [](const std::string&) { return OverwriteChoice::No; });
  EXPECT_EQ(report.skipped, 3u);
  EXPECT_EQ(slurp(out.path() / "bin" / "a.bin"), "old contents that are longer");

  // Yes to All stops asking; replaced files keep nothing of the old contents.
  int asked = 0;
  report = run(t, [&](const std::string&) { ++asked; return OverwriteChoice::YesToAll; });
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(report.recovered, 3u);
  EXPECT_EQ(slurp(out.path() / "bin" / "c.bin"), "new-c.bin");

  // Cancel stops the whole job.
  report = run(t, [](const std::string&) { return OverwriteChoice::Cancel; });
  EXPECT_TRUE(report.cancelled);
  EXPECT_EQ(report.recovered, 0u);
}

TEST_F(RecoveryJobTest, FailuresAreCollectedInOrder) {
  ResultTree t(Variant::Raw);
  auto* root = t.addFolder(nullptr, "r");
  add(t, root, "ok.txt", "fine");
  add(t, root, "bad.txt", "broken data");
  add(t, root, "\"q.txt", "never written");  // the double-quote rule
  engine.failing.insert("bad.txt");
  t.setAllChecked(true);
  auto report = run(t);
  EXPECT_EQ(report.recovered, 1u);
  EXPECT_EQ(report.failed, 1u);
  EXPECT_EQ(report.skipped, 1u);
  // The line as the page words it, then why.
  EXPECT_EQ(report.errorText, "Can not write file 'bad.txt'. The test file is damaged.\n");
  EXPECT_FALSE(fs::exists(out.path() / "txt" / "\"q.txt"));

  ResultTree n(Variant::Ntfs);
  auto* nr = n.addFolder(nullptr, "r");
  add(n, nr, "bad.txt", "x");
  n.setAllChecked(true);
  EXPECT_EQ(run(n).errorText, "Can not recovery file 'bad.txt'. The test file is damaged.\n");
}

TEST_F(RecoveryJobTest, HostileNamesStayInsideTheOutputFolder) {
  ResultTree t(Variant::Ntfs);
  auto* root = t.addFolder(nullptr, "r");
  auto* rec = static_cast<FakeRecord*>(add(t, root, "../../escape.txt", "1"));
  rec->folders = {"..", "a/b", "c\\d"};
  add(t, root, "a/../b", "2");
  add(t, root, std::string("ctl\x01\nname"), "3");
  add(t, root, std::string(300, 'n') + ".jpeg", "4");
  t.setAllChecked(true);
  auto report = run(t);
  EXPECT_EQ(report.recovered, 4u) << report.errorText;
  for (const auto& p : report.written) {
    auto rel = p.lexically_relative(out.path());
    EXPECT_FALSE(rel.empty());
    EXPECT_NE(rel.begin()->string(), "..");
    EXPECT_LE(p.filename().string().size(), 255u);
  }
  EXPECT_TRUE(fs::exists(out.path() / "_" / "a_b" / "c_d" / ".._.._escape.txt"));
  EXPECT_EQ(safeComponent(std::string(300, 'n') + ".jpeg").substr(249), "n.jpeg");
  EXPECT_EQ(safeComponent(".."), "_");
  EXPECT_EQ(safeComponent(""), "_");
  EXPECT_EQ(safeComponent("."), "_");
}

}  // namespace
}  // namespace velk
