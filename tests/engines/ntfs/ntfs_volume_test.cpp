// NtfsVolume over small volumes built byte by byte: the deleted-file scan with its folder
// chains, lost groups and filters; streams; attribute lists; damaged records; the
// formatted-volume scan with its sweep.

#include <gtest/gtest.h>

#include <map>

#include "codec/lznt1.h"
#include "disk/device.h"
#include "engines/engine_registry.h"
#include "engines/ntfs/ntfs_volume.h"
#include "drivers/ntfs_drivers.h"
#include "engines/ntfs/ntfs_image_builder.h"
#include "test_support.h"

namespace velk {
namespace {

using test::NonResident;
using test::openNtfsInMemory;
using test::RecordBuilder;

constexpr uint64_t kRoot = 5;
constexpr uint32_t kDirFlag = 0x10000000;

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

class NtfsVolumeTest : public ::testing::Test {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }

  // Attaches the bytes (after `lead` bytes of disk before the volume) and opens the volume.
  std::unique_ptr<NtfsVolume> open(const std::vector<uint8_t>& image) {
    auto volume = openNtfsInMemory(image);
    EXPECT_NE(volume, nullptr);
    return volume;
  }

  Status scan(NtfsVolume& volume, ScanOptions options = {}) {
    tree = std::make_unique<ResultTree>(Variant::Ntfs);
    Progress progress;
    Status rc = volume.scan(*tree, options, progress);
    listed.clear();
    for (FolderItem* folder : tree->foldersBreadthFirst()) {
      std::string prefix;
      for (const auto& part : folder->pathBelowRoot()) prefix += part + "/";
      for (FileRecord* f : folder->files) listed[prefix + f->name] = static_cast<NtfsFileRecord*>(f);
    }
    return rc;
  }

  // The content, and whether reading it failed with the kind expected (nullopt: it reads).
  std::vector<uint8_t> contentOf(NtfsVolume& volume, const std::string& path,
                                 std::optional<ErrorKind> expected = std::nullopt) {
    std::vector<uint8_t> out;
    auto it = listed.find(path);
    EXPECT_NE(it, listed.end()) << path;
    if (it == listed.end()) return out;
    EXPECT_EQ(failureKind(volume.readAll(*it->second, out)), expected) << path;
    return out;
  }

  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const auto& [p, r] : listed) out.push_back(p);
    return out;
  }

  void deletedFile(uint32_t number, uint64_t parent, const std::u16string& name, const std::vector<uint8_t>& data,
                   uint32_t attributes = 0x20) {
    v.setRecord(number, v.record(number).flags(0).standardInfo(attributes).fileName(parent, name).residentData(data).finish());
  }
  void folder(uint32_t number, uint64_t parent, const std::u16string& name, bool inUse) {
    v.setRecord(number,
                v.record(number).flags(inUse ? 3 : 2).standardInfo(0x10).fileName(parent, name, kDirFlag).finish());
  }

  test::VolumeBuilder v;
  std::unique_ptr<ResultTree> tree;
  std::map<std::string, NtfsFileRecord*> listed;
};

TEST_F(NtfsVolumeTest, ADeletedFileInTheRootIsListedThereAndALiveOneIsNot) {
  deletedFile(30, kRoot, u"a.txt", text("hello"));
  v.setRecord(31, v.record(31).flags(1).standardInfo(0x20).fileName(kRoot, u"live.txt").residentData(text("x")).finish());
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_EQ(paths(), std::vector<std::string>{"a.txt"});
  NtfsFileRecord* r = listed["a.txt"];
  EXPECT_TRUE(r->FolderNames.empty());
  EXPECT_TRUE(r->deleted);
  EXPECT_EQ(r->size, 5u);
  EXPECT_EQ(r->mftNumber, 30u);
  EXPECT_EQ(tree->root()->text, "NTFS - Logical Disk (C:)");
  EXPECT_EQ(contentOf(*volume, "a.txt"), text("hello"));
}

TEST_F(NtfsVolumeTest, RecordsBelowThirtyAreNeverExamined) {
  deletedFile(29, kRoot, u"early.txt", text("e"));
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_TRUE(listed.empty());
}

