#pragma once
// Destinations for extracted bytes: a file being recovered (src/output), memory for
// previews, or a counter. A sink reports failure instead of throwing, so a full disk marks
// the file as failed.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/error.h"

namespace velk {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends n bytes; false when they could not all be written.
  [[nodiscard]] virtual bool write(const uint8_t* data, size_t n) = 0;
  // Appends n zero bytes (holes, sparse runs, bytes past the initialized size). A file
  // sink skips over them, so a sparse file stays sparse; the default writes zeros.
  [[nodiscard]] virtual bool writeZeros(uint64_t n);
  uint64_t written() const { return m_written; }
  // Why the last write was refused (an errno; 0 when unknown or none).
  int lastErrno() const { return m_errno; }

 protected:
  uint64_t m_written = 0;
  int m_errno = 0;
};

// The error of a sink that refused bytes, naming the cause: no space left on the output,
// a file too large for it, permission denied, an I/O error; Cancelled for a stop request.
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

// Counts bytes and drops them (sizing, benchmarks).
class NullSink final : public ByteSink {
 public:
  [[nodiscard]] bool write(const uint8_t*, size_t n) override {
    m_written += n;
    return true;
  }
};

}  // namespace velk
