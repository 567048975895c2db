// velk-cli partitions, driven in process on temporary copies of a disk fixture: scan and
// load output, the rewrite's confirmation and messages, undo, and the exit statuses.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "cli_context.h"
#include "disk/device.h"
#include "partition/partition_texts.h"
#include "partition_test_support.h"

namespace velk {
namespace {

struct CliRun {
  int status = 0;
  std::string out, err;
};

CliRun runCli(const std::vector<std::string>& words) {
  CLI::App app{"velk-cli"};
  app.require_subcommand(1);
  cli::CliContext ctx;
  app.add_option("--image", ctx.images);
  app.add_flag("--with-system-drives", ctx.withSystemDrives);
  cli::addPartitionsCommand(app, ctx);
  std::vector<std::string> all = {"velk-cli"};
  all.insert(all.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (auto& w : all) argv.push_back(w.data());
  CliRun run;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    app.parse(int(argv.size()), argv.data());
    run.status = ctx.exitCode;
  } catch (const CLI::ParseError& e) {
    run.status = app.exit(e) == 0 ? cli::kExitOk : cli::kExitUsage;
  }
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

class CliPartitions : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::fixtureExists("demo_disk.img")) GTEST_FAIL() << "demo_disk fixture missing";
    m_image = test::copyFixture("demo_disk.img", m_dir.path());
    test::zeroTableEntry(m_image, 0, 1);  // the NTFS entry (83968 + 81920)
    m_damaged = test::imageBytes(m_image);
    const char* old = std::getenv("VELK_BACKUP_DIR");
    if (old) m_oldBackupDir = old;
    ::setenv("VELK_BACKUP_DIR", (m_dir.path() / "backup").c_str(), 1);
  }
  void TearDown() override {
    if (m_oldBackupDir) ::setenv("VELK_BACKUP_DIR", m_oldBackupDir->c_str(), 1);
    else ::unsetenv("VELK_BACKUP_DIR");
    DeviceNamespace::instance().reset();
  }
  CliRun partitions(std::vector<std::string> words) {
    words.insert(words.begin(), {"--image", m_image.string(), "partitions"});
    return runCli(words);
  }
  int ntfsCandidate() {
    CliRun scan = partitions({"scan", "--disk", "0", "--json"});
    EXPECT_EQ(scan.status, 0) << scan.err;
    auto j = nlohmann::json::parse(scan.out);
    for (const auto& c : j["candidates"])
      if (c["start_sector"] == 83968 && c["fs"] == "NTFS") return c["index"].get<int>();
    return -1;
  }

  test::TempDir m_dir;
  std::filesystem::path m_image;
  std::vector<uint8_t> m_damaged;
  std::optional<std::string> m_oldBackupDir;
};

