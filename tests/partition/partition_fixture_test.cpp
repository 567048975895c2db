// Lost-partition recovery on temporary copies of the disk fixtures built with real tools:
// a table entry or an EBR link is removed, the scan finds the volume and the rewrite brings
// its entry back. Expected sectors come from the fixtures' layout files.

#include <gtest/gtest.h>

#include <functional>

#include "disk/device.h"
#include "partition/backup_file.h"
#include "partition/partition_recovery.h"
#include "partition_test_support.h"

namespace velk {
namespace {

using test::readImageSector;

class FixtureRewrite : public ::testing::Test {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }

  // A temporary copy of `fixture`, damaged by `damage`, attached and catalogued.
  bool prepare(const std::string& fixture, const std::function<void(const std::filesystem::path&)>& damage) {
    if (!test::fixtureExists(fixture)) return false;
    m_fixture = test::fixturePath(fixture);
    m_image = test::copyFixture(fixture, m_dir.path());
    damage(m_image);
    test::attachImages({m_image});
    m_rec.Refresh();
    EXPECT_TRUE(m_rec.SelectDiskNumber(0));
    return true;
  }
  int candidateAt(uint32_t start, std::string_view fs) const {
    const auto& list = m_rec.Candidates();
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].startSector == start && list[i].fsNameText() == fs) return int(i);
    return -1;
  }
  RewriteResult rewrite(int index) { return m_rec.Rewrite(index, RewriteOptions{m_dir.path() / "undo"}); }

  // The record is back in a fresh catalogue and its first sector equals the fixture's.
  void expectListed(uint32_t start, uint64_t sectors, std::string_view fs) {
    auto records = test::catalogOf(m_image);
    const PartitionRecord* found = nullptr;
    for (const auto& r : records)
      if (r.startSector == start && r.fsNameText() != "Deleted") found = &r;
    ASSERT_NE(found, nullptr) << "no record at " << start;
    EXPECT_EQ(found->fsNameText(), fs);
    EXPECT_EQ(found->length, sectors * 512);
    EXPECT_EQ(readImageSector(m_image, start), readImageSector(m_fixture, start));
  }

  test::TempDir m_dir;
  std::filesystem::path m_fixture, m_image;
  PartitionRecovery m_rec;
};

// demo_disk: FAT32 2048+81920, NTFS 83968+81920, EXT3 165888+81920 (primary entries 1–3).
TEST_F(FixtureRewrite, NtfsEntryZeroedIsFoundByTheAutomaticScan) {
  if (!prepare("demo_disk.img", [](const auto& image) { test::zeroTableEntry(image, 0, 1); }))
    GTEST_FAIL() << "demo_disk fixture missing";
  ASSERT_TRUE(m_rec.AutoScan());
  const int c = candidateAt(83968, "NTFS");
  ASSERT_GE(c, 0);
  EXPECT_EQ(m_rec.Candidates()[size_t(c)].type, 0x07);
  EXPECT_EQ(m_rec.Candidates()[size_t(c)].length, 81920u * 512);
  RewriteResult r = rewrite(c);
  ASSERT_EQ(r.code, RewriteCode::Rewritten) << r.detail;
  auto e = test::imageEntries(m_image, 0);
  EXPECT_EQ(e[1].type, 0x07);
  EXPECT_EQ(e[1].start, 83968u);
  EXPECT_EQ(e[1].count, 81920u);
  expectListed(83968, 81920, "NTFS");
}

