// Containers built by qemu-img and ewfacquire from raw fixtures (tools/build_image_fixtures.sh)
// must read, scan and recover exactly as the raw disk they were made from.

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "disk/device.h"
#include "disk/image_formats.h"
#include "test_support.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

struct Container {
  const char* file;
  ImageFormat format;
  const char* disk;  // the raw fixture it was made from
};
const Container kContainers[] = {
    {"mbr_ext05_split.E01", ImageFormat::Ewf, "mbr_ext05"}, {"mbr_ext05_fixed.vhd", ImageFormat::Vhd, "mbr_ext05"},
    {"mbr_ext05_dynamic.vhd", ImageFormat::Vhd, "mbr_ext05"}, {"mbr_ext05.vhdx", ImageFormat::Vhdx, "mbr_ext05"},
    {"mbr_ext05.vmdk", ImageFormat::Vmdk, "mbr_ext05"},     {"mbr_ext05_extents.vmdk", ImageFormat::Vmdk, "mbr_ext05"},
    {"mbr_ext05.qcow2", ImageFormat::Qcow, "mbr_ext05"},    {"mbr_mixed.E01", ImageFormat::Ewf, "mbr_mixed"},
};

std::string cli(const fs::path& image) { return std::string(VELK_CLI_PATH) + " --image '" + image.string() + "' "; }

// Compares the device with a reference disk image, reading in uneven pieces as the engines
// do (a piece straddles container blocks and chunks), and the reads at and past the end.
// [patchAt, + patchLength) is expected to read as patchByte instead.
void expectSameBytes(BlockDevice& device, const fs::path& reference, uint64_t patchAt = 0, size_t patchLength = 0,
                     uint8_t patchByte = 0x5A) {
  std::ifstream in(reference, std::ios::binary);
  const uint64_t size = fs::file_size(reference);
  ASSERT_EQ(device.size(), size);
  constexpr size_t kPiece = (1 << 20) + 4097;
  std::vector<uint8_t> want(kPiece), got(kPiece);
  for (uint64_t at = 0; at < size; at += kPiece) {
    const size_t n = size_t(std::min<uint64_t>(kPiece, size - at));
    in.read(reinterpret_cast<char*>(want.data()), std::streamsize(n));
    for (uint64_t i = std::max(at, patchAt); i < std::min(at + n, patchAt + patchLength); ++i) want[i - at] = patchByte;
    ASSERT_EQ(device.readAt(at, got.data(), n), int64_t(n)) << "at " << at;
    ASSERT_TRUE(std::equal(want.begin(), want.begin() + n, got.begin())) << "bytes differ in [" << at << ", +" << n << ")";
  }
  EXPECT_EQ(device.readAt(size - 100, got.data(), 512), 100);
  EXPECT_EQ(device.readAt(size, got.data(), 512), 0);
  EXPECT_LT(device.writeAt(0, got.data(), 512), 0);
}

// sha256sum's answer: a big container hashes in a blink instead of seconds of a debug build.
std::string sha256Of(const fs::path& file) {
  std::string out;
  return runCommand("sha256sum '" + file.string() + "'", &out) == 0 ? out.substr(0, 64) : std::string();
}

// Sorted "path sha256" lines of every file under a folder, but the recovery's report: it
// names the image it was made from, which differs between the two.
std::vector<std::string> treeOf(const fs::path& root) {
  std::vector<std::string> rows;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file() && e.path() != root / "report.xml") rows.push_back(fs::relative(e.path(), root).string() + " " + sha256File(e.path()));
  std::sort(rows.begin(), rows.end());
  return rows;
}

// Start sector of each partition the fixture builder made ("part" column → start_sector).
std::map<int, uint64_t> partitionStarts(const std::string& disk) {
  std::ifstream in(fs::path(VELK_FIXTURE_SOURCE_DIR) / (disk + ".layout.tsv"));
  std::map<int, uint64_t> starts;
  std::string line;
  while (std::getline(in, line)) {
    int part = 0;
    char type[64];
    unsigned long long start = 0;
    if (std::sscanf(line.c_str(), "%d\t%63s\t%llu", &part, type, &start) == 3) starts[part] = start;
  }
  return starts;
}

