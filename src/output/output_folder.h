#pragma once
// Folders and files below an output folder the user chose. Everything below it is made
// relative to an open handle of that folder, one name at a time, and never through a
// link: a link planted as a sub-folder (out/Photos -> /elsewhere) cannot carry a write
// outside, because a link is simply a name that is taken. Files are written under a
// temporary name in their own folder and get their real name only when complete, so a
// full disk, a failed read or an interrupted run never leaves a partial file under it.
//
// With the device layer, the only room of the core that calls the platform.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "disk/byte_sink.h"
#include "output/file_write.h"
#include "support/error.h"
#include "support/sha256.h"
#include "workspace/progress.h"

namespace velk {

// What a name in a folder stands for, looked at without following a link.
enum class EntryKind : uint8_t { None, File, Folder, Link, Other };

class OutputDir {
 public:
  OutputDir() = default;
  ~OutputDir();
  OutputDir(OutputDir&& other) noexcept;
  OutputDir& operator=(OutputDir&& other) noexcept;
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;

  // The folder the user chose, created with its parents when missing (unless create is
  // false). Links in the path the user gave are the user's own and are followed; nothing
  // below it is.
  static Result<OutputDir> openRoot(const std::filesystem::path& folder, bool create = true);

  // The sub-folder `name` (one path component), made when missing. A name taken by a file,
  // a link or anything else that is not a plain folder fails and is left alone.
  Result<OutputDir> child(const std::string& name) const;
  EntryKind entry(const std::string& name) const;
  // Bytes an unprivileged writer may still put on the folder's file system.
  std::optional<uint64_t> freeBytes() const;

  bool isOpen() const { return m_fd >= 0; }
  // For messages and reports only: every operation goes through the handle.
  const std::filesystem::path& path() const { return m_path; }
  // Tells folders apart (device and inode).
  std::pair<uint64_t, uint64_t> identity() const { return m_identity; }

 private:
  friend class OutputFile;
  OutputDir(int fd, std::filesystem::path path);

  int m_fd = -1;
  std::filesystem::path m_path;
  std::pair<uint64_t, uint64_t> m_identity{0, 0};
};

// One file being written into an OutputDir. Bytes go to a temporary name; commit() gives
// the file its length and its real name. Destroyed uncommitted, the temporary is removed.
// Holes (writeZeros) are skipped over, not written, so a sparse file stays sparse. The
// SHA-256 of the content (holes read as zeros) is kept as it is written.
class OutputFile final : public ByteSink {
 public:
  static constexpr size_t kGatherBytes = 64 * 1024;

  static Result<std::unique_ptr<OutputFile>> create(const OutputDir& dir, std::string finalName);
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  [[nodiscard]] bool write(const uint8_t* data, size_t n) override;
  [[nodiscard]] bool writeZeros(uint64_t n) override;
  // Refuses further bytes once the flag is cleared (the write fails as cancelled), so a
  // stop request ends even the copy of a very large file.
  void watch(const StopFlag* stop) { m_stop = stop; }
  // Leaves the content unhashed (the program's own files need no digest).
  void skipHash() { m_hashing = false; }

  // Everything written reaches the file, which gets its length and its final name:
  // Replace::Never fails when the name was taken meanwhile, Replace::Allowed replaces the
  // file (or the link) of that name, never what a link points to.
  [[nodiscard]] Status commit(Replace replace, bool sync = false);
  // Instead of removing an unfinished file, keeps it as "<name>.partial" (or a free
  // variant of that); the name kept.
  Result<std::string> keepPartial();

  // Why the last write was refused, as the one error type.
  Error failure() const;
  const std::string& finalName() const { return m_finalName; }
  // Lower-case hex digest; valid after commit().
  const std::string& sha256() const { return m_digest; }

 private:
  OutputFile(int dirFd, int fd, std::string temporary, std::string finalName);
  bool put(const uint8_t* data, size_t n);
  bool flushGathered();
  bool refuse(int errnum);
  Status failedWith(int errnum);
  bool stopped();

  int m_dirFd;  // borrowed from the OutputDir, which outlives the file
  int m_fd;
  std::string m_temporary;
  std::string m_finalName;
  const StopFlag* m_stop = nullptr;
  bool m_failed = false;
  bool m_done = false;  // renamed into place or kept partial
  bool m_hashing = true;
  uint64_t m_position = 0;  // where the descriptor's next write lands
  std::unique_ptr<uint8_t[]> m_gather;
  size_t m_gathered = 0;
  Sha256 m_hash;
  std::string m_digest;
};

// "name (n).ext" for n = 2, 3, …: the variant of a name that distinct files get when
// their names collide. The extension is the text after the last "." that is not the
// first character; the stem is cut so the result keeps within 255 bytes.
std::string numberedName(const std::string& name, uint64_t n);

}  // namespace velk
