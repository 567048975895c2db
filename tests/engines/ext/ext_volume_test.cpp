// Ext2Volume and Ext3Volume over volumes laid out byte by byte: which inodes are listed,
// how journal copies and directory copies meet, block classes, extraction, and the record's
// row texts. Expected values follow from what each test places.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "drivers/ext_drivers.h"
#include "engines/engine_registry.h"
#include "engines/ext/ext_image_builder.h"
#include "workspace/file_filter.h"
#include "workspace/result_tree.h"

namespace velk::test {
namespace {

constexpr int64_t kYear = 365 * 86400;

std::vector<ExtFileRecord*> listedFiles(const ResultTree& tree) {
  std::vector<ExtFileRecord*> out;
  for (FolderItem* folder : tree.foldersBreadthFirst())
    for (FileRecord* f : folder->files) out.push_back(dynamic_cast<ExtFileRecord*>(f));
  return out;
}

std::vector<ExtFileRecord*> scanned(ExtVolume& v, ResultTree& tree, Progress* progress = nullptr) {
  Progress local;
  EXPECT_TRUE(v.scan(tree, ScanOptions{}, progress ? *progress : local));
  return listedFiles(tree);
}

std::vector<uint8_t> extracted(ExtVolume& v, const FileRecord& r, Status* rc = nullptr) {
  VectorSink sink;
  Status code = v.extract(r, sink);
  if (rc) *rc = code;
  return sink.bytes();
}

// ------------------------------------------------------------------ Ext2Volume

class Ext2ScanTest : public ::testing::Test {
 protected:
  // 1 KiB blocks, one group, 64 inodes; inodes 1..11 reserved and in use.
  Ext2ScanTest() : img({}) {
    for (uint32_t n = 1; n <= 11; ++n) img.markInodeUsed(n);
  }
  // A freed regular file at inode n.
  InodeFields freed(uint32_t n, size_t size, uint32_t seed) {
    content[n] = patterned(size, seed);
    InodeFields s = img.placeFile(content[n]);
    s.dtime = uint32_t(kTestNow - 3600);
    img.setInode(n, s);
    return s;
  }
  ExtImage img;
  std::map<uint32_t, std::vector<uint8_t>> content;
};

TEST_F(Ext2ScanTest, AFreedRegularFileIsListedUnderItsInodeNumber) {
  freed(12, 700, 1);
  auto v = img.openExt2("VELKLABEL16CHARS");
  ASSERT_TRUE(v->isValid());
  EXPECT_EQ(v->state(), kExt2Ready);
  ResultTree tree(Variant::Ext);
  Progress progress;
  auto files = scanned(*v, tree, &progress);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->name, "inode_0000000C.tmp");
  EXPECT_EQ(files[0]->inodeNumber, 12u);
  EXPECT_EQ(files[0]->extension, "");
  EXPECT_EQ(files[0]->size, 700u);
  EXPECT_FALSE(files[0]->checked);
  EXPECT_EQ(extracted(*v, *files[0]), content[12]);