// mbr_mixed: FAT32 2048+81920, NTFS 92160+98304, extended 198656+94208 with FAT16 200704
// (EBR 198656) and EXT2 241664 (EBR 239616), each 32768 sectors.
TEST_F(FixtureRewrite, Fat32EntryZeroedIsFoundByTheDeepScan) {
  if (!prepare("mbr_mixed.img", [](const auto& image) { test::zeroTableEntry(image, 0, 0); }))
    GTEST_FAIL() << "mbr_mixed fixture missing";
  // The leading gap opens at 63: the automatic scan probes only that sector.
  ASSERT_TRUE(m_rec.AutoScan());
  EXPECT_EQ(candidateAt(2048, "FAT32"), -1);
  ASSERT_TRUE(m_rec.DeepScan());
  const int c = candidateAt(2048, "FAT32");
  ASSERT_GE(c, 0);
  const auto& w = m_rec.Candidates()[size_t(c)];
  EXPECT_EQ(w.length, 81920u * 512);
  EXPECT_EQ(w.type, 0x0C);
  EXPECT_EQ(w.tableSector, 2048u);
  // Nothing else lies in that gap (63–92159).
  for (const auto& other : m_rec.Candidates())
    if (other.startSector < 92160) {
      EXPECT_EQ(other.startSector, 2048u);
    }
  RewriteResult r = rewrite(c);
  ASSERT_EQ(r.code, RewriteCode::Rewritten) << r.detail;
  auto e = test::imageEntries(m_image, 0);
  EXPECT_EQ(e[0].type, 0x0C);
  EXPECT_EQ(e[0].start, 2048u);
  EXPECT_EQ(e[0].count, 81920u);
  expectListed(2048, 81920, "FAT32");
}

TEST_F(FixtureRewrite, NtfsEntryZeroedIsFoundByTheDeepScan) {
  if (!prepare("mbr_mixed.img", [](const auto& image) { test::zeroTableEntry(image, 0, 1); }))
    GTEST_FAIL() << "mbr_mixed fixture missing";
  ASSERT_TRUE(m_rec.DeepScan());
  const int c = candidateAt(92160, "NTFS");
  ASSERT_GE(c, 0);
  EXPECT_EQ(m_rec.Candidates()[size_t(c)].length, 98304u * 512);
  ASSERT_EQ(rewrite(c).code, RewriteCode::Rewritten);
  auto e = test::imageEntries(m_image, 0);
  EXPECT_EQ(e[1].type, 0x07);
  EXPECT_EQ(e[1].start, 92160u);
  EXPECT_EQ(e[1].count, 98304u);
  expectListed(92160, 98304, "NTFS");
}

TEST_F(FixtureRewrite, CutLinkIsReplacedByANewRecordThatReachesTheSameVolume) {
  if (!prepare("mbr_mixed.img", [](const auto& image) { test::zeroTableEntry(image, 198656, 1); }))
    GTEST_FAIL() << "mbr_mixed fixture missing";
  EXPECT_EQ(test::findRecord(m_rec.catalog(), 241664), nullptr);
  ASSERT_TRUE(m_rec.DeepScan());
  const int c = candidateAt(241664, "EXT2");
  ASSERT_GE(c, 0);
  const auto& w = m_rec.Candidates()[size_t(c)];
  EXPECT_EQ(w.type, 0x83);
  EXPECT_EQ(w.kind, kKindLogical);
  EXPECT_EQ(w.extendedBase, 198656u);
  EXPECT_EQ(w.tableSector, 233472u);  // the gap opens where the FAT16 logical ends
  EXPECT_EQ(w.length, 32768u * 512);
  EXPECT_EQ(w.labelText(), "mixext2");
  ASSERT_EQ(rewrite(c).code, RewriteCode::Rewritten);
  // New EBR at 233472 holding the volume 8192 sectors on; the first EBR links to it with
  // a count reaching the volume's end.
  auto ebr = test::imageEntries(m_image, 233472);
  EXPECT_EQ(ebr[0].type, 0x83);
  EXPECT_EQ(ebr[0].start, 241664u - 233472);
  EXPECT_EQ(ebr[0].count, 32768u);
  auto first = test::imageEntries(m_image, 198656);
  EXPECT_EQ(first[1].type, 0x05);
  EXPECT_EQ(first[1].start, 233472u - 198656);
  EXPECT_EQ(first[1].count, (241664u - 233472) + 32768);
  // The chain walks to the same volume start and count as before the cut.
  auto records = test::catalogOf(m_image);
  const PartitionRecord* ext = nullptr;
  for (const auto& r : records)
    if (r.startSector == 241664 && r.fsNameText() == "EXT2") ext = &r;
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->length, 32768u * 512);
  EXPECT_EQ(ext->kind, kKindLogical);
  EXPECT_EQ(ext->labelText(), "mixext2");
  EXPECT_EQ(readImageSector(m_image, 241664 + 2), readImageSector(m_fixture, 241664 + 2));
}

