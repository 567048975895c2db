#include "codec/lznt1.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "formats/bytes.h"

namespace velk::codec {
namespace {

constexpr size_t kChunk = kLznt1ChunkBytes;
constexpr uint16_t kCompressedFlag = 0x8000;
constexpr uint16_t kSignature = 0x3000;  // bits 12-14 = 3
constexpr uint16_t kSizeMask = 0x0FFF;
constexpr size_t kHeaderBytes = 2;
constexpr size_t kMinMatch = 3;
constexpr unsigned kMinOffsetBits = 4;
constexpr unsigned kMaxOffsetBits = 12;

// The split of a back reference depends on how far into the chunk it sits: the offset
// field takes just enough bits to reach the chunk start (pos − 1 in binary, 4 to 12 bits),
// the length field the rest of the 16.
unsigned offsetBitsAt(size_t pos) {
  unsigned bits = kMinOffsetBits;
  while (bits < kMaxOffsetBits && (size_t(1) << bits) < pos) ++bits;
  return bits;
}

struct ChunkResult {
  size_t produced = 0;
  bool ok = true;
};

// Decodes one compressed chunk body into dst, which has room for a whole chunk. On a fault
// the bytes before the faulty item are kept.
ChunkResult decodeChunk(ByteSpan body, uint8_t* dst) {
  size_t in = 0;
  size_t pos = 0;
  while (in < body.size()) {
    unsigned flags = body[in++];
    for (int item = 0; item < 8 && in < body.size(); ++item, flags >>= 1) {
      if ((flags & 1) == 0) {
        if (pos == kChunk) return {pos, false};
        dst[pos++] = body[in++];
        continue;
      }
      if (body.size() - in < 2) return {pos, false};  // reference cut by the chunk end
      const uint16_t token = le16(body.data() + in);
      in += 2;
      const unsigned lengthBits = 16 - offsetBitsAt(pos);
      const size_t length = (token & ((1u << lengthBits) - 1)) + kMinMatch;
      const size_t offset = size_t(token >> lengthBits) + 1;
      if (offset > pos || length > kChunk - pos) return {pos, false};
      // Byte by byte: a reference may overlap the bytes it produces (a run).
      for (size_t i = 0; i < length; ++i, ++pos) dst[pos] = dst[pos - offset];
    }
  }
  return {pos, true};
}

// Appends to a vector, at most `limit` bytes in all.
class VectorWriter {
 public:
  VectorWriter(std::vector<uint8_t>& out, size_t limit) : m_out(out), m_room(limit) {}
  // Writes what fits; false when not everything did.
  bool put(const uint8_t* bytes, size_t n) {
    const size_t take = std::min(n, m_room);
    m_out.insert(m_out.end(), bytes, bytes + take);
    m_room -= take;
    return take == n;
  }
  bool zeros(size_t n) {
    const size_t take = std::min(n, m_room);
    m_out.resize(m_out.size() + take, 0);
    m_room -= take;
    return take == n;
  }

 private:
  std::vector<uint8_t>& m_out;
  size_t m_room;
};

// Fills a caller's buffer, never past its end.
class SpanWriter {
 public:
  explicit SpanWriter(std::span<uint8_t> out) : m_out(out) {}
  bool put(const uint8_t* bytes, size_t n) {
    const size_t take = std::min(n, m_out.size() - m_used);
    if (take != 0) std::memcpy(m_out.data() + m_used, bytes, take);
    m_used += take;
    return take == n;
  }
  bool zeros(size_t n) {
    const size_t take = std::min(n, m_out.size() - m_used);
    std::fill_n(m_out.begin() + ptrdiff_t(m_used), take, uint8_t(0));
    m_used += take;
    return take == n;
  }
  size_t used() const { return m_used; }

