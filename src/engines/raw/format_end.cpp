#include "engines/raw/format_end.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include "support/crc32.h"
#include "support/text.h"

namespace velk {
namespace {

constexpr uint64_t kNone = UINT64_MAX;
// Markers, chunks, blocks or directory entries walked per file before giving up: a
// damaged file ends the walk, it never hangs the scan.
constexpr uint64_t kStepBudget = 1u << 22;

// Sequential and random access to a window through one block cache.
class Reader {
 public:
  explicit Reader(ByteSource& src) : m_src(src), m_size(src.size()) {}

  uint64_t size() const { return m_size; }

  // Pointer to n bytes at off (n ≤ kBlock / 2), or nullptr past the window.
  const uint8_t* at(uint64_t off, size_t n) {
    if (off > m_size || n > m_size - off) return nullptr;
    if (off >= m_start && off + n <= m_start + m_len) return m_data + (off - m_start);
    if (!load(off) || off + n > m_start + m_len) return nullptr;
    return m_data + (off - m_start);
  }
  int byte(uint64_t off) {
    const uint8_t* p = at(off, 1);
    return p ? *p : -1;
  }
  uint32_t le32(uint64_t off) {
    const uint8_t* p = at(off, 4);
    return p ? velk::le32(p) : 0;
  }
  uint16_t le16(uint64_t off) {
    const uint8_t* p = at(off, 2);
    return p ? velk::le16(p) : 0;
  }
  uint64_t le64(uint64_t off) {
    const uint8_t* p = at(off, 8);
    return p ? velk::le64(p) : 0;
  }
  bool has(uint64_t off, uint64_t n) const { return off <= m_size && n <= m_size - off; }

  // The resident bytes from off on (loading them), at least one byte unless at the end.
  std::pair<const uint8_t*, size_t> run(uint64_t off) {
    if (!at(off, 1)) return {nullptr, 0};
    return {m_data + (off - m_start), size_t(m_start + m_len - off)};
  }

  uint64_t findByte(uint64_t off, uint8_t b) {
    while (off < m_size) {
      auto [p, n] = run(off);
      if (!p) return kNone;
      if (const void* hit = std::memchr(p, b, n)) return off + uint64_t(static_cast<const uint8_t*>(hit) - p);
      off += n;
    }
    return kNone;
  }

