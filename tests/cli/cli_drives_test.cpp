#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "formats/bytes.h"
#include "test_support.h"

namespace velk {
namespace {

std::string cli() { return VELK_CLI_PATH; }

// A 4 MiB disk with one FAT32-typed entry at 2048 and nothing else.
std::filesystem::path writeDisk(const std::filesystem::path& dir) {
  std::vector<uint8_t> bytes(4 << 20);
  uint8_t* e = bytes.data() + 0x1BE;
  e[4] = 0x0C;
  putLe32(e + 8, 2048);
  putLe32(e + 12, 4096);
  bytes[510] = 0x55;
  bytes[511] = 0xAA;
  auto path = dir / "disk.img";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

TEST(CliDrives, JsonCarriesEveryRecordField) {
  test::TempDir dir;
  auto image = writeDisk(dir.path());
  std::string out;
  ASSERT_EQ(test::runCommand(cli() + " --image " + image.string() + " drives --json", &out), 0);
  auto j = nlohmann::json::parse(out);
  ASSERT_EQ(j["disks"].size(), 1u);
  for (const char* key : {"number", "name", "size", "removable", "bus_type"}) EXPECT_TRUE(j["disks"][0].contains(key)) << key;
  EXPECT_EQ(j["disks"][0]["size"], 4u << 20);
  ASSERT_EQ(j["partitions"].size(), 3u);  // leading gap, the entry, the tail gap
  const auto& p = j["partitions"][1];
  for (const char* key : {"index", "disk", "letter", "kind", "table_sector", "extended_base", "fs", "label",
                          "start_sector", "sectors_per_cluster", "bytes_per_sector", "free_bytes", "length", "type"})
    EXPECT_TRUE(p.contains(key)) << key;
  EXPECT_EQ(p["fs"], "#FAT32#");
  EXPECT_EQ(p["start_sector"], 2048);
  EXPECT_EQ(p["letter"], "*");
  EXPECT_EQ(p["type"], 12);
}

TEST(CliDrives, BadImagesAreUsageErrors) {
  test::TempDir dir;
  std::ofstream(dir.path() / "empty.img").close();
  EXPECT_EQ(test::runCommand(cli() + " --image " + (dir.path() / "missing.img").string() + " drives 2>/dev/null"), 2);
  EXPECT_EQ(test::runCommand(cli() + " --image " + (dir.path() / "empty.img").string() + " drives 2>/dev/null"), 2);
  EXPECT_EQ(test::runCommand(cli() + " --image " + dir.path().string() + " drives 2>/dev/null"), 2);
  EXPECT_EQ(test::runCommand(cli() + " nosuchcommand 2>/dev/null"), 2);
}

TEST(CliScan, PartitionOutOfRangeIsAUsageError) {
  test::TempDir dir;
  auto image = writeDisk(dir.path());
  EXPECT_EQ(test::runCommand(cli() + " --image " + image.string() + " scan --partition 9 2>/dev/null"), 2);
  // A gap holds no file system: the deleted-file task does not apply.
  EXPECT_EQ(test::runCommand(cli() + " --image " + image.string() + " scan --partition 0 2>/dev/null"), 2);
}

}  // namespace
}  // namespace velk
