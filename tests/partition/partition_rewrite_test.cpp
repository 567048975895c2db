// The partition-table rewrite on synthetic disks written to temporary image files: every
// result code, the master boot record and extended-chain paths, the checks made before the
// first write, and the undo file.

#include <gtest/gtest.h>

#include "disk/device.h"
#include "partition/partition_recovery.h"
#include "partition/undo_file.h"
#include "faulty_device.h"
#include "partition_test_support.h"

namespace velk {
namespace {

using test::imageEntries;
using test::rawEntry;
using test::readImageSector;

constexpr uint64_t kDiskSectors = 16384;

// A FAT16 boot sector describing `count` sectors.
void fat16Boot(test::SyntheticDisk& d, uint64_t at, uint16_t count) {
  uint8_t* b = d.sector(at);
  b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
  std::memcpy(b + 3, "MSWIN4.1", 8);
  putLe16(b + 0x0B, 512);
  b[0x0D] = 4;
  putLe16(b + 0x0E, 1);
  b[0x10] = 2;
  putLe16(b + 0x11, 512);
  putLe16(b + 0x13, count);
  putLe16(b + 0x16, 8);
  std::memcpy(b + 0x36, "FAT16   ", 8);
  d.signature(at);
}

// Layout A: NTFS 2048+2048 (entry 1), a lost FAT32 volume at 4096 (2048 sectors), the
// extended partition 6144+8192 (entry 2) with one logical FAT16 at 6207 (EBR 6144), and two
// lost FAT16 volumes inside it at 8255 (2014 sectors, ending on a 63-sector boundary) and
// 10332 (1024 sectors, 63 sectors after the first one's end).
test::SyntheticDisk layoutA() {
  test::SyntheticDisk d(kDiskSectors);
  d.entry(0, 0, 0x07, 2048, 2048);
  d.ntfsBoot(2048, 2048);
  d.fat32Boot(4096, 2048);
  d.entry(0, 1, 0x0F, 6144, 8192);
  d.entry(6144, 0, 0x06, 63, 1985);
  fat16Boot(d, 6207, 1985);
  fat16Boot(d, 8255, 2014);
  fat16Boot(d, 10332, 1024);
  return d;
}

class RewriteTest : public ::testing::Test {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }

  // Drive 0 from now on fails as the plan says (the scans before saw it whole).
  void injectFaults(const test::FaultPlan& plan) {
    DeviceNamespace::instance().reset();
    test::attachFaulty(m_image, plan);
    DeviceNamespace::instance().assignLetters();
  }

  void attach(const test::SyntheticDisk& d) {
    m_image = test::saveAndAttach(d, m_dir.path());
    m_original = test::imageBytes(m_image);
    m_rec = PartitionRecovery{};
    m_rec.Refresh();
    ASSERT_TRUE(m_rec.SelectDisk(0));
  }
  int candidateAt(uint32_t start, std::string_view fs) const {
    const auto& list = m_rec.Candidates();
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].startSector == start && list[i].fsNameText() == fs) return int(i);
    return -1;
  }
  RewriteResult rewrite(int index) { return m_rec.Rewrite(index, RewriteOptions{undoDir()}); }
  std::filesystem::path undoDir() const { return m_dir.path() / "undo"; }
  bool unchanged() const { return test::imageBytes(m_image) == m_original; }
  size_t undoFiles() const {
    std::error_code ec;
    size_t n = 0;
    for (std::filesystem::directory_iterator it(undoDir(), ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
  }

  test::TempDir m_dir;
  std::filesystem::path m_image;
  std::vector<uint8_t> m_original;
  PartitionRecovery m_rec;
};

TEST_F(RewriteTest, AutoScanNamesTheVolumeAtEachGapStart) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  const int fat32 = candidateAt(4096, "FAT32");
  ASSERT_GE(fat32, 0);
  const auto& c = m_rec.Candidates()[size_t(fat32)];
  EXPECT_EQ(c.type, 0x0C);
  EXPECT_EQ(c.kind, kKindPrimary);
  EXPECT_EQ(c.length, 2048u * 512);
  const int fat16 = candidateAt(8255, "FAT16");
  ASSERT_GE(fat16, 0);
  const auto& l = m_rec.Candidates()[size_t(fat16)];
  EXPECT_EQ(l.type, 0x06);
  EXPECT_EQ(l.kind, kKindLogical);
  EXPECT_EQ(l.tableSector, 8192u);
  // The gap runs to the extended partition's end (14336); the boot sector says 2014.
  EXPECT_EQ(l.length, 2014u * 512);
  EXPECT_EQ(candidateAt(63, "Deleted") >= 0, true);
}