  // First occurrence of needle at or after off (caseless: ASCII letters in any case).
  uint64_t findText(uint64_t off, std::string_view needle, bool caseless = false) {
    if (needle.empty()) return off;
    while (true) {
      uint64_t hit = caseless ? findFirstCaseless(off, needle[0]) : findByte(off, uint8_t(needle[0]));
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

  // Adds "\r\n", "\n" or "\r" right after off to the end.
  uint64_t withLineEnd(uint64_t off) {
    int a = byte(off);
    if (a == '\r') return byte(off + 1) == '\n' ? off + 2 : off + 1;
    if (a == '\n') return off + 1;
    return off;
  }

  // CRC-32 of n bytes at off; false when they are not all there.
  bool crcOf(uint64_t off, uint64_t n, uint32_t& crc) {
    crc = 0;
    while (n > 0) {
      auto [p, avail] = run(off);
      if (!p) return false;
      size_t take = size_t(std::min<uint64_t>(avail, n));
      crc = crc32(std::span<const uint8_t>(p, take), crc);
      off += take;
      n -= take;
    }
    return true;
  }

 private:
  static constexpr size_t kBlock = 1u << 20;
  static char lowerChar(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

  uint64_t findFirstCaseless(uint64_t off, char c) {
    const char lo = lowerChar(c);
    const char up = (lo >= 'a' && lo <= 'z') ? char(lo - 'a' + 'A') : lo;
    if (lo == up) return findByte(off, uint8_t(lo));
    while (off < m_size) {
      auto [p, n] = run(off);
      if (!p) return kNone;
      for (size_t i = 0; i < n; ++i)
        if (p[i] == uint8_t(lo) || p[i] == uint8_t(up)) return off + i;
      off += n;
    }
    return kNone;
  }

  bool load(uint64_t off) {
    const uint64_t start = off & ~uint64_t(511);
    const size_t len = size_t(std::min<uint64_t>(kBlock, m_size - start));
    m_start = start;
    // Bytes the source already holds in memory are used where they lie.
    if (const uint8_t* p = m_src.peek(start, len)) {
      m_data = p;
      m_len = len;
      return len > 0;
    }
    // Left uninitialised and sized to the window: a scan makes one reader per carved
    // file, and zero-filling a megabyte for each cost more than the rule itself.
    if (!m_buf) m_buf.reset(new uint8_t[size_t(std::min<uint64_t>(kBlock, m_size))]);
    m_data = m_buf.get();
    m_len = m_src.read(start, m_buf.get(), len);
    return m_len > 0;
  }

  ByteSource& m_src;
  uint64_t m_size;
  std::unique_ptr<uint8_t[]> m_buf;
  const uint8_t* m_data = nullptr;  // the loaded block: m_buf, or bytes the source holds
  uint64_t m_start = 0;
  size_t m_len = 0;
};

FormatEnd valid(uint64_t end) { return {StructureVerdict::Valid, end, {}}; }
FormatEnd broken(uint64_t end = 0) { return {StructureVerdict::Broken, end, {}}; }

// JPEG: markers and their segments, entropy-coded data after each SOS, up to EOI.
FormatEnd jpegEnd(Reader& r) {
  if (r.byte(0) != 0xFF || r.byte(1) != 0xD8) return broken();
  uint64_t pos = 2;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    if (r.byte(pos) != 0xFF) return broken();
    while (r.byte(pos + 1) == 0xFF) ++pos;  // fill bytes
    const int m = r.byte(pos + 1);
    if (m < 0) return broken();
    if (m == 0xD9) return valid(pos + 2);
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
      pos += 2;
      continue;
    }
    if (m == 0x00 || m == 0xD8) return broken();
    const uint8_t* lp = r.at(pos + 2, 2);
    if (!lp) return broken();
    const uint16_t len = be16(lp);
    if (len < 2) return broken();
    pos += 2 + uint64_t(len);
    if (m != 0xDA) continue;
    // Entropy-coded data: FF 00 is a stuffed byte and FF D0–D7 a restart marker.
    while (true) {
      const uint64_t q = r.findByte(pos, 0xFF);
      if (q == kNone) return broken();
      const int n = r.byte(q + 1);
      if (n < 0) return broken();
      if (n == 0x00 || (n >= 0xD0 && n <= 0xD7)) {
        pos = q + 2;
        continue;
      }
      pos = q;
      break;
    }
  }
  return broken();
}

// PNG: chunks (length, type, data, CRC) up to IEND.
FormatEnd pngEnd(Reader& r) {
  static const uint8_t kSig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  const uint8_t* s = r.at(0, 8);
  if (!s || std::memcmp(s, kSig, 8) != 0) return broken();
  uint64_t pos = 8;
  bool crcOk = true;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* h = r.at(pos, 8);
    if (!h) return broken();
    const uint32_t len = be32(h);
    char type[4];
    std::memcpy(type, h + 4, 4);
    if (len > 0x7FFFFFFFu) return broken();
    for (char c : type)
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return broken();
    const uint64_t dataEnd = pos + 8 + len;
    if (!r.has(dataEnd, 4)) return broken();
    uint32_t crc = 0;
    if (!r.crcOf(pos + 4, 4 + uint64_t(len), crc)) return broken();
    if (crc != be32(r.at(dataEnd, 4))) crcOk = false;
    pos = dataEnd + 4;
    if (std::memcmp(type, "IEND", 4) == 0) return crcOk ? valid(pos) : broken(pos);
  }
  return broken();
}

// GIF: header, colour table, then extension and image blocks up to the trailer.
FormatEnd gifEnd(Reader& r) {
  const uint8_t* h = r.at(0, 13);
  if (!h || (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0)) return broken();
  uint64_t pos = 13;
  if (h[10] & 0x80) pos += 3u << ((h[10] & 7) + 1);
  auto skipSubBlocks = [&](uint64_t& p) {
    for (uint64_t step = 0; step < kStepBudget; ++step) {
      const int n = r.byte(p);
      if (n < 0) return false;
      p += 1 + uint64_t(n);
      if (n == 0) return true;
    }
    return false;
  };
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const int b = r.byte(pos);
    if (b == 0x3B) return valid(pos + 1);
    if (b == 0x21) {
      pos += 2;
      if (!skipSubBlocks(pos)) return broken();
    } else if (b == 0x2C) {
      const uint8_t* d = r.at(pos, 10);
      if (!d) return broken();
      pos += 10;
      if (d[9] & 0x80) pos += 3u << ((d[9] & 7) + 1);
      pos += 1;  // LZW minimum code size
      if (!skipSubBlocks(pos)) return broken();
    } else {
      return broken();
    }
  }
  return broken();
}

// BMP: the file size field, checked against the header sizes it must hold.
FormatEnd bmpEnd(Reader& r) {
  const uint8_t* h = r.at(0, 18);
  if (!h || h[0] != 'B' || h[1] != 'M') return broken();
  const uint32_t size = le32(h + 2), dataOffset = le32(h + 10), dib = le32(h + 14);
  static constexpr uint32_t kDibSizes[] = {12, 40, 52, 56, 64, 108, 124};
  if (std::find(std::begin(kDibSizes), std::end(kDibSizes), dib) == std::end(kDibSizes)) return broken();
  if (size < 14 + dib || dataOffset < 14 + dib || dataOffset > size) return broken();
  if (size > r.size()) return broken();
  return valid(size);
}

// RIFF (WAV, AVI, WebP): the size field after the tag.
FormatEnd riffEnd(Reader& r) {
  const uint8_t* h = r.at(0, 12);
  if (!h || std::memcmp(h, "RIFF", 4) != 0) return broken();
  for (int i = 8; i < 12; ++i)
    if (h[i] < 0x20 || h[i] > 0x7E) return broken();
  const uint64_t end = 8 + uint64_t(le32(h + 4));
  if (end < 12 || end > r.size()) return broken();
  return valid(end);
}

// TIFF: the furthest byte of every IFD, its out-of-line values, strips and tiles.
FormatEnd tiffEnd(Reader& r) {
  const uint8_t* h = r.at(0, 8);
  if (!h) return broken();
  bool le;
  if (h[0] == 'I' && h[1] == 'I' && h[2] == 42 && h[3] == 0) le = true;
  else if (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 42) le = false;
  else return broken();
  auto u16 = [&](uint64_t off) -> uint32_t {
    const uint8_t* p = r.at(off, 2);
    return p ? (le ? velk::le16(p) : be16(p)) : 0;
  };
  auto u32 = [&](uint64_t off) -> uint32_t {
    const uint8_t* p = r.at(off, 4);
    return p ? (le ? velk::le32(p) : be32(p)) : 0;
  };
  auto typeSize = [](uint32_t t) -> uint32_t {
    switch (t) {
      case 1: case 2: case 6: case 7: return 1;
      case 3: case 8: return 2;
      case 4: case 9: case 11: case 13: return 4;
      case 5: case 10: case 12: case 16: case 17: case 18: return 8;
      default: return 0;
    }
  };
  uint64_t furthest = 8;
  bool damaged = false;
  std::vector<uint64_t> queue{u32(4)};
  std::set<uint64_t> seen;
  uint64_t steps = 0;
  // Values of an array field (SHORT or LONG), at most limit of them.
  auto values = [&](uint32_t type, uint32_t count, uint64_t fieldOff, std::vector<uint64_t>& out) {
    const uint32_t sz = typeSize(type);
    if ((type != 3 && type != 4) || count == 0) return;
    const uint64_t bytes = uint64_t(count) * sz;
    const uint64_t at = bytes <= 4 ? fieldOff : u32(fieldOff);
    for (uint32_t i = 0; i < count && i < (1u << 20); ++i) {
      if (!r.has(at + uint64_t(i) * sz, sz)) {
        damaged = true;
        return;
      }
      out.push_back(type == 3 ? u16(at + uint64_t(i) * 2) : u32(at + uint64_t(i) * 4));
    }
  };
  while (!queue.empty() && steps++ < 4096) {
    const uint64_t ifd = queue.back();
    queue.pop_back();
    if (ifd == 0) continue;
    if (ifd < 8 || !seen.insert(ifd).second) {
      damaged = damaged || ifd < 8;
      continue;
    }
    if (!r.has(ifd, 2)) {
      damaged = true;
      continue;
    }
    const uint32_t n = u16(ifd);
    const uint64_t end = ifd + 2 + uint64_t(n) * 12 + 4;
    if (!r.has(ifd, end - ifd)) {
      damaged = true;
      continue;
    }
    furthest = std::max(furthest, end);
    std::vector<uint64_t> stripOff, stripLen, tileOff, tileLen;
    uint64_t thumbOff = 0, thumbLen = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t e = ifd + 2 + uint64_t(i) * 12;
      const uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
      const uint64_t bytes = uint64_t(count) * typeSize(type);
      if (bytes > 4) furthest = std::max(furthest, uint64_t(u32(e + 8)) + bytes);
      switch (tag) {
        case 273: values(type, count, e + 8, stripOff); break;
        case 279: values(type, count, e + 8, stripLen); break;
        case 324: values(type, count, e + 8, tileOff); break;
        case 325: values(type, count, e + 8, tileLen); break;
        case 513: thumbOff = u32(e + 8); break;
        case 514: thumbLen = u32(e + 8); break;
        case 330: {
          std::vector<uint64_t> subs;
          values(type == 13 ? 4 : type, count, e + 8, subs);
          queue.insert(queue.end(), subs.begin(), subs.end());
          break;
        }
        case 34665: case 34853: case 40965: queue.push_back(u32(e + 8)); break;
        default: break;
      }
    }
    for (size_t i = 0; i < std::min(stripOff.size(), stripLen.size()); ++i)
      furthest = std::max(furthest, stripOff[i] + stripLen[i]);
    for (size_t i = 0; i < std::min(tileOff.size(), tileLen.size()); ++i)
      furthest = std::max(furthest, tileOff[i] + tileLen[i]);
    if (thumbOff && thumbLen) furthest = std::max(furthest, thumbOff + thumbLen);
    queue.push_back(u32(end - 4));
  }
  if (damaged || seen.empty() || furthest > r.size()) return broken();
  return valid(furthest);
}

