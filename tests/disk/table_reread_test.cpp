// Re-reading a disk's partition table after a rewrite: only real block devices have a
// kernel view to refresh; images and memory drives need nothing.

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "disk/device.h"
#include "disk/table_reread.h"
#include "test_support.h"

namespace velk {
namespace {

class TableReread : public ::testing::Test {
 protected:
  void SetUp() override { DeviceNamespace::instance().reset(); }
  void TearDown() override { DeviceNamespace::instance().reset(); }
};

TEST_F(TableReread, ImagesAndMemoryDrivesNeedNoRereadAndUnknownDrivesFail) {
  test::TempDir dir;
  const auto image = dir.path() / "disk.img";
  std::ofstream(image, std::ios::binary) << std::string(4096, '\0');
  ASSERT_TRUE(DeviceNamespace::instance().attachImage(image));
  DeviceNamespace::instance().attachMemory("memory", std::make_shared<std::vector<uint8_t>>(4096));

  EXPECT_EQ(rereadPartitionTable(0).status, TableRereadStatus::NotNeeded);
  EXPECT_EQ(rereadPartitionTable(1).status, TableRereadStatus::NotNeeded);
  for (int missing : {-1, 2, 25}) {
    const TableRereadResult r = rereadPartitionTable(missing);
    EXPECT_EQ(r.status, TableRereadStatus::Failed) << missing;
    EXPECT_EQ(r.error, ENOENT) << missing;
  }
}

}  // namespace
}  // namespace velk
