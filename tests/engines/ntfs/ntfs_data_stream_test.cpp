// The stream writer: exact content from runs, holes, the initialized size, compression
// units stored raw or as LZNT1, and what happens when the runs do not add up.

#include <gtest/gtest.h>

#include <cerrno>

#include "test_support.h"
#include "codec/lznt1.h"
#include "engines/ntfs/ntfs_data_stream.h"
#include "engines/ntfs/ntfs_image_builder.h"

namespace velk {
namespace {

constexpr uint32_t kCluster = 4096;

class MemoryClusters final : public ClusterSource {
 public:
  explicit MemoryClusters(uint64_t clusters) : bytes(clusters * kCluster, 0xEE) {}
  Status readVolume(uint64_t offset, size_t length, uint8_t* buffer) override {
    ++reads;
    if (offset >= failFrom) return fail(ioError("reading", EIO));
    if (offset > bytes.size() || length > bytes.size() - offset) return fail(ioError("reading", EIO));
    std::memcpy(buffer, bytes.data() + offset, length);
    return {};
  }
  void put(uint64_t lcn, const std::vector<uint8_t>& data) {
    std::memcpy(bytes.data() + lcn * kCluster, data.data(), data.size());
  }
  std::vector<uint8_t> bytes;
  uint64_t failFrom = UINT64_MAX;
  size_t reads = 0;
};

// Keeps what it gets and the largest single write.
class RecordingSink final : public ByteSink {
 public:
  bool write(const uint8_t* data, size_t n) override {
    bytes.insert(bytes.end(), data, data + n);
    largest = std::max(largest, n);
    m_written += n;
    return true;
  }
  std::vector<uint8_t> bytes;
  size_t largest = 0;
};

DataRun run(uint64_t vcn, uint64_t length, int64_t lcn) {
  DataRun r;
  r.vcn = vcn;
  r.length = length;
  r.sparse = lcn < 0;
  r.lcn = lcn < 0 ? 0 : uint64_t(lcn);
  return r;
}

class StreamWriterTest : public ::testing::Test {
 protected:
  MemoryClusters volume{512};
  RecordingSink sink;
};

TEST_F(StreamWriterTest, ContentIsCutAtTheRealSize) {
  auto data = test::patternBytes(kCluster, 1);
  volume.put(10, data);
  NtfsStreamLayout l;
  l.runs = {run(0, 1, 10)};
  l.realSize = l.initializedSize = 1000;
  ASSERT_TRUE(writeNtfsStream(l, kCluster, volume, sink));
  EXPECT_EQ(sink.bytes, std::vector<uint8_t>(data.begin(), data.begin() + 1000));
}

TEST_F(StreamWriterTest, FragmentsAreJoinedInVcnOrderAndHolesReadAsZeros) {
  auto a = test::patternBytes(2 * kCluster, 2), b = test::patternBytes(kCluster, 3);
  volume.put(50, a);
  volume.put(7, b);  // a run before the first one
  NtfsStreamLayout l;
  l.runs = {run(0, 2, 50), run(2, 3, -1), run(5, 1, 7)};
  l.realSize = l.initializedSize = 6 * kCluster - 100;
  ASSERT_TRUE(writeNtfsStream(l, kCluster, volume, sink));
  std::vector<uint8_t> expected = a;
  expected.resize(5 * kCluster, 0);
  expected.insert(expected.end(), b.begin(), b.end() - 100);
  EXPECT_EQ(sink.bytes, expected);
}

TEST_F(StreamWriterTest, BytesPastTheInitializedSizeReadAsZeros) {
  volume.put(20, test::patternBytes(3 * kCluster, 4));
  NtfsStreamLayout l;
  l.runs = {run(0, 3, 20)};
  l.realSize = 3 * kCluster;
  l.initializedSize = 5000;
  ASSERT_TRUE(writeNtfsStream(l, kCluster, volume, sink));
  ASSERT_EQ(sink.bytes.size(), 3u * kCluster);
  auto src = test::patternBytes(3 * kCluster, 4);
  EXPECT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.begin() + 5000, src.begin()));
  EXPECT_TRUE(std::all_of(sink.bytes.begin() + 5000, sink.bytes.end(), [](uint8_t v) { return v == 0; }));
}

TEST_F(StreamWriterTest, LargeFilesStreamInBoundedPieces) {
  MemoryClusters big(8192);  // 32 MiB
  NtfsStreamLayout l;
  l.runs = {run(0, 8000, 100)};
  l.realSize = l.initializedSize = 8000ull * kCluster;
  l.runs[0].lcn = 100;
  NullSink counter;
  ASSERT_TRUE(writeNtfsStream(l, kCluster, big, counter));
  EXPECT_EQ(counter.written(), 8000ull * kCluster);
  EXPECT_LE(big.reads, 40u);  // large reads, not one per cluster
  RecordingSink rec;
  ASSERT_TRUE(writeNtfsStream(l, kCluster, big, rec));
  EXPECT_LE(rec.largest, size_t(1) << 20);
}