  ASSERT_NE(tree.root(), nullptr);
  EXPECT_EQ(tree.root()->text, "EXT2( VELKLABEL16CHARS )");
  EXPECT_EQ(tree.root()->number, kExt2ItemData);
  EXPECT_EQ(tree.root()->children.at(0)->text, "Lost files");
  EXPECT_EQ(progress.status(), "Found Deleted Files : 1");
  EXPECT_EQ(progress.foundTotal.load(), 64u);
  EXPECT_EQ(progress.foundCurrent.load(), 64u);
}

struct Ext2Rule {
  const char* what;
  std::function<void(InodeFields&)> change;
  bool markUsed;
  bool listed;
};
std::ostream& operator<<(std::ostream& os, const Ext2Rule& r) { return os << r.what; }

class Ext2CandidateRule : public Ext2ScanTest, public ::testing::WithParamInterface<Ext2Rule> {};

TEST_P(Ext2CandidateRule, DecidesWhetherTheInodeIsListed) {
  InodeFields s = freed(12, 3000, 7);
  GetParam().change(s);
  img.setInode(12, s);
  if (GetParam().markUsed) img.markInodeUsed(12);
  auto v = img.openExt2();
  ResultTree tree(Variant::Ext);
  EXPECT_EQ(scanned(*v, tree).size(), GetParam().listed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Ext2CandidateRule,
    ::testing::Values(
        Ext2Rule{"sound", [](InodeFields&) {}, false, true},
        Ext2Rule{"in use in the bitmap", [](InodeFields&) {}, true, false},
        Ext2Rule{"zero first pointer", [](InodeFields& s) { s.block[0] = 0; }, false, false},
        Ext2Rule{"zero size", [](InodeFields& s) { s.size = 0; }, false, false},
        Ext2Rule{"directory", [](InodeFields& s) { s.mode = 0x41ED; }, false, false},
        Ext2Rule{"symbolic link", [](InodeFields& s) { s.mode = 0xA1FF; }, false, false},
        Ext2Rule{"socket", [](InodeFields& s) { s.mode = 0xC1ED; }, false, false},
        Ext2Rule{"deleted six years ago", [](InodeFields& s) { s.dtime = uint32_t(kTestNow - 6 * kYear); }, false, false},
        Ext2Rule{"deleted four years ago", [](InodeFields& s) { s.dtime = uint32_t(kTestNow - 4 * kYear); }, false, true},
        Ext2Rule{"zero change time", [](InodeFields& s) { s.ctime = 0; }, false, false},
        Ext2Rule{"zero modification time", [](InodeFields& s) { s.mtime = 0; }, false, false}),
    [](const auto& param) {
      std::string n = param.param.what;
      for (char& c : n)
        if (!isalnum(uint8_t(c))) c = '_';
      return n;
    });

TEST_F(Ext2ScanTest, TheFiveYearTestUsesTheInjectedClock) {
  freed(12, 100, 3);
  auto v = img.openExt2();
  ResultTree now(Variant::Ext);
  EXPECT_EQ(scanned(*v, now).size(), 1u);
  v->setClock([] { return kTestNow + 6 * kYear; });
  ResultTree later(Variant::Ext);
  EXPECT_EQ(scanned(*v, later).size(), 0u);
}

TEST_F(Ext2ScanTest, InodeTwelveOfTwoHundredFiftySixByteInodesIsFoundInItsRealSlot) {
  ExtImage wide({.inodeSize = 256});
  for (uint32_t n = 1; n <= 11; ++n) wide.markInodeUsed(n);
  auto data = patterned(5000, 9);
  InodeFields s = wide.placeFile(data);
  s.dtime = uint32_t(kTestNow - 60);
  wide.setInode(12, s);
  // Inode 12 is index 11: block 11 / 4 = 2 of the table, byte 3 × 256.
  EXPECT_EQ(wide.inodeBlock(12), wide.inodeTable(0) + 2);
  EXPECT_EQ(wide.inode(12), wide.block(wide.inodeTable(0) + 2) + 768);
  auto v = wide.openExt2();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->inodeNumber, 12u);
  EXPECT_EQ(extracted(*v, *files[0]), data);
}

TEST_F(Ext2ScanTest, AClearedScanFlagStopsTheScanKeepingTheTree) {
  freed(12, 100, 1);
  auto v = img.openExt2();
  v->scanFlag().clear();
  ResultTree tree(Variant::Ext);
  EXPECT_TRUE(scanned(*v, tree).empty());
  ASSERT_NE(tree.root(), nullptr);
  EXPECT_EQ(tree.root()->children.size(), 1u);
}

// ------------------------------------------------------------------ extraction

TEST_F(Ext2ScanTest, ThirteenThousandBytesOnOneKilobyteBlocksEndWithAPartialBlock) {
  freed(12, 13000, 4);
  auto v = img.openExt2();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  auto bytes = extracted(*v, *files[0]);
  ASSERT_EQ(bytes.size(), 13000u);  // 12 × 1024 + 712
  EXPECT_EQ(bytes, content[12]);
}

TEST_F(Ext2ScanTest, DoubleIndirectFilesComeBackWhole) {
  freed(12, 300000, 5);  // 293 blocks: past 12 + 256
  auto v = img.openExt2();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(le32At(ByteSpan(files[0]->inode), kInBlock + 4 * kDoubleIndirect), 0u);
  EXPECT_EQ(extracted(*v, *files[0]), content[12]);
}

TEST_F(Ext2ScanTest, AZeroPointerInsideAFileReadsAsZeros) {
  InodeFields s = freed(12, 3 * 1024, 6);
  s.block[1] = 0;
  img.setInode(12, s);
  auto v = img.openExt2();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  auto expected = content[12];
  std::fill(expected.begin() + 1024, expected.begin() + 2048, 0);
  EXPECT_EQ(extracted(*v, *files[0]), expected);
}

TEST_F(Ext2ScanTest, ASingleIndirectPointerPastTheEndFailsAfterTheDirectBlocks) {
  InodeFields s = freed(12, 13000, 8);
  s.block[12] = uint32_t(img.blockCount() + 5);
  img.setInode(12, s);
  auto v = img.openExt2();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  Status rc;
  auto bytes = extracted(*v, *files[0], &rc);
  EXPECT_FALSE(rc);
  EXPECT_EQ(bytes.size(), 12u * 1024);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content[12].begin()));
}

