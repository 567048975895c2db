// MFT record decoding: the update sequence, the longest-name rule, bounds on every field,
// attribute lists, and the boot sector's geometry.

#include <gtest/gtest.h>

#include "drivers/ntfs_drivers.h"
#include "formats/mft_record.h"
#include "formats/ntfs_boot_sector.h"
#include "engines/ntfs/ntfs_image_builder.h"
#include "support/text.h"

namespace velk {
namespace {

using test::NonResident;
using test::RecordBuilder;

std::string nameOf(const ParsedMftRecord& p) { return utf16leToUtf8(p.fileName.name); }

class FixupTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(FixupTest, AppliedFixupsRestoreTheLastWordOfEveryStretch) {
  const uint32_t size = GetParam();
  RecordBuilder b(size, 42);
  // A resident value that runs over the first stretch boundary.
  std::vector<uint8_t> value = test::patternBytes(600, 3);
  b.flags(1).fileName(5, u"a.txt").residentData(value);
  std::vector<uint8_t> rec = b.finish(0x1234);
  ASSERT_EQ(rec[510], 0x34);
  ASSERT_EQ(rec[511], 0x12);
  EXPECT_EQ(applyFixups(rec), FixupResult::Applied);
  ParsedMftRecord p;
  ASSERT_TRUE(parseMftRecord(rec, p));
  const AttributeView* d = p.unnamedData();
  ASSERT_TRUE(d);
  EXPECT_EQ(std::vector<uint8_t>(d->value.begin(), d->value.end()), value);
  EXPECT_EQ(p.recordNumber, 42u);
}

INSTANTIATE_TEST_SUITE_P(RecordSizes, FixupTest, ::testing::Values(1024u, 4096u));

TEST(FixupMismatchTest, ARecordWithATornStretchIsLeftAsRead) {
  RecordBuilder b(1024);
  b.flags(1).fileName(5, u"a.txt").residentData(test::patternBytes(700, 4));
  std::vector<uint8_t> rec = b.finish(0x0005);
  rec[1022] = 0x99;  // the second stretch's protected word no longer matches
  const std::vector<uint8_t> asRead = rec;
  EXPECT_EQ(applyFixups(rec), FixupResult::Mismatch);
  EXPECT_EQ(rec, asRead);
  ParsedMftRecord p;
  EXPECT_TRUE(parseMftRecord(rec, p));
  EXPECT_EQ(nameOf(p), "a.txt");
}

TEST(FixupMismatchTest, AnUpdateSequenceThatDoesNotFitIsRefused) {
  std::vector<uint8_t> rec = RecordBuilder(1024).flags(1).fileName(5, u"x").finish();
  test::put16(rec, 0x06, 7);  // seven entries for a two-stretch record
  const std::vector<uint8_t> asRead = rec;
  EXPECT_EQ(applyFixups(rec), FixupResult::BadHeader);
  EXPECT_EQ(rec, asRead);
  test::put16(rec, 0x06, 3);
  test::put16(rec, 0x04, 0x1FE);  // array past the first stretch
  EXPECT_EQ(applyFixups(rec), FixupResult::BadHeader);
}

struct NameCase {
  std::u16string first;
  std::u16string second;
  std::string expected;
};
inline void PrintTo(const NameCase& c, std::ostream* os) {
  *os << c.expected << (c.second.size() > c.first.size() ? " listed second" : " listed first");
}

class LongestNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(LongestNameTest, TheLongestNameWinsAndTheFirstAmongEquals) {
  const NameCase& c = GetParam();
  std::vector<uint8_t> rec = RecordBuilder().flags(1).fileName(5, c.first, 0x20, 2).fileName(5, c.second).finish();
  ASSERT_EQ(applyFixups(rec), FixupResult::Applied);
  ParsedMftRecord p;
  ASSERT_TRUE(parseMftRecord(rec, p));
  EXPECT_EQ(nameOf(p), c.expected);
  FileNameView quick;
  bool has = false;
  ASSERT_TRUE(quickParseMftRecord(rec, quick, has));
  EXPECT_EQ(utf16leToUtf8(quick.name), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Orders, LongestNameTest,
                         ::testing::Values(NameCase{u"LONGFI~1.TXT", u"long file name.txt", "long file name.txt"},
                                           NameCase{u"long file name.txt", u"LONGFI~1.TXT", "long file name.txt"},
                                           NameCase{u"first.txt", u"other.txt", "first.txt"}));

TEST(MftRecordTest, AFirstAttributeOffsetPastTheRecordParsesWithNoAttributes) {
  std::vector<uint8_t> rec = RecordBuilder().flags(1).fileName(5, u"x.txt").finish();
  ASSERT_EQ(applyFixups(rec), FixupResult::Applied);
  test::put16(rec, 0x14, 1020);
  ParsedMftRecord p;
  ASSERT_TRUE(parseMftRecord(rec, p));
  EXPECT_FALSE(p.hasFileName);
  EXPECT_TRUE(p.inUse);
}

TEST(MftRecordTest, WithoutTheFileSignatureNothingIsParsed) {
  std::vector<uint8_t> rec = RecordBuilder().flags(1).fileName(5, u"x").finish();
  rec[0] = 'B';  // "BILE"
  ParsedMftRecord p;
  EXPECT_FALSE(parseMftRecord(rec, p));
  EXPECT_FALSE(parseMftRecord(ByteSpan(rec.data(), 100), p));
}

TEST(MftRecordTest, QuickParseDemandsFile0) {
  std::vector<uint8_t> rec = RecordBuilder().flags(1).fileName(5, u"x").finish();
  ASSERT_EQ(applyFixups(rec), FixupResult::Applied);
  test::put16(rec, 0x04, 0x2A);  // an older header: "FILE*"
  FileNameView n;
  bool has = true;
  EXPECT_FALSE(quickParseMftRecord(rec, n, has));
  EXPECT_FALSE(has);
}

// One field of a real record broken at a time: the walk never leaves the record.
class BrokenAttributeTest : public ::testing::TestWithParam<int> {};

TEST_P(BrokenAttributeTest, ABrokenFieldMarksTheRecordAndStaysInside) {
  RecordBuilder b;
  b.flags(0).standardInfo(0x20).fileName(5, u"doc.txt").residentData(test::patternBytes(100, 1), u"ads");
  std::vector<uint8_t> rec = b.finish();
  ASSERT_EQ(applyFixups(rec), FixupResult::Applied);
  const size_t si = b.attributeOffsets()[0];  // $STANDARD_INFORMATION
  const size_t fn = b.attributeOffsets()[1];
  const size_t data = b.attributeOffsets()[2];
  switch (GetParam()) {
    case 0: test::put32(rec, si + 4, 5000); break;         // length past the record
    case 1: test::put32(rec, fn + 0x10, 900); break;       // name value past its attribute
    case 2: rec[fn + 0x18 + 0x40] = 200; break;            // name length past the value
    case 3: test::put16(rec, data + 0x0A, 0x3F0); break;   // stream name past the attribute
    case 4: rec[si + 8] = 1; break;                        // non-resident $STANDARD_INFORMATION
    case 5: rec[fn + 8] = 1; break;  // non-resident $FILE_NAME
    case 6: test::put32(rec, si + 4, 8); break;            // length below a header
  }
  ParsedMftRecord p;
  ASSERT_TRUE(parseMftRecord(rec, p));
  EXPECT_TRUE(p.damaged);
  FileNameView n;
  bool has = false;
  EXPECT_TRUE(quickParseMftRecord(rec, n, has));
}

INSTANTIATE_TEST_SUITE_P(Fields, BrokenAttributeTest, ::testing::Range(0, 7));

TEST(MftRecordTest, TheUnnamedStreamIsTheContentWhateverTheOrder) {
  NonResident big, small;
  big.runs = {{1, 10}};
  big.realSize = 4000;
  small.runs = {{1, 11}};
  small.realSize = 2000;
  std::vector<uint8_t> rec = RecordBuilder()
                                 .flags(0)
                                 .fileName(5, u"f.txt")
                                 .nonResidentData(small)
                                 .nonResidentData(big, u"stream")
                                 .finish();
  ASSERT_EQ(applyFixups(rec), FixupResult::Applied);
  ParsedMftRecord p;
  ASSERT_TRUE(parseMftRecord(rec, p));
  ASSERT_EQ(p.dataCount, 2u);
  ASSERT_TRUE(p.unnamedData());
  EXPECT_EQ(p.unnamedData()->contentSize(), 2000u);
  auto streamName = test::utf16(u"stream");
  ASSERT_TRUE(p.namedData(streamName));
  EXPECT_EQ(p.namedData(streamName)->contentSize(), 4000u);
}

TEST(AttributeListTest, EntriesAreWalkedAndABrokenOneStopsTheWalk) {
  std::vector<uint8_t> rec = RecordBuilder()
                                 .flags(1)
                                 .attributeList({{0x10, 0, 7, u""}, {0x80, 0, 40, u""}, {0x80, 300, 41, u""}})
                                 .finish();
  ASSERT_EQ(applyFixups(rec), FixupResult::Applied);
  ParsedMftRecord p;
  ASSERT_TRUE(parseMftRecord(rec, p));
  ASSERT_TRUE(p.hasAttributeList);
  std::vector<std::pair<uint64_t, uint64_t>> data;
  EXPECT_TRUE(forEachAttributeListEntry(p.attributeList.value, [&](const AttributeListEntry& e) {
    if (e.type == 0x80) data.emplace_back(e.startVcn, e.reference);
    return true;
  }));
  EXPECT_EQ(data, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 40}, {300, 41}}));

