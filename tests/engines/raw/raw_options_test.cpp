// The raw scan options: range checks with their messages, and type check boxes that
// govern the signatures of their type.

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include "cli_context.h"
#include "engines/raw/raw_options.h"

namespace velk {
namespace {

class RawOptionsCheckTest : public ::testing::Test {
 protected:
  RawOptionsLimits limits{63, 20480};
  RawOptionsCheck check(std::string start, std::string end, std::string max = "512000") {
    return checkRawOptions({start, end, max}, limits);
  }
};

TEST_F(RawOptionsCheckTest, Labels) {
  EXPECT_EQ(lowestStartLabel(limits), "> 63");
  EXPECT_EQ(highestEndLabel(limits), "< 20480");
  EXPECT_EQ(totalSectorsLabel(limits), "20417");
}

TEST_F(RawOptionsCheckTest, StartAtLowestAccepted) { EXPECT_EQ(check("63", "100").outcome, RawOptionsOutcome::Accept); }

TEST_F(RawOptionsCheckTest, StartBelowLowestResetsStart) {
  auto c = check("10", "100");
  EXPECT_EQ(c.outcome, RawOptionsOutcome::StartTooLow);
  EXPECT_EQ(c.message, "Start sector is not valid. This must be bigger than 63");
  EXPECT_EQ(c.values.startSector, 63u);
}

TEST_F(RawOptionsCheckTest, EndAboveHighestResetsEnd) {
  auto c = check("100", "30000");
  EXPECT_EQ(c.outcome, RawOptionsOutcome::EndTooHigh);
  EXPECT_EQ(c.message, "End sector is not valid. This must be less than 20480");
  EXPECT_EQ(c.values.endSector, 20480u);
}

TEST_F(RawOptionsCheckTest, EqualStartAndEndRefused) {
  auto c = check("100", "100");
  EXPECT_EQ(c.outcome, RawOptionsOutcome::StartNotBelowEnd);
  EXPECT_EQ(c.message, "Start sector must be less than end sector");
  EXPECT_EQ(c.values.startSector, 63u);
}

TEST_F(RawOptionsCheckTest, TextThatIsNoNumberKeepsTheDialogOpenSilently) {
  EXPECT_EQ(check("abc", "100").outcome, RawOptionsOutcome::NotANumber);
  EXPECT_EQ(check("100", "200", "x").outcome, RawOptionsOutcome::NotANumber);
  EXPECT_EQ(check("100", "200", "0").outcome, RawOptionsOutcome::Accept);  // 0 keeps the default size
}

SignatureEntry entry(const char* ext, const char* desc) {
  SignatureEntry e;
  e.extension = ext;
  e.description = desc;
  e.patterns[0] = "aa";
  e.patternCount = 1;
  return e;
}

TEST(RawTypeList, ItemPerTypeGoverningExactlyItsSignatures) {
  SignatureCatalog c;
  for (auto [x, d] : {std::pair{"jpg", "JPEG"}, {"jpg", "JPEG"}, {"jpg", "JPEG"}, {"png", "PNG"}, {"jpg", "JPEG"}})
    c.entries().push_back(entry(x, d));
  auto items = rawTypeItems(c);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].entryCount, 3u);
  // Unchecking the three-signature type disables all three, and only them.
  items[0].checked = false;
  applyRawTypeItems(items, c);
  EXPECT_FALSE(c.entries()[0].enabled);
  EXPECT_FALSE(c.entries()[2].enabled);
  EXPECT_TRUE(c.entries()[3].enabled);
  EXPECT_TRUE(c.entries()[4].enabled);
  // The later item of the same description leaves the first run alone.
  items[0].checked = true;
  items[2].checked = false;
  applyRawTypeItems(items, c);
  EXPECT_TRUE(c.entries()[2].enabled);
  EXPECT_FALSE(c.entries()[4].enabled);
  setAllRawTypeItems(items, false);
  applyRawTypeItems(items, c);
  EXPECT_EQ(c.enabledCount(), 0u);
}

TEST(CatalogCommand, ListsAsJsonAndFailsClearlyWithoutCatalogue) {
  for (bool missing : {false, true}) {
    CLI::App app;
    cli::CliContext ctx;
    cli::addCatalogCommand(app, ctx);
    const std::string path = missing ? "/nonexistent/rp.dat" : std::string(VELK_RESOURCE_DIR) + "/rp.dat";
    std::vector<std::string> args{"catalog", "--catalog", path, "--json"};
    std::vector<const char*> argv{"velk-cli"};
    for (auto& a : args) argv.push_back(a.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    app.parse(int(argv.size()), argv.data());
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    if (missing) {
      EXPECT_EQ(ctx.exitCode, cli::kExitUsage);
      EXPECT_TRUE(out.empty());
      EXPECT_NE(err.find("not found"), std::string::npos);
    } else {
      EXPECT_EQ(ctx.exitCode, cli::kExitOk);
      EXPECT_NE(out.find("\"extension\": \"jpg\""), std::string::npos);
      EXPECT_NE(out.find("\"description\": \"JPEG Image\""), std::string::npos);
      EXPECT_NE(out.find("\"offset\": 32768"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace velk