TEST_F(Ext2ScanTest, ReadIntoMemoryStopsAtTheBufferWithPartialBlocks) {
  freed(12, 13000, 10);
  auto v = img.openExt2();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  std::vector<uint8_t> buffer(5000 + 16, 0xEE);  // guard bytes after the 5000 asked for
  size_t copied = 0;
  EXPECT_TRUE(v->readInto(*files[0], std::span<uint8_t>(buffer.data(), 5000), copied));
  EXPECT_EQ(copied, 5000u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 5000, content[12].begin()));
  EXPECT_TRUE(std::all_of(buffer.begin() + 5000, buffer.end(), [](uint8_t c) { return c == 0xEE; }));

  std::vector<uint8_t> preview(4096);
  EXPECT_TRUE(v->readInto(*files[0], preview, copied));
  EXPECT_EQ(copied, 4096u);
}

TEST(ExtExtractionTest, AFiveGigabyteFileComesOutWhole) {
  // 4 KiB blocks; a sparse 5 GiB file whose last block holds data.
  ExtImage img({.blockSize = 4096, .blocksPerGroup = 512, .inodesPerGroup = 32});
  const uint64_t size = 5ull << 30;
  const uint64_t lastFileBlock = size / 4096 - 1;  // in the triple-indirect region
  const uint64_t perBlock = 1024;
  const uint64_t t = lastFileBlock - (12 + perBlock + perBlock * perBlock);
  InodeFields s;
  s.size = size;
  s.dtime = uint32_t(kTestNow - 10);
  s.block[0] = uint32_t(img.allocate());  // the first pointer must not be 0
  std::fill_n(img.block(s.block[0]), 4096, 0);
  s.block[14] = uint32_t(img.allocate());
  const uint64_t l2 = img.allocate(), l3 = img.allocate(), data = img.allocate();
  putLe32(img.block(s.block[14]) + 4 * (t / (perBlock * perBlock)), uint32_t(l2));
  putLe32(img.block(l2) + 4 * ((t / perBlock) % perBlock), uint32_t(l3));
  putLe32(img.block(l3) + 4 * (t % perBlock), uint32_t(data));
  std::fill_n(img.block(data), 4096, 0x5A);
  img.setInode(12, s);
  auto v = img.openExt2();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->size, size);  // listed, sorted and filtered at its full size
  EXPECT_EQ(files[0]->sizeText(), " 5.00 GB");
  EXPECT_EQ(files[0]->contentSize(), size);

  // Counts the bytes and keeps the last block.
  class TailSink final : public ByteSink {
   public:
    bool write(const uint8_t* d, size_t n) override {
      m_written += n;
      if (n > 0 && (d[0] != 0 || d[n - 1] != 0)) tail.assign(d + (n > 4096 ? n - 4096 : 0), d + n);
      return true;
    }
    std::vector<uint8_t> tail;
  } sink;
  EXPECT_TRUE(v->extract(*files[0], sink));
  EXPECT_EQ(sink.written(), size);
  EXPECT_EQ(sink.tail, std::vector<uint8_t>(4096, 0x5A));
}

// ------------------------------------------------------------------ Ext3Volume

// 1 KiB blocks (first data block 1), two groups of 1024 blocks, 128 inodes per group,
// journal in inode 8, inodes 1..11 in use.
class Ext3ScanTest : public ::testing::Test {
 protected:
  explicit Ext3ScanTest(ExtGeometry g = {.groups = 2, .blocksPerGroup = 1024, .inodesPerGroup = 128, .journalInode = 8})
      : img(g), journal(g.blockSize) {
    for (uint32_t n = 1; n <= 11; ++n) img.markInodeUsed(n);
    InodeFields root;
    root.mode = 0x41ED;
    root.size = g.blockSize;
    root.block[0] = uint32_t(img.allocate());
    img.setInode(2, root);
    rootBlock = root.block[0];
    std::vector<uint8_t> empty = directoryBlock(g.blockSize, 2, 2, {});
    std::copy(empty.begin(), empty.end(), img.block(rootBlock));
  }