// ZIP and the formats built on it: the end of central directory whose directory lies
// right before it, plus its comment. The member names tell the office formats apart.
FormatEnd zipEnd(Reader& r) {
  const uint8_t* h = r.at(0, 4);
  if (!h || std::memcmp(h, "PK\x03\x04", 4) != 0) return broken();
  uint64_t pos = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint64_t e = r.findText(pos, std::string_view("PK\x05\x06", 4));
    if (e == kNone || !r.has(e, 22)) return broken();
    pos = e + 1;
    uint64_t cdSize = r.le32(e + 12), cdOff = r.le32(e + 16);
    const uint64_t end = e + 22 + r.le16(e + 20);
    if (cdOff == 0xFFFFFFFFu && e >= 20 && r.le32(e - 20) == 0x07064B50u) {
      const uint64_t z64 = r.le64(e - 20 + 8);
      if (!r.has(z64, 56) || r.le32(z64) != 0x06064B50u) continue;
      cdSize = r.le64(z64 + 40);
      cdOff = r.le64(z64 + 48);
      if (cdOff > z64 || cdSize != z64 - cdOff || end > r.size()) continue;
    } else if (cdOff > e || cdSize != e - cdOff || end > r.size()) {
      continue;
    }
    FormatEnd out = valid(end);
    // The type inside: the central directory's names, or the leading "mimetype" member.
    uint64_t c = cdOff;
    for (int i = 0; i < 4096 && r.has(c, 46) && r.le32(c) == 0x02014B50u; ++i) {
      const uint16_t nameLen = r.le16(c + 28);
      const uint8_t* name = r.at(c + 46, nameLen);
      if (!name) break;
      std::string_view n(reinterpret_cast<const char*>(name), nameLen);
      if (n == "word/document.xml") out.extension = "docx";
      else if (n == "xl/workbook.xml") out.extension = "xlsx";
      else if (n == "ppt/presentation.xml") out.extension = "pptx";
      if (!out.extension.empty()) break;
      c += 46 + uint64_t(nameLen) + r.le16(c + 30) + r.le16(c + 32);
    }
    if (out.extension.empty() && r.le16(26) == 8 && r.le16(8) == 0) {
      const uint8_t* local = r.at(30, 8);
      const uint16_t extra = r.le16(28);
      if (local && std::memcmp(local, "mimetype", 8) == 0) {
        const uint32_t len = std::min<uint32_t>(r.le32(18), 128);
        if (const uint8_t* m = r.at(38 + uint64_t(extra), len)) {
          std::string_view mime(reinterpret_cast<const char*>(m), len);
          if (mime == "application/vnd.oasis.opendocument.text") out.extension = "odt";
          else if (mime == "application/vnd.oasis.opendocument.spreadsheet") out.extension = "ods";
          else if (mime == "application/vnd.oasis.opendocument.presentation") out.extension = "odp";
          else if (mime == "application/epub+zip") out.extension = "epub";
        }
      }
    }
    return out;
  }
  return broken();
}