TEST_F(NtfsVolumeTest, AnMftOfThirtyRecordsYieldsNothing) {
  test::VolumeBuilder small(4096, 1024, 256, 4, 30);
  auto volume = open(small.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_TRUE(listed.empty());
}

TEST_F(NtfsVolumeTest, AFileInADeletedFolderCarriesBothFolderNamesInnermostFirst) {
  folder(40, kRoot, u"Docs", true);
  folder(41, 40, u"Old", false);
  deletedFile(42, 41, u"x.txt", text("data"));
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  ASSERT_EQ(paths(), std::vector<std::string>{"Docs/Old/x.txt"});
  NtfsFileRecord* r = listed["Docs/Old/x.txt"];
  EXPECT_EQ(r->FolderNames, (std::vector<std::string>{"Old", "Docs"}));
  EXPECT_EQ(r->FolderRecords, (std::vector<uint32_t>{41, 40}));
  EXPECT_EQ(r->recordFolders(), (std::vector<std::string>{"Docs", "Old"}));
}

TEST_F(NtfsVolumeTest, EachFileMissingItsParentGetsItsOwnDirGroup) {
  deletedFile(30, 500, u"one.txt", text("1"));
  deletedFile(31, 500, u"two.txt", text("2"));
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  ASSERT_EQ(paths(), (std::vector<std::string>{"Lost Files0/Dir0/one.txt", "Lost Files0/Dir1/two.txt"}));
  EXPECT_EQ(listed["Lost Files0/Dir0/one.txt"]->FolderRecords, (std::vector<uint32_t>{500, 1}));
}

TEST_F(NtfsVolumeTest, TwoFoldersNamingEachOtherAreABrokenChainNotALoop) {
  folder(50, 51, u"A", false);
  folder(51, 50, u"B", false);
  deletedFile(52, 50, u"c.txt", text("c"));
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  ASSERT_EQ(paths(), std::vector<std::string>{"Lost Files0/Dir0/B/A/c.txt"});
  EXPECT_EQ(listed["Lost Files0/Dir0/B/A/c.txt"]->FolderRecords, (std::vector<uint32_t>{50, 51, 50, 1}));
}

TEST_F(NtfsVolumeTest, AParentThatIsNoFolderBreaksTheChain) {
  deletedFile(45, kRoot, u"plain.txt", text("p"));
  deletedFile(46, 45, u"child.txt", text("c"));
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_EQ(listed.count("Lost Files0/Dir0/child.txt"), 1u);
}

// The deleted scan holds only the records it can use; what it leaves out must place files
// exactly as the records themselves would.
TEST_F(NtfsVolumeTest, ALiveFileAsParentBreaksTheChainThoughItsRecordIsNotHeld) {
  v.setRecord(45,
              v.record(45).flags(1).standardInfo(0x20).fileName(kRoot, u"live.txt").residentData(text("l")).finish());
  deletedFile(46, 45, u"child.txt", text("c"));
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  ASSERT_EQ(paths(), std::vector<std::string>{"Lost Files0/Dir0/child.txt"});
  EXPECT_EQ(listed["Lost Files0/Dir0/child.txt"]->FolderRecords, (std::vector<uint32_t>{45, 1}));
  EXPECT_TRUE(volume->images()[0].record(45).empty());
}

TEST_F(NtfsVolumeTest, AnEmptyRecordAsParentEndsThePathWhereItGot) {
  folder(40, kRoot, u"Kept", false);
  folder(41, 47, u"Inner", false);  // record 47 was never written: all zeros
  deletedFile(42, 40, u"a.txt", text("a"));
  deletedFile(43, 41, u"b.txt", text("b"));
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_EQ(paths(), (std::vector<std::string>{"Inner/b.txt", "Kept/a.txt"}));
  EXPECT_EQ(listed["Inner/b.txt"]->FolderRecords, (std::vector<uint32_t>{41}));
}

TEST_F(NtfsVolumeTest, TheDeletedScanHoldsCandidatesFoldersAndExtensionsOnly) {
  folder(40, kRoot, u"Live", true);
  for (uint32_t n = 41; n < 60; ++n)
    v.setRecord(n, v.record(n).flags(1).standardInfo(0x20).fileName(40, u"kept.txt").residentData(text("k")).finish());
  deletedFile(60, 40, u"gone.txt", text("gone"));
  v.setRecord(61, v.record(61).flags(1).baseReference(41).residentData(text("x")).finish());
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  const MftImage& image = volume->images()[0];
  ASSERT_TRUE(image.sparse());
  EXPECT_EQ(image.recordCount, 64u);
  EXPECT_FALSE(image.record(40).empty());  // a folder
  EXPECT_TRUE(image.record(41).empty());   // a live file
  EXPECT_FALSE(image.record(60).empty());  // the candidate
  EXPECT_FALSE(image.record(61).empty());  // an extension record
  EXPECT_EQ(image.keptCount, 30u + 3u);    // the file system's own records too
  EXPECT_EQ(contentOf(*volume, "Live/gone.txt"), text("gone"));

  ScanOptions formatted;
  formatted.task = Task::Formatted;
  ASSERT_TRUE(scan(*volume, formatted));
  EXPECT_FALSE(volume->images()[0].sparse());
  EXPECT_FALSE(volume->images()[0].record(41).empty());
}

struct FilterCase {
  std::string mask;
  std::string folder;
  int preset;
  std::vector<std::string> expected;
};
inline void PrintTo(const FilterCase& c, std::ostream* os) { *os << "mask " << c.mask << " folder " << c.folder << " preset " << c.preset; }

class NtfsFilterTest : public NtfsVolumeTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(NtfsFilterTest, MaskFolderAndPresetSelectTheListedFiles) {
  folder(40, kRoot, u"Docs", true);
  folder(41, kRoot, u"Other", true);
  deletedFile(30, kRoot, u"a.jpg.txt", text("1"));
  deletedFile(31, 40, u"b.doc", text("2"));
  deletedFile(32, 41, u"c.jpg", text("3"));
  deletedFile(33, kRoot, u"x.uidl", text("4"));
  auto volume = open(v.bytes);
  ScanOptions o;
  o.mask = GetParam().mask;
  o.folder = GetParam().folder;
  o.preset = GetParam().preset;
  ASSERT_TRUE(scan(*volume, o));
  EXPECT_EQ(paths(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NtfsFilterTest,
    ::testing::Values(
        FilterCase{"", "C:\\", 0, {"Docs/b.doc", "Other/c.jpg", "a.jpg.txt", "x.uidl"}},
        FilterCase{"", "C:\\Docs", 0, {"Docs/b.doc"}},
        FilterCase{"  *.jpg ", "", 0, {"Other/c.jpg", "a.jpg.txt"}},
        FilterCase{"*.*", "", 0, {"Docs/b.doc", "Other/c.jpg", "a.jpg.txt", "x.uidl"}},
        FilterCase{"doc;uidl", "", 0, {"Docs/b.doc", "x.uidl"}},
        FilterCase{"", "", kPresetMail, {"x.uidl"}},
        FilterCase{"", "", kPresetPictures, {"Other/c.jpg"}}));

TEST_F(NtfsVolumeTest, TheResultFilterAppliesWhenEnabled) {
  deletedFile(30, kRoot, u"small.txt", std::vector<uint8_t>(100, 'a'));
  deletedFile(31, kRoot, u"large.txt", std::vector<uint8_t>(700, 'b'));
  auto volume = open(v.bytes);
  ScanOptions o;
  o.quickFilterEnabled = true;
  o.quickFilter.sizeMode = SizeMode::Larger;
  o.quickFilter.startSize = 0.5;  // 512 bytes
  ASSERT_TRUE(scan(*volume, o));
  EXPECT_EQ(paths(), std::vector<std::string>{"large.txt"});
}

TEST_F(NtfsVolumeTest, TheContentIsTheUnnamedStreamAndNamedStreamsAreListedBesideIt) {
  const auto content = test::patternBytes(2000, 1);
  const auto stream = test::patternBytes(4000, 2);
  v.setClusters(100, stream);
  v.setClusters(110, content);
  NonResident s, c;
  s.runs = {{1, 100}};
  s.realSize = 4000;
  c.runs = {{1, 110}};
  c.realSize = 2000;
  // The named stream comes last: it must not decide the file's size.
  v.setRecord(30, v.record(30)
                      .flags(0)
                      .standardInfo(0x20)
                      .fileName(kRoot, u"f.txt")
                      .nonResidentData(c)
                      .nonResidentData(s, u"secret")
                      .finish());
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  ASSERT_EQ(paths(), (std::vector<std::string>{"f.txt", "f.txt:secret"}));
  EXPECT_EQ(listed["f.txt"]->size, 2000u);
  EXPECT_EQ(listed["f.txt:secret"]->size, 4000u);
  EXPECT_EQ(contentOf(*volume, "f.txt"), content);
  EXPECT_EQ(contentOf(*volume, "f.txt:secret"), stream);
}

TEST_F(NtfsVolumeTest, ASmallFileOfACompressedFolderIsPlainResidentData) {
  deletedFile(30, kRoot, u"small.txt", text("not compressed at all"), 0x820);
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_EQ(contentOf(*volume, "small.txt"), text("not compressed at all"));
  EXPECT_EQ(listed["small.txt"]->attributeText(), "A-C-Del-");
}

TEST_F(NtfsVolumeTest, CompressedAndSparseFlagsDecideTheDecoding) {
  std::string t;
  while (t.size() < 65536) t += "compressible line of text\n";
  t.resize(65536);
  auto packed = codec::lznt1Compress(std::vector<uint8_t>(t.begin(), t.end()));
  const uint64_t packedClusters = (packed.size() + 4095) / 4096;
  packed.resize(packedClusters * 4096, 0);
  v.setClusters(100, packed);
  const auto plain = test::patternBytes(2 * 4096, 3);
  v.setClusters(130, plain);

  NonResident c;
  c.runs = {{packedClusters, 100}, {16 - packedClusters, -1}};
  c.realSize = 65536;
  c.flags = 0x0001;
  c.compressionUnit = 4;
  v.setRecord(30, v.record(30).flags(0).standardInfo(0x20).fileName(kRoot, u"packed.txt").nonResidentData(c).finish());
  // A sparse file: holes and a compression unit, but no compression flag, and its file
  // attributes still say compressed.
  NonResident s;
  s.runs = {{2, 130}, {14, -1}};
  s.realSize = 16 * 4096;
  s.flags = 0x8000;
  s.compressionUnit = 4;
  v.setRecord(31, v.record(31).flags(0).standardInfo(0xA20).fileName(kRoot, u"sparse.dat").nonResidentData(s).finish());
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_EQ(contentOf(*volume, "packed.txt"), std::vector<uint8_t>(t.begin(), t.end()));
  auto expected = plain;
  expected.resize(16 * 4096, 0);
  EXPECT_EQ(contentOf(*volume, "sparse.dat"), expected);
}

TEST_F(NtfsVolumeTest, AnAttributeListBringsTheExtentsOfExtensionRecords) {
  const auto first = test::patternBytes(3 * 4096, 4);
  const auto second = test::patternBytes(2 * 4096, 5);
  v.setClusters(100, first);
  v.setClusters(150, second);
  const uint64_t size = 5 * 4096 - 10;
  // The name lives in the first extension record too, as with folders of many entries.
  v.setRecord(60, v.record(60)
                      .flags(0)
                      .standardInfo(0x20)
                      .attributeList({{0x10, 0, 60, u""}, {0x30, 0, 61, u""}, {0x80, 0, 61, u""}, {0x80, 3, 62, u""}})
                      .finish());
  NonResident a;
  a.runs = {{3, 100}};
  a.lastVcn = 2;
  a.realSize = size;
  a.allocatedSize = 5 * 4096;
  v.setRecord(61, v.record(61).flags(0).baseReference(60).fileName(kRoot, u"fragmented.bin").nonResidentData(a).finish());
  NonResident b;
  b.runs = {{2, 150}};
  b.startVcn = 3;
  b.lastVcn = 4;
  b.realSize = 0;
  v.setRecord(62, v.record(62).flags(0).baseReference(60).nonResidentData(b).finish());
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  // Listed once: the extension record holding the name is no file of its own.
  ASSERT_EQ(paths(), std::vector<std::string>{"fragmented.bin"});
  EXPECT_EQ(tree->recordCount(), 1u);
  EXPECT_EQ(listed["fragmented.bin"]->contentSize(), size);
  auto expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  expected.resize(size);
  EXPECT_EQ(contentOf(*volume, "fragmented.bin"), expected);

  // The second extension record now belongs to another file: the content is incomplete.
  v.setRecord(62, v.record(62).flags(0).baseReference(70).nonResidentData(b).finish());
  auto reused = open(v.bytes);
  ASSERT_TRUE(scan(*reused));
  contentOf(*reused, "fragmented.bin", ErrorKind::Corrupt);
  // Its plan still covers the whole size (a saved scan refuses one that does not): the
  // first extent from the disk, the lost one as zeros.
  auto plan = reused->extractionPlan(*listed["fragmented.bin"]);
  ASSERT_TRUE(plan);
  const auto runs = byteRunsOf(*plan);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].partitionOffset, 100u * 4096);
  EXPECT_EQ(runs[0].length, 3u * 4096);
  EXPECT_EQ(plan->size(), size);
}

TEST_F(NtfsVolumeTest, ARunlistPastTheVolumeEndsWithAnError) {
  NonResident far;
  far.runs = {{1, 100}, {4, 100000}};
  far.realSize = 5 * 4096;
  v.setRecord(30, v.record(30).flags(0).standardInfo(0x20).fileName(kRoot, u"far.bin").nonResidentData(far).finish());
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  contentOf(*volume, "far.bin", ErrorKind::Corrupt);
}

TEST_F(NtfsVolumeTest, ADeletedFileWhoseClustersAreAllocatedAgainIsDamaged) {
  std::vector<uint8_t> bitmap(32, 0);  // 256 clusters
  bitmap[100 / 8] |= 1 << (100 % 8);   // cluster 100 belongs to a file now
  v.setClusters(200, bitmap);
  NonResident b;
  b.runs = {{1, 200}};
  b.realSize = bitmap.size();
  v.setRecord(6, v.record(6).flags(1).standardInfo(0x6).fileName(kRoot, u"$Bitmap", 0x6).nonResidentData(b).finish());
  for (auto [number, lcn, name] : {std::tuple{30u, 100, u"taken.bin"}, std::tuple{31u, 110, u"free.bin"}}) {
    NonResident d;
    d.runs = {{1, lcn}};
    d.realSize = 4096;
    v.setRecord(number, v.record(number).flags(0).standardInfo(0x20).fileName(kRoot, name).nonResidentData(d).finish());
  }
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_EQ(listed["taken.bin"]->verdict, Verdict::Damaged);
  EXPECT_EQ(listed["free.bin"]->verdict, Verdict::Unverified);
}

TEST_F(NtfsVolumeTest, ARecordWhoseFixupsDoNotMatchIsListedAsReadAndMarked) {
  auto rec = v.record(30).flags(0).standardInfo(0x20).fileName(kRoot, u"torn.txt").residentData(text("t")).finish();
  rec[1022] ^= 0xFF;
  v.setRecord(30, rec);
  deletedFile(31, kRoot, u"whole.txt", text("w"));
  auto volume = open(v.bytes);
  ASSERT_TRUE(scan(*volume));
  ASSERT_EQ(listed.count("torn.txt"), 1u);
  EXPECT_TRUE(listed["torn.txt"]->fixupMismatch);
  EXPECT_FALSE(listed["whole.txt"]->fixupMismatch);
}

TEST_F(NtfsVolumeTest, FourKibRecordsOfA4knVolume) {
  test::VolumeBuilder big(4096, 4096, 512, 4, 40, -12);
  big.setRecord(32, big.record(32).flags(0).standardInfo(0x20).fileName(kRoot, u"k.txt")
                        .residentData(test::patternBytes(3000, 8)).finish());
  auto volume = open(big.bytes);
  ASSERT_TRUE(scan(*volume));
  EXPECT_EQ(volume->recordSize(), 4096u);
  EXPECT_EQ(contentOf(*volume, "k.txt"), test::patternBytes(3000, 8));
}

TEST_F(NtfsVolumeTest, APartitionStartIsCountedIn512ByteSectors) {
  deletedFile(30, kRoot, u"p.txt", text("partition"));
  std::vector<uint8_t> disk(2048 * 512, 0);
  disk.insert(disk.end(), v.bytes.begin(), v.bytes.end());
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  PartitionRecord record;
  record.diskNumber = ns.attachMemory("disk", std::make_shared<std::vector<uint8_t>>(disk));
  record.letter = '*';
  record.startSector = 2048;
  record.length = v.bytes.size();
  record.setFsName("NTFS");
  auto opened = openEngine(record, Task::Deleted);
  ASSERT_TRUE(opened) << describe(opened.error());
  auto engine = std::move(*opened);
  ResultTree t(Variant::Ntfs);
  Progress progress;
  ASSERT_TRUE(engine->scan(t, ScanOptions{}, progress));
  ASSERT_EQ(t.root()->files.size(), 1u);
  std::vector<uint8_t> out;
  EXPECT_TRUE(engine->readAll(*t.root()->files[0], out));
  EXPECT_EQ(out, text("partition"));
  EXPECT_EQ(progress.status(), "Found Deleted Files : 1");
}

TEST_F(NtfsVolumeTest, WithoutAnNtfsBootSectorTheDeletedTaskDoesNotOpen) {
  v.bytes[3] = 'X';
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  PartitionRecord record;
  record.diskNumber = ns.attachMemory("disk", std::make_shared<std::vector<uint8_t>>(v.bytes));
  record.letter = '*';
  record.length = v.bytes.size();
  record.setFsName("NTFS");
  EXPECT_EQ(failureKind(openEngine(record, Task::Deleted)), ErrorKind::Unsupported);
  EXPECT_TRUE(openEngine(record, Task::Formatted));
}

// The formatted-volume scan: old records lying after a new, small MFT.
class NtfsFormattedTest : public NtfsVolumeTest {
 protected:
  static constexpr uint64_t kOldRecords = 20;  // cluster of the first old record
  void SetUp() override {
    // The known MFT: 64 records at clusters 4–19. Old records 64.. follow right after it.
    old(64, v.record(64).flags(3).standardInfo(0x10).fileName(kRoot, u"Proj", kDirFlag).finish());
    old(65, v.record(65).flags(3).standardInfo(0x10).fileName(64, u"Sub", kDirFlag).finish());
    v.setClusters(120, test::patternBytes(6000, 9));
    NonResident d;
    d.runs = {{2, 120}};
    d.realSize = 6000;
    old(66, v.record(66).flags(1).standardInfo(0x20).fileName(65, u"old.bin").nonResidentData(d).finish());
    old(67, v.record(67).flags(1).standardInfo(0x20).fileName(900, u"orphan.txt").residentData(text("o")).finish());
    // A second run of old records elsewhere, numbered on from a gap.
    oldAt(60 * 4096, v.record(200).flags(1).standardInfo(0x20).fileName(64, u"far.txt").residentData(text("far")).finish());
    // A live file of the known MFT.
    v.setRecord(30, v.record(30).flags(1).standardInfo(0x20).fileName(kRoot, u"new.txt").residentData(text("n")).finish());
  }
  void old(uint64_t number, const std::vector<uint8_t>& rec) { oldAt(v.recordOffset(number), rec); }
  void oldAt(uint64_t at, const std::vector<uint8_t>& rec) { std::memcpy(v.bytes.data() + at, rec.data(), rec.size()); }

  const std::vector<std::string> kExpected{"Proj/Sub/old.bin", "Proj/far.txt", "Lost Files1/Dir0/orphan.txt",
                                           "new.txt"};
};

TEST_F(NtfsFormattedTest, OldRecordsAreListedAtTheirFolderPaths) {
  auto volume = open(v.bytes);
  ScanOptions o;
  o.task = Task::Formatted;
  ASSERT_TRUE(scan(*volume, o));
  std::vector<std::string> want = kExpected;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(paths(), want);
  EXPECT_EQ(contentOf(*volume, "Proj/Sub/old.bin"), test::patternBytes(6000, 9));
  EXPECT_EQ(contentOf(*volume, "Proj/far.txt"), text("far"));
  ASSERT_EQ(volume->images().size(), 3u);
  EXPECT_EQ(volume->images()[1].firstNumber, 64u);
  EXPECT_EQ(volume->images()[2].firstNumber, 200u);
  EXPECT_EQ(listed["Proj/Sub/old.bin"]->imageIndex, 1);
  EXPECT_FALSE(listed["Proj/Sub/old.bin"]->deleted);
}

TEST_F(NtfsFormattedTest, TheSweepStillRunsWhenTheMftCannotBeLoaded) {
  // The record at the MFT position is no longer "$MFT".
  v.setRecord(0, v.record(0).flags(1).fileName(kRoot, u"$XYZ").finish());
  auto volume = open(v.bytes);
  ScanOptions o;
  o.task = Task::Formatted;
  ASSERT_TRUE(scan(*volume, o));
  // Without the known MFT the sweep meets its records too; the old ones are all there.
  for (const char* p : {"Proj/Sub/old.bin", "Proj/far.txt"}) EXPECT_EQ(listed.count(p), 1u) << p;
  EXPECT_EQ(contentOf(*volume, "Proj/Sub/old.bin"), test::patternBytes(6000, 9));
}

TEST_F(NtfsFormattedTest, AVolumeWithoutBootSectorIsSweptWithDefaultGeometry) {
  std::fill(v.bytes.begin(), v.bytes.begin() + 512, uint8_t(0));
  auto volume = open(v.bytes);
  ScanOptions o;
  o.task = Task::Formatted;
  ASSERT_TRUE(scan(*volume, o));
  EXPECT_EQ(listed.count("Proj/Sub/old.bin"), 1u);
  EXPECT_EQ(contentOf(*volume, "Proj/Sub/old.bin"), test::patternBytes(6000, 9));
}

TEST_F(NtfsFormattedTest, TheKnownMftIsListedOnceAndNotSwept) {
  auto volume = open(v.bytes);
  ScanOptions o;
  o.task = Task::Formatted;
  Progress progress;
  tree = std::make_unique<ResultTree>(Variant::Ntfs);
  ASSERT_TRUE(volume->scan(*tree, o, progress));
  EXPECT_EQ(tree->recordCount(), kExpected.size());
  // 64 records of the known MFT and five found elsewhere.
  EXPECT_EQ(progress.status(), "Found Formated Files : 69");
}

TEST_F(NtfsFormattedTest, TheSweepKeepsToTheScanRange) {
  auto volume = open(v.bytes);
  ScanOptions o;
  o.task = Task::Formatted;
  o.firstSector = 1;
  o.lastSector = 200;  // bytes 512 to 102400: the old records after the MFT, not the far one
  ASSERT_TRUE(scan(*volume, o));
  EXPECT_EQ(listed.count("Proj/Sub/old.bin"), 1u);
  EXPECT_EQ(listed.count("Proj/far.txt"), 0u);
}

TEST_F(NtfsVolumeTest, ARecordAcrossAChunkBoundaryIsExaminedInTheNextChunk) {
  // 512-byte clusters: records lie at 512-byte steps and a 100-cluster chunk can end
  // inside one. The known MFT (64 records) ends at byte 81920; the first chunk after it
  // ends at 133120.
  test::VolumeBuilder small(512, 1024, 2048, 32, 64);
  const auto rec = small.record(70).flags(1).standardInfo(0x20).fileName(kRoot, u"edge.txt")
                       .residentData(text("edge")).finish();
  std::memcpy(small.bytes.data() + 133120 - 512, rec.data(), rec.size());
  auto volume = open(small.bytes);
  ScanOptions o;
  o.task = Task::Formatted;
  ASSERT_TRUE(scan(*volume, o));
  ASSERT_EQ(listed.count("edge.txt"), 1u);
  EXPECT_EQ(contentOf(*volume, "edge.txt"), text("edge"));
}

TEST(NtfsFuzzRunnerTest, DamagedImagesNeitherCrashNorHang) {
  test::VolumeBuilder v;
  v.setRecord(30, v.record(30).flags(0).standardInfo(0x20).fileName(5, u"a.txt").residentData({1, 2}).finish());
  size_t found = runNtfsScansOnMemoryImage(v.bytes.data(), v.bytes.size());
  EXPECT_GE(found, 1u);
  for (size_t at : {size_t(0x0D), size_t(0x30), size_t(0x40), size_t(4 * 4096 + 0x14), size_t(4 * 4096 + 0x80)}) {
    auto copy = v.bytes;
    copy[at] ^= 0x5A;
    (void)runNtfsScansOnMemoryImage(copy.data(), copy.size());
  }
  (void)runNtfsScansOnMemoryImage(v.bytes.data(), 300);
}

}  // namespace
}  // namespace velk
