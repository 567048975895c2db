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

// Names that collide once made safe, "." and "..", and the same name twice in EXT's flat
// folder are distinct files: each gets a name of its own, and the question is asked only
// for a file that was there before the run.
TEST_F(RecoveryJobTest, DistinctFilesNeverShareAName) {
  ResultTree t(Variant::Ntfs);
  auto* root = t.addFolder(nullptr, "r");
  for (const char* name : {"a/b.txt", "a\\b.txt", "a_b.txt", ".", ".."}) add(t, root, name, name);
  t.setAllChecked(true);
  std::ofstream(out.path() / "_") << "there before";
  std::vector<std::string> asked;
  auto report = run(t, [&](const std::string& name) {
    asked.push_back(name);
    return OverwriteChoice::No;
  });
  EXPECT_EQ(slurp(out.path() / "a_b.txt"), "a/b.txt");
  EXPECT_EQ(slurp(out.path() / "a_b (2).txt"), "a\\b.txt");
  EXPECT_EQ(slurp(out.path() / "a_b (3).txt"), "a_b.txt");
  EXPECT_EQ(slurp(out.path() / "_"), "there before");
  EXPECT_EQ(asked, (std::vector<std::string>{"_", "_"}));
  EXPECT_EQ(report.recovered, 3u);
  EXPECT_EQ(report.skippedNames, (std::vector<std::string>{".", ".."}));

  ResultTree ext(Variant::Ext);
  auto* lost = ext.addFolder(ext.addFolder(nullptr, "EXT2( sda1 )"), "Lost files");
  engine.content.clear();
  ext.addFile(lost, std::make_unique<test::FakeRecord>("same.txt", 5, Variant::Ext));
  ext.addFile(lost, std::make_unique<test::FakeRecord>("same.txt", 7, Variant::Ext));
  ext.setAllChecked(true);
  report = run(ext);
  EXPECT_EQ(report.recovered, 2u);
  EXPECT_EQ(fs::file_size(out.path() / "same.txt") + fs::file_size(out.path() / "same (2).txt"), 12u);
}

// A link planted as a sub-folder of the output folder carries nothing outside it.
TEST_F(RecoveryJobTest, ALinkedSubFolderIsNeverWrittenThrough) {
  test::TempDir elsewhere;
  fs::create_directory_symlink(elsewhere.path(), out.path() / "Photos");
  ResultTree t(Variant::Fat);
  auto* root = t.addFolder(nullptr, "FAT32( C: )");
  add(t, t.addFolder(root, "Photos"), "p.jpg", "picture");
  add(t, root, "top.txt", "top");
  t.setAllChecked(true);
  const auto report = run(t);
  EXPECT_EQ(report.recovered, 1u);
  EXPECT_EQ(report.failed, 1u);
  EXPECT_NE(report.errorText.find("is a link"), std::string::npos) << report.errorText;
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

// A file that fails, or that a stop request interrupts, is never left under its name; on
// request what was written is kept under a name that says so.
TEST_F(RecoveryJobTest, AnUnfinishedFileLeavesNothingUnderItsName) {
  ResultTree t(Variant::Raw);
  auto* root = t.addFolder(nullptr, "r");
  for (const char* n : {"bad.bin", "cut.bin", "never.bin"}) add(t, root, n, std::string(4000, n[0]));
  engine.failing.insert("bad.bin");
  JobFlag job;
  engine.midway = [&](const std::string& name) {
    if (name == "cut.bin") job.clear();
  };
  t.setAllChecked(true);
  RecoveryRequest req;
  req.outputFolder = out.path();
  req.keepPartial = true;
  req.writeReport = false;
  Progress progress;
  const auto report = runRecovery(t, engine, req, job, progress);
  EXPECT_TRUE(report.cancelled);
  EXPECT_EQ(report.recovered, 0u);
  EXPECT_EQ(report.failed, 1u);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(out.path() / "bin")) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"bad.bin.partial", "cut.bin.partial"}));
  EXPECT_EQ(slurp(out.path() / "bin" / "bad.bin.partial"), std::string(2000, 'b'));
}

}  // namespace
}  // namespace velk