// PDF: the last "%%EOF" of the window, with its line end (incremental updates add more).
FormatEnd pdfEnd(Reader& r) {
  const uint8_t* h = r.at(0, 5);
  if (!h || std::memcmp(h, "%PDF-", 5) != 0) return broken();
  uint64_t last = kNone, pos = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint64_t hit = r.findText(pos, "%%EOF");
    if (hit == kNone) break;
    last = hit;
    pos = hit + 5;
  }
  if (last == kNone) return broken();
  return valid(r.withLineEnd(last + 5));
}

// RTF: the group opened by the first brace, closed when the braces balance.
FormatEnd rtfEnd(Reader& r) {
  const uint8_t* h = r.at(0, 5);
  if (!h || std::memcmp(h, "{\\rtf", 5) != 0) return broken();
  uint64_t depth = 0, pos = 0;
  while (pos < r.size()) {
    auto [p, n] = r.run(pos);
    if (!p) return broken();
    size_t i = 0;
    for (; i < n; ++i) {
      const uint8_t c = p[i];
      if (c == '{') {
        ++depth;
      } else if (c == '}') {
        if (depth == 0) return broken();
        if (--depth == 0) return valid(r.withLineEnd(pos + i + 1));
      } else if (c == '\\') {
        // An escaped character, or \binN followed by N raw bytes.
        const uint64_t at = pos + i + 1;
        const uint8_t* w = r.at(at, 3);
        if (w && std::memcmp(w, "bin", 3) == 0) {
          uint64_t k = at + 3, count = 0;
          int d;
          while ((d = r.byte(k)) >= '0' && d <= '9' && count < (1ull << 40)) {
            count = count * 10 + uint64_t(d - '0');
            ++k;
          }
          if (r.byte(k) == ' ') ++k;
          pos = k + count;
        } else {
          pos = at + 1;
        }
        break;
      }
    }
    if (i == n) pos += n;
  }
  return broken();
}

