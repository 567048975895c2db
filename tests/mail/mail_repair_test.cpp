#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli_context.h"
#include "mail/mail_repair.h"
#include "test_support.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kLine = "-------------------------------------------\r\n";

std::string entry(const std::string& name, const std::string& outcome) {
  return "Selected file: " + name + "\r\n" + outcome + "\r\n" + kLine;
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 % 251);
  return b;
}

// A folder file of n bytes: "LocalStore\0" at 9409, `word` at 196 (bytes little-endian).
Bytes dbxImage(size_t n, std::array<uint8_t, 4> word = {0x23, 0x01, 0x00, 0x00}) {
  Bytes b = pattern(n);
  const char tag[] = "LocalStore";  // with its terminating zero: 11 bytes
  std::copy(tag, tag + 11, b.begin() + 9409);
  std::copy(word.begin(), word.end(), b.begin() + 196);
  return b;
}

// What a repaired folder file holds: the source with CF AD 12 FE C5 FD 74 6F in front.
Bytes repairedDbx(Bytes b) {
  const uint8_t sig[] = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F};
  std::copy(sig, sig + 8, b.begin());
  return b;
}

class MailRepairTest : public ::testing::Test {
 protected:
  fs::path in(const std::string& name) const { return m_dir.path() / "in" / name; }
  fs::path out(const std::string& name) const { return m_dir.path() / "out" / name; }
  fs::path outDir() const { return m_dir.path() / "out"; }
  void SetUp() override {
    fs::create_directory(m_dir.path() / "in");
    fs::create_directory(m_dir.path() / "out");
  }
  MailRepairReport run(MailStoreKind kind, const std::vector<std::string>& names, const OverwriteQuestion& ask = {}) {
    MailRepairRequest request;
    request.kind = kind;
    request.outDir = outDir();
    for (const auto& n : names) request.files.push_back(in(n));
    StopFlag stop;
    return runMailRepair(request, ask, stop);
  }

  test::TempDir m_dir;
};

// ---------------------------------------------------------------- .dbx

using MailRepairDbx = MailRepairTest;

TEST_F(MailRepairDbx, CopyGetsBothSignatureWordsAndGivesTheWordAt196) {
  const Bytes source = dbxImage(10000);
  writeBytes(in("Inbox.dbx"), source);
  EXPECT_EQ(repairDbx(in("Inbox.dbx"), out("Inbox.dbx")), 0x123);
  EXPECT_EQ(test::readFile(out("Inbox.dbx")), repairedDbx(source));
  EXPECT_EQ(test::readFile(in("Inbox.dbx")), source);  // the user's file is untouched
}

TEST_F(MailRepairDbx, WholeBlockMultipleAndSmallestSupportedSize) {
  for (size_t n : {10240u, 9420u}) {
    const Bytes source = dbxImage(n);
    writeBytes(in("a.dbx"), source);
    EXPECT_EQ(repairDbx(in("a.dbx"), out("a.dbx")), 0x123) << n;
    EXPECT_EQ(test::readFile(out("a.dbx")), repairedDbx(source)) << n;
  }
}

TEST_F(MailRepairDbx, WithoutLocalStoreTheUnchangedCopyStays) {
  Bytes noZero = dbxImage(10000);
  noZero[9419] = 'X';  // "LocalStoreX"
  const Bytes shortFile = pattern(9419);  // one byte short of the tag's end
  for (const Bytes& source : {noZero, shortFile}) {
    writeBytes(in("b.dbx"), source);
    EXPECT_EQ(repairDbx(in("b.dbx"), out("b.dbx")), kMailUnsupportedFormat);
    EXPECT_EQ(test::readFile(out("b.dbx")), source);
  }
}

