// Tables that lost a partition or a copy, on fixture copies and on a sparse disk of several
// TiB: GPT entries written into both arrays, a GPT copy rebuilt, extended partitions found
// from their EBRs or proposed anew, table writes refused inside volumes, damaged undo files.

#include <gtest/gtest.h>

#include <fstream>

#include "disk/device.h"
#include "partition/backup_file.h"
#include "partition/partition_recovery.h"
#include "partition/undo_file.h"
#include "support/crc32.h"
#include "faulty_device.h"
#include "partition_test_support.h"

namespace velk {
namespace {

using test::readImageSector;

// EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 (basic data) as it lies on disk.
constexpr std::array<uint8_t, 16> kBasicData = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                                0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
constexpr uint64_t kGptFixtureLast = 100663296 / 512 - 1;  // both GPT fixtures are 96 MiB

std::vector<uint8_t> imageRange(const std::filesystem::path& image, uint64_t offset, size_t n) {
  std::vector<uint8_t> out(n);
  std::ifstream in(image, std::ios::binary);
  in.seekg(std::streamoff(offset));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
  return out;
}

// The entry array of the GPT header at `lba`, once both CRCs check out as UEFI defines them.
std::vector<uint8_t> checkedGptArray(const std::filesystem::path& image, uint64_t lba) {
  auto h = readImageSector(image, lba);
  EXPECT_EQ(std::string(h.begin(), h.begin() + 8), "EFI PART");
  const uint32_t size = std::min<uint32_t>(le32(&h[12]), 512), stored = le32(&h[16]);
  putLe32(&h[16], 0);
  EXPECT_EQ(crc32({h.data(), size}), stored) << "header at " << lba;
  EXPECT_EQ(le64(&h[24]), lba);
  auto array = imageRange(image, le64(&h[72]) * 512, size_t(le32(&h[80])) * le32(&h[84]));
  EXPECT_EQ(crc32(array), le32(&h[88])) << "array of the header at " << lba;
  return array;
}

class TableRestoreTest : public ::testing::Test {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }

  // A copy of the fixture with `wipe` cleared, selected.
  void attachFixture(const std::string& name, std::initializer_list<uint64_t> wipe = {}) {
    m_image = test::copyFixture(name + ".img", m_dir.path());
    for (uint64_t s : wipe) test::writeImageSector(m_image, s, test::SectorBytes{});
    m_original = test::imageBytes(m_image);
    test::attachImages({m_image});
    m_rec = PartitionRecovery{};
    m_rec.Refresh();
    ASSERT_TRUE(m_rec.SelectDisk(0));
  }
  int candidateAt(uint64_t start, std::string_view fs) const {
    const auto& list = m_rec.Candidates();
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].startSector == start && list[i].fsNameText() == fs) return int(i);
    return -1;
  }
  RewriteOptions options() const { return RewriteOptions{m_dir.path() / "undo"}; }
  bool unchanged() const { return test::imageBytes(m_image) == m_original; }

  // The logical partitions the catalogue lists now, as {start, sectors, EBR}.
  std::vector<std::array<uint64_t, 3>> catalogueLogicals() const {
    std::vector<std::array<uint64_t, 3>> out;
    for (const auto& r : m_rec.catalog().partitions())
      if (r.kind == kKindLogical && r.fsNameText() != "Deleted") out.push_back({r.startSector, r.length / 512, r.tableSector});
    return out;
  }

  test::TempDir m_dir;
  std::filesystem::path m_image;
  std::vector<uint8_t> m_original;
  PartitionRecovery m_rec;
};

// The logical partitions of mbr_seven_parts (its layout: start, sectors, EBR).
const std::vector<std::array<uint64_t, 3>> kSevenLogicals = {
    {167936, 32768, 165888}, {202752, 40960, 200704}, {245760, 32768, 243712}};

