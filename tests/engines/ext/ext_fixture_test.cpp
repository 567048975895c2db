// EXT engines end to end over images made by mke2fs, debugfs and a kernel ext3 mount:
// open through the drive catalogue, scan, compare the listing with the fixture manifest,
// extract every listed file and compare its sha256.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>

#include "disk/device.h"
#include "disk/drive_catalog.h"
#include "engines/engine_registry.h"
#include "engines/ext/ext_volume.h"
#include "faulty_device.h"
#include "test_support.h"
#include "workspace/extraction_plan.h"
#include "workspace/recovery_job.h"
#include "workspace/result_tree.h"

namespace velk::test {
namespace {

constexpr int64_t kFixtureClock = 1767323045;  // 2026-01-02 03:04:05 UTC, when the images were made
// Files larger than this are hashed as they stream and never written out (ext4_deleted holds
// a sparse 5 GiB file).
constexpr uint64_t kLargeFile = 64u << 20;

// Hashes what is written as it comes (openssl is the faster, sha256sum the one always
// there): a multi-GiB file is never held.
class Sha256SumSink final : public ByteSink {
 public:
  static std::string command(const std::filesystem::path& result) {
    return "{ command -v openssl >/dev/null && exec openssl dgst -sha256 -r || exec sha256sum; } > '" +
           result.string() + "'";
  }
  explicit Sha256SumSink(const std::filesystem::path& result)
      : m_result(result), m_pipe(popen(command(result).c_str(), "w")) {}
  ~Sha256SumSink() override {
    if (m_pipe) pclose(m_pipe);
  }
  bool write(const uint8_t* data, size_t n) override {
    m_written += n;
    return m_pipe && std::fwrite(data, 1, n, m_pipe) == n;
  }
  std::string hex() {
    if (m_pipe) pclose(m_pipe);
    m_pipe = nullptr;
    std::string digest;
    std::ifstream(m_result) >> digest;
    return digest;
  }

 private:
  std::filesystem::path m_result;
  FILE* m_pipe;
};

// Reads that fail on an unpartitioned volume: its primary superblock, or the first 8 KiB of
// group 0's inode table (which holds the journal inode).
enum class Fault { None, PrimarySuperblock, InodeTable };

struct ExtFixture {
  const char* image;  // fixture name without extension
  int part;           // manifest part (0: the image is the volume)
  const char* fs;     // "EXT2", "EXT3" or "EXT4"
  Fault fault = Fault::None;
};

std::ostream& operator<<(std::ostream& os, const ExtFixture& f) { return os << f.image << "#" << f.part; }

std::string testName(const ::testing::TestParamInfo<ExtFixture>& info) {
  static const char* const kSuffix[] = {"", "_bad_superblock", "_bad_inode_table"};
  return info.param.image + std::string(kSuffix[int(info.param.fault)]);
}

// The failing byte range, from the superblock and first group descriptor of the image.
FaultPlan faultPlanOf(const ExtFixture& f) {
  FaultPlan plan;
  if (f.fault == Fault::PrimarySuperblock) {
    plan.failReadsFrom = 1024;
    plan.failReadsTo = 2048;
  } else if (f.fault == Fault::InodeTable) {
    const std::vector<uint8_t> image = readFile(fixturePath(std::string(f.image) + ".img"));
    auto le32 = [&](size_t at) { return uint32_t(image.at(at)) | uint32_t(image.at(at + 1)) << 8 |
                                        uint32_t(image.at(at + 2)) << 16 | uint32_t(image.at(at + 3)) << 24; };
    const uint64_t blockSize = 1024u << le32(1024 + 24);
    const uint64_t descriptors = (le32(1024 + 20) + 1) * blockSize;
    plan.failReadsFrom = le32(descriptors + 8) * blockSize;
    plan.failReadsTo = plan.failReadsFrom + 8192;
  }
  return plan;
}

// A number from the manifest notes ("inode=12", "journal-inode=12").
std::optional<uint32_t> noteNumber(const std::string& notes, const std::string& key) {
  std::smatch m;
  const std::regex re("(^| )" + key + "=([0-9]+)");
  if (!std::regex_search(notes, m, re)) return std::nullopt;
  return uint32_t(std::stoul(m[2].str()));
}

bool hasNote(const std::string& notes, const std::string& word) { return notes.find(word) != std::string::npos; }

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Expected {
  std::string name;
  ManifestEntry row;
};

// What the manifest says the scan must list, by inode number.
std::map<uint32_t, Expected> expectedListing(const ExtFixture& f) {
  std::map<uint32_t, Expected> out;
  for (const ManifestEntry& row : loadManifest(f.image)) {
    if (row.part != f.part) continue;
    if (row.state == "live") {
      // A live file whose inode cannot be read is told from a deleted one by nothing: its
      // journal copy is listed, under the name the journal holds (ext3_1k: 256-byte inodes,
      // so 8 KiB of table hold inodes 1 to 32).
      auto inode = noteNumber(row.notes, "inode");
      if (f.fault == Fault::InodeTable && inode && *inode <= 32) out[*inode] = {baseName(row.path), row};
      continue;
    }
    if (row.state.rfind("deleted", 0) != 0) continue;
    if (std::string(f.fs) == "EXT2") {
      // Freed inodes keep size and pointers; empty files and deletions older than five
      // years are not listed.
      auto inode = noteNumber(row.notes, "inode");
      if (!inode || row.size == 0 || hasNote(row.notes, "over-five-years")) continue;
      char name[32];
      std::snprintf(name, sizeof name, "inode_%08X.tmp", *inode);
      out[*inode] = {name, row};
    } else {
      // A file that grew is named by its newest copy.
      auto inode = noteNumber(row.notes, "journal-inode");
      if (!inode) inode = noteNumber(row.notes, "newest-journal-inode");
      if (!inode) continue;
      out[*inode] = {hasNote(row.notes, "journal-name") ? baseName(row.path) : "", row};
    }
  }
  return out;
}

class ExtFixtureTest : public ::testing::TestWithParam<ExtFixture> {
 protected:
  void SetUp() override {
    const ExtFixture& f = GetParam();
    if (!fixtureExists(std::string(f.image) + ".img")) GTEST_FAIL() << "fixture " << f.image << " missing";
    std::vector<PartitionRecord> records;
    if (f.fault == Fault::None) {
      records = catalogOf(fixturePath(std::string(f.image) + ".img"));
    } else {
      auto& ns = DeviceNamespace::instance();
      ns.reset();
      attachFaulty(fixturePath(std::string(f.image) + ".img"), faultPlanOf(f));
      ns.assignLetters();
      DriveCatalog catalog;
      catalog.Refresh();
      records = catalog.partitions();
    }
    for (const auto& r : records)
      if (r.fsNameText() == f.fs) {
        m_record = r;
        m_found = true;
        break;
      }
    if (!m_found && f.part == 0) {
      // An unpartitioned volume is not listed by the catalogue: address the whole drive.
      m_record.diskNumber = 0;
      m_record.startSector = 0;
      m_record.setFsName(f.fs);
      m_found = true;
    }
    ASSERT_TRUE(m_found) << "no " << f.fs << " partition in " << f.image;
    auto opened = openEngine(m_record, Task::Deleted);
    ASSERT_TRUE(opened) << describe(opened.error());
    m_engine = std::move(*opened);
    auto* volume = dynamic_cast<ExtVolume*>(m_engine.get());
    ASSERT_NE(volume, nullptr);
    volume->setClock([] { return kFixtureClock; });
    ScanOptions options;
    options.task = Task::Deleted;
    Progress progress;
    m_engine->scanFlag().set();
    ASSERT_TRUE(m_engine->scan(m_tree, options, progress));
    m_status = progress.status();
  }
  void TearDown() override { DeviceNamespace::instance().reset(); }