TEST_F(MailRepairDbx, WordsThatLookLikeErrorCodesAreStillRepairs) {
  writeBytes(in("c.dbx"), dbxImage(9500, {0xFF, 0xFF, 0xFF, 0xFF}));
  writeBytes(in("d.dbx"), dbxImage(9500, {0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(repairDbx(in("c.dbx"), out("direct.dbx")), 0xFFFFFFFF);
  EXPECT_EQ(run(MailStoreKind::OutlookExpress, {"c.dbx", "d.dbx"}).text,
            entry("c.dbx", "Repaired") + entry("d.dbx", "Repaired"));
}

// ---------------------------------------------------------------- .pst

using MailRepairPst = MailRepairTest;

TEST_F(MailRepairPst, CopyBeginsWithBdnAndKeepsTheRest) {
  const Bytes source = pattern(3000);
  writeBytes(in("mail.pst"), source);
  EXPECT_EQ(repairPst(in("mail.pst"), out("mail.pst")), 0);
  Bytes expected = source;
  expected[0] = 0x21, expected[1] = 0x42, expected[2] = 0x44, expected[3] = 0x4E;
  EXPECT_EQ(test::readFile(out("mail.pst")), expected);
}

TEST_F(MailRepairPst, EmptySourceGivesTheFourSignatureBytes) {
  writeBytes(in("empty.pst"), {});
  EXPECT_EQ(repairPst(in("empty.pst"), out("empty.pst")), 0);
  EXPECT_EQ(test::readFile(out("empty.pst")), (Bytes{'!', 'B', 'D', 'N'}));
}

TEST_F(MailRepairPst, MissingSourceFailsWithoutCreatingTheOutput) {
  EXPECT_EQ(repairPst(in("gone.pst"), out("gone.pst")), kMailRepairFailed);
  EXPECT_FALSE(fs::exists(out("gone.pst")));
  fs::create_directory(in("folder.pst"));
  EXPECT_EQ(repairPst(in("folder.pst"), out("folder.pst")), kMailRepairFailed);
  EXPECT_FALSE(fs::exists(out("folder.pst")));
}

// ---------------------------------------------------------------- never harm the source

using MailRepairSafety = MailRepairTest;

TEST_F(MailRepairSafety, OutputThatIsTheSourceIsRefused) {
  const Bytes source = pattern(5000);
  writeBytes(in("self.pst"), source);
  fs::create_symlink(in("self.pst"), out("self.pst"));
  EXPECT_EQ(repairPst(in("self.pst"), out("self.pst")), kMailRepairFailed);
  EXPECT_EQ(repairPst(in("self.pst"), in("self.pst")), kMailRepairFailed);
  fs::remove(out("self.pst"));
  fs::create_hard_link(in("self.pst"), out("self.pst"));
  int asked = 0;
  const auto report = run(MailStoreKind::Outlook, {"self.pst"}, [&](const std::string&) {
    ++asked;
    return OverwriteChoice::Yes;
  });
  EXPECT_EQ(report.text, entry("self.pst", "Repair failed"));
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(test::readFile(in("self.pst")), source);
}

TEST_F(MailRepairSafety, OutputPathThatIsAFolderFails) {
  writeBytes(in("x.pst"), pattern(100));
  fs::create_directory(out("x.pst"));
  EXPECT_EQ(repairPst(in("x.pst"), out("x.pst")), kMailRepairFailed);
  EXPECT_EQ(run(MailStoreKind::Outlook, {"x.pst"}).text, entry("x.pst", "Repair failed"));
}

TEST_F(MailRepairSafety, WriteCutShortByAFileSizeLimitFails) {
  writeBytes(in("big.pst"), pattern(20000));
  writeBytes(in("big.dbx"), dbxImage(20000));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Like a full disk: writes past 5000 bytes fail instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{5000, 5000};
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool pst = repairPst(in("big.pst"), out("big.pst")) == kMailRepairFailed;
    const bool dbx = repairDbx(in("big.dbx"), out("big.dbx")) == kMailRepairFailed;
    _exit(pst && dbx ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Nothing is left under the names: a cut-short copy never looks like a repaired store.
  EXPECT_FALSE(fs::exists(out("big.pst")));
  EXPECT_FALSE(fs::exists(out("big.dbx")));
}

// ---------------------------------------------------------------- the run

using MailRepairRun = MailRepairTest;

TEST_F(MailRepairRun, ReportOfEveryOutcomeInListOrder) {
  writeBytes(in("good.dbx"), dbxImage(9600));
  writeBytes(in("short.dbx"), pattern(4000));
  auto r = run(MailStoreKind::OutlookExpress, {"good.dbx", "short.dbx", "missing.dbx"});
  EXPECT_EQ(r.text,
            "Selected file: good.dbx\r\nRepaired\r\n-------------------------------------------\r\n"
            "Selected file: short.dbx\r\nUnsupported format\r\n-------------------------------------------\r\n"
            "Selected file: missing.dbx\r\nRepair failed\r\n-------------------------------------------\r\n");
  EXPECT_EQ(r.repaired, 1);
  EXPECT_EQ(r.unsupported, 1);
  EXPECT_EQ(r.failed, 1);
  EXPECT_TRUE(run(MailStoreKind::OutlookExpress, {}).text.empty());
}

TEST_F(MailRepairRun, OutputNameIsTheSourcesLastComponent) {
  fs::create_directories(in("deep/er"));
  writeBytes(in("deep/er/Sent Items.pst"), pattern(64));
  EXPECT_EQ(mailRepairTarget(in("deep/er/Sent Items.pst"), outDir()), outDir() / "Sent Items.pst");
  EXPECT_EQ(run(MailStoreKind::Outlook, {"deep/er/Sent Items.pst"}).text, entry("Sent Items.pst", "Repaired"));
  EXPECT_TRUE(fs::exists(out("Sent Items.pst")));
}

// Three stores whose targets all exist already.
class MailRepairOverwrite : public MailRepairTest {
 protected:
  void SetUp() override {
    MailRepairTest::SetUp();
    for (const char* n : {"1.pst", "2.pst", "3.pst"}) {
      writeBytes(in(n), pattern(100));
      writeBytes(out(n), Bytes{'o', 'l', 'd'});
    }
  }
  MailRepairReport answer(std::vector<OverwriteChoice> answers) {
    return run(MailStoreKind::Outlook, {"1.pst", "2.pst", "3.pst"}, [this, answers](const std::string& path) {
      asked.push_back(path);
      return answers.at(asked.size() - 1);
    });
  }
  bool replaced(const char* n) { return test::readFile(out(n)) != Bytes{'o', 'l', 'd'}; }

  std::vector<std::string> asked;
};

TEST_F(MailRepairOverwrite, YesIsAskedForEachFile) {
  auto r = answer({OverwriteChoice::Yes, OverwriteChoice::Yes, OverwriteChoice::Yes});
  EXPECT_EQ(asked, (std::vector<std::string>{out("1.pst").string(), out("2.pst").string(), out("3.pst").string()}));
  EXPECT_EQ(r.repaired, 3);
  EXPECT_TRUE(replaced("3.pst"));
}

TEST_F(MailRepairOverwrite, YesToAllStopsTheQuestions) {
  auto r = answer({OverwriteChoice::YesToAll});
  EXPECT_EQ(asked.size(), 1u);
  EXPECT_EQ(r.text, entry("1.pst", "Repaired") + entry("2.pst", "Repaired") + entry("3.pst", "Repaired"));
}

TEST_F(MailRepairOverwrite, NoLeavesTheFileOutOfTheReport) {
  auto r = answer({OverwriteChoice::Yes, OverwriteChoice::No, OverwriteChoice::Yes});
  EXPECT_EQ(r.text, entry("1.pst", "Repaired") + entry("3.pst", "Repaired"));
  EXPECT_FALSE(replaced("2.pst"));
  EXPECT_EQ(r.skipped, 1);
}

TEST_F(MailRepairOverwrite, CancelEndsTheRunAtOnce) {
  auto r = answer({OverwriteChoice::Yes, OverwriteChoice::Cancel});
  EXPECT_EQ(r.text, entry("1.pst", "Repaired"));
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(replaced("2.pst"));
  EXPECT_FALSE(replaced("3.pst"));
}

TEST_F(MailRepairRun, ClearedStopFlagRepairsNothing) {
  writeBytes(in("a.pst"), pattern(10));
  MailRepairRequest request{MailStoreKind::Outlook, {in("a.pst")}, outDir(), {}};
  StopFlag stop;
  stop.clear();
  auto r = runMailRepair(request, {}, stop);
  EXPECT_TRUE(r.cancelled);
  EXPECT_TRUE(r.text.empty());
  EXPECT_FALSE(fs::exists(out("a.pst")));
}

TEST_F(MailRepairRun, ReportIsHandedOverAfterEachFile) {
  writeBytes(in("a.pst"), pattern(10));
  writeBytes(in("b.pst"), pattern(10));
  std::vector<std::string> seen;
  MailRepairRequest request{MailStoreKind::Outlook, {in("a.pst"), in("b.pst")}, outDir(),
                            [&](const std::string& text) { seen.push_back(text); }};
  StopFlag stop;
  Progress progress;
  runMailRepair(request, {}, stop, &progress);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], entry("a.pst", "Repaired"));
  EXPECT_EQ(seen[1], entry("a.pst", "Repaired") + entry("b.pst", "Repaired"));
  EXPECT_EQ(progress.foundTotal.load(), 2u);
  EXPECT_EQ(progress.foundCurrent.load(), 2u);
}

// ---------------------------------------------------------------- velk-cli mail repair

class MailRepairCli : public MailRepairTest {
 protected:
  // Parses and runs like velk-cli's main: a parse error is status 2.
  int cli(std::vector<std::string> args, std::string* out = nullptr) {
    CLI::App app;
    cli::CliContext ctx;
    cli::addMailCommand(app, ctx);
    args.insert(args.begin(), "velk-cli");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = 0;
    try {
      app.parse(int(argv.size()), argv.data());
      rc = ctx.exitCode;
    } catch (const CLI::ParseError&) {
      rc = cli::kExitUsage;
    }
    const std::string printed = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    if (out) *out = printed;
    return rc;
  }
};

TEST_F(MailRepairCli, PrintsTheReportAndTellsFailures) {
  writeBytes(in("a.dbx"), dbxImage(9500));
  writeBytes(in("b.dbx"), pattern(100));
  std::string printed;
  EXPECT_EQ(cli({"mail", "repair", "--store", "dbx", "--out", outDir().string(), in("a.dbx").string()}, &printed), 0);
  EXPECT_EQ(printed, entry("a.dbx", "Repaired"));
  EXPECT_EQ(cli({"mail", "repair", "--store", "dbx", "--out", outDir().string(), "--overwrite", "all",
                 in("a.dbx").string(), in("b.dbx").string()},
                &printed),
            1);
  EXPECT_EQ(printed, entry("a.dbx", "Repaired") + entry("b.dbx", "Unsupported format"));
}

TEST_F(MailRepairCli, ExistingTargetIsKeptWithoutATerminal) {
  writeBytes(in("a.pst"), pattern(10));
  writeBytes(out("a.pst"), Bytes{'o', 'l', 'd'});
  std::string printed;
  // The tests' stdin is not a terminal: "ask" answers No.
  if (!isatty(STDIN_FILENO)) {
    EXPECT_EQ(cli({"mail", "repair", "--store", "pst", "--out", outDir().string(), in("a.pst").string()}, &printed), 0);
    EXPECT_EQ(printed, "");
  }
  EXPECT_EQ(cli({"mail", "repair", "--store", "pst", "--out", outDir().string(), "--overwrite", "cancel",
                 in("a.pst").string()}),
            1);
  EXPECT_EQ(test::readFile(out("a.pst")), (Bytes{'o', 'l', 'd'}));
}

TEST_F(MailRepairCli, UsageAndInputErrors) {
  writeBytes(in("a.pst"), pattern(10));
  const std::string o = outDir().string(), f = in("a.pst").string();
  EXPECT_EQ(cli({"mail", "repair", "--store", "mbox", "--out", o, f}), 2);
  EXPECT_EQ(cli({"mail", "repair", "--store", "pst", f}), 2);
  EXPECT_EQ(cli({"mail", "repair", "--store", "pst", "--out", o}), 2);
  EXPECT_EQ(cli({"mail", "repair", "--store", "pst", "--out", (outDir() / "nope").string(), f}), 2);
  EXPECT_EQ(cli({"mail", "repair", "--store", "pst", "--out", o, in("nope.pst").string()}), 2);
  EXPECT_FALSE(fs::exists(out("a.pst")));
}

}  // namespace
}  // namespace velk