  // A file at inode n as it was before deletion (for the journal copy), and the current
  // table after deletion: size, pointers and block count cleared, deletion time set.
  struct Placed {
    InodeFields before;
    std::vector<uint8_t> content;
  };
  Placed place(uint32_t n, size_t size, uint32_t seed) {
    Placed p;
    p.content = patterned(size, seed);
    p.before = img.placeFile(p.content);
    InodeFields after = p.before;
    after.size = 0;
    after.block = {};
    after.blocks512 = 0;
    after.dtime = uint32_t(kTestNow - 10);
    img.setInode(n, after);
    return p;
  }
  // The table block holding inode n with the given inode replaced (a journal copy).
  std::vector<uint8_t> tableCopy(uint32_t n, const InodeFields& s) {
    std::vector<uint8_t> copy(img.block(img.inodeBlock(n)), img.block(img.inodeBlock(n)) + img.blockSize());
    const size_t slot = ((n - 1) % img.geometry().inodesPerGroup) % (img.blockSize() / img.geometry().inodeSize);
    ExtImage::encodeInode(copy.data() + slot * img.geometry().inodeSize, s);
    return copy;
  }

  ExtImage img;
  JournalBuilder journal;
  uint32_t rootBlock = 0;
};

TEST_F(Ext3ScanTest, AnInodeCopyAndADirectoryCopyMakeANamedFile) {
  Placed p = place(12, 9000, 21);
  journal.superblock()
      .descriptor({uint32_t(img.inodeBlock(12)), rootBlock})
      .data(tableCopy(12, p.before))
      .data(directoryBlock(1024, 2, 2, {{12, "Report.PDF"}}))
      .commit()
      .install(img, 8);
  auto v = img.openExt3("VELK-EXT3");
  ASSERT_TRUE(v->isValid());
  EXPECT_EQ(v->state(), kExt3Ready);
  ResultTree tree(Variant::Ext);
  Progress progress;
  auto files = scanned(*v, tree, &progress);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->name, "Report.PDF");
  EXPECT_EQ(files[0]->extension, "pdf");
  EXPECT_EQ(files[0]->typeText(), "pdf");
  EXPECT_EQ(files[0]->inodeNumber, 12u);
  EXPECT_EQ(extracted(*v, *files[0]), p.content);
  EXPECT_EQ(tree.root()->text, "EXT3( VELK-EXT3 )");
  EXPECT_EQ(tree.root()->number, kExt3ItemData);
  EXPECT_EQ(progress.status(), "Found Deleted Files : 1");
  EXPECT_EQ(progress.foundTotal.load(), 5u * 1024);  // the journal's size
}

// The image's bytes, except that reads touching [from, to) fail.
class FailingRangeDevice final : public BlockDevice {
 public:
  FailingRangeDevice(std::shared_ptr<std::vector<uint8_t>> bytes, uint64_t from, uint64_t to)
      : m_bytes(std::move(bytes)), m_from(from), m_to(to) {}
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    if (offset < m_to && offset + length > m_from) return -EIO;
    if (offset >= m_bytes->size()) return 0;
    const size_t n = size_t(std::min<uint64_t>(length, m_bytes->size() - offset));
    std::memcpy(buffer, m_bytes->data() + offset, n);
    return int64_t(n);
  }
  int64_t writeAt(uint64_t, const void*, size_t) override { return -EBADF; }
  uint64_t size() const override { return m_bytes->size(); }

 private:
  std::shared_ptr<std::vector<uint8_t>> m_bytes;
  uint64_t m_from;
  uint64_t m_to;
};

