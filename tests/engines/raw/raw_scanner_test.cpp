// The scan over synthetic sector layouts: where files open and close, the size limit,
// headers whose patterns lie beyond the first sector, reads bounded by the range, and the
// tree the engine builds.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "test_support.h"
#include "drivers/raw_drivers.h"
#include "engines/raw/raw_scanner.h"
#include "support/crc32.h"

namespace velk {
namespace {

constexpr uint64_t S = 512;

SignatureEntry entry(std::string ext, std::vector<std::pair<int32_t, std::string>> patterns,
                     std::string desc = {}) {
  SignatureEntry e;
  e.extension = ext;
  e.description = desc.empty() ? ext + " file" : desc;
  for (size_t i = 0; i < patterns.size(); ++i) {
    e.offsets[i] = patterns[i].first;
    e.patterns[i] = patterns[i].second;
  }
  e.patternCount = int32_t(patterns.size());
  return e;
}

// A device that records the byte ranges asked for and can fail some of them.
class WatchedDevice final : public BlockDevice {
 public:
  explicit WatchedDevice(std::shared_ptr<std::vector<uint8_t>> bytes) : m_bytes(std::move(bytes)) {}
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    reads.push_back({offset, length});
    if (offset < failTo && offset + length > failFrom) return -5;
    if (offset >= m_bytes->size()) return 0;
    const size_t n = size_t(std::min<uint64_t>(length, m_bytes->size() - offset));
    std::memcpy(buffer, m_bytes->data() + offset, n);
    return int64_t(n);
  }
  int64_t writeAt(uint64_t, const void*, size_t) override { return -9; }
  uint64_t size() const override { return m_bytes->size(); }
  void willRead(uint64_t offset, uint64_t length) override { hints.push_back({offset, length}); }

  std::vector<std::pair<uint64_t, size_t>> reads;
  std::vector<std::pair<uint64_t, uint64_t>> hints;
  uint64_t failFrom = 0, failTo = 0;

 private:
  std::shared_ptr<std::vector<uint8_t>> m_bytes;
};

class RawScan : public ::testing::Test {
 protected:
  void SetUp() override {
    catalog.entries().push_back(entry("aaa", {{0, "a1a2a3"}}));
    catalog.entries().push_back(entry("bbb", {{0, "b1b2b3"}}));
    image = std::make_shared<std::vector<uint8_t>>(64 * S, 0);
  }
  void put(uint64_t sector, size_t offset, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), image->begin() + ptrdiff_t(sector * S + offset));
  }
  void headerA(uint64_t sector) { put(sector, 0, {0xA1, 0xA2, 0xA3}); }
  void headerB(uint64_t sector) { put(sector, 0, {0xB1, 0xB2, 0xB3}); }
  Status run(uint64_t first = 0, uint64_t last = 0, uint32_t maxKb = 0, bool formatEnds = false) {
    auto dev = std::make_unique<WatchedDevice>(image);
    device = dev.get();
    SectorReader reader;
    reader.OpenDevice(std::move(dev), "test");
    scanner = std::make_unique<RawScanner>();
    scanner->open(std::move(reader));
    scanner->setStart(0);
    scanner->setRange(first, last ? last : image->size() / S);
    scanner->setMaximumSize(maxKb);
    scanner->setCatalog(&catalog);
    scanner->setFormatEnds(formatEnds);
    return scanner->scan(&progress);
  }
  const RawFileRecord& rec(size_t i) { return *scanner->found().at(i); }

  SignatureCatalog catalog;
  std::shared_ptr<std::vector<uint8_t>> image;
  WatchedDevice* device = nullptr;
  std::unique_ptr<RawScanner> scanner;
  Progress progress;
};

TEST_F(RawScan, HeaderAtRangeStartOpensAFile) {
  headerA(0);
  headerB(10);
  ASSERT_TRUE(run(0, 20));
  ASSERT_EQ(scanner->found().size(), 2u);
  EXPECT_EQ(rec(0).startSector, 0u);
  EXPECT_EQ(rec(0).length, 10 * S);
  EXPECT_EQ(rec(0).name, "File0.aaa");
  EXPECT_EQ(rec(0).description, "aaa file");
}

TEST_F(RawScan, FileOpenAtRangeEndRunsToTheEnd) {
  headerA(2);
  headerB(12);
  ASSERT_TRUE(run(0, 30));
  ASSERT_EQ(scanner->found().size(), 2u);
  EXPECT_EQ(rec(0).length, 10 * S);
  EXPECT_EQ(rec(1).name, "File1.bbb");
  EXPECT_EQ(rec(1).startSector, 12u);
  EXPECT_EQ(rec(1).length, 18 * S);
  EXPECT_EQ(progress.status(), "Found Raw Files : 2");
}

