#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "disk/sector_reader.h"
#include "faulty_device.h"
#include "test_support.h"
#include "synthetic_disk.h"

namespace velk {
namespace {

// A device of a given size that answers every read with a byte pattern derived from the
// offset, and remembers where it was asked to read.
class PatternDevice final : public BlockDevice {
 public:
  explicit PatternDevice(uint64_t size, size_t maxPerRead = SIZE_MAX) : m_size(size), m_maxPerRead(maxPerRead) {}
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    offsets.push_back(offset);
    if (offset >= m_size) return 0;
    size_t n = size_t(std::min<uint64_t>({length, m_size - offset, m_maxPerRead}));
    auto* p = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < n; ++i) p[i] = uint8_t((offset + i) >> 9);
    return int64_t(n);
  }
  int64_t writeAt(uint64_t, const void*, size_t) override { return -EBADF; }
  uint64_t size() const override { return m_size; }
  std::vector<uint64_t> offsets;

 private:
  uint64_t m_size;
  size_t m_maxPerRead;
};

TEST(SectorReader, OffsetsAboveFourGiBKeepTheHighHalf) {
  auto dev = std::make_unique<PatternDevice>(10ull << 30);
  PatternDevice* raw = dev.get();
  SectorReader r;
  r.OpenDevice(std::move(dev), "test");
  r.SetBase(8388609);  // beyond sector 8,388,607: byte offsets above 4 GiB
  r.SetUnit(4096);
  uint8_t buf[4096];
  ASSERT_TRUE(r.ReadUnits(3, 1, buf));
  EXPECT_EQ(raw->offsets.back(), 8388609ull * 512 + 3 * 4096);
  EXPECT_EQ(buf[0], uint8_t((8388609ull * 512 + 3 * 4096) >> 9));
}

TEST(SectorReader, ShortLastReadFailsWholeRequest) {
  SectorReader r;
  r.OpenDevice(std::make_unique<PatternDevice>(10 * 512), "test");
  auto shortRead = r.ReadUnits(8, 4);
  ASSERT_FALSE(shortRead.has_value());
  EXPECT_EQ(shortRead.error().errnum, EIO);
  EXPECT_EQ(shortRead.error().sector, 10u);  // where the device ended
  EXPECT_TRUE(r.ReadUnits(8, 2).has_value());
  // A count the device cannot hold is refused before any allocation.
  EXPECT_FALSE(r.ReadUnits(0, 1ull << 40).has_value());
}

TEST(SectorReader, LoopedReadEndsAtTheEndOfTheDevice) {
  SectorReader r;
  r.OpenDevice(std::make_unique<PatternDevice>(3 * 512 + 100), "test");
  VectorSink sink;
  EXPECT_FALSE(r.ReadUnitsLooped(0, 6 * 512, sink));
  EXPECT_EQ(sink.written(), 3u * 512 + 100);
}

TEST(SectorReader, LoopedReadNeverWritesPastByteCount) {
  SectorReader r;
  r.OpenDevice(std::make_unique<PatternDevice>(1 << 20, 700), "test");  // reads come back 700 bytes at a time
  VectorSink first;
  ASSERT_TRUE(r.ReadUnitsLooped(2, 1000, first));
  ASSERT_EQ(first.bytes().size(), 1000u);
  EXPECT_EQ(first.bytes()[999], uint8_t((2 * 512 + 999) >> 9));
  VectorSink sink;
  EXPECT_TRUE(r.ReadUnitsLooped(0, 1500, sink));
  EXPECT_EQ(sink.bytes().size(), 1500u);
}

TEST(SectorReader, NtfsGeometryRefusesZeroOrOddSizes) {
  SectorReader r;
  EXPECT_EQ(failureKind(r.SetGeometry(0, 0, 1024)), ErrorKind::Usage);
  EXPECT_EQ(failureKind(r.SetGeometry(0, 4095, 1024)), ErrorKind::Usage);
  EXPECT_EQ(failureKind(r.SetGeometry(0, 4096, 1023)), ErrorKind::Usage);
  EXPECT_TRUE(r.SetGeometry(1 << 20, 4096, 1024));
  EXPECT_EQ(r.base(), 1u << 20);
}

TEST(SectorReader, NamesAndReadOnlyOpening) {
  test::SyntheticDisk d(4000);
  d.entry(0, 0, 0x0C, 2048, 1900);
  d.fat32Boot(2048, 1900);
  d.attach();
  SectorReader r;
  EXPECT_TRUE(r.OpenNamed("\\\\.\\PhysicalDrive0"));
  EXPECT_FALSE(r.OpenNamed("PhysicalDrive7"));
  EXPECT_FALSE(r.isOpen());
  ASSERT_TRUE(r.OpenNamed("C:"));
  uint8_t boot[512];
  ASSERT_TRUE(r.ReadAt(0, 512, boot));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(boot) + 0x52, 5), "FAT32");
  auto info = r.QueryPartitionInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->startingOffset, 2048u * 512);
  // Readers never write.
  EXPECT_FALSE(r.WriteAt(0, boot, 512));
  ASSERT_TRUE(r.OpenPhysicalDrive(0, Access::Write));
  EXPECT_TRUE(r.WriteAt(0, boot, 512));
}

TEST(SectorReader, DrivesOfTheirOwnKindOpenThroughTheirOpener) {
  test::SyntheticDisk d(100);
  DeviceNamespace::instance().reset();
  test::FaultPlan p;
  p.failWrites = true;
  p.failReadsFrom = 10 * 512;
  p.failReadsTo = 11 * 512;
  test::attachFaulty(d.bytes(), p);
  SectorReader r;
  ASSERT_TRUE(r.OpenPhysicalDrive(0, Access::Write));
  uint8_t buf[512] = {};
  EXPECT_FALSE(r.WriteAt(0, buf, 512));
  EXPECT_TRUE(r.ReadAt(9 * 512, 512, buf));
  EXPECT_FALSE(r.ReadAt(10 * 512, 512, buf));
  DeviceNamespace::instance().reset();
}

}  // namespace
}  // namespace velk
