#pragma once
// Destinations for extracted bytes: a file being recovered, or memory for previews.
// A sink reports failure instead of throwing, so a full disk marks the file as failed.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "support/error.h"

namespace velk {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends n bytes; false when they could not all be written.
  [[nodiscard]] virtual bool write(const uint8_t* data, size_t n) = 0;
  // Appends n zero bytes (holes, sparse runs, bytes past the initialized size).
  [[nodiscard]] bool writeZeros(uint64_t n);
  uint64_t written() const { return m_written; }
  // Why the last write was refused (an errno; 0 when unknown or none).
  int lastErrno() const { return m_errno; }

 protected:
  uint64_t m_written = 0;
  int m_errno = 0;
};

// The error of a sink that refused bytes (no space left, an I/O error …).
Error outputError(const ByteSink& sink);

// Collects bytes in memory, refusing to grow past a limit (previews of untrusted sizes).
class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(size_t limit = SIZE_MAX) : m_limit(limit) {}
  [[nodiscard]] bool write(const uint8_t* data, size_t n) override;
  std::vector<uint8_t>& bytes() { return m_bytes; }
  const std::vector<uint8_t>& bytes() const { return m_bytes; }
  // A write went past the limit: bytes() holds the first limit bytes.
  bool full() const { return m_full; }

 private:
  size_t m_limit;
  bool m_full = false;
  std::vector<uint8_t> m_bytes;
};

// Writes to a file created (or truncated) for the recovery. Write errors stick: once a
// write fails, every later write fails too and close() reports it. Large pieces go to the
// file as they come; small ones are gathered first (the stream itself is unbuffered, so a
// recovered file costs no stream buffer and its bytes are copied once at most).
class FileSink final : public ByteSink {
 public:
  static constexpr size_t kGatherBytes = 64 * 1024;

  FileSink() = default;
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // Creates or truncates the file; 0 or an errno.
  [[nodiscard]] int open(const std::filesystem::path& path);
  [[nodiscard]] bool write(const uint8_t* data, size_t n) override;
  // Flushes and closes; false when anything failed since open().
  [[nodiscard]] bool close();
  bool isOpen() const { return m_file != nullptr; }

 private:
  bool put(const uint8_t* data, size_t n);
  bool flushGathered();

  std::FILE* m_file = nullptr;
  bool m_failed = false;
  std::unique_ptr<uint8_t[]> m_gather;  // allocated at the first small write
  size_t m_gathered = 0;
};

// Counts bytes and drops them (sizing, benchmarks).
class NullSink final : public ByteSink {
 public:
  [[nodiscard]] bool write(const uint8_t*, size_t n) override {
    m_written += n;
    return true;
  }
};

}  // namespace velk