TEST_F(TableRestoreTest, LostGptPartitionGoesIntoBothArraysAndUndoes) {
  attachFixture("gpt_lost_partition");
  ASSERT_TRUE(m_rec.DeepScan());
  const int ntfs = candidateAt(83968, "NTFS");
  ASSERT_GE(ntfs, 0);
  RewriteResult r = m_rec.Rewrite(ntfs, options());
  ASSERT_EQ(r.code, RewriteCode::Rewritten) << r.detail;

  const auto primary = checkedGptArray(m_image, 1);
  EXPECT_EQ(primary, checkedGptArray(m_image, kGptFixtureLast));
  ASSERT_GE(primary.size(), 3u * 128);
  const uint8_t* e = primary.data() + 128;  // entry 2, the one that was cleared
  EXPECT_TRUE(std::equal(kBasicData.begin(), kBasicData.end(), e));
  EXPECT_EQ(le64(e + 32), 83968u);
  EXPECT_EQ(le64(e + 40), 83968u + 40960 - 1);
  const std::vector<uint8_t> unique(e + 16, e + 32);
  EXPECT_NE(unique, std::vector<uint8_t>(16, 0));
  EXPECT_NE(unique, std::vector<uint8_t>(e - 128 + 16, e - 128 + 32));
  const PartitionRecord* now = test::findRecord(m_rec.catalog(), 83968, "NTFS");
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->length, 40960u * 512);

  auto undo = loadUndoFile(r.undoFile);
  ASSERT_TRUE(undo);
  UndoRecord otherDisk = *undo;
  otherDisk.diskBytes += 512;
  EXPECT_EQ(applyUndo(otherDisk, 0, true).status, UndoStatus::OtherDisk);
  EXPECT_EQ(applyUndo(*undo, 0, false).status, UndoStatus::Restored);
  EXPECT_TRUE(unchanged());
}

TEST_F(TableRestoreTest, DamagedPrimaryGptIsRebuiltFromTheBackup) {
  attachFixture("gpt_damaged_primary");
  ASSERT_FALSE(m_rec.Notes().empty());
  EXPECT_EQ(m_rec.Notes()[0].sector, 1u);
  RewriteResult r = m_rec.RestoreGpt(options());
  ASSERT_EQ(r.code, RewriteCode::Rewritten) << r.detail;
  EXPECT_EQ(checkedGptArray(m_image, 1), checkedGptArray(m_image, kGptFixtureLast));
  const auto header = readImageSector(m_image, 1);
  EXPECT_EQ(le64(&header[32]), kGptFixtureLast);
  EXPECT_EQ(le64(&header[72]), 2u);
  EXPECT_TRUE(m_rec.Notes().empty());
  RewriteResult again = m_rec.RestoreGpt(options());
  EXPECT_EQ(again.code, RewriteCode::Rewritten);
  EXPECT_EQ(again.sectorsWritten, 0u);
}

// Wiped sectors of mbr_seven_parts: the MBR alone (the EBRs survive and are followed), or
// the EBRs too (a new extended partition is proposed for what the MBR cannot hold).
class WipedSevenParts : public TableRestoreTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WipedSevenParts, ExtendedCandidateRestoresItsLogicals) {
  const bool ebrsToo = GetParam();
  if (ebrsToo)
    attachFixture("mbr_seven_parts", {0, 165888, 200704, 243712});
  else
    attachFixture("mbr_seven_parts", {0});
  ASSERT_TRUE(m_rec.DeepScan());
  int x = -1;
  for (size_t i = 0; i < m_rec.Candidates().size(); ++i)
    if (m_rec.Candidates()[i].fsNameText() == "Extended") x = int(i);
  ASSERT_GE(x, 0);
  EXPECT_EQ(m_rec.Candidates()[size_t(x)].startSector, 165888u);
  std::vector<std::array<uint64_t, 3>> offered;
  for (const auto& l : m_rec.LogicalsOf(x)) offered.push_back({l.startSector, l.length / 512, l.tableSector});
  EXPECT_EQ(offered, kSevenLogicals);
  // The primaries stay candidates of their own.
  EXPECT_GE(candidateAt(2048, "FAT32"), 0);
  EXPECT_GE(candidateAt(133120, "EXT2"), 0);

