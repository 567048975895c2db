// Faults while recovering: the output disk fills up (a file-size limit in a forked child),
// and sectors of the examined disk cannot be read. The job reports each file that failed,
// goes on with the next, and loses nothing it already recovered.

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "disk/device.h"
#include "disk/drive_catalog.h"
#include "engines/engine_registry.h"
#include "faulty_device.h"
#include "hardening/hardening_support.h"
#include "output/write_guard.h"
#include "workspace/recovery_job.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string shaOfFile(const fs::path& p) {
  const std::string s = contentsOf(p);
  return sha256Hex(std::vector<uint8_t>(s.begin(), s.end()));
}

// The image attached as drive 0 with the policy in force, and the first record an engine
// takes for the task, opened and scanned with everything checked.
struct Scanned {
  PartitionRecord record;
  std::unique_ptr<RecoveryEngine> engine;
  std::unique_ptr<ResultTree> tree;
};

Scanned attachAndScan(const fs::path& image, Task task, const FaultPlan& faults = {}) {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  attachFaulty(image, faults);
  ns.assignLetters();
  DriveCatalog catalog;
  catalog.Refresh();
  Scanned s;
  for (const PartitionRecord& r : catalog.partitions()) {
    if (!engineFor(r, task)) continue;
    if (auto opened = openEngine(r, task)) {
      s.engine = std::move(*opened);
      s.record = r;
      break;
    }
  }
  if (!s.engine) return s;
  s.tree = std::make_unique<ResultTree>(s.engine->variant());
  ScanOptions options;
  options.task = task;
  Progress progress;
  (void)s.engine->scan(*s.tree, options, progress);
  s.tree->setAllChecked(true);
  return s;
}

RecoveryReport recoverAll(Scanned& s, const fs::path& out) {
  RecoveryRequest request;
  request.outputFolder = out;
  JobFlag job;
  Progress progress;
  return runRecovery(*s.tree, *s.engine, request, job, progress);
}

// ------------------------------------------------------------------ a full output disk

// Recovers in a child whose files may not grow past limit bytes (SIGXFSZ ignored, so a
// write past it fails with EFBIG instead of killing the process). The report comes back
// through a pipe: counts, then the failure lines, then the written paths.
RecoveryReport recoverWithFileSizeLimit(Scanned& s, const fs::path& out, rlim_t limit) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    struct rlimit rl {limit, limit};
    ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &rl);
    const RecoveryReport r = recoverAll(s, out);
    std::ostringstream text;
    text << r.recovered << ' ' << r.failed << ' ' << r.skipped << '\n' << r.errorText << "--\n";
    for (const auto& p : r.written) text << p.string() << '\n';
    const std::string bytes = text.str();
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
      if (n <= 0) ::_exit(2);
      done += size_t(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "recovery child ended with status " << status;

  RecoveryReport r;
  std::istringstream in(text);
  in >> r.recovered >> r.failed >> r.skipped;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line) && line != "--") r.errorText += line + "\n";
  while (std::getline(in, line)) r.written.emplace_back(line);
  return r;
}

TEST(RecoveryFaults, AFullOutputDiskFailsTheFilesThatDoNotFitAndKeepsTheRest) {
  const fs::path image = fixturePath("ntfs_deleted.img");
  if (!fs::exists(image)) GTEST_FAIL() << "ntfs_deleted.img is not unpacked";
  constexpr rlim_t kLimit = 48 * 1024;
  Scanned s = attachAndScan(image, Task::Deleted);
  ASSERT_TRUE(s.engine);
  TempDir out;
  const RecoveryReport report = recoverWithFileSizeLimit(s, out.path(), kLimit);
  DeviceNamespace::instance().reset();

  EXPECT_GT(report.recovered, 0u);
  EXPECT_GT(report.failed, 0u);
  size_t checkedFits = 0, checkedTooBig = 0;
  for (const ManifestEntry& m : loadManifest("ntfs_deleted")) {
    if (m.state == "live" || m.path.find(':') != std::string::npos) continue;
    const std::string name = fs::path(m.path).filename().string();
    const fs::path target = out.path() / m.path;
    if (m.size <= kLimit) {
      // Files that fit are there in full, those written before a failure and after it.
      EXPECT_EQ(shaOfFile(target), m.sha256) << m.path;
      ++checkedFits;
    } else {
      // Reported with its cause, and nothing of it under its name.
      EXPECT_NE(report.errorText.find("'" + name + "'. Writing '" + name + "' failed: the output does not take"),
                std::string::npos)
          << m.path << " not reported:\n" << report.errorText;
      EXPECT_FALSE(fs::exists(target)) << m.path;
      ++checkedTooBig;
    }
  }
  EXPECT_GT(checkedFits, 5u);
  EXPECT_GT(checkedTooBig, 2u);
  // Everything reported written is still whole at the end.
  for (const auto& p : report.written) EXPECT_LE(fs::file_size(p), kLimit) << p;
}

