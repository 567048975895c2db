#include "output/output_folder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "support/text.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxNameBytes = 255;
constexpr uint64_t kStopTestBytes = uint64_t(1) << 30;

bool isPlainComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.size() <= kMaxNameBytes;
}

// One component below dirFd, never through a link at any level: openat2 confines the
// lookup where the kernel has it; elsewhere O_NOFOLLOW on a single component does the same.
int openBelow(int dirFd, const std::string& name, int flags) {
  constexpr mode_t kMode = 0666;  // files as any program makes them: the umask decides
#if defined(SYS_openat2)
  static std::atomic<bool> unavailable{false};
  if (!unavailable.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = uint64_t(flags | O_NOFOLLOW | O_CLOEXEC);
    if (flags & O_CREAT) how.mode = kMode;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, dirFd, name.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return int(fd);
    unavailable.store(true, std::memory_order_relaxed);  // old kernel, or a filter refuses it
  }
#endif
  return ::openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, kMode);
}

EntryKind kindOf(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return EntryKind::Link;
  if (S_ISDIR(st.st_mode)) return EntryKind::Folder;
  if (S_ISREG(st.st_mode)) return EntryKind::File;
  return EntryKind::Other;
}

EntryKind entryAt(int dirFd, const std::string& name) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::None;
  return kindOf(st);
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// A temporary name nobody else uses: hidden, short (the final name may already be 255
// bytes long) and random, so two runs into one folder never meet.
std::string temporaryName() {
  static std::atomic<uint64_t> counter{0};
  thread_local std::mt19937_64 random{std::random_device{}()};
  char text[48];
  std::snprintf(text, sizeof text, ".velk-%016llx-%llu.part", (unsigned long long)random(),
                (unsigned long long)counter.fetch_add(1));
  return text;
}

// Renames within one folder without replacing what is there: renameat2 where the file
// system takes it, else a hard link (which never replaces) and the old name's removal.
int renameNoReplace(int dirFd, const std::string& from, const std::string& to) {
  if (::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (::linkat(dirFd, from.c_str(), dirFd, to.c_str(), 0) != 0) return errno;
  (void)::unlinkat(dirFd, from.c_str(), 0);
  return 0;
}

}  // namespace

// ------------------------------------------------------------------------- OutputDir

OutputDir::OutputDir(int fd, fs::path path) : m_fd(fd), m_path(std::move(path)) {
  struct stat st {};
  if (::fstat(m_fd, &st) == 0) m_identity = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

OutputDir::~OutputDir() {
  if (m_fd >= 0) ::close(m_fd);
}

OutputDir::OutputDir(OutputDir&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)), m_identity(other.m_identity) {}

OutputDir& OutputDir::operator=(OutputDir&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = std::exchange(other.m_fd, -1);
    m_path = std::move(other.m_path);
    m_identity = other.m_identity;
  }
  return *this;
}

Result<OutputDir> OutputDir::openRoot(const fs::path& folder, bool create) {
  if (folder.empty()) return fail(usageError("the output folder is empty"));
  std::error_code ec;
  if (create) fs::create_directories(folder, ec);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int why = errno;
    if (why == ENOTDIR || why == EEXIST) return fail(usageError("the output folder " + quoted(folder) + " is not a folder"));
    return fail(ioError("opening the output folder " + quoted(folder), ec ? ec.value() : why));
  }
  return OutputDir(fd, folder);
}

Result<OutputDir> OutputDir::child(const std::string& name) const {
  const fs::path where = m_path / name;
  if (!isPlainComponent(name)) return fail(usageError(quoted(where) + " is not a single folder name"));
  if (::mkdirat(m_fd, name.c_str(), 0777) != 0 && errno != EEXIST) return fail(ioError("creating " + quoted(where), errno));
  const int fd = openBelow(m_fd, name, O_RDONLY | O_DIRECTORY);
  if (fd >= 0) return OutputDir(fd, where);
  const int why = errno;
  switch (entryAt(m_fd, name)) {
    case EntryKind::Link:
      return fail(usageError(quoted(where) + " is a link; nothing is written through a link in the output folder"));
    case EntryKind::File:
    case EntryKind::Other:
      return fail(usageError(quoted(where) + " is taken by a file"));
    default:
      return fail(ioError("opening " + quoted(where), why));
  }
}

EntryKind OutputDir::entry(const std::string& name) const { return entryAt(m_fd, name); }

std::optional<uint64_t> OutputDir::freeBytes() const {
  struct statvfs sv {};
  if (::fstatvfs(m_fd, &sv) != 0) return std::nullopt;
  return uint64_t(sv.f_bavail) * uint64_t(sv.f_frsize);
}

// ------------------------------------------------------------------------- OutputFile

Result<std::unique_ptr<OutputFile>> OutputFile::create(const OutputDir& dir, std::string finalName) {
  if (!dir.isOpen()) return fail(usageError("the output folder is not open"));
  if (!isPlainComponent(finalName)) return fail(usageError("'" + finalName + "' is not a file name"));
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string temporary = temporaryName();
    const int fd = openBelow(dir.m_fd, temporary, O_WRONLY | O_CREAT | O_EXCL);
    if (fd >= 0) return std::unique_ptr<OutputFile>(new OutputFile(dir.m_fd, fd, std::move(temporary), std::move(finalName)));
    if (errno != EEXIST) return fail(ioError("creating a file in " + quoted(dir.path()), errno));
  }
  return fail(ioError("creating a file in " + quoted(dir.path()), EEXIST));
}

OutputFile::OutputFile(int dirFd, int fd, std::string temporary, std::string finalName)
    : m_dirFd(dirFd), m_fd(fd), m_temporary(std::move(temporary)), m_finalName(std::move(finalName)) {}

