// The read-only guarantee: every fixture image is scanned with every task an engine takes
// its partitions for, everything found is recovered and the disk is searched for lost
// partitions, through a device layer that refuses (and counts) every write. No write may even be tried, and the image's sha256
// must be the same afterwards.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "disk/device.h"
#include "disk/drive_catalog.h"
#include "engines/engine_registry.h"
#include "faulty_device.h"
#include "hardening/hardening_support.h"
#include "output/file_write.h"
#include "partition/partition_scan.h"
#include "workspace/recovery_job.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

std::string sha256Of(const fs::path& file) {
  std::string out;
  if (runCommand("sha256sum '" + file.string() + "'", &out) != 0) return {};
  return out.substr(0, 64);
}

const char* const kImages[] = {
    "demo_disk.img",     "ext2_deleted.img",        "ext2_deleted_i256.img", "ext3_1k.img",
    "ext3_1k_i128.img",  "ext3_4k.img",             "fat16_32s.img",         "fat16_8s.img",
    "fat32_deleted.img", "fat32_formatted.img",     "gpt_damaged_primary.img", "gpt_disk.img",
    "mbr_ext05.img",     "mbr_mixed.img",           "ntfs_deleted.img",      "ntfs_formatted.img",
    "raw_carve.img",
};

class ReadOnly : public ::testing::TestWithParam<const char*> {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }
};

TEST_P(ReadOnly, ScanningAndRecoveringEveryTaskLeavesTheImageUntouched) {
  const fs::path image = fixturePath(GetParam());
  if (!fs::exists(image)) GTEST_FAIL() << image << " is not unpacked";
  const std::string before = sha256Of(image);
  ASSERT_EQ(before.size(), 64u);

  auto& ns = DeviceNamespace::instance();
  ns.reset();
  FaultPlan policy;
  policy.failWrites = true;
  attachFaulty(image, policy);
  ns.assignLetters();
  DriveCatalog catalog;
  catalog.Refresh();
  ASSERT_FALSE(catalog.partitions().empty());

  TempDir out;
  size_t scans = 0, recovered = 0;
  for (const PartitionRecord& record : catalog.partitions()) {
    for (Task task : {Task::Deleted, Task::Formatted, Task::Raw}) {
      auto opened = openEngine(record, task);
      if (!opened) continue;
      std::unique_ptr<RecoveryEngine> engine = std::move(*opened);
      ResultTree tree(engine->variant());
      ScanOptions options;
      options.task = task;
      Progress progress;
      (void)engine->scan(tree, options, progress);
      ++scans;
      tree.setAllChecked(true);
      RecoveryRequest request;
      request.outputFolder = out.path() / std::to_string(scans);
      JobFlag job;
      const RecoveryReport report = runRecovery(tree, *engine, request, job, progress);
      recovered += report.recovered;
    }
  }
  // Lost-partition scans read the same disk.
  std::vector<PartitionRecord> candidates;
  EXPECT_TRUE(AutoScan(catalog, 0, candidates));
  LogicalSets logicals;
  EXPECT_TRUE(DeepScan(catalog, 0, candidates, logicals));
  EXPECT_GT(scans, 0u);
  EXPECT_GT(recovered, 0u);
  EXPECT_EQ(policy.refusedWrites->load(), 0u) << "a write to the examined device was tried";
  ns.reset();
  EXPECT_EQ(sha256Of(image), before);
  RecordProperty("scans", int(scans));
  RecordProperty("recovered", int(recovered));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReadOnly, ::testing::ValuesIn(kImages), [](const auto& p) {
  std::string name = p.param;
  return name.substr(0, name.find('.'));
});

// The witness itself: the layer counts a write it refused, so a zero above means none.
TEST(ReadOnlyWitness, RefusedWritesAreCounted) {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  FaultPlan policy;
  policy.failWrites = true;
  attachFaulty(std::make_shared<std::vector<uint8_t>>(4096, 0), policy, "witness");
  auto dev = ns.openDrive(0, Access::Write);
  ASSERT_TRUE(dev);
  const uint8_t byte = 1;
  EXPECT_LT((*dev)->writeAt(0, &byte, 1), 0);
  EXPECT_EQ(policy.refusedWrites->load(), 1u);
  ns.reset();
}

// The program's own writes never land on an attached drive: not the image named directly,
// not through a link, not from the command line's backup; the image stays as it was.
TEST(WritesOntoExaminedDrives, AreRefusedAndNothingIsWritten) {
  TempDir dir;
  const fs::path image = dir.path() / "disk.img";
  ASSERT_TRUE(fs::copy_file(fixturePath("ext2_deleted.img"), image));
  fs::create_symlink(image, dir.path() / "link.pbf");
  const std::string before = sha256Of(image);
  attachImages({image});
  const std::vector<uint8_t> bytes(600, 0x55);
  for (const fs::path& target : {image, dir.path() / "link.pbf"}) {
    Status written = writeFileAtomically(target, bytes, Replace::Allowed);
    ASSERT_FALSE(written) << target;
    EXPECT_NE(describe(written.error()).find("attached as drive 0"), std::string::npos) << describe(written.error());
  }
  DeviceNamespace::instance().reset();
  std::string said;
  const std::string cli = std::string(VELK_CLI_PATH) + " --image '" + image.string() + "' ";
  EXPECT_EQ(runCommand(cli + "partitions backup --disk 0 --out '" + image.string() + "' 2>&1", &said), 2) << said;
  EXPECT_EQ(runCommand(cli + "recover --partition 0 --all --out '" + image.string() + "' 2>/dev/null"), 2);
  EXPECT_EQ(sha256Of(image), before);
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.pbf"));
}

// The desktop's administrator probe asks whether the rewrite could write, without opening
// the disk for writing.
TEST(AdministratorProbe, NeverOpensADiskForWriting) {
  TempDir dir;
  const fs::path node = dir.path() / "disk";
  std::ofstream(node) << std::string(4096, '\0');
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  auto asked = std::make_shared<std::vector<Access>>();
  DriveSource src;
  src.displayName = node.string();
  src.path = node;
  src.isBlockDevice = true;
  src.size = 4096;
  src.opener = [node, asked](Access access) {
    asked->push_back(access);
    return openDeviceFile(node, Access::Read);
  };
  ns.attachSource(std::move(src));
  (void)administratorProbeFails();
  ns.reset();
  EXPECT_FALSE(asked->empty());
  for (Access access : *asked) EXPECT_NE(access, Access::Write);
}

}  // namespace
}  // namespace velk::test
