// Runlist decoding: signed offsets, holes that do not end the list, and runs that leave
// the volume.

#include <gtest/gtest.h>

#include "formats/runlist.h"

namespace velk {
namespace {

std::vector<DataRun> decodeAll(const std::vector<uint8_t>& bytes, RunlistStatus expected,
                               uint64_t totalClusters = 1u << 20) {
  std::vector<DataRun> runs;
  EXPECT_EQ(decodeRunlist(bytes, 0, totalClusters, runs), expected);
  return runs;
}

struct BackwardCase {
  std::vector<uint8_t> bytes;
  uint64_t secondLcn;
};
inline void PrintTo(const BackwardCase& c, std::ostream* os) { *os << c.secondLcn; }

class BackwardRunTest : public ::testing::TestWithParam<BackwardCase> {};

TEST_P(BackwardRunTest, ANegativeOffsetMovesTheClusterBackwards) {
  auto runs = decodeAll(GetParam().bytes, RunlistStatus::Ok);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].lcn, 0x30000u);
  EXPECT_EQ(runs[1].lcn, GetParam().secondLcn);
  EXPECT_EQ(runs[1].vcn, 4u);
}

INSTANTIATE_TEST_SUITE_P(
    OffsetWidths, BackwardRunTest,
    ::testing::Values(
        // 4 clusters at 0x30000, then 2 clusters 16 back (1-byte offset 0xF0).
        BackwardCase{{0x31, 0x04, 0x00, 0x00, 0x03, 0x11, 0x02, 0xF0, 0x00}, 0x30000 - 16},
        // 2-byte offset 0xFF00 = −256.
        BackwardCase{{0x31, 0x04, 0x00, 0x00, 0x03, 0x21, 0x02, 0x00, 0xFF, 0x00}, 0x30000 - 256},
        // 3-byte offset 0xFF0000 = −65536.
        BackwardCase{{0x31, 0x04, 0x00, 0x00, 0x03, 0x31, 0x02, 0x00, 0x00, 0xFF, 0x00}, 0x30000 - 65536}));

TEST(RunlistTest, AHoleIsKeptAndDecodingGoesOn) {
  // 16 clusters at 100, 112 clusters of hole, 16 clusters at 228 (offset relative to 100).
  // (128 needs two signed bytes: 0x80 0x00.)
  auto runs = decodeAll({0x11, 0x10, 0x64, 0x01, 0x70, 0x21, 0x10, 0x80, 0x00, 0x00}, RunlistStatus::Ok);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_FALSE(runs[0].sparse);
  EXPECT_TRUE(runs[1].sparse);
  EXPECT_EQ(runs[1].vcn, 16u);
  EXPECT_EQ(runs[1].length, 112u);
  EXPECT_FALSE(runs[2].sparse);
  EXPECT_EQ(runs[2].vcn, 128u);
  EXPECT_EQ(runs[2].lcn, 228u);
}

TEST(RunlistTest, ARunPastTheVolumeEndsWithAnErrorKeepingTheRunsBefore) {
  // 2 clusters at 10, then 2 clusters at 10 + 100 on a 50-cluster volume.
  auto runs = decodeAll({0x11, 0x02, 0x0A, 0x11, 0x02, 0x64, 0x00}, RunlistStatus::PastVolumeEnd, 50);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].lcn, 10u);
  // A run that starts inside but ends outside.
  decodeAll({0x11, 0x30, 0x0A, 0x00}, RunlistStatus::PastVolumeEnd, 50);
  // An offset before the first cluster.
  decodeAll({0x11, 0x02, 0x0A, 0x11, 0x02, 0xF0, 0x00}, RunlistStatus::PastVolumeEnd, 50);
}

TEST(RunlistTest, MalformedHeadersStopDecoding) {
  decodeAll({0x10, 0x05, 0x00}, RunlistStatus::Malformed);        // no length field
  decodeAll({0x19, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00}, RunlistStatus::Malformed);
  decodeAll({0x11, 0x00, 0x05, 0x00}, RunlistStatus::Malformed);  // zero length
  decodeAll({0x11, 0x02}, RunlistStatus::Malformed);              // bytes run out mid-run
  decodeAll({0x11, 0x02, 0x05}, RunlistStatus::Malformed);        // no terminator
  decodeAll({}, RunlistStatus::Malformed);
}

TEST(RunlistTest, RunsStartAtTheExtentsFirstVcn) {
  std::vector<DataRun> runs;
  ASSERT_EQ(decodeRunlist(std::vector<uint8_t>{0x11, 0x04, 0x20, 0x00}, 300, 1000, runs), RunlistStatus::Ok);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].vcn, 300u);
  EXPECT_EQ(runs[0].lcn, 0x20u);
}

}  // namespace
}  // namespace velk