// The journal is read many blocks at a time, yet an unreadable block loses only itself: a
// copy that cannot be read drops its own file, and the blocks after it still meet their
// tags; a descriptor that cannot be read drops its transaction.
TEST_F(Ext3ScanTest, AnUnreadableJournalBlockLosesOnlyWhatItHeld) {
  Placed a = place(12, 3000, 1);
  Placed b = place(20, 3000, 2);  // in the next table block
  Placed c = place(30, 3000, 3);  // in the one after
  journal.superblock()
      .descriptor({uint32_t(img.inodeBlock(12)), uint32_t(img.inodeBlock(20))})
      .data(tableCopy(12, a.before))
      .data(tableCopy(20, b.before))
      .commit()
      .descriptor({uint32_t(img.inodeBlock(30))})
      .data(tableCopy(30, c.before))
      .commit()
      .install(img, 8, 40);
  {
    auto whole = img.openExt3();
    ResultTree tree(Variant::Ext);
    EXPECT_EQ(scanned(*whole, tree).size(), 3u);
  }
  const uint64_t first = le32(img.inode(8) + kInBlock);
  const uint64_t bs = img.blockSize();
  // Journal blocks: 0 superblock, 1 descriptor, 2 and 3 copies, 4 commit, 5 descriptor, 6 copy.
  auto scanWithBadBlock = [&](uint64_t bad, std::map<uint32_t, std::vector<uint8_t>> expected) {
    SCOPED_TRACE(bad);
    PartitionRecord record;
    record.setFsName("EXT3");
    SectorReader reader;
    reader.OpenDevice(std::make_unique<FailingRangeDevice>(img.bytes(), (first + bad) * bs, (first + bad + 1) * bs),
                      "failing");
    Ext3Volume v(record, std::move(reader));
    v.setClock([] { return kTestNow; });
    ASSERT_TRUE(v.isValid());
    ResultTree tree(Variant::Ext);
    auto files = scanned(v, tree);
    ASSERT_EQ(files.size(), expected.size());
    for (ExtFileRecord* f : files) {
      ASSERT_TRUE(expected.count(f->inodeNumber)) << f->inodeNumber;
      EXPECT_EQ(extracted(v, *f), expected.at(f->inodeNumber)) << f->inodeNumber;
    }
  };
  scanWithBadBlock(2, {{20, b.content}, {30, c.content}});
  scanWithBadBlock(5, {{12, a.content}, {20, b.content}});
}

TEST_F(Ext3ScanTest, NamesComeEarlierOrLaterThanTheInodeAndTheFirstNameStays) {
  Placed a = place(12, 500, 1);
  Placed b = place(13, 600, 2);
  journal.superblock()
      .descriptor({rootBlock, uint32_t(img.inodeBlock(12)), rootBlock})
      .data(directoryBlock(1024, 2, 2, {{12, "first.txt"}}))
      .data(tableCopy(13, b.before))  // 12 and 13 share the table block
      .data(directoryBlock(1024, 2, 2, {{12, "renamed.txt"}, {13, "second.doc"}}))
      .commit()
      .install(img, 8);
  // The table copy holds 13 as before deletion but 12 as it is now: only 13 is taken.
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->inodeNumber, 13u);
  EXPECT_EQ(files[0]->name, "second.doc");
  (void)a;
}

TEST_F(Ext3ScanTest, ANameThatNeverMeetsAnInodeMakesNoRecordAndAnUnnamedInodeIsGenerated) {
  Placed p = place(40, 2000, 3);
  journal.superblock()
      .descriptor({rootBlock, uint32_t(img.inodeBlock(40))})
      .data(directoryBlock(1024, 2, 2, {{12, "orphan.txt"}}))
      .data(tableCopy(40, p.before))
      .commit()
      .install(img, 8);
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->name, "inode_00000028.tmp");
  EXPECT_EQ(files[0]->nameText(), "inode_00000028.tmp");
  EXPECT_EQ(files[0]->extension, "");
  EXPECT_EQ(extracted(*v, *files[0]), p.content);
}

// A file that grew has older, shorter copies; the newest transaction holds the whole file,
// wherever the journal's wrap left it.
TEST_F(Ext3ScanTest, TheNewestJournalCopyOfAnInodeWins) {
  Placed p = place(12, 3000, 4);
  InodeFields older = p.before;
  older.size = 1024;
  older.blocks512 = 2;
  older.block[1] = older.block[2] = 0;
  older.ctime -= 5;
  for (bool newestFirst : {true, false}) {
    JournalBuilder j(1024);
    j.superblock();
    for (bool newest : {newestFirst, !newestFirst})
      j.sequence(newest ? 7 : 6).descriptor({uint32_t(img.inodeBlock(12))}).data(tableCopy(12, newest ? p.before : older)).commit();
    j.install(img, 8);
    auto v = img.openExt3();
    ResultTree tree(Variant::Ext);
    auto files = scanned(*v, tree);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(extracted(*v, *files[0]), p.content) << newestFirst;
  }
}

struct Ext3Rule {
  const char* what;
  std::function<void(InodeFields&)> change;
  bool listed;
};
std::ostream& operator<<(std::ostream& os, const Ext3Rule& r) { return os << r.what; }

class Ext3CopyRule : public Ext3ScanTest, public ::testing::WithParamInterface<Ext3Rule> {};