OutputFile::~OutputFile() {
  if (m_fd >= 0) ::close(m_fd);
  if (!m_done) (void)::unlinkat(m_dirFd, m_temporary.c_str(), 0);
}

bool OutputFile::refuse(int errnum) {
  m_failed = true;
  m_errno = errnum ? errnum : EIO;
  return false;
}

Status OutputFile::failedWith(int errnum) {
  refuse(errnum);
  return fail(failure());
}

bool OutputFile::stopped() { return m_stop && !m_stop->isSet() && !refuse(ECANCELED); }

bool OutputFile::put(const uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t w = ::pwrite(m_fd, data, n, off_t(m_position));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return refuse(w < 0 ? errno : ENOSPC);
    data += w;
    n -= size_t(w);
    m_position += uint64_t(w);
  }
  return true;
}

bool OutputFile::flushGathered() {
  if (m_gathered == 0) return !m_failed;
  const size_t n = m_gathered;
  m_gathered = 0;
  return put(m_gather.get(), n);
}

bool OutputFile::write(const uint8_t* data, size_t n) {
  if (m_failed || m_done || stopped()) return false;
  if (n == 0) return true;
  if (m_hashing) m_hash.update(ByteSpan(data, n));
  if (m_gathered + n > kGatherBytes && !flushGathered()) return false;
  if (n >= kGatherBytes) {
    if (!put(data, n)) return false;
  } else {
    if (!m_gather) m_gather.reset(new uint8_t[kGatherBytes]);
    std::memcpy(m_gather.get() + m_gathered, data, n);
    m_gathered += n;
  }
  m_written += n;
  return true;
}

bool OutputFile::writeZeros(uint64_t n) {
  if (m_failed || m_done || stopped()) return false;
  if (n == 0) return true;
  if (!flushGathered()) return false;
  if (m_written > uint64_t(INT64_MAX) - n) return refuse(EFBIG);
  if (m_hashing) {
    static const uint8_t kZeros[64 * 1024] = {};
    uint64_t sinceStopTest = 0;
    for (uint64_t left = n; left > 0;) {
      const size_t step = size_t(std::min<uint64_t>(left, sizeof kZeros));
      m_hash.update(ByteSpan(kZeros, step));
      left -= step;
      // Hashing a long hole takes a while: a stop request is heard inside it.
      if ((sinceStopTest += step) >= kStopTestBytes) {
        sinceStopTest = 0;
        if (stopped()) return false;
      }
    }
  }
  // Skipped, not written: the file's length is set when it is complete.
  m_position += n;
  m_written += n;
  return true;
}

Status OutputFile::commit(Replace replace, bool sync) {
  if (m_done) return fail(usageError("the file was finished already"));
  if (!flushGathered() || m_failed) return fail(failure());
  // A file that ends in a hole gets its length here.
  if (::ftruncate(m_fd, off_t(m_written)) != 0) return failedWith(errno);
  if (sync && ::fsync(m_fd) != 0) return failedWith(errno);
  const int fd = std::exchange(m_fd, -1);
  // A delayed write error (a network file system, a full disk) shows up here.
  if (::close(fd) != 0 && errno != EINTR) return failedWith(errno);
  int renamed = 0;
  if (replace == Replace::Never) {
    renamed = renameNoReplace(m_dirFd, m_temporary, m_finalName);
  } else if (::renameat(m_dirFd, m_temporary.c_str(), m_dirFd, m_finalName.c_str()) != 0) {
    renamed = errno;
  }
  if (renamed == EEXIST) return fail(usageError("'" + m_finalName + "' exists already"));
  if (renamed != 0) return fail(ioError("naming '" + m_finalName + "'", renamed));
  m_done = true;
  if (m_hashing) {
    static const char* kDigits = "0123456789abcdef";
    for (uint8_t b : m_hash.finish()) {
      m_digest += kDigits[b >> 4];
      m_digest += kDigits[b & 15];
    }
  }
  return {};
}

Result<std::string> OutputFile::keepPartial() {
  if (m_done) return fail(usageError("the file was finished already"));
  (void)flushGathered();  // what can still be written is kept
  if (m_fd >= 0) {
    (void)::ftruncate(m_fd, off_t(std::min(m_position, m_written)));
    ::close(std::exchange(m_fd, -1));
  }
  const std::string partial = m_finalName + ".partial";
  for (uint64_t n = 1; n < 1000; ++n) {
    const std::string name = n == 1 ? cutUtf8(m_finalName, kMaxNameBytes - 8) + ".partial" : numberedName(partial, n);
    const int renamed = renameNoReplace(m_dirFd, m_temporary, name);
    if (renamed == 0) {
      m_done = true;
      return name;
    }
    if (renamed != EEXIST) return fail(ioError("naming '" + name + "'", renamed));
  }
  return fail(ioError("naming '" + partial + "'", EEXIST));
}

Error OutputFile::failure() const {
  Error e = outputError(*this);
  if (e.is(ErrorKind::Io)) e.subject = "writing '" + m_finalName + "'";
  return e;
}

std::string numberedName(const std::string& name, uint64_t n) {
  const size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot != 0 && name.size() - dot < kMaxNameBytes / 2;
  const std::string extension = hasExtension ? name.substr(dot) : std::string();
  const std::string suffix = " (" + std::to_string(n) + ")" + extension;
  const std::string stem = hasExtension ? name.substr(0, dot) : name;
  return cutUtf8(stem, kMaxNameBytes - suffix.size()) + suffix;
}

}  // namespace velk
