#include "disk/byte_sink.h"

#include <algorithm>
#include <cerrno>

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
  const int errnum = sink.lastErrno() ? sink.lastErrno() : EIO;
  if (errnum == ECANCELED) return cancelledError();
  Error e = ioError("writing the recovered file", errnum);
  switch (errnum) {
    case ENOSPC: case EDQUOT: e.detail = "no space left on the output"; break;
    case EFBIG: e.detail = "the output does not take a file this large"; break;
    case EACCES: case EPERM: case EROFS: e.detail = "permission denied"; break;
    case EIO: e.detail = "an I/O error on the output"; break;
    default: break;
  }
  return e;
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

}  // namespace velk
