#include "output/file_write.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace velk {
namespace {

// Closes the descriptor and removes the temporary unless it was renamed into place.
class Temporary {
 public:
  Temporary(int fd, std::filesystem::path path) : m_fd(fd), m_path(std::move(path)) {}
  ~Temporary() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_kept) ::unlink(m_path.c_str());
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  int fd() const { return m_fd; }
  const std::filesystem::path& path() const { return m_path; }
  int close() {
    const int rc = ::close(m_fd);
    m_fd = -1;
    return rc;
  }
  void keep() { m_kept = true; }

 private:
  int m_fd;
  std::filesystem::path m_path;
  bool m_kept = false;
};

Status writeAll(int fd, ByteSpan bytes, const std::string& what) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(ioError(what, n < 0 ? errno : EIO));
    done += size_t(n);
  }
  return {};
}

}  // namespace

Status writeFileAtomically(const std::filesystem::path& target, ByteSpan bytes, Replace replace) {
  const std::string what = "writing '" + target.string() + "'";
  struct stat st {};
  if (replace == Replace::Never && ::lstat(target.c_str(), &st) == 0)
    return fail(usageError("'" + target.string() + "' exists already"));
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const auto temporary = folder / ("." + target.filename().string() + "." + std::to_string(random()) + ".part");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return fail(ioError(what, errno));
    }
    Temporary file(fd, temporary);
    if (Status written = writeAll(file.fd(), bytes, what); !written) return written;
    // On stable storage before it carries the real name: the caller may touch a disk next.
    if (::fsync(file.fd()) != 0 || file.close() != 0) return fail(ioError(what, errno));
    // RENAME_NOREPLACE refuses a name created meanwhile; where the file system cannot say,
    // the check above stands.
    int renamed = replace == Replace::Never
                      ? ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE)
                      : ::rename(temporary.c_str(), target.c_str());
    if (renamed != 0 && (errno == EINVAL || errno == ENOSYS)) renamed = ::rename(temporary.c_str(), target.c_str());
    if (renamed != 0)
      return errno == EEXIST ? fail(usageError("'" + target.string() + "' exists already")) : fail(ioError(what, errno));
    file.keep();
    return {};
  }
  return fail(ioError(what, EEXIST));
}

}  // namespace velk