class ImageContainers : public ::testing::TestWithParam<Container> {
 protected:
  void SetUp() override {
    if (!fixtureExists(GetParam().file)) GTEST_FAIL() << GetParam().file << " is not unpacked";
    m_image = fixturePath(GetParam().file);
    m_raw = fixturePath(std::string(GetParam().disk) + ".img");
  }
  fs::path m_image, m_raw;
};

TEST_P(ImageContainers, MediaReadsAsTheRawDisk) {
  ASSERT_EQ(probeImageFormat(m_image), GetParam().format);
  auto device = openImageContainer(m_image, GetParam().format);
  ASSERT_TRUE(device) << describe(device.error());
  expectSameBytes(**device, m_raw);
}

TEST_P(ImageContainers, ScansAndRecoveriesMatchTheRawDisk) {
  const std::string before = sha256Of(m_image);
  std::string rawDrives, drives;
  ASSERT_EQ(runCommand(cli(m_raw) + "drives --json", &rawDrives), 0);
  ASSERT_EQ(runCommand(cli(m_image) + "drives --json", &drives), 0);
  auto rawCatalog = nlohmann::json::parse(rawDrives), catalog = nlohmann::json::parse(drives);
  EXPECT_EQ(rawCatalog["partitions"], catalog["partitions"]);
  EXPECT_EQ(rawCatalog["disks"][0]["size"], catalog["disks"][0]["size"]);

  const auto manifest = loadManifest(GetParam().disk);
  for (const auto& [part, start] : partitionStarts(GetParam().disk)) {
    const auto& rows = catalog["partitions"];
    auto record = std::find_if(rows.begin(), rows.end(), [&](const auto& p) { return p["start_sector"] == start; });
    if (record == rows.end() || std::string((*record)["fs"]) == "Deleted") continue;  // the extended partition
    const std::string index = std::to_string(int((*record)["index"]));
    for (const char* task : {"deleted", "raw"}) {
      std::string want, got;
      const std::string scan = "scan --partition " + index + " --task " + task + " --json 2>/dev/null";
      ASSERT_EQ(runCommand(cli(m_raw) + scan, &want), 0) << part;
      ASSERT_EQ(runCommand(cli(m_image) + scan, &got), 0) << part;
      EXPECT_EQ(want, got) << "partition " << part << ", " << task;
    }
    TempDir fromRaw, fromImage;
    const std::string recover = "recover --partition " + index + " --task deleted --all --out ";
    ASSERT_EQ(runCommand(cli(m_raw) + recover + fromRaw.path().string() + " >/dev/null 2>&1"), 0);
    ASSERT_EQ(runCommand(cli(m_image) + recover + fromImage.path().string() + " >/dev/null 2>&1"), 0);
    const auto tree = treeOf(fromImage.path());
    EXPECT_EQ(treeOf(fromRaw.path()), tree) << "partition " << part;
    for (const auto& row : manifest) {  // every deleted file the builder left comes back whole
      if (row.part != part || row.state != "deleted") continue;
      EXPECT_TRUE(std::any_of(tree.begin(), tree.end(), [&](const std::string& r) { return r.ends_with(row.sha256); }))
          << row.path;
    }
  }
  EXPECT_EQ(sha256Of(m_image), before);
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageContainers, ::testing::ValuesIn(kContainers),
                         [](const auto& p) {
                           std::string name = p.param.file;
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

// Copies fixtures into a folder under names of the test's choosing.
fs::path copyAs(const fs::path& dir, const std::string& fixture, const std::string& name) {
  fs::copy_file(fixturePath(fixture), dir / name);
  return dir / name;
}

TEST(ImageContainerDetection, ContentDecidesNotTheName) {
  if (!fixtureExists("mbr_mixed.E01") || !fixtureExists("mbr_ext05.qcow2")) GTEST_FAIL() << "fixtures missing";
  TempDir dir;
  const std::pair<fs::path, ImageFormat> files[] = {
      {copyAs(dir.path(), "mbr_ext05.qcow2", "disk.img"), ImageFormat::Qcow},
      {copyAs(dir.path(), "mbr_mixed.E01", "evidence.bin"), ImageFormat::Ewf},
      {copyAs(dir.path(), "mbr_ext05.img", "plain.vhd"), ImageFormat::Raw}};
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  for (const auto& [file, format] : files) {
    EXPECT_EQ(probeImageFormat(file), format) << file;
    auto attached = ns.attachImage(file);
    EXPECT_TRUE(attached) << describe(attached.error());
  }
  ASSERT_EQ(ns.driveCount(), 3);
  EXPECT_EQ(ns.drive(0)->size, 64u << 20);
  EXPECT_EQ(ns.drive(1)->size, 256u << 20);
  EXPECT_EQ(ns.drive(2)->size, 64u << 20);
  ns.reset();
}

TEST(ImageContainerRefusal, DamagedContainersAreRefusedWithASentence) {
  if (!fixtureExists("mbr_mixed.E01") || !fixtureExists("mbr_ext05_split.E03")) GTEST_FAIL() << "fixtures missing";
  TempDir dir;
  std::vector<fs::path> damaged;
  // VHD footers and the closing EWF sections sit at the end; QCOW, VHDX and VMDK keep
  // their tables up front.
  for (auto [fixture, keep] : {std::pair{"mbr_ext05_dynamic.vhd", 0}, {"mbr_mixed.E01", 0}, {"mbr_ext05.qcow2", 4096},
                               {"mbr_ext05.vhdx", 4096}, {"mbr_ext05.vmdk", 4096}}) {
    damaged.push_back(copyAs(dir.path(), fixture, std::string("cut_") + fixture));
    fs::resize_file(damaged.back(), keep ? uintmax_t(keep) : fs::file_size(damaged.back()) / 2);
  }
  // A split set without its middle segment.
  damaged.push_back(copyAs(dir.path(), "mbr_ext05_split.E01", "gap.E01"));
  copyAs(dir.path(), "mbr_ext05_split.E03", "gap.E03");
  // A QCOW2 header whose encryption method (big-endian, byte 32) says AES.
  damaged.push_back(copyAs(dir.path(), "mbr_ext05.qcow2", "locked.qcow2"));
  std::fstream(damaged.back(), std::ios::in | std::ios::out | std::ios::binary).seekp(35).put(1);

  for (const auto& file : damaged) {
    auto attached = DeviceNamespace::instance().attachImage(file);
    ASSERT_FALSE(attached) << file;
    const std::string sentence = describe(attached.error());
    EXPECT_EQ(sentence.rfind("Cannot open image '" + file.string() + "': ", 0), 0u) << sentence;
    std::string out;
    EXPECT_EQ(runCommand(cli(file) + "drives 2>&1", &out), 2) << file;
    EXPECT_EQ(out, "velk-cli: " + sentence + "\n");
  }
  DeviceNamespace::instance().reset();
}

TEST(ImageContainerParents, OverlaysReadThroughTheParentNextToThem) {
  for (const char* overlay : {"mbr_ext05_overlay.qcow2", "mbr_ext05_overlay.vmdk"}) {
    if (!fixtureExists(overlay)) GTEST_FAIL() << overlay << " is not unpacked";
    const ImageFormat format = probeImageFormat(fixturePath(overlay));
    auto device = openImageContainer(fixturePath(overlay), format);
    ASSERT_TRUE(device) << describe(device.error());
    expectSameBytes(**device, fixturePath("mbr_ext05.img"), 1 << 20, 4096);
    TempDir alone;
    auto orphan = openImageContainer(copyAs(alone.path(), overlay, overlay), format);
    ASSERT_FALSE(orphan);
    EXPECT_EQ(orphan.error().kind, ErrorKind::NotFound);
    EXPECT_NE(orphan.error().detail.find(format == ImageFormat::Qcow ? "mbr_ext05.qcow2" : "mbr_ext05_extents.vmdk"),
              std::string::npos);
  }
}

TEST(EwfChunks, AChunkFailingItsChecksumReadsAsAnIoError) {
  if (!fixtureExists("mbr_ext05_split.E03")) GTEST_FAIL() << "fixtures missing";
  TempDir dir;
  for (const char* ext : {"E01", "E02", "E03"}) copyAs(dir.path(), std::string("mbr_ext05_split.") + ext, std::string("s.") + ext);
  // The FAT16 primary's boot sector (sector 2048) is stored as it is in the uncompressed
  // first segment: spoil one byte of it there.
  auto slurp = [](const fs::path& file) {
    std::string bytes(fs::file_size(file), '\0');
    std::ifstream(file, std::ios::binary).read(bytes.data(), std::streamsize(bytes.size()));
    return bytes;
  };
  const std::string raw = slurp(fixturePath("mbr_ext05.img"));
  constexpr size_t kBoot = 2048 * 512;
  std::string segment = slurp(dir.path() / "s.E01");
  const size_t at = segment.find(raw.substr(kBoot, 512));
  ASSERT_NE(at, std::string::npos);
  segment[at + 100] ^= char(0xFF);
  std::ofstream(dir.path() / "s.E01", std::ios::binary).write(segment.data(), std::streamsize(segment.size()));

  auto device = openImageContainer(dir.path() / "s.E01", ImageFormat::Ewf);
  ASSERT_TRUE(device) << describe(device.error());
  std::vector<uint8_t> buffer(1024);
  EXPECT_EQ((*device)->readAt(kBoot, buffer.data(), 512), -EIO);
  EXPECT_EQ((*device)->readAt(kBoot - 512, buffer.data(), 1024), 512);  // the good sector before it
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 512), raw.substr(kBoot - 512, 512));
  EXPECT_EQ((*device)->readAt(kBoot + 1024, buffer.data(), 512), -EIO);  // the same chunk, read again
  EXPECT_EQ((*device)->readAt(0, buffer.data(), 512), 512);
}