// ------------------------------------------------------------------ unreadable sectors

struct FaultCase {
  const char* image;
  Task task;
  // The FAT formatted scan reads every cluster of its range and ends its collection at the
  // first that does not read: what lies past the bad sector is then not listed at all.
  bool scanStopsAtTheBadSector = false;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.image << "/" << int(c.task); }

class UnreadableSectors : public ::testing::TestWithParam<FaultCase> {
 protected:
  void TearDown() override { DeviceNamespace::instance().reset(); }
};

// Where the bytes stand in the image, at a 512-byte boundary; nullopt unless exactly once.
std::optional<uint64_t> uniqueSectorOf(const std::vector<uint8_t>& image, const uint8_t* bytes) {
  std::optional<uint64_t> found;
  for (uint64_t at = 0; at + 512 <= image.size(); at += 512) {
    if (std::memcmp(image.data() + at, bytes, 512) != 0) continue;
    if (found) return std::nullopt;
    found = at;
  }
  return found;
}

TEST_P(UnreadableSectors, TheFileOnABadSectorFailsAndEveryOtherIsRecovered) {
  const FaultCase& c = GetParam();
  const fs::path image = fixturePath(c.image);
  if (!fs::exists(image)) GTEST_FAIL() << c.image << " is not unpacked";

  // Without faults first: what a clean run recovers, and a victim whose second sector is
  // unique in the image.
  TempDir clean;
  Scanned s = attachAndScan(image, c.task);
  ASSERT_TRUE(s.engine);
  const RecoveryReport good = recoverAll(s, clean.path());
  ASSERT_GT(good.recovered, 1u) << good.errorText;
  const std::vector<uint8_t> bytes = *fixtureCopy(c.image);
  std::optional<uint64_t> bad;
  fs::path victim;
  for (const auto& p : good.written) {
    const std::string data = contentsOf(p);
    if (data.size() < 1024) continue;
    bad = uniqueSectorOf(bytes, reinterpret_cast<const uint8_t*>(data.data()) + 512);
    if (bad) {
      victim = p.lexically_relative(clean.path());
      break;
    }
  }
  ASSERT_TRUE(bad) << "no file with a unique second sector";

  FaultPlan policy;
  policy.failReadsFrom = *bad;
  policy.failReadsTo = *bad + 512;
  TempDir faulty;
  Scanned f = attachAndScan(image, c.task, policy);
  ASSERT_TRUE(f.engine);
  const RecoveryReport report = recoverAll(f, faulty.path());

  EXPECT_GE(report.failed, 1u);
  EXPECT_NE(report.errorText.find("'" + victim.filename().string() + "'"), std::string::npos)
      << victim << " is not among the failures:\n" << report.errorText;
  // Every other file is recovered, byte for byte what the clean run wrote.
  if (!c.scanStopsAtTheBadSector) {
    EXPECT_EQ(report.recovered + report.failed, good.recovered + good.failed);
    EXPECT_EQ(report.recovered, good.recovered - 1) << report.errorText;
  }
  for (const auto& p : report.written) {
    const fs::path rel = p.lexically_relative(faulty.path());
    EXPECT_NE(rel, victim);
    EXPECT_EQ(contentsOf(p), contentsOf(clean.path() / rel)) << rel;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, UnreadableSectors,
                         ::testing::Values(FaultCase{"fat32_deleted.img", Task::Deleted},
                                           FaultCase{"fat32_formatted.img", Task::Formatted, true},
                                           FaultCase{"ntfs_deleted.img", Task::Deleted},
                                           FaultCase{"ntfs_formatted.img", Task::Formatted},
                                           FaultCase{"ext2_deleted.img", Task::Deleted},
                                           FaultCase{"ext3_1k.img", Task::Deleted},
                                           FaultCase{"raw_carve.img", Task::Raw}),
                         [](const auto& p) {
                           std::string name = p.param.image;
                           name = name.substr(0, name.find('.'));
                           return name + (p.param.task == Task::Deleted     ? "_deleted"
                                          : p.param.task == Task::Formatted ? "_formatted"
                                                                            : "_raw");
                         });

// ------------------------------------------------------------------ the DFXML report

// report.xml gives each recovered file the hash of what was written, and its byte runs
// point at the image bytes the file holds: img_offset counts from the image's start, so
// on a partitioned disk it includes where the partition begins.
class DfxmlReport : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DfxmlReport, HashesAndByteRunsMatchTheRecoveredFiles) {
  const std::string name = GetParam().image;
  const fs::path image = fixturePath(name);
  if (!fs::exists(image)) GTEST_FAIL() << name << " is not unpacked";
  Scanned s = attachAndScan(image, GetParam().task);
  ASSERT_TRUE(s.engine);
  TempDir out;
  RecoveryRequest request;
  request.outputFolder = out.path();
  request.examined = examinedRangeOf(s.record);
  JobFlag job;
  Progress progress;
  const RecoveryReport report = runRecovery(*s.tree, *s.engine, request, job, progress);
  DeviceNamespace::instance().reset();
  ASSERT_GT(report.recovered, 0u) << report.errorText;
  ASSERT_EQ(report.reportPath, out.path() / "report.xml");