TEST_F(RewriteTest, PrimaryGapGetsAMasterBootRecordEntry) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  RewriteResult r = rewrite(candidateAt(4096, "FAT32"));
  ASSERT_EQ(r.code, RewriteCode::Rewritten) << r.detail;
  // Entry 3 (the first with a zero count): CHS 0/65/2 to 0/97/33 (255 heads, 63 sectors).
  const std::array<uint8_t, 16> expected = {0x00, 65, 2, 0, 0x0C, 97, 33, 0, 0x00, 0x10, 0, 0, 0x00, 0x08, 0, 0};
  EXPECT_EQ(rawEntry(m_image, 0, 2), expected);
  EXPECT_EQ(readImageSector(m_image, 0)[0x1FE], 0x55);
  EXPECT_EQ(readImageSector(m_image, 0)[0x1FF], 0xAA);
  const PartitionRecord* now = test::findRecord(m_rec.catalog(), 4096, "FAT32");
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->type, 0x0C);
  EXPECT_EQ(now->length, 2048u * 512);
  // The volume still holds its boot sector: only the table sector is written.
  EXPECT_EQ(r.sectorsWritten, 1u);
  EXPECT_EQ(undoFiles(), 1u);
}

TEST_F(RewriteTest, LogicalGapGetsANewExtendedBootRecordLinkedFromTheLast) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  RewriteResult r = rewrite(candidateAt(8255, "FAT16"));
  ASSERT_EQ(r.code, RewriteCode::Rewritten) << r.detail;
  // New EBR at 8192: the partition 63 sectors on, 2014 long (relative CHS 0/1/1 to 0/32/61).
  const std::array<uint8_t, 16> entry = {0x00, 1, 1, 0, 0x06, 32, 61, 0, 63, 0, 0, 0, 0xDE, 0x07, 0, 0};
  EXPECT_EQ(rawEntry(m_image, 8192, 0), entry);
  EXPECT_EQ(readImageSector(m_image, 8192)[0x1FE], 0x55);
  // The link from 6144: start 8192 − 6144, count 63 + 2014 (relative CHS 0/32/33 to 0/65/30).
  const std::array<uint8_t, 16> link = {0x00, 32, 33, 0, 0x05, 65, 30, 0, 0x00, 0x08, 0, 0, 0x1D, 0x08, 0, 0};
  EXPECT_EQ(rawEntry(m_image, 6144, 1), link);
  EXPECT_EQ(m_rec.catalog().LastChainSector(0), 8192u);
  const PartitionRecord* now = test::findRecord(m_rec.catalog(), 8255);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->kind, kKindLogical);
  EXPECT_EQ(now->tableSector, 8192u);
  EXPECT_EQ(r.sectorsWritten, 2u);
}

TEST_F(RewriteTest, ASecondRewriteWorksFromTheRefreshedChain) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  ASSERT_EQ(rewrite(candidateAt(8255, "FAT16")).code, RewriteCode::Rewritten);
  ASSERT_TRUE(m_rec.AutoScan());
  const int second = candidateAt(10332, "FAT16");
  ASSERT_GE(second, 0);
  EXPECT_EQ(m_rec.Candidates()[size_t(second)].tableSector, 10269u);
  ASSERT_EQ(rewrite(second).code, RewriteCode::Rewritten);
  // 6144 → 8192 → 10269: the link sits in 8192, not in a record pointing at itself.
  auto links = imageEntries(m_image, 8192);
  EXPECT_EQ(links[1].type, 0x05);
  EXPECT_EQ(links[1].start, 10269u - 6144);
  EXPECT_EQ(links[1].count, 63u + 1024);
  EXPECT_EQ(imageEntries(m_image, 10269)[1].type, 0);
  EXPECT_NE(test::findRecord(m_rec.catalog(), 10332), nullptr);
}

