#include "mail/mail_repair.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "formats/bytes.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

// Stores are copied in blocks of this size; a shorter read is the end of the source.
constexpr size_t kCopyBlock = 1024;
// A stop request is looked at every this many blocks (1 MiB), so a cancelled run does not
// wait for a multi-gigabyte .pst to finish.
constexpr size_t kBlocksBetweenStopChecks = 1024;

constexpr off_t kDbxTagOffset = 9409;
constexpr std::array<uint8_t, 11> kDbxTag = {'L', 'o', 'c', 'a', 'l', 'S', 't', 'o', 'r', 'e', 0};
constexpr uint32_t kDbxSignature = 0xFE12ADCF;
constexpr uint32_t kDbxSecondSignature = 0x6F74FDC5;
constexpr off_t kDbxResultOffset = 196;
constexpr std::array<uint8_t, 4> kPstSignature = {'!', 'B', 'D', 'N'};

constexpr const char* kCrLf = "\r\n";
constexpr const char* kSeparator = "-------------------------------------------";

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : m_fd(fd) {}
  ~UniqueFd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (m_fd >= 0) ::close(m_fd);
      m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
  }

  int get() const { return m_fd; }
  explicit operator bool() const { return m_fd >= 0; }
  // Closes now; false when the system reports an error (a delayed write failure).
  [[nodiscard]] bool close() {
    const int fd = m_fd;
    m_fd = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int m_fd;
};

// Reads until n bytes or the end of the file; false on a read error.
bool readFull(int fd, uint8_t* p, size_t n, size_t& got) {
  got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    got += size_t(r);
  }
  return true;
}

bool preadFull(int fd, uint8_t* p, size_t n, off_t at, size_t& got) {
  got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, p + got, n - got, at + off_t(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    got += size_t(r);
  }
  return true;
}

// All n bytes or false: a short write (a full disk, a file size limit) is a failure.
bool writeFull(int fd, const uint8_t* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += size_t(w);
  }
  return true;
}

bool pwriteFull(int fd, const uint8_t* p, size_t n, off_t at) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::pwrite(fd, p + done, n - done, at + off_t(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += size_t(w);
  }
  return true;
}

// True when `output` exists and is the same file as `source`, however it is reached
// (the same path, a symlink, a hard link): truncating it would destroy the store.
bool isSameFile(const fs::path& source, const fs::path& output) {
  std::error_code ec;
  if (!fs::exists(output, ec)) return false;
  const bool same = fs::equivalent(source, output, ec);
  return !ec && same;
}

// The source must be a regular file: checked before the output is created or truncated.
UniqueFd openSource(const fs::path& source) {
  UniqueFd fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  return fd;
}

