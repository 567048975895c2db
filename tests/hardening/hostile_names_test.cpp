// Hostile names end to end: volumes whose deleted files and folders are named "/", "\",
// "..", ".", control characters, 255 characters and invalid UTF-16 are scanned and
// recovered through their engines. Everything written lands inside the output folder and
// nothing beside it is created or replaced. (Name-by-name rules of safeComponent are in
// tests/workspace/recovery_job_test.cpp.)

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "disk/device.h"
#include "engines/fat/fat_image_builder.h"
#include "engines/ntfs/ntfs_image_builder.h"
#include "engines/ntfs/ntfs_volume.h"
#include "hardening/hardening_support.h"
#include "workspace/recovery_job.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

// Names that would reach outside the folder, or that no file system here takes as they are.
const std::u16string kHostile[] = {
    u"../../escape.txt",
    u"\\..\\..\\win.txt",
    u"a/b\\c.txt",
    u"ctl\x01\x1b[2J\x7f.txt",
    std::u16string(251, u'x') + u".txt",
    std::u16string(255, u'\u65e5'),
    std::u16string(u"lone") + char16_t(0xD800) + u".txt",
    std::u16string(u"swapped") + char16_t(0xDC00) + char16_t(0xD800) + u".txt",
};
// Names that all become "_": distinct files never share a name, so in one folder they are
// "_", "_ (2)" and "_ (3)" (a folder "_" blocked by a file "_" would fail).
const std::u16string kDotNames[] = {u"..", u".", u"/"};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every regular file below dir (symlinks not followed), with its contents.
std::map<fs::path, std::string> filesBelow(const fs::path& dir) {
  std::map<fs::path, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink()) out[e.path()] = slurp(e.path());
  return out;
}

bool inside(const fs::path& p, const fs::path& dir) {
  const auto rel = p.lexically_normal().lexically_relative(dir.lexically_normal());
  return !rel.empty() && *rel.begin() != "..";
}

// A work folder: the output folder "out" and, beside it, files a hostile name would reach.
class HostileNames : public ::testing::Test {
 protected:
  void SetUp() override {
    out = work.path() / "out" / "deep";
    fs::create_directories(out);
    for (const char* name : {"escape.txt", "win.txt", "out/escape.txt", "out/win.txt"})
      std::ofstream(work.path() / name) << "keep me";
    before = filesBelow(work.path());
  }
  void TearDown() override { DeviceNamespace::instance().reset(); }

  RecoveryReport recover(const ResultTree& tree, RecoveryEngine& engine) {
    RecoveryRequest request;
    request.outputFolder = out;
    JobFlag job;
    Progress progress;
    return runRecovery(tree, engine, request, job, progress);
  }

  // Whatever was written lies inside the output folder; every file beside it is as it was.
  void expectContained(const RecoveryReport& report) {
    for (const auto& p : report.written) {
      EXPECT_TRUE(inside(p, out)) << p;
      EXPECT_LE(p.filename().string().size(), 255u) << p;
    }
    for (const auto& [path, contents] : filesBelow(work.path())) {
      if (inside(path, out)) continue;
      auto it = before.find(path);
      EXPECT_NE(it, before.end()) << "created outside the output folder: " << path;
      if (it != before.end()) {
        EXPECT_EQ(contents, it->second) << path;
      }
    }
  }

  TempDir work;
  fs::path out;
  std::map<fs::path, std::string> before;
};

TEST_F(HostileNames, FatLongNamesOfFilesAndFoldersStayInside) {
  // Clusters of 4 KiB: the root's one cluster holds every long name.
  FatImage img = FatImage::fat32(8, 400, 400);
  const uint64_t root = img.clusterOffset(2);
  size_t slot = 0;
  uint32_t data = 100;
  for (const auto& name : kHostile) {
    slot += img.longName(root, slot, name, true);
    img.entry(root, slot++, Dirent{"HOSTILE TXT", 0x20, data, 700, true});
    img.fill(img.clusterOffset(data), 700, uint8_t(data));
    data += 2;
  }
  // Deleted folders named ".." and "/" (both "_" on disk) holding the dot names.
  uint32_t folder = 300;
  for (const std::u16string name : {u"..", u"/"}) {
    slot += img.longName(root, slot, name, true);
    img.entry(root, slot++, Dirent{"DIR        ", 0x10, folder, 0, true, kTestDate, true});
    img.dots(folder, 0);
    size_t inner = 2;
    for (const auto& dots : kDotNames) {
      inner += img.longName(img.clusterOffset(folder), inner, dots, true);
      img.entry(img.clusterOffset(folder), inner++, Dirent{"DOTS    TXT", 0x20, data, 300, true});
      img.fill(img.clusterOffset(data), 300, 0x33);
      data += 2;
    }
    folder += 2;
  }
  auto volume = img.open();
  ASSERT_TRUE(volume->isValid());
  ResultTree tree(Variant::Fat);
  ScanOptions options;
  Progress progress;
  ASSERT_TRUE(volume->scan(tree, options, progress));
  ASSERT_EQ(tree.recordCount(), std::size(kHostile) + 2 * std::size(kDotNames));
  tree.setAllChecked(true);

  const RecoveryReport report = recover(tree, *volume);
  EXPECT_EQ(report.failed, 0u) << report.errorText;
  EXPECT_EQ(report.recovered + report.skipped, tree.recordCount());
  EXPECT_GE(report.recovered, std::size(kHostile) + 1);
  expectContained(report);
}

