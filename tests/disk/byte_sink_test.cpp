// FileSink: the bytes of a recovered file arrive whole and in order whatever the sizes of
// the pieces, and a failed write sticks.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <unistd.h>

#include "disk/byte_sink.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

class FileSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("velk-filesink-" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  static std::vector<uint8_t> contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  static std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + seed);
    return v;
  }

  fs::path dir;
};

TEST_F(FileSinkTest, SmallAndLargePiecesArriveInOrder) {
  // Pieces below, at and above the gathering size, and ones that overflow what is gathered.
  const std::vector<size_t> sizes{1, 100, 70000, FileSink::kGatherBytes, 3, FileSink::kGatherBytes - 1, 2, 0, 512};
  std::vector<uint8_t> expected;
  FileSink sink;
  ASSERT_EQ(sink.open(dir / "a.bin"), 0);
  uint8_t seed = 0;
  for (size_t n : sizes) {
    const auto piece = pattern(n, seed++);
    ASSERT_TRUE(sink.write(piece.data(), piece.size()));
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  ASSERT_TRUE(sink.writeZeros(100000));
  expected.resize(expected.size() + 100000, 0);
  EXPECT_EQ(sink.written(), expected.size());
  ASSERT_TRUE(sink.close());
  EXPECT_EQ(contents(dir / "a.bin"), expected);
}

TEST_F(FileSinkTest, GatheredBytesReachTheFileOnReopenAndOnDestruction) {
  const auto first = pattern(10, 1), second = pattern(20, 2);
  {
    FileSink sink;
    ASSERT_EQ(sink.open(dir / "one.bin"), 0);
    ASSERT_TRUE(sink.write(first.data(), first.size()));
    ASSERT_EQ(sink.open(dir / "two.bin"), 0);
    ASSERT_TRUE(sink.write(second.data(), second.size()));
  }  // never closed
  EXPECT_EQ(contents(dir / "one.bin"), first);
  EXPECT_EQ(contents(dir / "two.bin"), second);
}

TEST_F(FileSinkTest, AFailedWriteSticksAndCloseReportsIt) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const auto small = pattern(10, 3), large = pattern(FileSink::kGatherBytes, 4);
  {
    // Gathered bytes fail when they are flushed: at close at the latest.
    FileSink sink;
    ASSERT_EQ(sink.open("/dev/full"), 0);
    EXPECT_TRUE(sink.write(small.data(), small.size()));
    EXPECT_FALSE(sink.close());
  }
  {
    FileSink sink;
    ASSERT_EQ(sink.open("/dev/full"), 0);
    EXPECT_FALSE(sink.write(large.data(), large.size()));
    EXPECT_FALSE(sink.write(small.data(), small.size()));
    EXPECT_EQ(sink.written(), 0u);
    EXPECT_FALSE(sink.close());
  }
}

TEST_F(FileSinkTest, OpeningAFolderFails) {
  FileSink sink;
  EXPECT_NE(sink.open(dir), 0);
  EXPECT_FALSE(sink.isOpen());
  const uint8_t b = 1;
  EXPECT_FALSE(sink.write(&b, 1));
}

}  // namespace
}  // namespace velk
