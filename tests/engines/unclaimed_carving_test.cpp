// Carving what no record claims: the sectors left to the raw scan, and on a real volume
// that nothing a scan lists or a live file holds comes back a second time as "Carved".

#include <gtest/gtest.h>

#include <set>

#include "engines/engine_registry.h"
#include "engines/unclaimed_carving.h"
#include "test_support.h"

namespace velk {
namespace {

TEST(UnclaimedCarvingTest, SectorsTouchedByAnyClaimAreLeftOut) {
  struct Case {
    std::vector<std::pair<uint64_t, uint64_t>> claimed;
    uint64_t total;
    std::vector<SectorSpan> free;
  };
  const std::vector<Case> cases = {
      {{}, 10, {{0, 10}}},
      {{{0, 5120}}, 10, {}},
      {{{512, 1}, {4096, 1024}}, 12, {{0, 1}, {2, 6}, {10, 2}}},  // partial sectors are claimed
      {{{1000, 100}, {0, 512}, {1024, 1}}, 4, {{3, 1}}},           // unsorted, overlapping, touching
      {{{2048, 1 << 20}}, 6, {{0, 4}}},                             // a claim past the end
      {{{511, 2}}, 3, {{2, 1}}},                                    // two bytes across a boundary
  };
  for (const Case& c : cases) EXPECT_EQ(unclaimedSectors(c.claimed, c.total), c.free);
}

TEST(UnclaimedCarvingTest, CarvedFilesRepeatNoListedOrLiveFile) {
  const char* image = "exfat_deleted.img";
  if (!test::fixtureExists(image)) GTEST_FAIL() << image << " missing";
  const auto records = test::catalogOf(test::fixturePath(image));
  ASSERT_FALSE(records.empty());
  auto opened = openEngine(records.front(), Task::Deleted);
  ASSERT_TRUE(opened) << describe(opened.error());
  auto engine = withUnclaimedCarving(std::move(*opened), records.front());
  ResultTree tree(engine->variant());
  ScanOptions options;
  options.task = Task::Deleted;
  options.carveUnclaimed = true;
  Progress progress;
  ASSERT_TRUE(engine->scan(tree, options, progress));

  std::set<std::string> known;  // live files and what the deleted scan listed
  for (const auto& row : test::loadManifest("exfat_deleted"))
    if (row.state == "live") known.insert(row.sha256);
  size_t listed = 0, carved = 0;
  std::vector<std::pair<std::string, bool>> found;  // hash, carved
  for (FolderItem* folder : tree.foldersBreadthFirst())
    for (FileRecord* file : folder->files) {
      std::vector<uint8_t> bytes;
      ASSERT_TRUE(engine->readAll(*file, bytes)) << file->name;
      const bool isCarved = file->variant() == Variant::Raw;
      (isCarved ? carved : listed)++;
      found.emplace_back(test::sha256Hex(bytes), isCarved);
    }
  for (const auto& [hash, isCarved] : found)
    if (!isCarved) known.insert(hash);
  for (const auto& [hash, isCarved] : found)
    if (isCarved) {
      EXPECT_FALSE(known.count(hash)) << hash;
    }
  EXPECT_GT(listed, 90u);
  RecordProperty("carved", int(carved));
  std::printf("[ carve ] exfat_deleted: %zu listed, %zu carved\n", listed, carved);
}

}  // namespace
}  // namespace velk