  std::vector<uint8_t> list(p.attributeList.value.begin(), p.attributeList.value.end());
  test::put16(list, 0x20 + 0x04, 0x500);  // second entry's length past the list
  size_t seen = 0;
  EXPECT_FALSE(forEachAttributeListEntry(list, [&](const AttributeListEntry&) {
    ++seen;
    return true;
  }));
  EXPECT_EQ(seen, 1u);
}

TEST(FuzzEntryTest, ArbitraryBytesAreSafe) {
  std::vector<uint8_t> rec = RecordBuilder().flags(1).fileName(5, u"x").residentData({1, 2, 3}).finish();
  for (size_t i = 0; i < rec.size(); i += 7) {
    std::vector<uint8_t> copy = rec;
    copy[i] ^= 0xFF;
    (void)fuzzParseMftRecord(copy.data(), copy.size());
  }
  (void)fuzzParseMftRecord(nullptr, 0);
  (void)fuzzParseMftRecord(rec.data(), 5);
}

struct RecordSizeCase {
  int8_t value;
  uint32_t clusterSize;
  std::optional<uint32_t> expected;
};
inline void PrintTo(const RecordSizeCase& c, std::ostream* os) { *os << int(c.value) << "/" << c.clusterSize; }

class RecordSizeTest : public ::testing::TestWithParam<RecordSizeCase> {};