UniqueFd createOutput(const fs::path& output) {
  return UniqueFd(::open(output.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

bool copyBlocks(int from, int to, const StopFlag* stop) {
  std::array<uint8_t, kCopyBlock> block;
  for (size_t blocks = 1;; ++blocks) {
    size_t got = 0;
    if (!readFull(from, block.data(), block.size(), got)) return false;
    if (got != 0 && !writeFull(to, block.data(), got)) return false;
    if (got < block.size()) return true;
    if (stop && blocks % kBlocksBetweenStopChecks == 0 && !stop->isSet()) return false;
  }
}

// Source opened, output created and filled with the copy; both open on success.
struct Copy {
  UniqueFd source;
  UniqueFd output;
};

bool makeCopy(const fs::path& source, const fs::path& output, const StopFlag* stop, Copy& copy) {
  if (isSameFile(source, output)) return false;
  copy.source = openSource(source);
  if (!copy.source) return false;
  copy.output = createOutput(output);
  if (!copy.output) return false;
  return copyBlocks(copy.source.get(), copy.output.get(), stop);
}

}  // namespace

int64_t repairDbx(const fs::path& source, const fs::path& output, const StopFlag* stop) {
  Copy copy;
  if (!makeCopy(source, output, stop, copy)) return kMailRepairFailed;
  const int fd = copy.output.get();

  std::array<uint8_t, kDbxTag.size()> tag{};
  size_t got = 0;
  if (!preadFull(fd, tag.data(), tag.size(), kDbxTagOffset, got)) return kMailRepairFailed;
  if (got != tag.size() || tag != kDbxTag) return copy.output.close() ? kMailUnsupportedFormat : kMailRepairFailed;

  std::array<uint8_t, 8> signatures{};
  putLe32(signatures.data(), kDbxSignature);
  putLe32(signatures.data() + 4, kDbxSecondSignature);
  if (!pwriteFull(fd, signatures.data(), signatures.size(), 0)) return kMailRepairFailed;

  std::array<uint8_t, 4> word{};
  if (!preadFull(fd, word.data(), word.size(), kDbxResultOffset, got) || got != word.size()) return kMailRepairFailed;
  if (!copy.output.close()) return kMailRepairFailed;
  return int64_t(le32(word.data()));
}

int64_t repairPst(const fs::path& source, const fs::path& output, const StopFlag* stop) {
  Copy copy;
  if (!makeCopy(source, output, stop, copy)) return kMailRepairFailed;
  if (!pwriteFull(copy.output.get(), kPstSignature.data(), kPstSignature.size(), 0)) return kMailRepairFailed;
  return copy.output.close() ? 0 : kMailRepairFailed;
}

fs::path mailRepairTarget(const fs::path& source, const fs::path& outDir) { return outDir / source.filename(); }

MailRepairReport runMailRepair(const MailRepairRequest& request, const OverwriteQuestion& ask, const StopFlag& stop,
                               Progress* progress) {
  MailRepairReport report;
  bool askBeforeOverwriting = true;
  if (progress) {
    progress->foundTotal.store(request.files.size());
    progress->foundCurrent.store(0);
  }
  for (size_t i = 0; i < request.files.size(); ++i) {
    if (!stop.isSet()) {
      report.cancelled = true;
      break;
    }
    const fs::path& source = request.files[i];
    const fs::path target = mailRepairTarget(source, request.outDir);
    if (progress) progress->setStatus(source.string());

    std::error_code ec;
    // A folder in the way (or no file name at all) cannot be replaced: fail without asking.
    const bool blocked = source.filename().empty() || fs::is_directory(target, ec);
    const bool exists = !blocked && fs::exists(target, ec);
    // Replacing the source itself is refused by the repair; asking first would be moot.
    if (exists && askBeforeOverwriting && !isSameFile(source, target)) {
      const OverwriteChoice choice = ask ? ask(target.string()) : OverwriteChoice::No;
      if (choice == OverwriteChoice::Cancel) {
        report.cancelled = true;
        break;
      }
      if (choice == OverwriteChoice::No) {
        ++report.skipped;
        if (progress) progress->foundCurrent.store(i + 1);
        continue;
      }
      if (choice == OverwriteChoice::YesToAll) askBeforeOverwriting = false;
    }

    int64_t result = kMailRepairFailed;
    if (!blocked)
      result = request.kind == MailStoreKind::OutlookExpress ? repairDbx(source, target, &stop)
                                                             : repairPst(source, target, &stop);
    report.text += "Selected file: " + source.filename().string() + kCrLf;
    if (result == kMailUnsupportedFormat) {
      report.text += std::string("Unsupported format") + kCrLf;
      ++report.unsupported;
    } else if (result == kMailRepairFailed) {
      report.text += std::string("Repair failed") + kCrLf;
      ++report.failed;
    } else {
      report.text += std::string("Repaired") + kCrLf;
      ++report.repaired;
    }
    report.text += std::string(kSeparator) + kCrLf;
    if (progress) progress->foundCurrent.store(i + 1);
    if (request.onReport) request.onReport(report.text);
  }
  return report;
}

}  // namespace velk
