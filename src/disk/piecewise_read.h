#pragma once
// The read loop of the container devices: a range of the disk clipped to its size and
// read in pieces that never cross a multiple of a unit (a cluster or block of the
// container), stopping short at the first piece that fails or comes back short.

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace velk {

// readPiece(at, out, n) answers the bytes it read or a negative errno. Returns the bytes
// read (0 at or past the end), or the first piece's error when nothing was read.
template <class ReadPiece>
int64_t readInPieces(uint64_t size, uint64_t unit, uint64_t offset, void* buffer, size_t length, ReadPiece readPiece) {
  if (offset >= size) return 0;
  length = size_t(std::min<uint64_t>(length, size - offset));
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    const uint64_t at = offset + done;
    const size_t n = unit ? size_t(std::min<uint64_t>(length - done, unit - at % unit)) : length - done;
    const int64_t got = readPiece(at, out + done, n);
    if (got < 0) return done ? int64_t(done) : got;
    done += size_t(got);
    if (size_t(got) < n) break;
  }
  return int64_t(done);
}

}  // namespace velk