TEST_F(RewriteTest, DeepCandidatesFromOneScanAreRefusedOnceTheGapIsGone) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.DeepScan());
  const int first = candidateAt(8255, "FAT16"), second = candidateAt(10332, "FAT16");
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  ASSERT_EQ(rewrite(first).code, RewriteCode::Rewritten);
  // The second still names the gap's old table sector 8192, now an EBR of the chain.
  auto before = test::imageBytes(m_image);
  EXPECT_EQ(rewrite(second).code, RewriteCode::NoGap);
  EXPECT_EQ(test::imageBytes(m_image), before);
}

TEST_F(RewriteTest, GapOpeningTheExtendedPartitionReusesTheFirstRecord) {
  for (bool linkFirst : {false, true}) {
    SCOPED_TRACE(linkFirst ? "link in the first slot" : "link in the second slot");
    test::SyntheticDisk d(kDiskSectors);
    d.entry(0, 0, 0x07, 2048, 2048);
    d.ntfsBoot(2048, 2048);
    d.entry(0, 1, 0x0F, 4096, 8192);
    d.entry(4096, linkFirst ? 0 : 1, 0x05, 2048, 2111);
    d.entry(6144, 0, 0x06, 63, 2048);
    fat16Boot(d, 6207, 2048);
    d.fat32Boot(4159, 1985);
    attach(d);
    ASSERT_TRUE(m_rec.AutoScan());
    const int c = candidateAt(4159, "FAT32");
    ASSERT_GE(c, 0);
    EXPECT_EQ(m_rec.Candidates()[size_t(c)].type, 0x0B);
    ASSERT_EQ(rewrite(c).code, RewriteCode::Rewritten);
    auto e = imageEntries(m_image, 4096);
    EXPECT_EQ(e[0].type, 0x0B);
    EXPECT_EQ(e[0].start, 63u);
    EXPECT_EQ(e[0].count, 1985u);
    EXPECT_EQ(e[1].type, 0x05);
    EXPECT_EQ(e[1].start, 2048u);
    EXPECT_EQ(e[1].count, 2111u);
    EXPECT_NE(test::findRecord(m_rec.catalog(), 4159), nullptr);
    EXPECT_NE(test::findRecord(m_rec.catalog(), 6207), nullptr);
  }
}

// The extended partition's first EBR holds no partition, so the gap after the NTFS volume
// runs on into the extended partition; the lost volume's own size keeps it out.
TEST_F(RewriteTest, GapStraddlingTheExtendedStartIsCappedAtTheVolume) {
  test::SyntheticDisk d(kDiskSectors);
  d.entry(0, 0, 0x07, 2048, 2048);
  d.ntfsBoot(2048, 2048);
  d.fat32Boot(4096, 1024);
  d.entry(0, 1, 0x0F, 6144, 8192);
  d.entry(6144, 1, 0x05, 2048, 2111);
  d.entry(8192, 0, 0x06, 63, 2048);
  fat16Boot(d, 8255, 2048);
  attach(d);
  ASSERT_TRUE(m_rec.AutoScan());
  const int c = candidateAt(4096, "FAT32");
  ASSERT_GE(c, 0);
  EXPECT_EQ(m_rec.Candidates()[size_t(c)].length, 1024u * 512);
  ASSERT_EQ(rewrite(c).code, RewriteCode::Rewritten);
  auto e = imageEntries(m_image, 0);
  EXPECT_EQ(e[2].start, 4096u);
  EXPECT_EQ(e[2].count, 1024u);
  EXPECT_EQ(e[1].type, 0x0F);
  EXPECT_NE(test::findRecord(m_rec.catalog(), 8255), nullptr);
}

TEST_F(RewriteTest, ZeroedMasterBootRecordGetsASignedTable) {
  test::SyntheticDisk d(kDiskSectors);
  d.fat32Boot(2048, 4096);
  attach(d);
  ASSERT_TRUE(m_rec.DeepScan());
  const int c = candidateAt(2048, "FAT32");
  ASSERT_GE(c, 0);
  EXPECT_EQ(m_rec.Candidates()[size_t(c)].length, 4096u * 512);
  ASSERT_EQ(rewrite(c).code, RewriteCode::Rewritten);
  auto mbr = readImageSector(m_image, 0);
  EXPECT_EQ(mbr[0x1FE], 0x55);
  EXPECT_EQ(mbr[0x1FF], 0xAA);
  auto e = TableSector::of(mbr).entries;
  EXPECT_EQ(e[0].type, 0x0C);
  EXPECT_EQ(e[0].start, 2048u);
  EXPECT_EQ(e[0].count, 4096u);
  EXPECT_EQ(e[1].count, 0u);
  EXPECT_NE(test::findRecord(m_rec.catalog(), 2048, "FAT32"), nullptr);
}