  std::map<uint32_t, ExtFileRecord*> listed() const {
    std::map<uint32_t, ExtFileRecord*> out;
    for (FolderItem* folder : m_tree.foldersBreadthFirst())
      for (FileRecord* file : folder->files) {
        auto* r = dynamic_cast<ExtFileRecord*>(file);
        if (r) out[r->inodeNumber] = r;
      }
    return out;
  }

  PartitionRecord m_record;
  bool m_found = false;
  std::unique_ptr<RecoveryEngine> m_engine;
  ResultTree m_tree{Variant::Ext};
  std::string m_status;
};

TEST_P(ExtFixtureTest, TreeHasTheVolumeItemAndLostFiles) {
  ASSERT_EQ(m_tree.roots().size(), 1u);
  FolderItem* root = m_tree.root();
  const std::string prefix = std::string(GetParam().fs) + "( ";
  EXPECT_EQ(root->text, prefix + m_record.labelText() + " )");
  EXPECT_EQ(root->number, std::string(GetParam().fs) == "EXT2" ? 4u : 5u);
  ASSERT_EQ(root->children.size(), 1u);
  EXPECT_EQ(root->children[0]->text, "Lost files");
  EXPECT_TRUE(root->files.empty());
}

TEST_P(ExtFixtureTest, ListsEveryDeletedFileOfTheManifestAndNothingElse) {
  const auto expected = expectedListing(GetParam());
  ASSERT_FALSE(expected.empty());
  const auto found = listed();
  for (const auto& [inode, e] : expected) {
    auto it = found.find(inode);
    if (it == found.end()) {
      ADD_FAILURE() << e.row.path << " (inode " << inode << ") not listed";
      continue;
    }
    const ExtFileRecord& r = *it->second;
    EXPECT_EQ(r.size, e.row.size) << e.row.path;
    EXPECT_EQ(r.contentSize(), e.row.size) << e.row.path;
    if (!e.name.empty()) {
      EXPECT_EQ(r.name, e.name) << e.row.path;
    } else {
      char generated[32];
      std::snprintf(generated, sizeof generated, "inode_%08X.tmp", inode);
      EXPECT_EQ(r.name, generated) << e.row.path;
      EXPECT_EQ(r.extension, "");
    }
  }
  for (const auto& [inode, r] : found)
    EXPECT_TRUE(expected.count(inode)) << "unexpected " << r->name << " (inode " << inode << ")";
  EXPECT_EQ(m_status, "Found Deleted Files : " + std::to_string(found.size()));
}

// Byte-exact, and no file whose bytes are wrong goes without a Damaged verdict. The file's
// plan (what a saved scan keeps) writes the same bytes without the engine.
TEST_P(ExtFixtureTest, RecoversEveryListedFileByteExact) {
  const auto expected = expectedListing(GetParam());
  TempDir work;
  SectorReader partition;
  ASSERT_TRUE(partition.OpenPartition(m_record));
  size_t exact = 0;
  for (const auto& [inode, r] : listed()) {
    auto e = expected.find(inode);
    if (e == expected.end()) continue;
    Sha256SumSink sink(work.path() / "digest");
    ASSERT_TRUE(m_engine->extract(*r, sink)) << e->second.row.path;
    EXPECT_EQ(sink.written(), e->second.row.size) << e->second.row.path;
    auto plan = m_engine->extractionPlan(*r);
    ASSERT_TRUE(plan) << e->second.row.path;
    EXPECT_EQ(plan->size(), e->second.row.size) << e->second.row.path;
    if (r->size <= kLargeFile) {  // a second pass over 5 GiB adds nothing but time
      Sha256SumSink planSink(work.path() / "plan digest");
      ASSERT_TRUE(writePlan(partition, *plan, planSink)) << e->second.row.path;
      EXPECT_EQ(planSink.hex(), e->second.row.sha256) << e->second.row.path;
    }
    const bool same = sink.hex() == e->second.row.sha256;
    EXPECT_TRUE(same) << e->second.row.path;
    // Blocks a live file holds now are never vouched for, even when they are that file's.
    const bool live = e->second.row.state == "live";
    EXPECT_EQ(r->verdict, same && !live ? Verdict::Unverified : Verdict::Damaged) << e->second.row.path;
    exact += same;
  }
  EXPECT_EQ(exact, expected.size());
}

TEST_P(ExtFixtureTest, RecoveryJobWritesTheCheckedFilesFlatIntoTheFolder) {
  TempDir out;
  for (FolderItem* folder : m_tree.foldersBreadthFirst())
    for (FileRecord* file : folder->files) m_tree.setFileChecked(folder, file, file->size <= kLargeFile);
  RecoveryRequest request;
  request.outputFolder = out.path();
  JobFlag job;
  Progress progress;
  RecoveryReport report = runRecovery(m_tree, *m_engine, request, job, progress);
  EXPECT_EQ(report.failed, 0u) << report.errorText;
  const auto expected = expectedListing(GetParam());
  for (const auto& [inode, r] : listed()) {
    auto e = expected.find(inode);
    if (e == expected.end() || r->size > kLargeFile) continue;
    EXPECT_EQ(sha256File(out.path() / r->name), e->second.row.sha256) << r->name;
  }
}

// Damage is logged where it lies, and the copies the volume keeps stand in for what is lost.
TEST_P(ExtFixtureTest, DamageIsLoggedWhereTheFaultLies) {
  const FaultPlan plan = faultPlanOf(GetParam());
  const DamageLog& damage = m_engine->damage();
  EXPECT_EQ(damage.empty(), GetParam().fault == Fault::None);
  for (const SectorRange& r : damage.unreadableRanges()) {
    EXPECT_GE(r.first * 512, plan.failReadsFrom);
    EXPECT_LE((r.first + r.count) * 512, plan.failReadsTo);
  }
  if (GetParam().fault == Fault::PrimarySuperblock) {
    EXPECT_EQ(damage.damagedCounts().count("EXT superblocks replaced by the backup in group 1"), 1u);
  } else if (GetParam().fault == Fault::InodeTable) {
    EXPECT_FALSE(damage.unreadableRanges().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Images, ExtFixtureTest,
                         ::testing::Values(ExtFixture{"ext2_deleted", 0, "EXT2"},
                                           ExtFixture{"ext2_deleted_i256", 0, "EXT2"},
                                           ExtFixture{"ext3_1k", 0, "EXT3"},
                                           ExtFixture{"ext3_1k_i128", 0, "EXT3"},
                                           ExtFixture{"ext3_4k", 0, "EXT3"},
                                           ExtFixture{"mbr_mixed", 6, "EXT2"},
                                           ExtFixture{"demo_disk", 3, "EXT3"},
                                           ExtFixture{"ext3_growing", 0, "EXT3"},
                                           ExtFixture{"ext4_deleted", 0, "EXT4"},
                                           ExtFixture{"ext3_1k", 0, "EXT3", Fault::PrimarySuperblock},
                                           ExtFixture{"ext3_1k", 0, "EXT3", Fault::InodeTable}),
                         testName);

}  // namespace
}  // namespace velk::test