TEST_P(Ext3CopyRule, DecidesWhetherAJournalCopyIsTaken) {
  Placed p = place(12, 2000, 5);
  InodeFields copy = p.before;
  GetParam().change(copy);
  journal.superblock().descriptor({uint32_t(img.inodeBlock(12))}).data(tableCopy(12, copy)).commit().install(img, 8);
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  EXPECT_EQ(scanned(*v, tree).size(), GetParam().listed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Ext3CopyRule,
    ::testing::Values(Ext3Rule{"sound", [](InodeFields&) {}, true},
                      Ext3Rule{"zero first pointer", [](InodeFields& s) { s.block[0] = 0; }, false},
                      Ext3Rule{"zero size", [](InodeFields& s) { s.size = 0; }, false},
                      Ext3Rule{"symbolic link", [](InodeFields& s) { s.mode = 0xA1FF; }, false},
                      Ext3Rule{"changed six years ago", [](InodeFields& s) { s.ctime = uint32_t(kTestNow - 6 * kYear); },
                               false},
                      Ext3Rule{"deletion time set", [](InodeFields& s) { s.dtime = 5; }, false}),
    [](const auto& param) {
      std::string n = param.param.what;
      for (char& c : n)
        if (!isalnum(uint8_t(c))) c = '_';
      return n;
    });

TEST_F(Ext3ScanTest, ACopyEqualToTheCurrentInodeIsALiveFile) {
  auto data = patterned(1000, 6);
  InodeFields live = img.placeFile(data);
  img.setInode(12, live);
  img.markInodeUsed(12);
  journal.superblock().descriptor({uint32_t(img.inodeBlock(12))}).data(tableCopy(12, live)).commit().install(img, 8);
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  EXPECT_TRUE(scanned(*v, tree).empty());
}

TEST_F(Ext3ScanTest, AJournalThatDoesNotBeginWithItsSuperblockListsNothingAndSaysSo) {
  Placed p = place(12, 2000, 5);
  journal.descriptor({uint32_t(img.inodeBlock(12))}).data(tableCopy(12, p.before)).commit().install(img, 8);
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  Progress progress;
  EXPECT_EQ(failureKind(v->scan(tree, ScanOptions{}, progress)), ErrorKind::Corrupt);
  EXPECT_TRUE(listedFiles(tree).empty());
  ASSERT_NE(tree.root(), nullptr);
  EXPECT_EQ(tree.root()->children.at(0)->text, "Lost files");
}

TEST_F(Ext3ScanTest, InodesInTheSecondGroupAreNumberedFromItsTable) {
  // Inode 140 is index 11 of group 1.
  Placed p = place(140, 4000, 7);
  EXPECT_EQ(img.inodeBlock(140), img.inodeTable(1) + 1);
  journal.superblock()
      .descriptor({uint32_t(img.inodeBlock(140))})
      .data(tableCopy(140, p.before))
      .commit()
      .install(img, 8);
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->inodeNumber, 140u);
  EXPECT_EQ(extracted(*v, *files[0]), p.content);
}

TEST_F(Ext3ScanTest, NamesFromLaterBlocksOfADirectoryCount) {
  Placed p = place(12, 700, 8);
  const uint32_t second = uint32_t(img.allocate());
  journal.superblock()
      .descriptor({uint32_t(img.inodeBlock(12)), second})
      .data(tableCopy(12, p.before))
      .data(directoryBlock(1024, 0, 0, {{11, "entry 000.txt"}, {12, "late entry.txt"}}, 1, false))
      .commit()
      .install(img, 8);
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->name, "late entry.txt");
  EXPECT_EQ(files[0]->extension, "txt");
}

TEST_F(Ext3ScanTest, JournalInodeZeroOrPastTheCountLeavesTheVolumeInvalid) {
  putLe32(img.superblock() + kSbJournalInode, 0);
  EXPECT_FALSE(img.openExt3()->isValid());
  EXPECT_TRUE(img.openExt2()->isValid());
  putLe32(img.superblock() + kSbJournalInode, img.inodeCount() + 1);
  EXPECT_FALSE(img.openExt3()->isValid());
}

// 256-byte inodes: the journal inode itself is read at its real slot.
class Ext3WideInodeTest : public Ext3ScanTest {
 protected:
  Ext3WideInodeTest()
      : Ext3ScanTest({.inodeSize = 256, .groups = 2, .blocksPerGroup = 1024, .inodesPerGroup = 128, .journalInode = 8}) {}
};

TEST_F(Ext3WideInodeTest, TheJournalAndItsCopiesAreReadAtTheirRealSize) {
  Placed p = place(13, 9000, 9);
  journal.superblock()
      .descriptor({uint32_t(img.inodeBlock(13)), rootBlock})
      .data(tableCopy(13, p.before))
      .data(directoryBlock(1024, 2, 2, {{13, "wide.bin"}}))
      .commit()
      .install(img, 8);
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->inodeNumber, 13u);
  EXPECT_EQ(files[0]->name, "wide.bin");
  EXPECT_EQ(extracted(*v, *files[0]), p.content);
}

