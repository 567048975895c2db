#include "engines/raw/ends/end_reader.h"

#include <algorithm>
#include <cstring>

#include "support/crc32.h"

namespace velk::ends {
namespace {

char lowerChar(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

}  // namespace

const uint8_t* EndReader::at(uint64_t off, size_t n) {
  if (off > m_size || n > m_size - off) return nullptr;
  if (off >= m_start && off + n <= m_start + m_len) return m_data + (off - m_start);
  if (!load(off, n) || off + n > m_start + m_len) return nullptr;
  return m_data + (off - m_start);
}

bool EndReader::textAt(uint64_t off, std::string_view text) {
  const uint8_t* p = at(off, text.size());
  return p && std::memcmp(p, text.data(), text.size()) == 0;
}

std::pair<const uint8_t*, size_t> EndReader::run(uint64_t off) {
  if (!at(off, 1)) return {nullptr, 0};
  // A piece that ends within reach of this one is read again from off, whole.
  if (m_start + m_len - off < kMinRead && m_start + m_len < m_size && !load(off, kMinRead)) return {nullptr, 0};
  return {m_data + (off - m_start), size_t(m_start + m_len - off)};
}

uint64_t EndReader::findByte(uint64_t off, uint8_t b, uint64_t until) {
  until = std::min(until, m_size);
  while (off < until) {
    auto [p, n] = run(off);
    if (!p) return kNone;
    n = size_t(std::min<uint64_t>(n, until - off));
    if (const void* hit = std::memchr(p, b, n)) return off + uint64_t(static_cast<const uint8_t*>(hit) - p);
    off += n;
  }
  return kNone;
}

uint64_t EndReader::findText(uint64_t off, std::string_view needle, bool caseless, uint64_t until) {
  if (needle.empty()) return off;
  until = std::min(until, m_size);
  while (true) {
    const uint64_t hit =
        caseless ? findFirstCaseless(off, needle[0], until) : findByte(off, uint8_t(needle[0]), until);
    if (hit == kNone || !has(hit, needle.size())) return kNone;
    const uint8_t* p = at(hit, needle.size());
    if (!p) return kNone;
    bool same = true;
    for (size_t i = 0; i < needle.size() && same; ++i)
      same = caseless ? lowerChar(char(p[i])) == lowerChar(needle[i]) : char(p[i]) == needle[i];
    if (same) return hit;
    off = hit + 1;
  }
}

uint64_t EndReader::withLineEnd(uint64_t off) {
  const int a = byte(off);
  if (a == '\r') return byte(off + 1) == '\n' ? off + 2 : off + 1;
  if (a == '\n') return off + 1;
  return off;
}

bool EndReader::crcOf(uint64_t off, uint64_t n, uint32_t& crc) {
  crc = 0;
  while (n > 0) {
    auto [p, avail] = run(off);
    if (!p) return false;
    const size_t take = size_t(std::min<uint64_t>(avail, n));
    crc = crc32(std::span<const uint8_t>(p, take), crc);
    off += take;
    n -= take;
  }
  return true;
}

uint64_t EndReader::findFirstCaseless(uint64_t off, char c, uint64_t until) {
  const char lo = lowerChar(c);
  const char up = (lo >= 'a' && lo <= 'z') ? char(lo - 'a' + 'A') : lo;
  if (lo == up) return findByte(off, uint8_t(lo), until);
  while (off < until) {
    auto [p, n] = run(off);
    if (!p) return kNone;
    n = size_t(std::min<uint64_t>(n, until - off));
    for (size_t i = 0; i < n; ++i)
      if (p[i] == uint8_t(lo) || p[i] == uint8_t(up)) return off + i;
    off += n;
  }
  return kNone;
}

bool EndReader::load(uint64_t off, size_t need) {
  const uint64_t start = off & ~uint64_t(511);
  const size_t wanted = size_t(std::min<uint64_t>(m_size - start, std::max<uint64_t>(off - start + need, kMinRead)));
  m_start = start;
  // Bytes the source already holds in memory are used where they lie, up to a block.
  const size_t lent = size_t(std::min<uint64_t>({m_src.resident(start), kBlock, m_size - start}));
  if (lent >= wanted || lent >= off - start + need) {
    if (const uint8_t* p = m_src.peek(start, lent)) {
      m_data = p;
      m_len = lent;
      return lent > 0;
    }
  }
  // Left uninitialised and sized to what is read: a scan makes one reader per carved file.
  const size_t len = std::min(wanted, kBlock);
  if (m_bufSize < len) {
    m_buf.reset(new uint8_t[len]);
    m_bufSize = len;
  }
  m_data = m_buf.get();
  m_len = m_src.read(start, m_buf.get(), len);
  return m_len > 0;
}

FormatEnd sizeFieldEnd(EndReader& r, uint64_t fieldOffset, int width, bool bigEndian, uint64_t add,
                       uint64_t minimum) {
  uint64_t v = 0;
  if (!r.has(fieldOffset, uint64_t(width))) return damaged();
  if (width == 4) v = bigEndian ? r.be32(fieldOffset) : r.le32(fieldOffset);
  else if (width == 8) v = bigEndian ? r.be64(fieldOffset) : r.le64(fieldOffset);
  else v = bigEndian ? r.be16(fieldOffset) : r.le16(fieldOffset);
  if (v > UINT64_MAX - add) return damaged();
  const uint64_t end = v + add;
  if (end < minimum || end > r.size()) return damaged();
  return endedUnproven(end);
}

}  // namespace velk::ends
