#include "disk/byte_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velk {

bool ByteSink::writeZeros(uint64_t n) {
  static const uint8_t kZeros[65536] = {};
  while (n > 0) {
    size_t step = size_t(std::min<uint64_t>(n, sizeof(kZeros)));
    if (!write(kZeros, step)) return false;
    n -= step;
  }
  return true;
}

Error outputError(const ByteSink& sink) {
  return ioError("writing the recovered file", sink.lastErrno() ? sink.lastErrno() : EIO);
}

bool VectorSink::write(const uint8_t* data, size_t n) {
  if (n > m_limit - m_bytes.size()) {
    // Keep what fits: a preview of a large file wants its first bytes.
    const size_t room = m_limit - m_bytes.size();
    m_bytes.insert(m_bytes.end(), data, data + room);
    m_written += room;
    m_full = true;
    m_errno = EFBIG;
    return false;
  }
  m_bytes.insert(m_bytes.end(), data, data + n);
  m_written += n;
  return true;
}

FileSink::~FileSink() {
  if (!m_file) return;
  (void)flushGathered();
  std::fclose(m_file);
}

int FileSink::open(const std::filesystem::path& path) {
  if (m_file) {
    (void)flushGathered();
    std::fclose(m_file);
  }
  m_failed = false;
  m_errno = 0;
  m_written = 0;
  m_gathered = 0;
  m_file = std::fopen(path.c_str(), "wb");
  if (!m_file) return errno ? errno : EIO;
  // FileSink gathers small writes itself; a stream buffer would only copy them again.
  (void)std::setvbuf(m_file, nullptr, _IONBF, 0);
  return 0;
}

bool FileSink::put(const uint8_t* data, size_t n) {
  if (std::fwrite(data, 1, n, m_file) != n) {
    m_failed = true;
    m_errno = errno ? errno : EIO;
  }
  return !m_failed;
}

bool FileSink::flushGathered() {
  if (m_gathered == 0 || m_failed) return !m_failed;
  const size_t n = m_gathered;
  m_gathered = 0;
  return put(m_gather.get(), n);
}

bool FileSink::write(const uint8_t* data, size_t n) {
  if (!m_file || m_failed) return false;
  if (n == 0) return true;
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

bool FileSink::close() {
  if (!m_file) return !m_failed;
  bool ok = flushGathered();
  ok = std::fflush(m_file) == 0 && ok && !m_failed;
  if (!ok && m_errno == 0) m_errno = errno ? errno : EIO;
  ok = (std::fclose(m_file) == 0) && ok;
  if (!ok && m_errno == 0) m_errno = errno ? errno : EIO;
  m_file = nullptr;
  return ok;
}

}  // namespace velk