// HTML: the first "</html>" (any case) with its line end.
FormatEnd htmlEnd(Reader& r) {
  const uint64_t hit = r.findText(0, "</html>", true);
  if (hit == kNone) return broken();
  return valid(r.withLineEnd(hit + 7));
}

// Compound document (OLE2): the last sector the allocation table uses; the directory's
// stream names tell Word, Excel, PowerPoint and Outlook files apart.
FormatEnd ole2End(Reader& r) {
  static const uint8_t kSig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  const uint8_t* h = r.at(0, 512);
  if (!h || std::memcmp(h, kSig, 8) != 0) return broken();
  const uint16_t major = le16(h + 0x1A), shift = le16(h + 0x1E);
  if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return broken();
  const uint64_t ssz = 1ull << shift;
  const uint32_t fatCount = le32(h + 0x2C);
  const uint32_t firstDir = le32(h + 0x30);
  uint32_t difat = le32(h + 0x44);
  const uint32_t difatCount = le32(h + 0x48);
  const uint64_t maxSectors = r.size() / ssz;
  // Each table sector maps ssz / 4 sectors: a count beyond what the window can hold is
  // damage, and refusing it keeps the table in memory no larger than the window.
  if (fatCount == 0 || fatCount > maxSectors / (ssz / 4) + 1) return broken();
  auto sectorAt = [&](uint32_t s) { return (uint64_t(s) + 1) * ssz; };

  std::vector<uint32_t> fatSectors;
  for (uint32_t i = 0; i < 109 && fatSectors.size() < fatCount; ++i) fatSectors.push_back(le32(h + 0x4C + i * 4));
  std::set<uint32_t> seen;
  for (uint32_t k = 0; k < difatCount && fatSectors.size() < fatCount; ++k) {
    if (difat >= 0xFFFFFFFAu || !seen.insert(difat).second) return broken();
    const uint64_t at = sectorAt(difat);
    const uint32_t per = uint32_t(ssz / 4) - 1;
    for (uint32_t i = 0; i < per && fatSectors.size() < fatCount; ++i) fatSectors.push_back(r.le32(at + i * 4ull));
    difat = r.le32(at + per * 4ull);
    if (!r.has(at, ssz)) return broken();
  }
  if (fatSectors.size() < fatCount) return broken();
  std::vector<uint32_t> fat;
  int64_t lastUsed = -1;
  for (size_t f = 0; f < fatSectors.size(); ++f) {
    const uint64_t at = sectorAt(fatSectors[f]);
    if (fatSectors[f] >= 0xFFFFFFFAu || !r.has(at, ssz)) return broken();
    for (uint64_t i = 0; i < ssz / 4; ++i) {
      const uint32_t v = r.le32(at + i * 4);
      fat.push_back(v);
      if (v != 0xFFFFFFFFu) lastUsed = int64_t(fat.size() - 1);
    }
  }
  if (lastUsed < 0) return broken();
  const uint64_t end = (uint64_t(lastUsed) + 2) * ssz;
  if (end > r.size()) return broken();
  FormatEnd out = valid(end);

  // Stream names of the directory (first entries are enough: the main streams sit near
  // the root).
  bool substg = false, props = false;
  uint32_t dir = firstDir;
  std::set<uint32_t> dirSeen;
  for (int n = 0; n < 64 && dir < fat.size() && dirSeen.insert(dir).second; ++n) {
    const uint64_t at = sectorAt(dir);
    for (uint64_t e = 0; e + 128 <= ssz; e += 128) {
      const uint8_t* d = r.at(at + e, 128);
      if (!d) break;
      const uint16_t nameBytes = std::min<uint16_t>(le16(d + 0x40), 64);
      std::string name;
      for (uint16_t i = 0; i + 1 < nameBytes; i += 2)
        if (d[i] != 0 || d[i + 1] != 0) name += d[i + 1] == 0 ? char(d[i]) : '?';
      if (name == "WordDocument") out.extension = "doc";
      else if (name == "Workbook" || name == "Book") out.extension = "xls";
      else if (name == "PowerPoint Document") out.extension = "ppt";
      else if (name.rfind("__substg1.0_", 0) == 0) substg = true;
      else if (name == "__properties_version1.0") props = true;
      if (!out.extension.empty()) return out;
    }
    dir = fat[dir];
  }
  if (substg && props) out.extension = "msg";
  return out;
}