  RewriteResult r = m_rec.Rewrite(x, options());
  ASSERT_EQ(r.code, RewriteCode::Rewritten) << r.detail;
  // Surviving EBRs are left as they are: only the master boot record is written.
  EXPECT_EQ(r.sectorsWritten, ebrsToo ? 4u : 1u);
  EXPECT_EQ(catalogueLogicals(), kSevenLogicals);
}

INSTANTIATE_TEST_SUITE_P(Fixture, WipedSevenParts, ::testing::Bool());

TEST_F(TableRestoreTest, UnreadableEbrIsReportedNotDropped) {
  attachFixture("mbr_seven_parts");
  DeviceNamespace::instance().reset();
  test::FaultPlan plan;
  plan.failReadsFrom = 200704u * 512;
  plan.failReadsTo = plan.failReadsFrom + 512;
  test::attachFaulty(m_image, plan);
  DeviceNamespace::instance().assignLetters();
  DriveCatalog catalog;
  catalog.Refresh();
  const auto notes = catalog.notesOf(0);
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes[0].sector, 200704u);
  EXPECT_NE(notes[0].text.find("200704"), std::string::npos);
  EXPECT_NE(test::findRecord(catalog, 167936), nullptr);
}

TEST_F(TableRestoreTest, DeepScanSizesSmallFat32FromTheSixteenBitTotal) {
  attachFixture("mbr_fat32_small", {0});
  ASSERT_TRUE(m_rec.DeepScan());
  const int fat = candidateAt(2048, "FAT32");
  ASSERT_GE(fat, 0);
  EXPECT_EQ(m_rec.Candidates()[size_t(fat)].length, 60000u * 512);
}

// A backup file whose primary candidate, put into the extended partition, would have its
// EBR inside the logical partition before it.
TEST_F(TableRestoreTest, CraftedBackupCannotWriteATableInsideAVolume) {
  test::SyntheticDisk d(16384);
  d.entry(0, 0, 0x07, 2048, 2048);
  d.ntfsBoot(2048, 2048);
  d.entry(0, 1, 0x0F, 4096, 8192);
  d.entry(4096, 0, 0x0C, 63, 2000);  // the logical partition 4159–6158
  d.fat32Boot(4159, 2000);
  m_image = test::saveAndAttach(d, m_dir.path());
  m_original = test::imageBytes(m_image);
  m_rec.Refresh();
  ASSERT_TRUE(m_rec.SelectDisk(0));
  // The gap after it: table sector 6159, first sector 63 further on.
  const PartitionRecord* gap = test::findRecord(m_rec.catalog(), 6159 + 63, "Deleted");
  ASSERT_NE(gap, nullptr);

  PartitionRecord w = *gap;
  test::SyntheticDisk boot(1);
  boot.ntfsBoot(0, 1000);
  std::copy_n(boot.sector(0), 512, w.firstSector.begin());
  w.kind = kKindPrimary;
  w.setFsName("NTFS");
  w.type = 0x07;
  w.startSector = gap->tableSector + 10;
  w.tableSector = gap->tableSector + 63;
  w.length = 1000u * 512;
  const auto pbf = m_dir.path() / "crafted.pbf";
  ASSERT_TRUE(writeBackupFile(pbf, *m_rec.SelectedDisk(), {w}));
  ASSERT_TRUE(m_rec.LoadBackup(pbf));
  RewriteResult r = m_rec.Rewrite(0, options());
  EXPECT_EQ(int(r.code), 5);
  EXPECT_NE(r.detail.find("inside"), std::string::npos) << r.detail;
  EXPECT_EQ(r.sectorsWritten, 0u);
  EXPECT_TRUE(unchanged());
}

