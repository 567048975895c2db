// End to end on raw_carve: files placed by the fixture builder at known sectors of an
// image without a file system (one at sector 0, one ending at the image's last byte, an
// ISO 9660 image whose signature lies 64 sectors into it).

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>

#include "engines/raw/content_verdict.h"
#include "engines/raw/raw_scanner.h"
#include "test_support.h"
#include "workspace/recovery_job.h"

namespace velk {
namespace {

constexpr const char* kImage = "raw_carve.img";

struct Placed {
  test::ManifestEntry row;
  uint64_t sector = 0;
  std::string extension;
};

std::vector<Placed> placedFiles() {
  std::vector<Placed> out;
  for (const auto& row : test::loadManifest("raw_carve")) {
    const size_t at = row.notes.find("start_sector=");
    if (at == std::string::npos) continue;
    const std::string value = row.notes.substr(at + 13, row.notes.find(' ', at) - at - 13);
    if (value == "none") continue;  // off a sector boundary: no sector test can see it
    Placed p;
    p.row = row;
    p.sector = std::stoull(value);
    p.extension = row.path.substr(row.path.rfind('.') + 1);
    out.push_back(p);
  }
  return out;
}

class RawCarveFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::fixtureExists(kImage)) GTEST_FAIL() << "fixture " << kImage << " not built";
    auto records = test::catalogOf(test::fixturePath(kImage));
    ASSERT_FALSE(records.empty());
    record = records.front();
  }
  // Scans into tree; returns the records by their absolute start sector.
  std::map<uint64_t, const RawFileRecord*> scan(bool formatEnds) {
    auto opened = openEngine(record, Task::Raw);
    EXPECT_TRUE(opened);
    if (!opened) return {};
    engine = std::move(*opened);
    static_cast<RawEngine&>(*engine).scanner().setFormatEnds(formatEnds);
    tree = std::make_unique<ResultTree>(Variant::Raw);
    ScanOptions options;
    options.task = Task::Raw;
    options.catalogPath = std::string(VELK_RESOURCE_DIR) + "/rp.dat";
    EXPECT_TRUE(engine->scan(*tree, options, progress));
    std::map<uint64_t, const RawFileRecord*> out;
    for (FolderItem* folder : tree->foldersBreadthFirst())
      for (FileRecord* f : folder->files) {
        auto* r = dynamic_cast<const RawFileRecord*>(f);
        if (r) out[r->diskSector] = r;
      }
    return out;
  }

  PartitionRecord record;
  std::unique_ptr<RecoveryEngine> engine;
  std::unique_ptr<ResultTree> tree;
  Progress progress;
};

TEST_F(RawCarveFixture, EveryPlacedFileFoundAtItsSectorAndRecoveredByteExact) {
  auto found = scan(true);
  const auto placed = placedFiles();
  ASSERT_EQ(placed.size(), 9u);
  int exact = 0;
  for (const auto& p : placed) {
    auto it = found.find(p.sector);
    ASSERT_NE(it, found.end()) << p.row.path << " not found at sector " << p.sector;
    const RawFileRecord& r = *it->second;
    EXPECT_EQ(r.extension, p.extension) << p.row.path;
    EXPECT_NE(r.verdict, StructureVerdict::Damaged) << p.row.path;
    EXPECT_EQ(r.length, p.row.size) << p.row.path;
    std::vector<uint8_t> data;
    ASSERT_TRUE(engine->readAll(r, data));
    EXPECT_EQ(test::sha256Hex(data), p.row.sha256) << p.row.path;
    exact += test::sha256Hex(data) == p.row.sha256 ? 1 : 0;
  }
  EXPECT_EQ(exact, 9);
  EXPECT_EQ(progress.status(), "Found Raw Files : " + std::to_string(found.size()));
  // Folders are named by description, under the root of the whole disk.
  EXPECT_EQ(tree->root()->text, "RAW - Logical Disk (*:)");
}

TEST_F(RawCarveFixture, WithoutEndRulesEachFileRunsToTheNextHeader) {
  auto found = scan(false);
  auto placed = placedFiles();
  std::sort(placed.begin(), placed.end(), [](auto& a, auto& b) { return a.sector < b.sector; });
  const uint64_t imageSectors = record.length / 512;
  for (size_t i = 0; i < placed.size(); ++i) {
    auto it = found.find(placed[i].sector);
    ASSERT_NE(it, found.end()) << placed[i].row.path;
    const RawFileRecord& r = *it->second;
    EXPECT_EQ(r.extension == "iso" || r.extension == placed[i].extension, true);
    if (placed[i].extension == "iso") {
      // Files inside the disc image are headers of their own: the image is cut at one.
      EXPECT_LT(r.length, placed[i].row.size);
      continue;
    }
    const uint64_t next = i + 1 < placed.size() ? placed[i + 1].sector : imageSectors;
    EXPECT_EQ(r.length, (next - placed[i].sector) * 512) << placed[i].row.path;
    EXPECT_EQ(r.verdict, StructureVerdict::Unverified);
    // The carved bytes begin with the whole file.
    std::vector<uint8_t> data;
    ASSERT_TRUE(engine->readAll(r, data));
    ASSERT_GE(data.size(), placed[i].row.size);
    data.resize(placed[i].row.size);
    EXPECT_EQ(test::sha256Hex(data), placed[i].row.sha256) << placed[i].row.path;
  }
}

TEST_F(RawCarveFixture, RecoveryLaysFilesOutByExtension) {
  auto found = scan(true);
  ASSERT_FALSE(found.empty());
  tree->setAllChecked(true);
  test::TempDir out;
  RecoveryRequest request;
  request.outputFolder = out.path();
  JobFlag job;
  Progress p;
  RecoveryReport report = runRecovery(*tree, *engine, request, job, p);
  EXPECT_EQ(report.failed, 0u);
  EXPECT_EQ(report.recovered, found.size());
  const auto* photo = found.at(0);
  EXPECT_EQ(test::sha256File(out.path() / "jpg" / photo->name),
            placedFiles().front().row.sha256);
}

// A recovered file is judged by its own format: whole, cut short, or of a type no rule knows.
TEST(ContentVerdict, WrittenFilesAreJudgedByTheirFormat) {
  const auto image = test::readFile(test::fixturePath("raw_carve.img"));
  ASSERT_GE(image.size(), 17752u);
  const std::vector<uint8_t> photo(image.begin(), image.begin() + 17752);  // photo.jpg at sector 0
  test::TempDir dir;
  auto write = [&](const std::string& name, size_t length) {
    std::ofstream(dir.path() / name, std::ios::binary).write(reinterpret_cast<const char*>(photo.data()), std::streamsize(length));
    return verifyContent(dir.path() / name, name);
  };
  EXPECT_EQ(write("photo.jpg", photo.size()), Verdict::Verified);
  EXPECT_EQ(write("cut.jpg", photo.size() / 2), Verdict::Damaged);
  EXPECT_EQ(write("photo.txt", photo.size()), Verdict::Unverified);
}

}  // namespace
}  // namespace velk
