// The output folder: bytes arrive whole and in order whatever the sizes of the pieces,
// holes stay holes, a file is under its name only when complete, and nothing is created
// through a link.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "output/output_folder.h"
#include "test_support.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + seed);
  return v;
}

std::vector<std::string> namesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class OutputFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = OutputDir::openRoot(tmp.path() / "out");
    ASSERT_TRUE(opened) << describe(opened.error());
    root = std::move(*opened);
  }
  std::unique_ptr<OutputFile> create(const std::string& name) {
    auto file = OutputFile::create(root, name);
    EXPECT_TRUE(file);
    return file ? std::move(*file) : nullptr;
  }
  test::TempDir tmp;
  OutputDir root;
};

TEST_F(OutputFolderTest, PiecesArriveInOrderAndHolesStayHoles) {
  // Pieces below, at and above the gathering size, ones that overflow what is gathered,
  // a hole in the middle and one at the end.
  const std::vector<size_t> sizes{1, 100, 70000, OutputFile::kGatherBytes, 3, OutputFile::kGatherBytes - 1, 2, 0, 512};
  constexpr uint64_t kHole = uint64_t(1) << 30;
  std::vector<uint8_t> expected;
  auto file = create("a.bin");
  uint8_t seed = 0;
  for (size_t n : sizes) {
    const auto piece = pattern(n, seed++);
    ASSERT_TRUE(file->write(piece.data(), piece.size()));
    expected.insert(expected.end(), piece.begin(), piece.end());
    if (n == 70000) {
      ASSERT_TRUE(file->writeZeros(100000));
      expected.resize(expected.size() + 100000, 0);
    }
  }
  const size_t head = expected.size();
  ASSERT_TRUE(file->writeZeros(kHole));
  ASSERT_TRUE(file->commit(Replace::Never));
  const fs::path path = tmp.path() / "out" / "a.bin";
  EXPECT_EQ(fs::file_size(path), head + kHole);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, uint64_t(16) << 20) << "the hole was written out";
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> start(head);
  in.read(reinterpret_cast<char*>(start.data()), std::streamsize(head));
  EXPECT_EQ(start, expected);
  expected.resize(head + kHole, 0);
  EXPECT_EQ(file->sha256(), test::sha256Hex(expected));
}

TEST_F(OutputFolderTest, AnUnfinishedFileLeavesNothingUnderItsName) {
  const auto bytes = pattern(5000, 1);
  {
    auto file = create("gone.bin");
    ASSERT_TRUE(file->write(bytes.data(), bytes.size()));
  }  // never committed
  JobFlag job;
  auto stopped = create("stopped.bin");
  stopped->watch(&job);
  job.clear();
  EXPECT_FALSE(stopped->write(bytes.data(), bytes.size()));
  EXPECT_TRUE(stopped->failure().is(ErrorKind::Cancelled));
  auto kept = stopped->keepPartial();
  ASSERT_TRUE(kept);
  EXPECT_EQ(namesIn(tmp.path() / "out"), std::vector<std::string>{"stopped.bin.partial"});
}

TEST_F(OutputFolderTest, AFailedWriteSticksAndNamesItsCause) {
  // A file-size limit stands in for a full disk: past it, writes fail with EFBIG.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100000, 100000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool ok = [&] {
      auto file = OutputFile::create(root, "big.bin");
      const auto piece = pattern(OutputFile::kGatherBytes, 4);
      if (!file || !(*file)->write(piece.data(), piece.size())) return false;
      if ((*file)->write(piece.data(), piece.size()) || (*file)->write(piece.data(), 1)) return false;
      return !(*file)->commit(Replace::Never) &&
             describe((*file)->failure()).find("does not take a file this large") != std::string::npos;
    }();  // the file is gone before the child ends
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(namesIn(tmp.path() / "out").empty());
}

TEST_F(OutputFolderTest, LinksAreTakenNamesAndNeverFollowed) {
  const fs::path elsewhere = tmp.path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::create_directory_symlink(elsewhere, tmp.path() / "out" / "Photos");
  fs::create_symlink(elsewhere / "x.jpg", tmp.path() / "out" / "x.jpg");
  std::ofstream(tmp.path() / "out" / "taken") << "file";

  auto photos = root.child("Photos");
  ASSERT_FALSE(photos);
  EXPECT_NE(describe(photos.error()).find("is a link"), std::string::npos) << describe(photos.error());
  EXPECT_FALSE(root.child("taken"));
  EXPECT_FALSE(root.child(".."));
  EXPECT_EQ(root.entry("x.jpg"), EntryKind::Link);

  // A dangling link is a taken name: never replaced unless asked, then the link itself goes.
  const auto bytes = pattern(10, 2);
  auto file = create("x.jpg");
  ASSERT_TRUE(file->write(bytes.data(), bytes.size()));
  EXPECT_FALSE(file->commit(Replace::Never));
  file = create("x.jpg");
  ASSERT_TRUE(file->write(bytes.data(), bytes.size()));
  EXPECT_TRUE(file->commit(Replace::Allowed));
  EXPECT_FALSE(fs::is_symlink(tmp.path() / "out" / "x.jpg"));
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST(NumberedName, KeepsTheExtensionAndTheLengthLimit) {
  EXPECT_EQ(numberedName("a_b.txt", 2), "a_b (2).txt");
  EXPECT_EQ(numberedName("archive.tar.gz", 3), "archive.tar (3).gz");
  EXPECT_EQ(numberedName("_", 2), "_ (2)");
  EXPECT_EQ(numberedName(".profile", 2), ".profile (2)");
  const std::string longName = numberedName(std::string(254, 'n') + ".jpeg", 12);
  EXPECT_EQ(longName.size(), 255u);
  EXPECT_EQ(longName.substr(longName.size() - 10), " (12).jpeg");
}

}  // namespace
}  // namespace velk