TEST_F(RawScan, SizeLimitCutsAtFirstSectorReachingIt) {
  headerA(1);
  ASSERT_TRUE(run(0, 40, 3));  // 3 KB: the file is cut 6 sectors on
  ASSERT_EQ(scanner->found().size(), 1u);
  EXPECT_EQ(rec(0).length, 3 * 1024u);
}

TEST_F(RawScan, SizeLimitIsCappedToWhatALengthCanHold) {
  RawScanner s;
  s.setMaximumSize(5000000);
  EXPECT_EQ(s.maximumSizeBytes(), 4194303ull * 1024);
  s.setMaximumSize(0);  // unchanged
  EXPECT_EQ(s.maximumSizeBytes(), 4194303ull * 1024);
}

TEST_F(RawScan, PatternBeyondFirstSectorOpensEarlierAndClosesOpenFileThere) {
  catalog.entries().push_back(entry("iso", {{32768, "0143443030310"}}));
  image->resize(100 * S, 0);
  headerA(1);
  put(5 + 64, 0, {0x01, 'C', 'D', '0', '0', '1', 0x01});  // the disc image starts at sector 5
  ASSERT_TRUE(run(0, 100));
  ASSERT_EQ(scanner->found().size(), 2u);
  EXPECT_EQ(rec(0).startSector, 1u);
  EXPECT_EQ(rec(0).length, 4 * S);  // closed where the new file begins
  EXPECT_EQ(rec(1).extension, "iso");
  EXPECT_EQ(rec(1).startSector, 5u);
  EXPECT_EQ(rec(1).length, 95 * S);
}

TEST_F(RawScan, HeaderStartingBeforeTheRangeIsIgnored) {
  catalog.entries().push_back(entry("iso", {{32768, "0143443030310"}}));
  image->resize(100 * S, 0);
  put(70, 0, {0x01, 'C', 'D', '0', '0', '1', 0x01});  // would start at sector 6
  ASSERT_TRUE(run(10, 100));
  EXPECT_TRUE(scanner->found().empty());
}

TEST_F(RawScan, PartialHeaderDoesNotCloseTheOpenFile) {
  catalog.entries().insert(catalog.entries().begin(), entry("two", {{0, "c1c2"}, {600, "c3c4"}}));
  headerA(0);
  put(5, 0, {0xC1, 0xC2});  // partial: the second pattern is missing from sector 6
  put(9, 0, {0xC1, 0xC2});
  put(10, 88, {0xC3, 0xC4});
  ASSERT_TRUE(run(0, 20));
  ASSERT_EQ(scanner->found().size(), 2u);
  EXPECT_EQ(rec(0).extension, "aaa");
  EXPECT_EQ(rec(0).length, 9 * S);
  EXPECT_EQ(rec(1).extension, "two");
  EXPECT_EQ(rec(1).startSector, 9u);
}

TEST_F(RawScan, FailedReadResetsTheCarriedMatch) {
  catalog.entries().insert(catalog.entries().begin(), entry("two", {{0, "c1c2"}, {600, "c3c4"}}));
  image->resize(24 * S);
  put(7, 0, {0xC1, 0xC2});    // last sector of the first small chunk
  put(16, 88, {0xC3, 0xC4});  // would confirm it if the state survived the failed chunk
  auto dev = std::make_unique<WatchedDevice>(image);
  dev->failFrom = 8 * S;
  dev->failTo = 16 * S;
  SectorReader reader;
  reader.OpenDevice(std::move(dev), "test");
  RawScanner s;
  s.open(std::move(reader));
  s.setStart(0);
  s.setRange(0, 24);
  s.setCatalog(&catalog);
  ASSERT_TRUE(s.scan());
  EXPECT_TRUE(s.found().empty());
}

TEST_F(RawScan, ReadsStayInsideTheRangeAndTheDevice) {
  headerA(3);
  headerB(13);  // at the range's end: never tested
  ASSERT_TRUE(run(3, 13));
  for (auto [off, len] : device->reads) {
    EXPECT_GE(off, 3 * S);
    EXPECT_LE(off + len, 13 * S);
  }
  ASSERT_EQ(scanner->found().size(), 1u);
  EXPECT_EQ(rec(0).length, 10 * S);
  // A range past the device's end is cut to the device.
  ASSERT_TRUE(run(60, 1000));
  for (auto [off, len] : device->reads) EXPECT_LE(off + len, image->size());
}