 private:
  std::span<uint8_t> m_out;
  size_t m_used = 0;
};

template <class Writer>
bool decodeStream(ByteSpan in, Writer& writer) {
  std::array<uint8_t, kChunk> buffer;
  size_t at = 0;
  // A single stray byte after the last chunk cannot be a header; it ends the stream.
  while (in.size() - at >= kHeaderBytes) {
    const uint16_t header = le16(in.data() + at);
    if (header == 0) return true;
    at += kHeaderBytes;
    const size_t bodySize = size_t(header & kSizeMask) + 1;
    if (bodySize > in.size() - at) return false;
    const ByteSpan body = in.subspan(at, bodySize);
    at += bodySize;

    const uint8_t* bytes = body.data();
    size_t produced = bodySize;
    bool chunkOk = true;
    if (header & kCompressedFlag) {
      const ChunkResult r = decodeChunk(body, buffer.data());
      bytes = buffer.data();
      produced = r.produced;
      chunkOk = r.ok;
    }
    if (!writer.put(bytes, produced) || !chunkOk) return false;

    // Chunks sit at 4096-byte steps of the output, so a short chunk that is not the last
    // one leaves zeros behind it.
    const bool moreFollow = in.size() - at >= kHeaderBytes && le16(in.data() + at) != 0;
    if (moreFollow && produced < kChunk && !writer.zeros(kChunk - produced)) return false;
  }
  return true;
}

// Greedy compressor for one chunk, with hash chains over 3-byte prefixes.
class ChunkEncoder {
 public:
  void encode(ByteSpan chunk, std::vector<uint8_t>& out) {
    m_head.fill(kNone);
    const size_t headerAt = out.size();
    out.resize(out.size() + kHeaderBytes);
    const size_t bodyAt = out.size();
    const size_t n = chunk.size();

    size_t pos = 0;
    while (pos < n && out.size() - bodyAt < n) {
      const size_t flagsAt = out.size();
      out.push_back(0);
      uint8_t flags = 0;
      for (int item = 0; item < 8 && pos < n; ++item) {
        const Match m = longestMatch(chunk, pos);
        if (m.length >= kMinMatch) {
          const unsigned lengthBits = 16 - offsetBitsAt(pos);
          const uint16_t token = uint16_t(((m.offset - 1) << lengthBits) | (m.length - kMinMatch));
          out.push_back(uint8_t(token));
          out.push_back(uint8_t(token >> 8));
          flags = uint8_t(flags | (1u << item));
          for (size_t i = 0; i < m.length; ++i) remember(chunk, pos + i);
          pos += m.length;
        } else {
          out.push_back(chunk[pos]);
          remember(chunk, pos);
          ++pos;
        }
      }
      out[flagsAt] = flags;
    }

    const size_t bodySize = out.size() - bodyAt;
    uint16_t header = 0;
    if (pos == n && bodySize < n) {
      header = uint16_t(kCompressedFlag | kSignature | (bodySize - 1));
    } else {
      // Did not shrink: store the bytes as they are.
      out.resize(bodyAt);
      out.insert(out.end(), chunk.begin(), chunk.end());
      header = uint16_t(kSignature | (n - 1));
    }
    putLe16(out.data() + headerAt, header);
  }

 private:
  static constexpr int16_t kNone = -1;
  static constexpr size_t kHashSize = 4096;
  static constexpr int kMaxCandidates = 256;

  struct Match {
    size_t length = 0;
    size_t offset = 0;
  };

  static size_t hashAt(ByteSpan chunk, size_t pos) {
    const uint32_t v = uint32_t(chunk[pos]) | (uint32_t(chunk[pos + 1]) << 8) | (uint32_t(chunk[pos + 2]) << 16);
    return (v * 2654435761u) >> 20;  // top 12 bits
  }

  void remember(ByteSpan chunk, size_t pos) {
    if (pos + kMinMatch > chunk.size()) return;
    const size_t h = hashAt(chunk, pos);
    m_prev[pos] = m_head[h];
    m_head[h] = int16_t(pos);
  }

  Match longestMatch(ByteSpan chunk, size_t pos) const {
    Match best;
    if (pos == 0 || pos + kMinMatch > chunk.size()) return best;
    const unsigned lengthBits = 16 - offsetBitsAt(pos);
    const size_t maxLength = std::min(chunk.size() - pos, ((size_t(1) << lengthBits) - 1) + kMinMatch);
    // Every earlier position is in reach: the offset field always covers pos.
    int budget = kMaxCandidates;
    for (int16_t c = m_head[hashAt(chunk, pos)]; c != kNone && budget-- > 0; c = m_prev[size_t(c)]) {
      const size_t cand = size_t(c);
      size_t len = 0;
      while (len < maxLength && chunk[cand + len] == chunk[pos + len]) ++len;
      if (len > best.length) {
        best = {len, pos - cand};
        if (len == maxLength) break;
      }
    }
    return best;
  }

  std::array<int16_t, kHashSize> m_head{};
  std::array<int16_t, kChunk> m_prev{};
};

}  // namespace

bool lznt1Decompress(std::span<const uint8_t> in, std::vector<uint8_t>& out, size_t maxOut) {
  VectorWriter writer(out, maxOut);
  return decodeStream(in, writer);
}

std::optional<size_t> lznt1DecompressInto(std::span<const uint8_t> in, std::span<uint8_t> out) {
  SpanWriter writer(out);
  if (!decodeStream(in, writer)) return std::nullopt;
  return writer.used();
}

std::vector<uint8_t> lznt1Compress(std::span<const uint8_t> in) {
  std::vector<uint8_t> out;
  out.reserve(in.size() + (in.size() / kChunk + 1) * kHeaderBytes);
  ChunkEncoder encoder;
  for (size_t at = 0; at < in.size(); at += kChunk) encoder.encode(in.subspan(at, std::min(kChunk, in.size() - at)), out);
  return out;
}

}  // namespace velk::codec
