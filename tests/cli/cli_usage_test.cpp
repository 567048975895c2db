// Usage and input errors end the command with exit 2 before any scan starts, with a
// sentence that names what was wrong; names from an image reach the terminal escaped.

#include <gtest/gtest.h>

#include "cli_context.h"
#include "test_support.h"

namespace velk {
namespace {

struct UsageCase {
  const char* args;      // after --image <fat32_deleted.img>
  const char* mentions;  // a part of the sentence: the option or the value at fault
};

class CliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, ExitsTwoBeforeScanningAndNamesTheProblem) {
  const auto image = test::fixturePath("fat32_deleted.img");
  if (!std::filesystem::exists(image)) GTEST_FAIL() << "fat32_deleted.img is not unpacked";
  test::TempDir dir;
  std::string out;
  const std::string command = std::string(VELK_CLI_PATH) + " --image '" + image.string() + "' " + GetParam().args;
  EXPECT_EQ(test::runCommand("cd '" + dir.path().string() + "' && " + command + " 2>&1", &out), 2) << out;
  EXPECT_NE(out.find(GetParam().mentions), std::string::npos) << out;
  EXPECT_EQ(out.find("error -1"), std::string::npos) << out;
  EXPECT_EQ(out.find("[FAT32"), std::string::npos) << "a scan ran: " << out;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "something was written";
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CliUsage,
    ::testing::Values(UsageCase{"scan --partition 0 --date-mode 1 --date 2020-02-31", "2020-02-31"},
                      UsageCase{"scan --partition 0 --size-mode 4 --size-start 1 --size-end nan", "--size-end"},
                      UsageCase{"scan --partition ''", "--partition ''"},
                      UsageCase{"scan --partition 99", "--partition '99'"},
                      UsageCase{"recover --partition 0 --all --out ''", "--out"},
                      UsageCase{"scan --partition 0 --task raw --first 300 --last 200",
                                "Start sector must be less than end sector"},
                      UsageCase{"scan --partition 0 --task raw --types nosuchtype", "'nosuchtype'"},
                      UsageCase{"scan --partition 0 --task raw --catalog missing.dat", "missing.dat"},
                      UsageCase{"scan --partition 0 --task raw --first 10 --last 99999999",
                                "End sector is not valid. This must be less than"},
                      UsageCase{"scan --task deleted", "--partition is required"},
                      UsageCase{"recover --from-scan missing.velkscan --all --out x", "missing.velkscan"},
                      UsageCase{"scan --from-scan missing.velkscan --partition 0", "leave out --partition"}));

// A saved scan recovers the same bytes without a scan, and only from the disk it was made on.
TEST(CliSavedScan, RecoversFromTheFileOnTheSameDiskOnly) {
  const auto image = test::fixturePath("fat32_deleted.img");
  const auto other = test::fixturePath("exfat_deleted.img");
  if (!std::filesystem::exists(image) || !std::filesystem::exists(other)) GTEST_FAIL() << "fixtures not unpacked";
  test::TempDir dir;
  const std::string cli = std::string(VELK_CLI_PATH) + " --image '";
  const std::string scanFile = (dir.path() / "found.velkscan").string();
  std::string out;
  ASSERT_EQ(test::runCommand(cli + image.string() + "' scan --partition 0 --save '" + scanFile + "' 2>&1", &out), 0) << out;
  ASSERT_EQ(test::runCommand(cli + image.string() + "' recover --partition 0 --all --out '" + (dir.path() / "a").string() +
                                 "' 2>&1", &out), 0) << out;
  ASSERT_EQ(test::runCommand(cli + image.string() + "' recover --from-scan '" + scanFile + "' --all --out '" +
                                 (dir.path() / "b").string() + "' 2>&1", &out), 0) << out;
  size_t compared = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path() / "a")) {
    if (!e.is_regular_file() || e.path().filename() == "report.xml") continue;
    const auto again = dir.path() / "b" / std::filesystem::relative(e.path(), dir.path() / "a");
    EXPECT_EQ(test::sha256File(again), test::sha256File(e.path())) << again;
    ++compared;
  }
  EXPECT_GT(compared, 0u);
  EXPECT_EQ(test::runCommand(cli + other.string() + "' recover --from-scan '" + scanFile + "' --all --out '" +
                                 (dir.path() / "c").string() + "' 2>&1", &out), 2) << out;
  EXPECT_NE(out.find("another disk"), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "c"));
}

TEST(CliVisibleText, ControlCharactersInNamesAreShownEscaped) {
  EXPECT_EQ(cli::visibleText("a\x1b]0;owned\x07" "b"), "a\\x1b]0;owned\\x07b");
  EXPECT_EQ(cli::visibleText("tab\there\x7f"), "tab\\x09here\\x7f");
  EXPECT_EQ(cli::visibleText("c1 \xc2\x9b" "31m"), "c1 \\u009b31m");  // U+009B, the one-byte CSI
  EXPECT_EQ(cli::visibleText("R\xc3\xa9sum\xc3\xa9 2026.txt"), "R\xc3\xa9sum\xc3\xa9 2026.txt");
}

}  // namespace
}  // namespace velk
