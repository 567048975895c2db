// End rules of pictures: JPEG markers, PNG chunks, GIF blocks, BMP and PSD sizes, TIFF
// directories (camera raws among them), icon directories and binary portable any-maps.

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "engines/raw/ends/end_reader.h"

namespace velk::ends {

// Markers and their segments, entropy-coded data after each SOS (FF 00 stuffed, FF D0–D7
// restarts in turn), up to EOI. A stray marker in entropy data or a restart out of turn
// marks where the stream stopped being this picture.
JpegWalk walkJpeg(EndReader& r, uint64_t from, bool continuation) {
  JpegWalk w;
  if (!continuation && (r.byte(from) != 0xFF || r.byte(from + 1) != 0xD8)) return w;
  uint64_t pos = continuation ? from : from + 2;
  // A walk from inside a scan (a continuation) takes the frame and scan as seen, and the
  // first restart it meets as the one due.
  bool frame = continuation, scan = continuation;
  bool inEntropy = continuation;
  int nextRst = continuation ? -1 : 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    if (inEntropy) {
      // Entropy-coded data up to the next marker.
      const uint64_t q = r.findByte(pos, 0xFF);
      if (q == kNone) {
        w.breakAt = r.size();
        w.firstMarker = w.firstMarker ? w.firstMarker : r.size();
        return w;
      }
      const int n = r.byte(q + 1);
      if (n == 0x00) {
        pos = q + 2;
        continue;
      }
      if (n >= 0xD0 && n <= 0xD7) {
        if (nextRst >= 0 && n - 0xD0 != nextRst) {
          w.breakAt = q;
            w.firstMarker = w.firstMarker ? w.firstMarker : q;
          return w;
        }
        nextRst = (n - 0xD0 + 1) & 7;
        pos = q + 2;
        continue;
      }
      inEntropy = false;
      pos = q;
      scan = true;
      w.scanEnd = q;
      w.firstMarker = w.firstMarker ? w.firstMarker : q;
    }
    if (r.byte(pos) != 0xFF) {
      w.breakAt = pos;
      return w;
    }
    while (r.byte(pos + 1) == 0xFF) ++pos;  // fill bytes
    const int m = r.byte(pos + 1);
    if (m == 0xD9) {
      if (!frame || !scan) {
        w.breakAt = pos;
        return w;
      }
      w.complete = true;
      w.end = pos + 2;
      return w;
    }
    // Markers a picture holds between its segments (after a scan, no new frame); anything
    // else is not JPEG.
    const bool between = m == 0xC4 || m == 0xCC || (m >= 0xDA && m <= 0xDD) || (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
    const bool known = between || (!scan && (m == 0x01 || (m >= 0xC0 && m <= 0xFE && m != 0xD8 && !(m >= 0xD0 && m <= 0xD7))));
    if (!known) {
      w.breakAt = pos;
      return w;
    }
    if (m == 0x01) {
      pos += 2;
      continue;
    }
    const uint8_t* lp = r.at(pos + 2, 2);
    if (!lp || be16(lp) < 2) {
      w.breakAt = pos;
      return w;
    }
    if ((m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC)) frame = true;
    pos += 2 + uint64_t(be16(lp));
    if (m == 0xDA) {
      w.scanStart = w.scanStart ? w.scanStart : pos;
      if (!frame) {
        w.breakAt = pos;
        return w;
      }
      inEntropy = true;
      nextRst = 0;
    }
  }
  w.breakAt = pos;
  return w;
}

FormatEnd jpegEnd(EndReader& r) {
  const JpegWalk w = walkJpeg(r);
  return w.complete ? verified(w.end) : damaged();
}

// Chunks (length, type, data, CRC) up to IEND.
FormatEnd pngEnd(EndReader& r) {
  static const uint8_t kSig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  const uint8_t* s = r.at(0, 8);
  if (!s || std::memcmp(s, kSig, 8) != 0) return damaged();
  uint64_t pos = 8;
  bool crcOk = true;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* h = r.at(pos, 8);
    if (!h) return damaged();
    const uint32_t len = be32(h);
    char type[4];
    std::memcpy(type, h + 4, 4);
    if (len > 0x7FFFFFFFu) return damaged();
    for (char c : type)
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return damaged();
    const uint64_t dataEnd = pos + 8 + len;
    if (!r.has(dataEnd, 4)) return damaged();
    uint32_t crc = 0;
    if (!r.crcOf(pos + 4, 4 + uint64_t(len), crc)) return damaged();
    if (crc != r.be32(dataEnd)) crcOk = false;
    pos = dataEnd + 4;
    if (std::memcmp(type, "IEND", 4) == 0) return crcOk ? verified(pos) : damaged(pos);
  }
  return damaged();
}