// 4 KiB blocks: the superblock is block 0, and its copy is journaled with the tag (0, 0).
class Ext3FourKTest : public Ext3ScanTest {
 protected:
  Ext3FourKTest()
      : Ext3ScanTest({.blockSize = 4096, .groups = 1, .blocksPerGroup = 1024, .inodesPerGroup = 64, .journalInode = 8}) {}
};

TEST_F(Ext3FourKTest, ATagForBlockZeroKeepsTheLaterCopiesPaired) {
  Placed p = place(12, 20000, 10);
  std::vector<uint8_t> superCopy(img.block(0), img.block(0) + 4096);
  journal.superblock()
      .descriptor({0, 1, uint32_t(img.inodeBlock(12)), rootBlock})
      .data(superCopy)
      .data(std::vector<uint8_t>(img.block(1), img.block(1) + 4096))
      .data(tableCopy(12, p.before))
      .data(directoryBlock(4096, 2, 2, {{12, "after block zero.txt"}}))
      .commit()
      .install(img, 8);
  auto v = img.openExt3();
  ResultTree tree(Variant::Ext);
  auto files = scanned(*v, tree);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]->name, "after block zero.txt");
  EXPECT_EQ(extracted(*v, *files[0]), p.content);
}

// ------------------------------------------------------------------ block classes

TEST(ExtBlockClassTest, GroupsCountFromTheFirstDataBlock) {
  // 1 KiB blocks, groups of 256: group 0 = 1..256, group 1 = 257..512, group 2 = 513..768.
  ExtImage img({.groups = 3, .blocksPerGroup = 256, .inodesPerGroup = 32, .journalInode = 8});
  auto v = img.openExt3();
  ASSERT_TRUE(v->isValid());
  EXPECT_EQ(v->classify(1).kind, ExtBlockClass::Superblock);
  EXPECT_EQ(v->classify(2).kind, ExtBlockClass::Descriptor);
  EXPECT_EQ(v->classify(3).kind, ExtBlockClass::BlockBitmap);
  EXPECT_EQ(v->classify(4).kind, ExtBlockClass::InodeBitmap);
  EXPECT_EQ(v->classify(5).kind, ExtBlockClass::InodeTable);
  EXPECT_EQ(v->classify(256).kind, ExtBlockClass::Other);  // the last block of group 0
  EXPECT_EQ(v->classify(257).kind, ExtBlockClass::Superblock);
  EXPECT_EQ(v->classify(258).kind, ExtBlockClass::Descriptor);
  // Group 2 keeps no backup: its first two blocks are ordinary.
  EXPECT_EQ(v->classify(513).kind, ExtBlockClass::Other);
  EXPECT_EQ(v->classify(515).kind, ExtBlockClass::BlockBitmap);
  EXPECT_EQ(v->classify(516).kind, ExtBlockClass::InodeBitmap);
  // 32 inodes × 128 bytes = 4 table blocks of 8 inodes; group 1's second table block
  // begins with inode 32 + 8 + 1.
  const auto table = v->classify(img.inodeTable(1) + 1);
  EXPECT_EQ(table.kind, ExtBlockClass::InodeTable);
  EXPECT_EQ(table.group, 1u);
  EXPECT_EQ(table.firstInode, 41u);
  EXPECT_EQ(v->classify(img.inodeTable(1) + 4).kind, ExtBlockClass::Other);
  EXPECT_EQ(v->classify(0).kind, ExtBlockClass::Other);
  EXPECT_EQ(v->classify(769).kind, ExtBlockClass::Other);  // past the last group
}

// ------------------------------------------------------------------ the record

