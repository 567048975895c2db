// Huge and sparse files, as a crafted record or a real sparse file presents them: a
// preview holds a bounded prefix whatever the size, holes reach the output as holes, and a
// recorded size past what the file's runs hold is reported and capped instead of being
// filled with zeros.

#include <gtest/gtest.h>

#include <chrono>

#include <sys/stat.h>

#include "test_support.h"
#include "workspace/recovery_job.h"
#include "workspace/fake_record.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kGiB = uint64_t(1) << 30;

// 4 KiB of 'A', a hole, 4 KiB of 'B'; written the way the engines write sparse runs. The
// runs it tells may end before the content does (a damaged map).
class SparseEngine final : public RecoveryEngine {
 public:
  explicit SparseEngine(uint64_t hole) : m_hole(hole) {}
  Variant variant() const override { return Variant::Raw; }
  Status scan(ResultSink&, const ScanOptions&, Progress&) override { return {}; }
  Status extract(const FileRecord&, ByteSink& out) override {
    const std::string a(4096, 'A'), b(4096, 'B');
    if (!out.write(reinterpret_cast<const uint8_t*>(a.data()), a.size()) || !out.writeZeros(m_hole) ||
        !out.write(reinterpret_cast<const uint8_t*>(b.data()), b.size()))
      return fail(outputError(out));
    return {};
  }
  Result<ExtractionPlan> extractionPlan(const FileRecord&) override { return plan; }
  ExtractionPlan plan;

 private:
  uint64_t m_hole;
};

struct SparseFile {
  explicit SparseFile(uint64_t hole) : engine(hole) {
    auto* folder = tree.addFolder(nullptr, "RAW - Logical Disk (C:)");
    record = tree.addFile(folder, std::make_unique<FakeRecord>("big.bin", 0, Variant::Raw));
    record->size = 8192 + hole;
    engine.plan.disk(1 << 20, 4096);
    engine.plan.zeros(hole);
    engine.plan.disk(9 << 20, 4096);
    tree.setAllChecked(true);
  }
  RecoveryReport recover(const fs::path& out) {
    RecoveryRequest request;
    request.outputFolder = out;
    JobFlag job;
    Progress progress;
    return runRecovery(tree, engine, request, job, progress);
  }
  ResultTree tree{Variant::Raw};
  SparseEngine engine;
  FileRecord* record = nullptr;
};

TEST(HugeFiles, APreviewHoldsABoundedPrefixWhateverTheSize) {
  SparseFile file(100 * kGiB);
  std::vector<uint8_t> data;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(file.engine.readAll(*file.record, data));
  EXPECT_LE(data.size(), kMemoryReadLimit);
  EXPECT_EQ(data.front(), 'A');
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HugeFiles, HolesReachTheOutputAsHoles) {
  TempDir out;
  constexpr uint64_t kHole = 256u << 20;  // every byte is hashed: kept small for debug builds
  SparseFile file(kHole);
  const RecoveryReport report = file.recover(out.path());
  ASSERT_EQ(report.recovered, 1u) << report.errorText;
  const fs::path written = out.path() / "bin" / "big.bin";
  EXPECT_EQ(fs::file_size(written), 8192 + kHole);
  struct stat st {};
  ASSERT_EQ(::stat(written.c_str(), &st), 0);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, uint64_t(1) << 20) << "the hole was filled";
  ASSERT_EQ(report.files.size(), 1u);
  ASSERT_EQ(report.files[0].runs.size(), 2u);
  EXPECT_EQ(report.files[0].runs[1].fileOffset, 4096 + kHole);
  EXPECT_EQ(report.files[0].runs[1].partitionOffset, 9u << 20);
}

TEST(HugeFiles, ASizePastTheRunsIsReportedAndCapped) {
  TempDir out;
  SparseFile file(100 * kGiB);
  file.engine.plan.pieces.resize(1);  // the map ends after the first 4 KiB
  const RecoveryReport report = file.recover(out.path());
  ASSERT_EQ(report.recovered, 1u) << report.errorText;
  EXPECT_EQ(fs::file_size(out.path() / "bin" / "big.bin"), 4096u);
  EXPECT_NE(report.errorText.find("written capped at 4096 bytes"), std::string::npos) << report.errorText;
  EXPECT_EQ(report.damaged, 1u);
}

}  // namespace
}  // namespace velk::test
