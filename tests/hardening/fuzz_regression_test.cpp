// Replays every input that ever crashed a fuzz target (tests/fuzz_regressions/<target>/)
// through the same entry function the target calls, under this build's sanitizers. A
// target's entry must also neither fail its own checks nor run away in time.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <span>

#include "drivers/disk_drivers.h"
#include "drivers/exfat_drivers.h"
#include "drivers/ext_drivers.h"
#include "drivers/fat_drivers.h"
#include "drivers/lznt1_drivers.h"
#include "drivers/mail_drivers.h"
#include "drivers/ntfs_drivers.h"
#include "drivers/raw_drivers.h"
#include "drivers/saved_scan_drivers.h"
#include "drivers/image_drivers.h"
#include "hardening/hardening_support.h"
#include "imaging/small_formats.h"
#include "drivers/partition_drivers.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

using Entry = std::function<bool(const uint8_t*, size_t)>;

template <typename Decode>
Entry imageEntry(Decode decode) {
  return [decode](const uint8_t* data, size_t size) {
    RgbaImage image;
    return !decode(std::span<const uint8_t>(data, size), image) ||
           image.pixels.size() == size_t(image.width) * image.height * 4;
  };
}

// Target name (fuzz/<name>_fuzz.cpp) → what its LLVMFuzzerTestOneInput calls.
const std::map<std::string, Entry>& entries() {
  static const std::map<std::string, Entry> table = {
      {"partition_table", fuzzPartitionTable},
      {"partition_scan", fuzzPartitionScan},
      {"pbf_load", fuzzBackupFile},
      {"undo_file", fuzzUndoFile},
      {"boot_sector", [](const uint8_t* d, size_t n) { return fuzzFatBootSector(d, n) && fuzzNtfsBootSector(d, n); }},
      {"fat_scan", [](const uint8_t* d, size_t n) { return (void)runFatScansOnMemoryImage(d, n), true; }},
      {"exfat_scan", [](const uint8_t* d, size_t n) { return (void)runExfatScansOnMemoryImage(d, n), true; }},
      {"mft_record", [](const uint8_t* d, size_t n) { return (void)fuzzParseMftRecord(d, n), true; }},
      {"ntfs_stream", fuzzNtfsStream},
      {"lznt1", codec::fuzzLznt1},
      {"ntfs_scan", [](const uint8_t* d, size_t n) { return (void)runNtfsScansOnMemoryImage(d, n), true; }},
      {"ext_superblock", [](const uint8_t* d, size_t n) { return (void)fuzzExtSuperblock(d, n), true; }},
      {"ext_scan", [](const uint8_t* d, size_t n) { return (void)runExtScansOnMemoryImage(d, n), true; }},
      {"ext_journal", [](const uint8_t* d, size_t n) { return (void)fuzzExtJournalBlock(d, n), true; }},
      {"ext_block_map", [](const uint8_t* d, size_t n) { return (void)fuzzExtBlockMap(d, n), true; }},
      {"raw_catalog", [](const uint8_t* d, size_t n) { return (void)fuzzRawCatalog(d, n), true; }},
      {"raw_sector_test", [](const uint8_t* d, size_t n) { return (void)fuzzRawSectorTest(d, n), true; }},
      {"raw_format_ends", [](const uint8_t* d, size_t n) { return (void)fuzzRawFormatEnds(d, n), true; }},
      {"raw_content", [](const uint8_t* d, size_t n) { return (void)fuzzRawContent(d, n), true; }},
      {"mail_repair", fuzzMailRepair},
      {"saved_scan", fuzzSavedScan},
      {"image_wbmp", imageEntry(decodeWbmp)},
      {"image_ras", imageEntry(decodeSunRaster)},
      {"image_pgx", imageEntry(decodePgx)},
      {"image_format", fuzzDynamicVhd},
  };
  return table;
}

fs::path sourceRoot() { return fs::path(VELK_FIXTURE_SOURCE_DIR).parent_path().parent_path(); }
fs::path regressions() { return sourceRoot() / "tests" / "fuzz_regressions"; }

// Each file under tests/fuzz_regressions/<target>/ through its target's entry.
TEST(FuzzRegression, EveryRecordedInputRunsCleanly) {
  size_t replayed = 0;
  if (fs::is_directory(regressions())) {
    std::vector<fs::path> inputs;
    for (const auto& e : fs::recursive_directory_iterator(regressions()))
      if (e.is_regular_file() && e.path().parent_path() != regressions()) inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& input : inputs) {
      const std::string target = input.parent_path().filename().string();
      SCOPED_TRACE(target + "/" + input.filename().string());
      auto entry = entries().find(target);
      ASSERT_NE(entry, entries().end()) << "no fuzz target " << target;
      const std::vector<uint8_t> bytes = readFile(input);
      bool ok = false;
      EXPECT_TRUE(finishesWithin(std::chrono::seconds(60), [&] { ok = entry->second(bytes.data(), bytes.size()); }))
          << "did not finish";
      EXPECT_TRUE(ok) << "broke the entry's own checks";
      DeviceNamespace::instance().reset();
      ++replayed;
    }
  }
  RecordProperty("inputs", int(replayed));
}

// Every target in fuzz/ has its entry here, and every folder of recorded inputs a target.
TEST(FuzzRegressionTable, MatchesTheTargetsAndTheRecordedFolders) {
  std::set<std::string> targets;
  for (const auto& e : fs::directory_iterator(sourceRoot() / "fuzz")) {
    const std::string file = e.path().filename().string();
    const std::string suffix = "_fuzz.cpp";
    if (file.size() > suffix.size() && file.ends_with(suffix)) targets.insert(file.substr(0, file.size() - suffix.size()));
  }
  std::set<std::string> known;
  for (const auto& [name, entry] : entries()) known.insert(name);
  EXPECT_EQ(targets, known);
  for (const auto& e : fs::directory_iterator(regressions())) {
    if (e.is_directory()) {
      EXPECT_TRUE(known.count(e.path().filename().string())) << e.path();
    }
  }
}

}  // namespace
}  // namespace velk::test