  const std::string xml = contentsOf(report.reportPath), disk = contentsOf(image);
  const std::regex object(R"(<fileobject>([\s\S]*?)</fileobject>)"), filename("<filename>(.*)</filename>"),
      hash(R"(<hashdigest type="sha256">([0-9a-f]{64})</hashdigest>)"),
      run(R"re(<byte_run file_offset="(\d+)" img_offset="(\d+)" len="(\d+)"/>)re");
  std::set<std::string> hashes;
  size_t objects = 0, runs = 0;
  for (std::sregex_iterator o(xml.begin(), xml.end(), object), end; o != end; ++o, ++objects) {
    const std::string body = (*o)[1];
    std::smatch f, h;
    ASSERT_TRUE(std::regex_search(body, f, filename) && std::regex_search(body, h, hash)) << body;
    const std::string content = contentsOf(out.path() / f[1].str());
    EXPECT_EQ(h[1].str(), shaOfFile(out.path() / f[1].str())) << f[1];
    hashes.insert(h[1]);
    for (std::sregex_iterator r(body.begin(), body.end(), run); r != end; ++r, ++runs) {
      const uint64_t at = std::stoull((*r)[1]), from = std::stoull((*r)[2]), len = std::stoull((*r)[3]);
      ASSERT_LE(at + len, content.size()) << f[1];
      ASSERT_LE(from + len, disk.size()) << f[1];
      EXPECT_EQ(disk.compare(from, len, content, at, len), 0) << f[1] << " at " << at;
    }
  }
  EXPECT_EQ(objects, report.recovered);
  EXPECT_GT(runs, 0u);
  size_t known = 0;
  for (const ManifestEntry& m : loadManifest(name.substr(0, name.find('.')))) known += hashes.count(m.sha256);
  EXPECT_GT(known, 0u) << "no file of the fixture is in the report";
}

INSTANTIATE_TEST_SUITE_P(Engines, DfxmlReport,
                         ::testing::Values(FaultCase{"exfat_gpt.img", Task::Deleted},
                                           FaultCase{"raw_carve.img", Task::Raw}),
                         [](const auto& p) { std::string n = p.param.image; return n.substr(0, n.find('.')); });

}  // namespace
}  // namespace velk::test