// The volume's own boot sector is wiped too: the deep scan finds it by its backup copy
// (FAT32: 6 sectors on; NTFS: the volume's last sector), which the rewrite writes back.
TEST_F(FixtureRewrite, WipedBootSectorsAreFoundByTheirBackups) {
  struct Case {
    int slot;
    uint32_t start, sectors, backup;
    const char* fs;
  };
  for (const Case& k : {Case{0, 2048, 81920, 2048 + 6, "FAT32"}, Case{1, 92160, 98304, 92160 + 98304 - 1, "NTFS"}}) {
    SCOPED_TRACE(k.fs);
    m_rec = PartitionRecovery{};
    if (!prepare("mbr_mixed.img", [&](const auto& image) {
          test::zeroTableEntry(image, 0, k.slot);
          test::writeImageSector(image, k.start, test::SectorBytes{});
        }))
      GTEST_FAIL() << "mbr_mixed fixture missing";
    ASSERT_TRUE(m_rec.DeepScan());
    const int c = candidateAt(k.start, k.fs);
    ASSERT_GE(c, 0);
    EXPECT_EQ(m_rec.Candidates()[size_t(c)].length, uint64_t(k.sectors) * 512);
    ASSERT_EQ(rewrite(c).code, RewriteCode::Rewritten);
    EXPECT_EQ(readImageSector(m_image, k.start), readImageSector(m_fixture, k.backup));
    EXPECT_NE(test::findRecord(m_rec.catalog(), k.start, k.fs), nullptr);
  }
}

// Unpartitioned volumes made by mkfs, placed at sector 63 of a disk whose table is empty:
// the whole rest of the disk is one gap, and the candidate keeps only the volume's size.
struct EmbeddedCase {
  const char* fixture;
  const char* fs;
  uint8_t type;
};
// Test names and failure messages show the case, not its bytes.
inline void PrintTo(const EmbeddedCase& c, std::ostream* os) { *os << c.fixture; }

class EmbeddedVolume : public ::testing::TestWithParam<EmbeddedCase> {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }
  test::TempDir m_dir;
};

TEST_P(EmbeddedVolume, AutomaticScanCapsTheGapAtTheVolumeAndRewriteRestoresIt) {
  const EmbeddedCase& p = GetParam();
  const std::string fixture = std::string(p.fixture) + ".img";
  if (!test::fixtureExists(fixture)) GTEST_FAIL() << fixture << " missing";
  auto volume = test::imageBytes(test::fixturePath(fixture));
  ASSERT_EQ(volume.size() % 512, 0u);
  const uint64_t volumeSectors = volume.size() / 512;
  const uint64_t tail = 4096;
  std::vector<uint8_t> disk((63 + volumeSectors + tail) * 512);
  disk[510] = 0x55;
  disk[511] = 0xAA;
  std::copy(volume.begin(), volume.end(), disk.begin() + 63 * 512);
  auto image = m_dir.path() / "embedded.img";
  std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(disk.data()), std::streamsize(disk.size()));
  volume.clear();
  disk.clear();

  test::attachImages({image});
  PartitionRecovery rec;
  rec.Refresh();
  ASSERT_TRUE(rec.SelectDiskNumber(0));
  ASSERT_TRUE(rec.AutoScan());
  int c = -1;
  for (size_t i = 0; i < rec.Candidates().size(); ++i)
    if (rec.Candidates()[i].startSector == 63) c = int(i);
  ASSERT_GE(c, 0);
  const auto& w = rec.Candidates()[size_t(c)];
  EXPECT_EQ(w.fsNameText(), p.fs);
  EXPECT_EQ(w.type, p.type);
  EXPECT_EQ(w.length, volumeSectors * 512);
  ASSERT_EQ(rec.Rewrite(c, RewriteOptions{m_dir.path() / "undo"}).code, RewriteCode::Rewritten);
  auto e = test::imageEntries(image, 0);
  EXPECT_EQ(e[0].type, p.type);
  EXPECT_EQ(e[0].start, 63u);
  EXPECT_EQ(e[0].count, volumeSectors);
  bool listed = false;
  for (const auto& r : test::catalogOf(image))
    listed |= r.startSector == 63 && r.length == volumeSectors * 512 && r.letter != '*';
  EXPECT_TRUE(listed) << "the volume got no letter after the rewrite";
}

