// Saved scans: a scan kept in a file recovers the same bytes later, on the same disk only,
// and a damaged or foreign file is refused with a sentence.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "disk/drive_catalog.h"
#include "engines/engine_registry.h"
#include "test_support.h"
#include "workspace/recovery_job.h"
#include "workspace/saved_scan.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

struct Recovered {
  RecoveryReport report;
  std::map<std::string, std::string> hashes;  // relative path → sha256
};

Recovered recoverAll(ResultTree& tree, RecoveryEngine& engine, const fs::path& out) {
  tree.setAllChecked(true);
  RecoveryRequest request;
  request.outputFolder = out;
  JobFlag job;
  Progress progress;
  Recovered r;
  r.report = runRecovery(tree, engine, request, job, progress);
  for (const auto& e : fs::recursive_directory_iterator(out))
    if (e.is_regular_file()) r.hashes[fs::relative(e.path(), out).string()] = test::sha256File(e.path());
  return r;
}

class SavedScanTest : public ::testing::TestWithParam<std::pair<const char*, Task>> {};

TEST_P(SavedScanTest, RecoversWhatTheScanFoundWithoutScanning) {
  const auto [image, task] = GetParam();
  if (!test::fixtureExists(image)) GTEST_FAIL() << image << " missing";
  test::TempDir dir;
  const auto records = test::catalogOf(test::fixturePath(image));
  ASSERT_FALSE(records.empty());
  const PartitionRecord record = records.front();
  auto engine = openEngine(record, task);
  ASSERT_TRUE(engine) << describe(engine.error());
  ResultTree tree((*engine)->variant());
  ScanOptions options;
  options.task = task;
  Progress progress;
  ASSERT_TRUE((*engine)->scan(tree, options, progress));
  ASSERT_GT(tree.recordCount(), 0u);
  auto disk = identifyDisk(record.diskNumber);
  ASSERT_TRUE(disk);
  const fs::path file = dir.path() / "scan.velkscan";
  ASSERT_TRUE(saveScan(file, record, options, *disk, tree, **engine));
  const Recovered direct = recoverAll(tree, **engine, dir.path() / "direct");

  auto saved = loadScan(file);
  ASSERT_TRUE(saved) << describe(saved.error());
  EXPECT_EQ(saved->tree->recordCount(), tree.recordCount());
  EXPECT_EQ(saved->partition, record);
  auto again = openSavedScan(*saved);
  ASSERT_TRUE(again) << describe(again.error());
  const Recovered later = recoverAll(*saved->tree, **again, dir.path() / "later");
  EXPECT_EQ(later.report.recovered, direct.report.recovered);
  EXPECT_EQ(later.hashes, direct.hashes);

  // Another disk is refused, and so is a file damaged anywhere.
  test::attachImages({test::fixturePath("mbr_ext05.img")});
  EXPECT_EQ(failureKind(openSavedScan(*saved)), ErrorKind::Usage);
  auto bytes = test::readFile(file);
  for (size_t at : {size_t(3), size_t(30), bytes.size() / 2, bytes.size() - 1}) {
    auto damaged = bytes;
    damaged[at] ^= 0x40;
    auto refused = decodeScan(damaged);
    ASSERT_FALSE(refused) << at;
    EXPECT_FALSE(describe(refused.error()).empty());
  }
  EXPECT_FALSE(decodeScan(ByteSpan(bytes).first(bytes.size() - 7)));
}

INSTANTIATE_TEST_SUITE_P(Engines, SavedScanTest,
                         ::testing::Values(std::pair{"exfat_deleted.img", Task::Deleted},
                                           std::pair{"raw_carve.img", Task::Raw}),
                         [](const auto& p) { return std::string(p.param.first).substr(0, p.param.first[0] == 'e' ? 5 : 3); });

}  // namespace
}  // namespace velk
