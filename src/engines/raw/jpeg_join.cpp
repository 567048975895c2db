#include "engines/raw/jpeg_join.h"

#include <turbojpeg.h>

#include <algorithm>
#include <map>
#include <memory>

#include "engines/raw/ends/end_reader.h"

namespace velk {
namespace {

using ends::EndReader;
using ends::JpegWalk;

// Joined candidates handed to the decoder per picture, and the largest picture joined.
constexpr int kMaxDecodes = 16;
constexpr int kTriesPerEnd = 5;
constexpr uint64_t kMaxJoined = 64u << 20;
// Sector boundaries before the break tried as the end of the first piece.
constexpr uint64_t kBoundaryTries = 4;
// Sectors at the start of a walk that reaches EOI tried as the continuation's start.
constexpr uint64_t kStartTries = 4;
// Sectors of such a walk looked at for the end of a gap before the continuation.
constexpr uint64_t kStartScan = 64;
// How far past the break the continuation is looked for.
constexpr uint64_t kJoinReach = 32u << 20;

// Data a scan cannot hold for long: mostly one byte value (zeros, padding), text, or few
// distinct values. Entropy-coded data, even of a flat picture, spreads over many values.
bool clearlyNotScanData(const uint8_t* p, size_t n) {
  uint16_t counts[256] = {};
  size_t text = 0;
  for (size_t i = 0; i < n; ++i) {
    ++counts[p[i]];
    text += (p[i] >= 0x20 && p[i] < 0x7F) || p[i] == '\n' || p[i] == '\r' || p[i] == '\t';
  }
  size_t distinct = 0, top = 0;
  for (uint16_t c : counts) {
    distinct += c ? 1 : 0;
    top = std::max<size_t>(top, c);
  }
  return top > n / 4 || distinct < 48 || text * 10 > n * 9;
}

std::vector<uint8_t> bytesOf(EndReader& r, uint64_t off, uint64_t n) {
  std::vector<uint8_t> out;
  out.reserve(size_t(n));
  while (n > 0) {
    auto [p, avail] = r.run(off);
    if (!p) break;
    const size_t take = size_t(std::min<uint64_t>(avail, n));
    out.insert(out.end(), p, p + take);
    off += take;
    n -= take;
  }
  return out;
}

}  // namespace

bool jpegDecodesCleanly(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  if (!handle) return false;
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(handle.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), &width, &height,
                          &subsamp, &colorspace) != 0)
    return false;
  const int w = std::max(1, (width + 7) / 8), h = std::max(1, (height + 7) / 8);
  if (uint64_t(w) * uint64_t(h) > (16u << 20)) return false;
  std::vector<uint8_t> pixels(size_t(w) * size_t(h) * 3);
  return tjDecompress2(handle.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), pixels.data(), w, 0, h,
                       TJPF_RGB, TJFLAG_STOPONWARNING) == 0;
}

