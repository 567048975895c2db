// Previews and thumbnails read only the first bytes of a file: every engine must hand
// them over, not fail because the file is longer than the preview wants.

#include <gtest/gtest.h>

#include "disk/drive_catalog.h"
#include "engines/engine_registry.h"
#include "test_support.h"

namespace velk {
namespace {

struct PrefixCase {
  const char* image;
  int partition;
  Task task;
};
// Test names and failure messages show the case, not its bytes.
inline void PrintTo(const PrefixCase& c, std::ostream* os) { *os << c.image; }

class EnginePrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(EnginePrefix, LimitedReadIsThePrefixOfTheFullRead) {
  const PrefixCase& c = GetParam();
  if (!test::fixtureExists(c.image)) GTEST_FAIL() << c.image << " not built";
  auto records = test::catalogOf(test::fixturePath(c.image));
  ASSERT_LT(c.partition, int(records.size()));
  auto opened = openEngine(records[size_t(c.partition)], c.task);
  ASSERT_TRUE(opened) << describe(opened.error());
  auto engine = std::move(*opened);
  ScanOptions options;
  options.task = c.task;
  options.catalogPath = std::string(VELK_RESOURCE_DIR) + "/rp.dat";
  ResultTree tree(engine->variant());
  Progress progress;
  engine->scanFlag().set();
  ASSERT_TRUE(engine->scan(tree, options, progress));

  constexpr size_t kLimit = 4096;
  int checked = 0;
  for (FolderItem* folder : tree.foldersBreadthFirst()) {
    for (FileRecord* r : folder->files) {
      if (r->contentSize() <= kLimit + 1 || checked >= 3) continue;
      std::vector<uint8_t> full, prefix;
      if (!engine->readAll(*r, full)) continue;  // overwritten files may not read
      SCOPED_TRACE(r->name);
      ASSERT_TRUE(engine->readAll(*r, prefix, kLimit));
      ASSERT_EQ(prefix.size(), kLimit);
      EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), full.begin()));
      ++checked;
    }
  }
  EXPECT_GT(checked, 0) << "no file larger than the limit was found";
}

INSTANTIATE_TEST_SUITE_P(Engines, EnginePrefix,
                         ::testing::Values(PrefixCase{"fat32_deleted.img", 0, Task::Deleted},
                                           PrefixCase{"ntfs_deleted.img", 0, Task::Deleted},
                                           PrefixCase{"ext3_4k.img", 0, Task::Deleted},
                                           PrefixCase{"raw_carve.img", 0, Task::Raw}),
                         [](const auto& p) {
                           std::string n = p.param.image;
                           return n.substr(0, n.find('.'));
                         });

}  // namespace
}  // namespace velk