TEST_F(HostileNames, NtfsFileAndFolderNamesStayInside) {
  VolumeBuilder v;
  constexpr uint64_t kRoot = 5;
  constexpr uint32_t kDirFlag = 0x10000000;
  // Deleted folders ".." → "a/b\c" → "/" nest; every hostile file sits in the innermost.
  v.setRecord(40, v.record(40).flags(2).standardInfo(0x10).fileName(kRoot, u"..", kDirFlag).finish());
  v.setRecord(41, v.record(41).flags(2).standardInfo(0x10).fileName(40, u"a/b\\c", kDirFlag).finish());
  v.setRecord(42, v.record(42).flags(2).standardInfo(0x10).fileName(41, u"/", kDirFlag).finish());
  uint32_t number = 43;
  auto file = [&](const std::u16string& name) {
    v.setRecord(number, v.record(number).flags(0).standardInfo(0x20).fileName(42, name)
                            .residentData(patternBytes(100, number)).finish());
    ++number;
  };
  for (const auto& name : kHostile) file(name);
  for (const auto& name : kDotNames) file(name);
  auto opened = openNtfsInMemory(v.bytes, "hostile-ntfs");
  ASSERT_NE(opened, nullptr);
  NtfsVolume& volume = *opened;
  ResultTree tree(Variant::Ntfs);
  ScanOptions options;
  Progress progress;
  ASSERT_TRUE(volume.scan(tree, options, progress));
  ASSERT_EQ(tree.recordCount(), std::size(kHostile) + std::size(kDotNames));
  tree.setAllChecked(true);

  const RecoveryReport report = recover(tree, volume);
  EXPECT_EQ(report.failed, 0u) << report.errorText;
  EXPECT_EQ(report.recovered + report.skipped, tree.recordCount());
  EXPECT_EQ(report.recovered, std::size(kHostile) + std::size(kDotNames));
  expectContained(report);
  for (const auto& p : report.written) EXPECT_EQ(fs::file_size(p), 100u) << p;
  const std::set<fs::path> distinct(report.written.begin(), report.written.end());
  EXPECT_EQ(distinct.size(), report.written.size());
}

// A link already in the output folder under a recovered file's name must not carry the
// write outside: a dangling link is no free slot, and replacing a link replaces the link.
TEST_F(HostileNames, LinksInTheOutputFolderAreNeverFollowed) {
  FatImage img = FatImage::fat32(1, 64, 64);
  const uint64_t root = img.clusterOffset(2);
  img.entry(root, 0, Dirent{"DANGLINGTXT", 0x20, 10, 5, true});
  img.entry(root, 1, Dirent{"EXISTINGTXT", 0x20, 12, 5, true});
  img.fill(img.clusterOffset(10), 4096, 0x41);
  auto volume = img.open();
  ResultTree fat(Variant::Fat);
  ScanOptions options;
  Progress progress;
  ASSERT_TRUE(volume->scan(fat, options, progress));

  std::vector<std::string> names;
  for (FolderItem* f : fat.foldersBreadthFirst())
    for (FileRecord* r : f->files) names.push_back(r->name);
  ASSERT_EQ(names.size(), 2u);
  fs::create_symlink(work.path() / "created.txt", out / names[0]);
  fs::create_symlink(work.path() / "escape.txt", out / names[1]);
  fat.setAllChecked(true);

  // Never replace: both names are taken, nothing is written anywhere.
  RecoveryReport report = recover(fat, *volume);
  EXPECT_EQ(report.recovered, 0u);
  EXPECT_EQ(report.skipped, 2u);
  EXPECT_FALSE(fs::exists(work.path() / "created.txt"));
  expectContained(report);

  // Replace all: the links become the recovered files; their targets stay as they were.
  RecoveryRequest request;
  request.outputFolder = out;
  request.ask = [](const std::string&) { return OverwriteChoice::YesToAll; };
  JobFlag job;
  report = runRecovery(fat, *volume, request, job, progress);
  EXPECT_EQ(report.recovered, 2u) << report.errorText;
  for (const auto& name : names) {
    EXPECT_FALSE(fs::is_symlink(out / name)) << name;
    EXPECT_EQ(fs::file_size(out / name), 5u) << name;
  }
  EXPECT_FALSE(fs::exists(work.path() / "created.txt"));
  expectContained(report);
}

}  // namespace
}  // namespace velk::test