std::optional<JpegJoin> findJpegContinuation(ByteSource& window, uint32_t sectorSize) {
  EndReader r(window);
  const JpegWalk first = ends::walkJpeg(r);
  if (first.complete || first.scanStart == 0) return std::nullopt;
  const uint64_t ss = sectorSize;
  // Where the first piece may end: the first sector inside the scan that cannot be
  // entropy-coded data (zeros, text) — such data can pass for a scan up to the next
  // marker — else the boundaries just before the break.
  std::vector<uint64_t> boundaries;
  // The last stretch of scan data ended at a marker that random data can fake: the break
  // that follows may lie a whole segment further on.
  const uint64_t stop = first.scanEnd ? std::min(first.scanEnd, first.breakAt) : first.breakAt;
  for (uint64_t s = (first.scanStart + ss - 1) / ss * ss; s + ss <= stop; s += ss) {
    const uint8_t* p = r.at(s, size_t(ss));
    if (p && clearlyNotScanData(p, size_t(ss))) {
      boundaries.push_back(s);
      break;
    }
  }
  for (uint64_t k = 0, b = stop / ss * ss; k < kBoundaryTries && b > first.scanStart; ++k, b -= ss)
    if (std::find(boundaries.begin(), boundaries.end(), b) == boundaries.end()) boundaries.push_back(b);
  if (boundaries.empty()) return std::nullopt;
  const uint64_t lowest = *std::min_element(boundaries.begin(), boundaries.end());

  int decodes = 0;
  // Sectors inside one picture between the pieces all walk to its EOI: each EOI gets a few
  // tries only.
  std::map<uint64_t, int> triesPerEnd;
  auto tryJoin = [&](uint64_t b, uint64_t start, uint64_t end) -> std::optional<JpegJoin> {
    if (b >= start || b + (end - start) > kMaxJoined || decodes >= kMaxDecodes) return std::nullopt;
    if (++triesPerEnd[end] > kTriesPerEnd) return std::nullopt;
    std::vector<uint8_t> joined = bytesOf(r, 0, b);
    const std::vector<uint8_t> rest = bytesOf(r, start, end - start);
    joined.insert(joined.end(), rest.begin(), rest.end());
    ++decodes;
    if (joined.size() != b + (end - start) || !jpegDecodesCleanly(joined)) return std::nullopt;
    // A sector of other data can decode without a warning too: the earliest boundary that
    // still decodes cleanly with this continuation leaves the least of it in.
    JpegJoin best{b, start, end - start};
    for (uint64_t lower : boundaries) {
      if (lower >= best.firstLength || lower + ss * kBoundaryTries < b || decodes >= kMaxDecodes) continue;
      std::vector<uint8_t> again = bytesOf(r, 0, lower);
      again.insert(again.end(), joined.begin() + ptrdiff_t(b), joined.end());
      ++decodes;
      if (again.size() == lower + (end - start) && jpegDecodesCleanly(again)) best.firstLength = lower;
    }
    return best;
  };
  // A walk from one sector goes the same way as the walks from every later sector up to
  // its first marker: those are skipped. A walk that reaches EOI is tried from its first
  // sectors (the likeliest boundary first).
  const uint64_t reach = std::min(r.size(), first.breakAt + kJoinReach);
  for (uint64_t c = lowest + ss; c + 2 <= reach && decodes < kMaxDecodes;) {
    // A whole picture between the pieces: its own scan data is no continuation.
    if (r.byte(c) == 0xFF && r.byte(c + 1) == 0xD8) {
      const JpegWalk whole = ends::walkJpeg(r, c);
      if (whole.complete) {
        c = (whole.end + ss - 1) / ss * ss;
        continue;
      }
    }
    const JpegWalk w = ends::walkJpeg(r, c, true);
    const uint64_t same = std::max(c, w.firstMarker);
    // Random data reaches an EOI within a sector now and then; a continuation that short is
    // not worth a decode.
    if (w.complete && w.end - c >= ss) {
      // Its first sectors, and the first after each stretch that is not compressed data
      // (a zero gap before the second piece).
      std::vector<uint64_t> starts;
      bool after = false;
      for (uint64_t t = c; t <= same && t < c + kStartScan * ss && starts.size() < kStartTries && t + ss <= r.size();
           t += ss) {
        const uint8_t* p = r.at(t, size_t(ss));
        const bool compressed = p && !clearlyNotScanData(p, size_t(ss));
        if (compressed && (t < c + 2 * ss || after)) starts.push_back(t);
        after = !compressed;
      }
      for (uint64_t start : starts)
        if (auto j = tryJoin(boundaries.front(), start, w.end)) return j;
      for (size_t i = 1; i < boundaries.size(); ++i)
        if (auto j = tryJoin(boundaries[i], c, w.end)) return j;
    }
    c = (same / ss + 1) * ss;
  }
  return std::nullopt;
}

}  // namespace velk