// ISO 9660: the primary volume descriptor's volume space size × logical block size.
FormatEnd isoEnd(Reader& r) {
  const uint8_t* d = r.at(32768, 2048);
  if (!d || d[0] != 1 || std::memcmp(d + 1, "CD001", 5) != 0 || d[6] != 1) return broken();
  const uint32_t blocks = le32(d + 80);
  const uint16_t blockSize = le16(d + 128);
  if (blockSize < 512 || blockSize > 4096 || (blockSize & (blockSize - 1)) != 0) return broken();
  const uint64_t end = uint64_t(blocks) * blockSize;
  if (end < 32768 + 2048 || end > r.size()) return broken();
  return valid(end);
}

// 7z: the start header names the next header's offset and size (CRC-protected).
FormatEnd sevenZipEnd(Reader& r) {
  const uint8_t* h = r.at(0, 32);
  static const uint8_t kSig[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  if (!h || std::memcmp(h, kSig, 6) != 0) return broken();
  if (crc32(std::span<const uint8_t>(h + 12, 20)) != le32(h + 8)) return broken();
  const uint64_t off = le64(h + 12), size = le64(h + 20);
  if (off > r.size() || size > r.size() - off || 32 + off + size > r.size()) return broken();
  return valid(32 + off + size);
}

// SQLite: page size × page count, trusted when the header says the count is current.
FormatEnd sqliteEnd(Reader& r) {
  const uint8_t* h = r.at(0, 100);
  if (!h || std::memcmp(h, "SQLite format 3\0", 16) != 0) return broken();
  uint32_t page = be16(h + 16);
  if (page == 1) page = 65536;
  if (page < 512 || (page & (page - 1)) != 0) return broken();
  const uint32_t pages = be32(h + 28);
  if (pages == 0 || be32(h + 92) != be32(h + 24)) return broken();
  const uint64_t end = uint64_t(page) * pages;
  if (end > r.size()) return broken();
  return valid(end);
}

// PST: the header's end-of-file offset (ANSI and Unicode layouts).
FormatEnd pstEnd(Reader& r) {
  const uint8_t* h = r.at(0, 512);
  if (!h || std::memcmp(h, "!BDN", 4) != 0) return broken();
  const uint16_t ver = le16(h + 10);
  uint64_t end;
  if (ver == 14 || ver == 15) end = le32(h + 0xA8);
  else if (ver >= 23) end = le64(h + 0xB8);
  else return broken();
  if (end < 512 || end > r.size()) return broken();
  return valid(end);
}

enum class Rule { None, Jpeg, Png, Gif, Bmp, Riff, Tiff, Zip, Pdf, Rtf, Html, Ole2, Iso, SevenZip, Sqlite, Pst };

Rule ruleFor(std::string_view extension) {
  const std::string ext = lowerAscii(extension);
  static const std::pair<std::string_view, Rule> kRules[] = {
      {"jpg", Rule::Jpeg}, {"jpeg", Rule::Jpeg}, {"jpe", Rule::Jpeg}, {"png", Rule::Png},
      {"gif", Rule::Gif}, {"bmp", Rule::Bmp}, {"wav", Rule::Riff}, {"avi", Rule::Riff},
      {"webp", Rule::Riff}, {"tif", Rule::Tiff}, {"tiff", Rule::Tiff}, {"zip", Rule::Zip},
      {"docx", Rule::Zip}, {"xlsx", Rule::Zip}, {"pptx", Rule::Zip}, {"odt", Rule::Zip},
      {"ods", Rule::Zip}, {"odp", Rule::Zip}, {"epub", Rule::Zip}, {"jar", Rule::Zip},
      {"pdf", Rule::Pdf}, {"rtf", Rule::Rtf}, {"htm", Rule::Html}, {"html", Rule::Html},
      {"doc", Rule::Ole2}, {"xls", Rule::Ole2}, {"ppt", Rule::Ole2}, {"msg", Rule::Ole2},
      {"iso", Rule::Iso}, {"7z", Rule::SevenZip}, {"sqlite", Rule::Sqlite}, {"db", Rule::Sqlite},
      {"pst", Rule::Pst},
  };
  for (const auto& [name, rule] : kRules)
    if (ext == name) return rule;
  return Rule::None;
}

}  // namespace