// Header, colour table, then extension and image blocks up to the trailer.
FormatEnd gifEnd(EndReader& r) {
  const uint8_t* h = r.at(0, 13);
  if (!h || (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0)) return damaged();
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
    if (b == 0x3B) return verified(pos + 1);
    if (b == 0x21) {
      pos += 2;
      if (!skipSubBlocks(pos)) return damaged();
    } else if (b == 0x2C) {
      const uint8_t* d = r.at(pos, 10);
      if (!d) return damaged();
      pos += 10;
      if (d[9] & 0x80) pos += 3u << ((d[9] & 7) + 1);
      pos += 1;  // LZW minimum code size
      if (!skipSubBlocks(pos)) return damaged();
    } else {
      return damaged();
    }
  }
  return damaged();
}

// The file size field, checked against the header sizes it must hold.
FormatEnd bmpEnd(EndReader& r) {
  const uint8_t* h = r.at(0, 18);
  if (!h || h[0] != 'B' || h[1] != 'M') return damaged();
  const uint32_t size = le32(h + 2), dataOffset = le32(h + 10), dib = le32(h + 14);
  static constexpr uint32_t kDibSizes[] = {12, 40, 52, 56, 64, 108, 124};
  if (std::find(std::begin(kDibSizes), std::end(kDibSizes), dib) == std::end(kDibSizes)) return damaged();
  if (size < 14 + dib || dataOffset < 14 + dib || dataOffset > size) return damaged();
  if (size > r.size()) return damaged();
  return endedUnproven(size);
}

namespace {

// The camera a TIFF came from, by its header or its Make tag.
std::string_view rawKind(std::string_view make, bool dng, bool cr2) {
  if (cr2) return "cr2";
  if (dng) return "dng";
  if (make.rfind("NIKON", 0) == 0) return "nef";
  if (make.rfind("SONY", 0) == 0) return "arw";
  if (make.rfind("PENTAX", 0) == 0) return "pef";
  return {};
}

}  // namespace