TEST(ExtFileRecordTest, RowTextsSortKeysAndFilterFacts) {
  ExtFileRecord r;
  r.inodeNumber = 42;
  r.name = "Unknown";
  EXPECT_EQ(r.nameText(), "inode(0000002A)");
  r.name = "Report.PDF";
  EXPECT_EQ(r.nameText(), "Report.PDF");
  InodeFields s;
  s.mode = 0x81A4;  // rw-r--r--
  s.ctime = 1767323045;  // 2026-01-02 UTC
  ExtImage::encodeInode(r.inode.data(), s);
  EXPECT_EQ(r.attributeText(), "rw-r--");
  putLe16(r.inode.data(), 0x81ED);  // rwxr-xr-x
  EXPECT_EQ(r.attributeText(), "rwxr-x");
  EXPECT_EQ(r.filterDate(), packFatDate(2026, 1, 2));
  r.size = 1023;
  EXPECT_EQ(r.sizeText(), "1023 B");
  r.size = 1536;
  EXPECT_EQ(r.sizeText(), " 1.50 KB");

  r.extension = "htm";
  EXPECT_TRUE(r.extensionAccepts("html.shtml"));
  EXPECT_FALSE(r.extensionAccepts("doc.xls"));
  r.extension = "";
  EXPECT_FALSE(r.extensionAccepts("doc.xls"));

  ExtFileRecord other;
  other.size = 2000;
  ExtImage::encodeInode(other.inode.data(), InodeFields{.mode = 0x8000, .mtime = s.mtime + 1});
  EXPECT_EQ(r.compareColumn(other, kColumnSize), -1);
  EXPECT_EQ(r.compareColumn(other, kColumnAttributes), 1);
  EXPECT_EQ(r.compareColumn(other, kColumnModified), -1);
}

TEST(ExtFileRecordTest, ListedNamesAndExtensions) {
  EXPECT_EQ(extExtensionOf("Report.PDF"), "pdf");
  EXPECT_EQ(extExtensionOf(".profile"), "");
  EXPECT_EQ(extExtensionOf("archive.tar.gz"), "gz");
  EXPECT_EQ(extExtensionOf("noext"), "");
  EXPECT_EQ(extListedName("what?.txt"), "what_.txt");
  EXPECT_EQ(extListedName(std::string("bad\xFF.txt")), "bad_.txt");
}

TEST(ExtEngineFactoryTest, OnlyExtRecordsAndTheDeletedTaskOpen) {
  PartitionRecord r;
  r.setFsName("NTFS");
  EXPECT_NE(engineFor(r, Task::Deleted)->name, "EXT");
  r.setFsName("EXT3");
  EXPECT_EQ(engineFor(r, Task::Deleted)->name, "EXT");
  EXPECT_EQ(failureKind(openEngine(r, Task::Formatted)), ErrorKind::Unsupported);
  r.diskNumber = 25;  // no such drive
  EXPECT_EQ(failureKind(openEngine(r, Task::Deleted)), ErrorKind::NotFound);
}

// ------------------------------------------------------------------ damaged input

TEST(ExtDamageTest, EveryCorruptedByteOfAJournalledVolumeEndsCleanly) {
  ExtImage img({.groups = 2, .blocksPerGroup = 256, .inodesPerGroup = 32, .journalInode = 8});
  for (uint32_t n = 1; n <= 11; ++n) img.markInodeUsed(n);
  auto content = patterned(20000, 12);
  InodeFields before = img.placeFile(content);
  std::vector<uint8_t> copy(img.block(img.inodeBlock(12)), img.block(img.inodeBlock(12)) + 1024);
  ExtImage::encodeInode(copy.data() + 3 * 128, before);
  before.dtime = uint32_t(kTestNow - 1);
  img.setInode(12, before);
  JournalBuilder j(1024);
  j.superblock().descriptor({uint32_t(img.inodeBlock(12))}).data(copy).commit().install(img, 8);
  const auto pristine = *img.bytes();
  ASSERT_GE(runExtScansOnMemoryImage(pristine.data(), pristine.size()), 2u);
  // Flip bytes of the superblock, descriptors and bitmaps, the inode tables, and the blocks
  // handed out after the last table (file data, indirect blocks, journal).
  const std::vector<std::pair<size_t, size_t>> areas = {
      {1024, 5 * 1024},
      {size_t(img.inodeTable(0)) * 1024, 4 * 1024},
      {size_t(img.inodeTable(1) + 4) * 1024, pristine.size() - size_t(img.inodeTable(1) + 4) * 1024}};
  uint32_t x = 12345;
  for (int round = 0; round < 400; ++round) {
    auto damaged = pristine;
    for (int k = 0; k < 3; ++k) {
      x = x * 1103515245u + 12345u;
      const auto& area = areas[(x >> 4) % areas.size()];
      const size_t offset = area.first + size_t(x >> 8) % area.second;
      damaged[offset] ^= uint8_t(x | 1);
    }
    (void)runExtScansOnMemoryImage(damaged.data(), damaged.size());
    (void)fuzzExtSuperblock(damaged.data(), damaged.size());
  }
  (void)fuzzExtBlockMap(pristine.data(), pristine.size());
  (void)fuzzExtJournalBlock(pristine.data(), 1024);
}

}  // namespace
}  // namespace velk::test