size_t MemorySource::read(uint64_t offset, uint8_t* out, size_t n) {
  if (offset >= m_bytes.size()) return 0;
  const size_t take = size_t(std::min<uint64_t>(n, m_bytes.size() - offset));
  std::memcpy(out, m_bytes.data() + offset, take);
  return take;
}

std::string_view verdictText(StructureVerdict verdict) {
  switch (verdict) {
    case StructureVerdict::Valid: return "valid";
    case StructureVerdict::Broken: return "broken";
    case StructureVerdict::Unchecked: break;
  }
  return "unchecked";
}

bool hasEndRule(std::string_view extension) { return ruleFor(extension) != Rule::None; }

bool isContainerFormat(std::string_view extension) {
  const Rule r = ruleFor(extension);
  return r == Rule::Iso || r == Rule::Ole2 || r == Rule::Pst || r == Rule::Sqlite;
}

FormatEnd findFormatEnd(std::string_view extension, ByteSource& window) {
  Reader r(window);
  switch (ruleFor(extension)) {
    case Rule::None: return {};
    case Rule::Jpeg: return jpegEnd(r);
    case Rule::Png: return pngEnd(r);
    case Rule::Gif: return gifEnd(r);
    case Rule::Bmp: return bmpEnd(r);
    case Rule::Riff: return riffEnd(r);
    case Rule::Tiff: return tiffEnd(r);
    case Rule::Zip: return zipEnd(r);
    case Rule::Pdf: return pdfEnd(r);
    case Rule::Rtf: return rtfEnd(r);
    case Rule::Html: return htmlEnd(r);
    case Rule::Ole2: return ole2End(r);
    case Rule::Iso: return isoEnd(r);
    case Rule::SevenZip: return sevenZipEnd(r);
    case Rule::Sqlite: return sqliteEnd(r);
    case Rule::Pst: return pstEnd(r);
  }
  return {};
}

}  // namespace velk