TEST_F(StreamWriterTest, RunsThatStopShortEndWithAnError) {
  volume.put(30, test::patternBytes(kCluster, 5));
  NtfsStreamLayout l;
  l.runs = {run(0, 1, 30)};
  l.realSize = l.initializedSize = 3 * kCluster;
  EXPECT_EQ(failureKind(writeNtfsStream(l, kCluster, volume, sink)), ErrorKind::Corrupt);
  EXPECT_EQ(sink.bytes.size(), size_t(kCluster));
}

TEST_F(StreamWriterTest, AReadErrorIsReported) {
  NtfsStreamLayout l;
  l.runs = {run(0, 2, 40)};
  l.realSize = l.initializedSize = 2 * kCluster;
  volume.failFrom = 40ull * kCluster;
  auto failed = writeNtfsStream(l, kCluster, volume, sink);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().errnum, EIO);
}

TEST_F(StreamWriterTest, ResidentBytesAreWrittenAsTheyAre) {
  NtfsStreamLayout l;
  l.resident = true;
  l.residentBytes = {1, 2, 3, 4, 5};
  ASSERT_TRUE(writeNtfsStream(l, kCluster, volume, sink));
  EXPECT_EQ(sink.bytes, l.residentBytes);
}

// Compressed attributes: 16-cluster units.
class CompressedStreamTest : public StreamWriterTest {
 protected:
  static constexpr uint32_t kUnit = 16;
  static std::vector<uint8_t> textBytes(size_t n, char seed) {
    std::string s;
    while (s.size() < n) s += std::string("line of text number ") + seed + " with words repeated\n";
    return std::vector<uint8_t>(s.begin(), s.begin() + std::ptrdiff_t(n));
  }
  NtfsStreamLayout layout(std::vector<DataRun> runs, uint64_t size) {
    NtfsStreamLayout l;
    l.runs = std::move(runs);
    l.realSize = l.initializedSize = size;
    l.compressed = true;
    l.compressionUnitClusters = kUnit;
    return l;
  }
};

TEST_F(CompressedStreamTest, ARawUnitThenAnLznt1UnitRecoverExactly) {
  auto raw = test::patternBytes(kUnit * kCluster, 6);  // random: stored as is
  auto text = textBytes(kUnit * kCluster, 'a');
  auto packed = codec::lznt1Compress(text);
  ASSERT_LT(packed.size(), size_t(kUnit - 1) * kCluster);
  const uint64_t packedClusters = (packed.size() + kCluster - 1) / kCluster;
  packed.resize(packedClusters * kCluster, 0);  // the slack of the last cluster is zero
  volume.put(100, raw);
  volume.put(200, packed);
  auto l = layout({run(0, kUnit, 100), run(kUnit, packedClusters, 200), run(kUnit + packedClusters, kUnit - packedClusters, -1)},
                  2 * kUnit * kCluster);
  ASSERT_TRUE(writeNtfsStream(l, kCluster, volume, sink));
  std::vector<uint8_t> expected = raw;
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(sink.bytes, expected);
}

TEST_F(CompressedStreamTest, AnAllHoleUnitIsZerosAndTheLastUnitIsCut) {
  auto text = textBytes(40000, 'b');
  auto packed = codec::lznt1Compress(text);
  const uint64_t packedClusters = (packed.size() + kCluster - 1) / kCluster;
  packed.resize(packedClusters * kCluster, 0);
  volume.put(300, packed);
  auto l = layout({run(0, kUnit, -1), run(kUnit, packedClusters, 300), run(kUnit + packedClusters, kUnit - packedClusters, -1)},
                  kUnit * kCluster + 40000);
  ASSERT_TRUE(writeNtfsStream(l, kCluster, volume, sink));
  std::vector<uint8_t> expected(kUnit * kCluster, 0);
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(sink.bytes, expected);
}

TEST_F(CompressedStreamTest, AUnitThatDoesNotDecodeIsWrittenAsStoredAndReported) {
  std::vector<uint8_t> junk(kCluster, 0xFF);  // chunk header 0xFFFF: size past the input
  volume.put(400, junk);
  auto l = layout({run(0, 1, 400), run(1, kUnit - 1, -1)}, 5000);
  EXPECT_EQ(failureKind(writeNtfsStream(l, kCluster, volume, sink)), ErrorKind::Corrupt);
  ASSERT_EQ(sink.bytes.size(), 5000u);
  EXPECT_TRUE(std::equal(junk.begin(), junk.end(), sink.bytes.begin()));
}

TEST_F(CompressedStreamTest, APlainSparseStreamIsNotDecompressed) {
  // Holes with a compression unit but no compression flag: the clusters are the bytes.
  auto data = test::patternBytes(2 * kCluster, 7);
  volume.put(60, data);
  NtfsStreamLayout l;
  l.runs = {run(0, 2, 60), run(2, 14, -1)};
  l.realSize = l.initializedSize = 16 * kCluster;
  l.compressionUnitClusters = kUnit;
  ASSERT_TRUE(writeNtfsStream(l, kCluster, volume, sink));
  data.resize(16 * kCluster, 0);
  EXPECT_EQ(sink.bytes, data);
}

}  // namespace
}  // namespace velk