// The furthest byte of every IFD, its out-of-line values, strips, tiles and sub-IFDs
// (EXIF, GPS, camera raw planes).
FormatEnd tiffEnd(EndReader& r) {
  const uint8_t* h = r.at(0, 16);
  if (!h) return damaged();
  bool le;
  if (h[0] == 'I' && h[1] == 'I' && h[2] == 42 && h[3] == 0) le = true;
  else if (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 42) le = false;
  else return damaged();
  const bool cr2 = le && h[8] == 'C' && h[9] == 'R' && h[10] == 2;
  auto u16 = [&](uint64_t off) -> uint32_t { return le ? r.le16(off) : r.be16(off); };
  auto u32 = [&](uint64_t off) -> uint32_t { return le ? r.le32(off) : r.be32(off); };
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
  bool broken = false, dng = false;
  std::string make;
  std::vector<uint64_t> queue{u32(4)};
  std::set<uint64_t> seen;
  uint64_t steps = 0;
  // Values of an array field (SHORT or LONG), at most 2^20 of them.
  auto values = [&](uint32_t type, uint32_t count, uint64_t fieldOff, std::vector<uint64_t>& out) {
    const uint32_t sz = typeSize(type);
    if ((type != 3 && type != 4) || count == 0) return;
    const uint64_t at = uint64_t(count) * sz <= 4 ? fieldOff : u32(fieldOff);
    for (uint32_t i = 0; i < count && i < (1u << 20); ++i) {
      if (!r.has(at + uint64_t(i) * sz, sz)) {
        broken = true;
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
      broken = broken || ifd < 8;
      continue;
    }
    const uint32_t n = r.has(ifd, 2) ? u16(ifd) : 0;
    const uint64_t end = ifd + 2 + uint64_t(n) * 12 + 4;
    if (n == 0 || !r.has(ifd, end - ifd)) {
      broken = true;
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
        case 271:
          if (make.empty() && type == 2 && count > 0) {
            const uint64_t at = count <= 4 ? e + 8 : u32(e + 8);
            if (const uint8_t* p = r.at(at, std::min<uint32_t>(count, 32)))
              make.assign(reinterpret_cast<const char*>(p), std::min<uint32_t>(count, 32));
          }
          break;
        case 273: values(type, count, e + 8, stripOff); break;
        case 279: values(type, count, e + 8, stripLen); break;
        case 324: values(type, count, e + 8, tileOff); break;
        case 325: values(type, count, e + 8, tileLen); break;
        case 513: thumbOff = u32(e + 8); break;
        case 514: thumbLen = u32(e + 8); break;
        case 50706: dng = true; break;
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
  if (broken || seen.empty() || furthest > r.size()) return damaged();
  const std::string_view kind = rawKind(make, dng, cr2);
  return withExtension(endedUnproven(furthest), kind.empty() ? std::string_view("tif") : kind);
}

// Photoshop: header, colour mode data, image resources, layers and masks (each with its
// length), then the merged image: raw planes or RLE rows whose counts are listed.
FormatEnd psdEnd(EndReader& r) {
  const uint8_t* h = r.at(0, 26);
  if (!h || std::memcmp(h, "8BPS", 4) != 0) return damaged();
  const uint16_t version = be16(h + 4);
  if (version != 1 && version != 2) return damaged();
  const bool big = version == 2;
  const uint64_t channels = be16(h + 12), height = be32(h + 14), width = be32(h + 18), depth = be16(h + 22);
  if (channels == 0 || channels > 56 || height == 0 || width == 0 || height > 300000 || width > 300000 ||
      (depth != 1 && depth != 8 && depth != 16 && depth != 32))
    return damaged();
  uint64_t pos = 26;
  for (int section = 0; section < 3; ++section) {
    const bool wide = big && section == 2;
    if (!r.has(pos, wide ? 8 : 4)) return damaged();
    const uint64_t len = wide ? r.be64(pos) : r.be32(pos);
    pos += (wide ? 8 : 4);
    if (len > r.size() - pos) return damaged();
    pos += len;
  }
  if (!r.has(pos, 2)) return damaged();
  const uint16_t compression = r.be16(pos);
  pos += 2;
  const uint64_t rows = channels * height;
  if (compression == 0) {
    const uint64_t bytes = rows * ((width * depth + 7) / 8);
    if (bytes > r.size() - pos) return damaged();
    return endedUnproven(pos + bytes);
  }
  if (compression != 1) return damaged();  // ZIP planes say nothing of their length
  const uint64_t countSize = big ? 4 : 2;
  if (rows > (r.size() - pos) / countSize) return damaged();
  uint64_t data = 0;
  for (uint64_t i = 0; i < rows; ++i) data += big ? r.be32(pos + i * 4) : r.be16(pos + i * 2);
  pos += rows * countSize;
  if (data > r.size() - pos) return damaged();
  return endedUnproven(pos + data);
}

// Icons: the directory's furthest image.
FormatEnd icoEnd(EndReader& r) {
  if (r.le16(0) != 0 || (r.le16(2) != 1 && r.le16(2) != 2)) return damaged();
  const uint16_t count = r.le16(4);
  if (count == 0 || !r.has(6, uint64_t(count) * 16)) return damaged();
  uint64_t end = 6 + uint64_t(count) * 16;
  for (uint16_t i = 0; i < count; ++i) {
    const uint64_t e = 6 + uint64_t(i) * 16;
    const uint64_t size = r.le32(e + 8), off = r.le32(e + 12);
    if (r.byte(e + 3) != 0 || size == 0 || off < 6 + uint64_t(count) * 16) return damaged();
    end = std::max(end, off + size);
  }
  return end <= r.size() ? endedUnproven(end) : damaged();
}

// Binary PBM, PGM and PPM: a text header of width, height and (but for P4) the maximum
// value, then the raster.
FormatEnd pnmEnd(EndReader& r) {
  const int kind = r.byte(1);
  if (r.byte(0) != 'P' || kind < '4' || kind > '6') return damaged();
  uint64_t pos = 2, fields[3] = {0, 0, 1};
  const int wanted = kind == '4' ? 2 : 3;
  for (int f = 0; f < wanted; ++f) {
    int c = r.byte(pos);
    for (int guard = 0; guard < 4096 && (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '#'); ++guard) {
      if (c == '#') {
        const uint64_t nl = r.findByte(pos, '\n', pos + 4096);
        if (nl == kNone) return damaged();
        pos = nl;
      }
      c = r.byte(++pos);
    }
    if (c < '0' || c > '9') return damaged();
    uint64_t v = 0;
    for (; c >= '0' && c <= '9' && v < 1000000; c = r.byte(++pos)) v = v * 10 + uint64_t(c - '0');
    if (v == 0 || v >= 1000000) return damaged();
    fields[f] = v;
  }
  const int sep = r.byte(pos);
  if (sep != ' ' && sep != '\t' && sep != '\r' && sep != '\n') return damaged();
  ++pos;
  const uint64_t w = fields[0], hgt = fields[1], maxv = fields[2];
  if (maxv > 65535) return damaged();
  const uint64_t sample = maxv > 255 ? 2 : 1;
  const uint64_t row = kind == '4' ? (w + 7) / 8 : w * sample * (kind == '6' ? 3 : 1);
  const uint64_t bytes = row * hgt;
  if (bytes > r.size() - pos) return damaged();
  return endedUnproven(pos + bytes);
}

}  // namespace velk::ends