TEST_F(RewriteTest, NoDiskAndNoCandidate) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  PartitionRecord w = m_rec.Candidates()[size_t(candidateAt(4096, "FAT32"))];
  EXPECT_EQ(Rewrite(m_rec.catalog(), nullptr, &w, CandidateSource::AutoScan, {undoDir()}).code, RewriteCode::NoDisk);
  EXPECT_EQ(rewrite(-1).code, RewriteCode::NoCandidate);
  EXPECT_EQ(rewrite(int(m_rec.Candidates().size())).code, RewriteCode::NoCandidate);
  EXPECT_TRUE(unchanged());
}

TEST_F(RewriteTest, GapsAndUnknownNamesAreInvalid) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  EXPECT_EQ(rewrite(candidateAt(63, "Deleted")).code, RewriteCode::InvalidPartition);
  PartitionRecord ext = m_rec.Candidates()[size_t(candidateAt(8255, "FAT16"))];
  ext.setFsName("EXT2");
  ext.type = 0x83;
  const DiskRecord disk = *m_rec.SelectedDisk();
  EXPECT_EQ(Rewrite(m_rec.catalog(), &disk, &ext, CandidateSource::AutoScan, {undoDir()}).code,
            RewriteCode::InvalidPartition);
  EXPECT_TRUE(unchanged());
  EXPECT_EQ(undoFiles(), 0u);
  // The deep scan's EXT finds are accepted.
  EXPECT_EQ(Rewrite(m_rec.catalog(), &disk, &ext, CandidateSource::DeepScan, {undoDir()}).code, RewriteCode::Rewritten);
}

TEST_F(RewriteTest, PartitionOverAnExistingOneFindsNoGap) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  const PartitionRecord* ntfs = test::findRecord(m_rec.catalog(), 2048);
  ASSERT_NE(ntfs, nullptr);
  int c = candidateAt(2048, ntfs->fsNameText());
  ASSERT_GE(c, 0);
  EXPECT_EQ(rewrite(c).code, RewriteCode::NoGap);
  EXPECT_TRUE(unchanged());
}

TEST_F(RewriteTest, FullMasterBootRecordIsRefusedBeforeAnyWrite) {
  test::SyntheticDisk d(kDiskSectors);
  d.entry(0, 0, 0x07, 2048, 2048);
  d.ntfsBoot(2048, 2048);
  d.entry(0, 1, 0x83, 6144, 1024);
  d.entry(0, 2, 0x82, 8192, 1024);
  d.entry(0, 3, 0xDA, 10240, 1024);
  d.fat32Boot(4096, 2048);
  attach(d);
  ASSERT_TRUE(m_rec.AutoScan());
  EXPECT_EQ(rewrite(candidateAt(4096, "FAT32")).code, RewriteCode::NoGap);
  EXPECT_TRUE(unchanged());
  EXPECT_EQ(undoFiles(), 0u);
}

TEST_F(RewriteTest, EntryAddedBehindTheCatalogueIsNotOverlapped) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  // Another tool adds an entry over the lost volume after the scan.
  test::SyntheticDisk d = layoutA();
  d.entry(0, 2, 0x83, 5000, 100);
  test::writeImageSector(m_image, 0, [&] {
    test::SectorBytes s{};
    std::copy_n(d.sector(0), 512, s.begin());
    return s;
  }());
  auto before = test::imageBytes(m_image);
  EXPECT_EQ(rewrite(candidateAt(4096, "FAT32")).code, RewriteCode::NoGap);
  EXPECT_EQ(test::imageBytes(m_image), before);
}

TEST_F(RewriteTest, ChainWhoseLastRecordIsTheGapIsRefused) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.DeepScan());
  ASSERT_GE(candidateAt(10332, "FAT16"), 0);
  PartitionRecord second = m_rec.Candidates()[size_t(candidateAt(10332, "FAT16"))];
  DriveCatalog stale = m_rec.catalog();
  ASSERT_EQ(rewrite(candidateAt(8255, "FAT16")).code, RewriteCode::Rewritten);
  // A catalogue that was not refreshed, only told the new last record (8192): the gap it
  // still lists opens at that very record.
  stale.SetLastChainSector(0, 8192);
  auto before = test::imageBytes(m_image);
  const DiskRecord disk = *m_rec.SelectedDisk();
  RewriteResult r = Rewrite(stale, &disk, &second, CandidateSource::DeepScan, {undoDir()});
  EXPECT_EQ(r.code, RewriteCode::NoGap) << r.detail;
  EXPECT_EQ(test::imageBytes(m_image), before);
}