TEST_F(RawScan, WrittenFileHoldsExactlyItsLength) {
  headerA(0);
  headerB(3);
  for (size_t i = 3; i < 3 * S; ++i) (*image)[i] = uint8_t(i * 7);
  ASSERT_TRUE(run(0, 20));
  VectorSink sink;
  ASSERT_TRUE(scanner->writeFile(sink, rec(0)));
  ASSERT_EQ(sink.bytes().size(), 3 * S);
  EXPECT_TRUE(std::equal(sink.bytes().begin(), sink.bytes().end(), image->begin()));
}

// A small PNG whose structure says where it ends.
std::vector<uint8_t> smallPng(std::vector<uint8_t> pixels = {1, 2, 3, 4}) {
  std::vector<uint8_t> b{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto chunk = [&](std::string_view type, std::vector<uint8_t> data) {
    const uint32_t n = uint32_t(data.size());
    b.insert(b.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    std::vector<uint8_t> td(type.begin(), type.end());
    td.insert(td.end(), data.begin(), data.end());
    b.insert(b.end(), td.begin(), td.end());
    const uint32_t c = crc32(td);
    b.insert(b.end(), {uint8_t(c >> 24), uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
  };
  chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
  chunk("IDAT", pixels);
  chunk("IEND", {});
  return b;
}

TEST_F(RawScan, EndRulesCutFilesAcrossChunksAndHeadersInsideDoNotCutThem) {
  catalog.entries().push_back(entry("png", {{0, "89504e470d0a1a0a"}}));
  image->assign(8100 * S, 0x5A);  // two large chunks, then small ones
  auto png = smallPng();
  // A header of another type at a sector boundary inside the picture's data.
  std::vector<uint8_t> idat(2 * S, 0x11);
  std::copy_n("\xB1\xB2\xB3", 3, idat.begin() + ptrdiff_t(S - (8 + 25 + 8)));
  png = smallPng(idat);
  auto place = [&](uint64_t sector) { std::copy(png.begin(), png.end(), image->begin() + ptrdiff_t(sector * S)); };
  place(2);     // ends inside the chunk it began in
  place(3999);  // runs into the next chunk
  place(7999);  // runs into the small chunks
  headerB(8050);
  ASSERT_TRUE(run(0, 0, 0, true));
  ASSERT_EQ(scanner->found().size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(rec(i).extension, "png");
    EXPECT_EQ(rec(i).length, png.size());
    EXPECT_EQ(rec(i).verdict, StructureVerdict::Verified);
    std::vector<uint8_t> data;
    ASSERT_TRUE(scanner->readFile(rec(i), data));
    EXPECT_EQ(data, png);
  }
  EXPECT_EQ(rec(1).startSector, 3999u);
  EXPECT_EQ(rec(2).startSector, 7999u);
  EXPECT_EQ(rec(3).startSector, 8050u);
  for (auto [off, len] : device->reads) EXPECT_LE(off + len, image->size());
}

TEST_F(RawScan, TheNextChunksAreAnnouncedOnceAndNeverPastTheRange) {
  image->assign(4000 * S * 3 + 100 * S, 0);  // three large chunks and some small ones
  headerA(5);
  const uint64_t last = 4000 * 3 + 50;  // the range ends before the device does
  ASSERT_TRUE(run(0, last));
  ASSERT_FALSE(device->hints.empty());
  uint64_t covered = 0;
  for (auto [off, len] : device->hints) {
    EXPECT_GE(off, covered) << "announced twice";
    EXPECT_LE(off + len, last * S);
    covered = off + len;
  }
  EXPECT_EQ(covered, last * S);  // everything after the first chunk, up to the range's end
  EXPECT_EQ(device->hints.front().first, 4000 * S);
}

TEST_F(RawScan, ExtentsCutFilesAtGapsAndLetThemRunAcrossTouchingExtents) {
  headerA(2);   // open when the first extent ends at sector 6
  headerB(20);  // runs from [18, 24) into the touching [24, 30)
  headerA(27);  // never seen: the extents skip it
  scanner = std::make_unique<RawScanner>();
  auto dev = std::make_unique<WatchedDevice>(image);
  device = dev.get();
  SectorReader reader;
  reader.OpenDevice(std::move(dev), "test");
  scanner->open(std::move(reader));
  scanner->setStart(0);
  scanner->setCatalog(&catalog);
  scanner->setExtents({{0, 6}, {18, 6}, {24, 2}, {40, 4}});
  ASSERT_TRUE(scanner->scan());
  ASSERT_EQ(scanner->found().size(), 2u);
  EXPECT_EQ(rec(0).startSector, 2u);
  EXPECT_EQ(rec(0).length, 4 * S);
  EXPECT_EQ(rec(1).startSector, 20u);
  EXPECT_EQ(rec(1).length, 6 * S);
  for (auto [off, len] : device->reads)
    EXPECT_TRUE(off + len <= 6 * S || (off >= 18 * S && off + len <= 26 * S) || (off >= 40 * S && off + len <= 44 * S))
        << off;
}

TEST_F(RawScan, NothingEnabledEndsAtOnce) {
  headerA(0);
  catalog.enableAll(false);
  EXPECT_EQ(failureKind(run()), ErrorKind::Usage);
  EXPECT_TRUE(device->reads.empty());
}

TEST_F(RawScan, PositionsBeyondFourGiBStay64Bit) {
  // A sparse device of 5 GiB with a header near the end.
  struct Sparse final : BlockDevice {
    uint64_t header = (5ull << 30) - 4 * S;
    int64_t readAt(uint64_t off, void* buf, size_t len) override {
      std::memset(buf, 0, len);
      if (header >= off && header < off + len) std::memcpy(static_cast<uint8_t*>(buf) + (header - off), "\xA1\xA2\xA3", 3);
      return int64_t(len);
    }
    int64_t writeAt(uint64_t, const void*, size_t) override { return -9; }
    uint64_t size() const override { return 5ull << 30; }
  };
  SectorReader reader;
  reader.OpenDevice(std::make_unique<Sparse>(), "sparse");
  RawScanner s;
  s.open(std::move(reader));
  s.setStart(0);
  const uint64_t last = (5ull << 30) / S;
  s.setRange(last - 16, last);
  s.setCatalog(&catalog);
  ASSERT_TRUE(s.scan());
  ASSERT_EQ(s.found().size(), 1u);
  EXPECT_EQ(s.found()[0]->startSector, last - 4);
  EXPECT_EQ(s.found()[0]->length, 4 * S);
}

TEST(RawEngineTree, FilesGoIntoTheFolderWhoseTextEqualsTheirDescription) {
  SignatureCatalog catalog;
  catalog.entries().push_back(entry("jfif", {{0, "a1a2"}}, "JPEG Image"));
  catalog.entries().push_back(entry("jpe", {{0, "b1b2"}}, "JPEG"));
  auto image = std::make_shared<std::vector<uint8_t>>(32 * S, 0);
  auto put = [&](uint64_t sector, uint8_t a, uint8_t b) {
    (*image)[sector * S] = a;
    (*image)[sector * S + 1] = b;
  };
  put(0, 0xA1, 0xA2);
  put(4, 0xB1, 0xB2);
  put(8, 0xA1, 0xA2);
  SectorReader reader;
  reader.OpenDevice(std::make_unique<MemoryBlockDevice>(image), "mem");
  PartitionRecord record;
  record.letter = 'E';
  record.startSector = 2048;
  record.length = image->size();
  RawEngine engine(record, std::move(reader));
  ResultTree tree(Variant::Raw);
  Progress progress;
  ScanOptions options;
  options.task = Task::Raw;
  options.rawCatalog = &catalog;
  ASSERT_TRUE(engine.scan(tree, options, progress));
  FolderItem* root = tree.root();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->text, "RAW - Logical Disk (E:)");
  ASSERT_EQ(root->children.size(), 2u);
  EXPECT_EQ(root->children[0]->text, "JPEG Image");
  EXPECT_EQ(root->children[0]->files.size(), 2u);
  EXPECT_EQ(root->children[1]->text, "JPEG");
  ASSERT_EQ(root->children[1]->files.size(), 1u);
  const auto* rec = dynamic_cast<const RawFileRecord*>(root->children[1]->files[0]);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->name, "File1.jpe");
  EXPECT_EQ(rec->diskSector, 2048u + 4);

  // Types chosen by extension; none known: nothing to do.
  options.rawTypes = {"jpe"};
  ResultTree only(Variant::Raw);
  ASSERT_TRUE(engine.scan(only, options, progress));
  EXPECT_EQ(only.recordCount(), 1u);
  options.rawTypes = {"xyz"};
  ResultTree none(Variant::Raw);
  EXPECT_EQ(failureKind(engine.scan(none, options, progress)), ErrorKind::Usage);
}

TEST(RawFileRecordRows, TextsAndFilterFacts) {
  RawFileRecord r;
  r.name = "File3.tar.gz";
  r.size = 2048;
  EXPECT_EQ(r.sizeText(), "2.0KB");
  EXPECT_EQ(r.attributeText(), "");
  EXPECT_EQ(r.dateText(kColumnModified), "");
  EXPECT_TRUE(r.extensionAccepts("zip.tar.gz.rar"));
  EXPECT_FALSE(r.extensionAccepts("tar.zip"));
  EXPECT_FALSE(r.filterDate());
}

}  // namespace
}  // namespace velk