// qemu-img writes every sector bit of a block it allocates; clear the bits of the 8
// sectors at 1 MiB (block 0 of 2 MiB: its bitmap sector sits right before its data).
TEST(DynamicVhd, SectorsNeverWrittenReadAsZeros) {
  if (!fixtureExists("mbr_ext05_dynamic.vhd")) GTEST_FAIL() << "fixture missing";
  TempDir dir;
  const fs::path image = copyAs(dir.path(), "mbr_ext05_dynamic.vhd", "d.vhd");
  std::string bytes(fs::file_size(image), '\0'), boot(512, '\0');
  std::ifstream(image, std::ios::binary).read(bytes.data(), std::streamsize(bytes.size()));
  std::ifstream raw(fixturePath("mbr_ext05.img"), std::ios::binary);
  raw.seekg(1 << 20).read(boot.data(), 512);
  const size_t at = bytes.find(boot);
  ASSERT_NE(at, std::string::npos);
  const size_t bitmap = at - (1 << 20) - 512;
  ASSERT_EQ(bytes.substr(bitmap, 512), std::string(512, char(0xFF)));
  bytes[bitmap + 2048 / 8] = 0;
  std::ofstream(image, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  auto device = openImageContainer(image, ImageFormat::Vhd);
  ASSERT_TRUE(device) << describe(device.error());
  expectSameBytes(**device, fixturePath("mbr_ext05.img"), 1 << 20, 4096, 0);
}

}  // namespace
}  // namespace velk::test