TEST_F(TableRestoreTest, DamagedOrOldUndoFilesAreRefused) {
  UndoRecord undo;
  undo.diskBytes = 1 << 20;
  undo.sectors.push_back({0, {}, {}});
  undo.sectors[0].after[0x1FE] = 0x55;
  const auto good = encodeUndo(undo);
  ASSERT_TRUE(decodeUndo(good));
  struct Case {
    size_t at;
    uint8_t value;
    ErrorKind kind;
  } cases[] = {{8, 3, ErrorKind::Unsupported},              // version 2 made 1: no checksum
               {good.size() / 2, 0xFF, ErrorKind::Corrupt},  // a changed byte
               {good.size() - 1, 0x01, ErrorKind::Corrupt}};  // the checksum itself
  for (const auto& c : cases) {
    auto bytes = good;
    bytes[c.at] ^= c.value;
    auto decoded = decodeUndo(bytes);
    ASSERT_FALSE(decoded) << c.at;
    EXPECT_TRUE(decoded.error().is(c.kind)) << c.at;
  }
  EXPECT_FALSE(decodeUndo(ByteSpan(good).first(good.size() - 40)));
}

// A 4 TiB sparse disk: GPT entries before and past sector 2^32, and the gaps between.
TEST_F(TableRestoreTest, SparseMultiTebibyteGptKeepsSixtyFourBitSectors) {
  constexpr uint64_t kSectors = uint64_t(1) << 33, kLast = kSectors - 1, kLen = uint64_t(1) << 21;
  constexpr uint64_t kHigh = (uint64_t(1) << 32) + 2048;
  m_image = m_dir.path() / "huge.img";
  std::ofstream(m_image).close();
  std::filesystem::resize_file(m_image, kSectors * 512);

  test::SectorBytes mbr{};
  mbr[0x1BE + 4] = 0xEE;
  putLe32(&mbr[0x1BE + 8], 1);
  putLe32(&mbr[0x1BE + 12], 0xFFFFFFFF);
  mbr[0x1FE] = 0x55;
  mbr[0x1FF] = 0xAA;
  test::writeImageSector(m_image, 0, mbr);
  std::vector<uint8_t> array(128 * 128);
  const uint64_t parts[2][2] = {{2048, 2048 + kLen - 1}, {kHigh, kHigh + kLen - 1}};
  for (size_t i = 0; i < 2; ++i) {
    uint8_t* e = array.data() + i * 128;
    std::copy(kBasicData.begin(), kBasicData.end(), e);
    e[16] = uint8_t(i + 1);  // unique GUIDs
    putLe64(e + 32, parts[i][0]);
    putLe64(e + 40, parts[i][1]);
  }
  auto header = [&](uint64_t my, uint64_t alternate, uint64_t entries) {
    test::SectorBytes h{};
    std::copy_n("EFI PART", 8, h.begin());
    putLe32(&h[8], 0x10000);
    putLe32(&h[12], 92);
    putLe64(&h[24], my);
    putLe64(&h[32], alternate);
    putLe64(&h[40], 34);
    putLe64(&h[48], kLast - 33);
    h[56] = 0x42;
    putLe64(&h[72], entries);
    putLe32(&h[80], 128);
    putLe32(&h[84], 128);
    putLe32(&h[88], crc32(array));
    putLe32(&h[16], crc32({h.data(), 92}));
    test::writeImageSector(m_image, my, h);
    test::writeImageBytes(m_image, entries * 512, array.data(), array.size());
  };
  header(1, kLast, 2);
  header(kLast, 1, kLast - 32);

  test::attachImages({m_image});
  DriveCatalog catalog;
  catalog.Refresh();
  const PartitionRecord* high = test::findRecord(catalog, kHigh);
  ASSERT_NE(high, nullptr);
  EXPECT_EQ(high->length, kLen * 512);
  const PartitionRecord* between = test::findRecord(catalog, 2048 + kLen, "Deleted");
  ASSERT_NE(between, nullptr);
  EXPECT_EQ(between->endSector(), kHigh);
  const PartitionRecord* after = test::findRecord(catalog, kHigh + kLen, "Deleted");
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after->endSector(), kLast - 33 + 1);

  // A backup of this disk keeps the sectors past 2^32.
  const auto pbf = m_dir.path() / "huge.pbf";
  ASSERT_TRUE(writeBackupFile(pbf, catalog.disks()[0], catalog.partitions()));
  auto loaded = loadBackupFile(pbf, catalog.disks()[0]);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(*loaded, catalog.partitions());
}

}  // namespace
}  // namespace velk