TEST_F(CliPartitions, ScanJsonCarriesRecordFieldsAndIndex) {
  CliRun scan = partitions({"scan", "--disk", "0", "--json"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  auto j = nlohmann::json::parse(scan.out);
  ASSERT_TRUE(j["candidates"].is_array());
  ASSERT_FALSE(j["candidates"].empty());
  for (size_t i = 0; i < j["candidates"].size(); ++i) {
    const auto& c = j["candidates"][i];
    EXPECT_EQ(c["index"], i);
    for (const char* key : {"disk", "letter", "kind", "table_sector", "extended_base", "fs", "label", "start_sector",
                            "sectors_per_cluster", "bytes_per_sector", "free_bytes", "length", "type"})
      EXPECT_TRUE(c.contains(key)) << key;
  }
  EXPECT_GE(ntfsCandidate(), 0);
}

TEST_F(CliPartitions, RewriteAsksThenWritesAndUndoPutsItBack) {
  const int k = ntfsCandidate();
  ASSERT_GE(k, 0);
  if (!::isatty(STDIN_FILENO)) {
    CliRun unconfirmed = partitions({"rewrite", "--disk", "0", "--candidate", std::to_string(k)});
    EXPECT_EQ(unconfirmed.status, 2);
    EXPECT_TRUE(test::imageBytes(m_image) == m_damaged);
  }
  EXPECT_EQ(partitions({"rewrite", "--disk", "0", "--candidate", "99", "--yes"}).status, 2);
  EXPECT_EQ(partitions({"rewrite", "--disk", "3", "--candidate", "0", "--yes"}).status, 2);

  CliRun done = partitions({"rewrite", "--disk", "0", "--candidate", std::to_string(k), "--yes"});
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.out.find("The partition has been recovered successfully."), std::string::npos);
  auto at = done.out.find("Undo file: ");
  ASSERT_NE(at, std::string::npos);
  std::string undo = done.out.substr(at + 11);
  undo = undo.substr(0, undo.find('\n'));
  EXPECT_EQ(std::filesystem::path(undo).parent_path(), m_dir.path() / "backup");
  EXPECT_EQ(test::imageEntries(m_image, 0)[1].start, 83968u);

  // The restored volume is lettered now, no longer a gap's find.
  auto after = nlohmann::json::parse(partitions({"scan", "--disk", "0", "--json"}).out);
  bool lettered = false;
  for (const auto& c : after["candidates"])
    lettered |= c["start_sector"] == 83968 && c["fs"] == "NTFS" && c["letter"] != "*";
  EXPECT_TRUE(lettered);

  CliRun undone = runCli({"--image", m_image.string(), "partitions", "undo", undo});
  ASSERT_EQ(undone.status, 0) << undone.err;
  EXPECT_TRUE(test::imageBytes(m_image) == m_damaged);
  EXPECT_EQ(runCli({"--image", m_image.string(), "partitions", "undo", (m_dir.path() / "nope").string()}).status, 2);
}

TEST_F(CliPartitions, RefusalsPrintTheirMessage) {
  CliRun scan = partitions({"scan", "--disk", "0", "--json"});
  auto j = nlohmann::json::parse(scan.out);
  int gap = -1;
  for (const auto& c : j["candidates"])
    if (c["fs"] == "Deleted") gap = c["index"].get<int>();
  ASSERT_GE(gap, 0);
  CliRun r = partitions({"rewrite", "--disk", "0", "--candidate", std::to_string(gap), "--yes"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(std::string(kTextInvalidPartition)), std::string::npos);
  EXPECT_TRUE(test::imageBytes(m_image) == m_damaged);
}

TEST_F(CliPartitions, BackupLoadsOnlyForItsDisk) {
  const auto pbf = (m_dir.path() / "demo.pbf").string();
  CliRun b = partitions({"backup", "--disk", "0", "--out", pbf});
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_NE(b.out.find(std::string(kTextBackupDone)), std::string::npos);
  CliRun l = partitions({"load", "--disk", "0", "--from", pbf, "--json"});
  ASSERT_EQ(l.status, 0) << l.err;
  EXPECT_EQ(nlohmann::json::parse(l.out)["source"], "backup");

  auto other = test::copyFixture("demo_disk.img", m_dir.path(), "another.img");
  CliRun refused = runCli({"--image", other.string(), "partitions", "load", "--disk", "0", "--from", pbf});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(std::string(kTextCantLoadBackup)), std::string::npos);

  // A --from file that is not there is an input error, named in the sentence.
  const auto none = (m_dir.path() / "none.pbf").string();
  for (const auto& words : {std::vector<std::string>{"load", "--disk", "0", "--from", none},
                            std::vector<std::string>{"rewrite", "--disk", "0", "--from", none, "--candidate", "0", "--yes"}}) {
    CliRun missing = partitions(words);
    EXPECT_EQ(missing.status, 2) << words[0];
    EXPECT_NE(missing.err.find("none.pbf"), std::string::npos) << missing.err;
  }

  // Without --out the backup lands in the backup folder, where the listing finds it.
  ASSERT_EQ(partitions({"backup", "--disk", "0"}).status, 0);
  CliRun list = partitions({"list", "--disk", "0", "--json"});
  ASSERT_EQ(list.status, 0);
  EXPECT_EQ(nlohmann::json::parse(list.out).size(), 1u);
}

}  // namespace
}  // namespace velk