TEST_F(RewriteTest, LogicalGapWithoutChainFailsWithCode3) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  m_rec.catalog().SetLastChainSector(0, DriveCatalog::kNoChain);
  EXPECT_EQ(rewrite(candidateAt(8255, "FAT16")).code, RewriteCode::DeviceFailure);
  EXPECT_TRUE(unchanged());
}

TEST_F(RewriteTest, ExtendedEntryRemovedBehindTheCatalogueFailsWithCode3) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  test::zeroTableEntry(m_image, 0, 1);
  auto before = test::imageBytes(m_image);
  EXPECT_EQ(rewrite(candidateAt(8255, "FAT16")).code, RewriteCode::DeviceFailure);
  EXPECT_EQ(test::imageBytes(m_image), before);
}

TEST_F(RewriteTest, FailedWriteIsCode3AndLeavesTheUndoFile) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  test::FaultPlan policy;
  policy.failWrites = true;
  injectFaults(policy);
  RewriteResult r = rewrite(candidateAt(4096, "FAT32"));
  EXPECT_EQ(r.code, RewriteCode::DeviceFailure);
  EXPECT_EQ(r.sectorsWritten, 0u);
  EXPECT_TRUE(unchanged());
  EXPECT_EQ(undoFiles(), 1u);
}

TEST_F(RewriteTest, UnreadableTableIsCode3) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  test::FaultPlan policy;
  policy.failReadsFrom = 0;
  policy.failReadsTo = 512;
  injectFaults(policy);
  EXPECT_EQ(rewrite(candidateAt(4096, "FAT32")).code, RewriteCode::DeviceFailure);
  EXPECT_TRUE(unchanged());
}

TEST_F(RewriteTest, NoUndoFileMeansNoWrite) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  std::ofstream(m_dir.path() / "plain").put('x');
  RewriteResult r = m_rec.Rewrite(candidateAt(4096, "FAT32"), RewriteOptions{m_dir.path() / "plain" / "undo"});
  EXPECT_EQ(r.code, RewriteCode::DeviceFailure);
  EXPECT_TRUE(unchanged());
}

TEST_F(RewriteTest, UndoPutsEverySectorBack) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  RewriteResult r = rewrite(candidateAt(8255, "FAT16"));
  ASSERT_EQ(r.code, RewriteCode::Rewritten);
  auto undo = loadUndoFile(r.undoFile);
  ASSERT_TRUE(undo);
  ASSERT_EQ(undo->sectors.size(), 2u);
  EXPECT_EQ(undo->sectors[0].sector, 8192u);
  EXPECT_EQ(undo->sectors[1].sector, 6144u);
  EXPECT_EQ(findUndoDisk(m_rec.catalog(), undo->disk), 0);
  UndoResult u = applyUndo(*undo, 0, false);
  EXPECT_EQ(u.status, UndoStatus::Restored);
  EXPECT_TRUE(unchanged());
}

TEST_F(RewriteTest, UndoRefusesSectorsChangedSinceTheRewrite) {
  attach(layoutA());
  ASSERT_TRUE(m_rec.AutoScan());
  RewriteResult r = rewrite(candidateAt(4096, "FAT32"));
  ASSERT_EQ(r.code, RewriteCode::Rewritten);
  auto undo = loadUndoFile(r.undoFile);
  ASSERT_TRUE(undo);
  test::zeroTableEntry(m_image, 0, 0);  // someone edited the table since
  auto before = test::imageBytes(m_image);
  UndoResult u = applyUndo(*undo, 0, false);
  EXPECT_EQ(u.status, UndoStatus::Changed);
  EXPECT_EQ(u.sector, 0u);
  EXPECT_EQ(test::imageBytes(m_image), before);
  EXPECT_EQ(applyUndo(*undo, 0, true).status, UndoStatus::Restored);
  EXPECT_TRUE(unchanged());
}

}  // namespace
}  // namespace velk