INSTANTIATE_TEST_SUITE_P(Volumes, EmbeddedVolume,
                         ::testing::Values(EmbeddedCase{"fat32_deleted", "FAT32", 0x0C},
                                           EmbeddedCase{"ntfs_deleted", "NTFS", 0x07},
                                           EmbeddedCase{"fat16_8s", "FAT16", 0x06}),
                         [](const auto& param) { return std::string(param.param.fixture); });

// A backup written from a healthy disk loads back as the same records, byte for byte.
class FixtureBackup : public ::testing::Test {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }
  test::TempDir m_dir;
};

TEST_F(FixtureBackup, RoundTripAndOtherDisksRefused) {
  if (!test::fixtureExists("mbr_mixed.img")) GTEST_FAIL() << "mbr_mixed fixture missing";
  auto image = test::copyFixture("mbr_mixed.img", m_dir.path());
  test::attachImages({image});
  PartitionRecovery rec;
  rec.Refresh();
  ASSERT_TRUE(rec.SelectDiskNumber(0));
  const auto pbf = m_dir.path() / "mixed.pbf";
  ASSERT_TRUE(rec.WriteBackup(pbf));
  std::vector<PartitionRecord> onDisk;
  for (const auto& r : rec.catalog().partitions())
    if (r.diskNumber == 0) onDisk.push_back(r);
  ASSERT_FALSE(onDisk.empty());
  auto bytes = test::imageBytes(pbf);
  EXPECT_EQ(bytes.size(), 292 + 600 * onDisk.size());
  ASSERT_TRUE(rec.LoadBackup(pbf));
  ASSERT_EQ(rec.Candidates().size(), onDisk.size());
  for (size_t i = 0; i < onDisk.size(); ++i) EXPECT_EQ(rec.Candidates()[i].encode(), onDisk[i].encode()) << i;

  // The same bytes under another name, and the same name with another size.
  auto renamed = test::copyFixture("mbr_mixed.img", m_dir.path(), "other_name.img");
  std::filesystem::create_directory(m_dir.path() / "bigger");
  auto resized = test::copyFixture("mbr_mixed.img", m_dir.path() / "bigger", "mbr_mixed.img");
  std::filesystem::resize_file(resized, std::filesystem::file_size(resized) + 1024 * 1024);
  for (const auto& other : {renamed, resized}) {
    test::attachImages({other});
    PartitionRecovery o;
    o.Refresh();
    ASSERT_TRUE(o.SelectDiskNumber(0));
    ASSERT_TRUE(o.AutoScan());
    auto before = o.Candidates();
    EXPECT_FALSE(o.LoadBackup(pbf)) << other;
    EXPECT_EQ(o.Candidates(), before);
  }
}

TEST_F(FixtureBackup, DeletedPartitionComesBackFromTheBackup) {
  if (!test::fixtureExists("demo_disk.img")) GTEST_FAIL() << "demo_disk fixture missing";
  auto image = test::copyFixture("demo_disk.img", m_dir.path());
  auto fixture = test::fixturePath("demo_disk.img");
  test::attachImages({image});
  PartitionRecovery rec;
  rec.Refresh();
  ASSERT_TRUE(rec.SelectDiskNumber(0));
  const auto pbf = m_dir.path() / "demo.pbf";
  ASSERT_TRUE(rec.WriteBackup(pbf));
  // The FAT32 entry and its boot sector are wiped afterwards.
  test::zeroTableEntry(image, 0, 0);
  test::writeImageSector(image, 2048, test::SectorBytes{});
  test::attachImages({image});
  rec.Refresh();
  ASSERT_TRUE(rec.SelectDiskNumber(0));
  ASSERT_TRUE(rec.LoadBackup(pbf));
  int c = -1;
  for (size_t i = 0; i < rec.Candidates().size(); ++i)
    if (rec.Candidates()[i].startSector == 2048 && rec.Candidates()[i].fsNameText() == "FAT32") c = int(i);
  ASSERT_GE(c, 0);
  ASSERT_EQ(rec.Rewrite(c, RewriteOptions{m_dir.path() / "undo"}).code, RewriteCode::Rewritten);
  EXPECT_EQ(readImageSector(image, 2048), readImageSector(fixture, 2048));
  EXPECT_EQ(test::imageEntries(image, 0)[0].count, 81920u);
  EXPECT_NE(test::findRecord(rec.catalog(), 2048, "FAT32"), nullptr);
}

}  // namespace
}  // namespace velk