// Boot byte 0x40: clusters per record when positive, 2^−n bytes when negative.
TEST_P(RecordSizeTest, RecordSizeFromTheBootSector) {
  EXPECT_EQ(ntfsRecordSizeFrom(GetParam().value, GetParam().clusterSize), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, RecordSizeTest,
                         ::testing::Values(RecordSizeCase{-10, 4096, 1024}, RecordSizeCase{-9, 512, 512},
                                           RecordSizeCase{-12, 8192, 4096}, RecordSizeCase{1, 4096, 4096},
                                           RecordSizeCase{2, 512, 1024}, RecordSizeCase{1, 1024, 1024},
                                           RecordSizeCase{-13, 4096, std::nullopt},
                                           RecordSizeCase{-8, 4096, std::nullopt},
                                           RecordSizeCase{1, 8192, std::nullopt},
                                           RecordSizeCase{3, 512, std::nullopt},
                                           RecordSizeCase{0, 4096, std::nullopt}));

class BootSectorTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> sector = [] {
    test::VolumeBuilder v(4096, 1024, 64);
    return std::vector<uint8_t>(v.bytes.begin(), v.bytes.begin() + 512);
  }();
};

TEST_F(BootSectorTest, GeometryOfAWellFormedSector) {
  auto b = NtfsBootSector::parse(sector);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->bytesPerSector, 512u);
  EXPECT_EQ(b->clusterSize, 4096u);
  EXPECT_EQ(b->recordSize, 1024u);
  EXPECT_EQ(b->mftCluster, 4u);
  EXPECT_EQ(b->mftMirrCluster, 2u);
  EXPECT_EQ(b->totalSectors, 64u * 8 - 1);
}

TEST_F(BootSectorTest, ImpossibleFieldsAreRefusedOneAtATime) {
  auto broken = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> s = sector;
    s[at] = value;
    return NtfsBootSector::parse(s).has_value();
  };
  EXPECT_FALSE(broken(0x03, 'X'));                        // signature
  EXPECT_FALSE(broken(0x0B, 0x80));                       // 384 bytes per sector
  EXPECT_FALSE(broken(0x0C, 0x00));                       // 0 bytes per sector
  EXPECT_FALSE(broken(0x0D, 3));                          // 3 sectors per cluster
  EXPECT_FALSE(broken(0x0D, 0));
  EXPECT_TRUE(broken(0x0D, 0xF4));                        // 2^12 sectors: a 2 MiB cluster
  EXPECT_FALSE(broken(0x0D, 0xF3));                       // 4 MiB: too large
  EXPECT_FALSE(broken(0x2F, 0x7F));                       // absurd sector count
}

}  // namespace
}  // namespace velk
