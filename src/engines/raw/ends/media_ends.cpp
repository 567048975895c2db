// End rules of sound and video streams: MP3 frames (with their ID3, APE and ID3v1 tags),
// FLAC frames (CRC-8 headers, CRC-16 frames), Ogg pages (CRC-32), RIFF and IFF chunks,
// MIDI tracks, Sun audio, Flash video tags, ASF objects, MPEG program and transport
// streams.

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

#include "engines/raw/ends/end_reader.h"

namespace velk::ends {
namespace {

struct Mp3Frame {
  int version = 0;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  int layer = 0;    // 1, 2, 3
  int rate = 0;
  uint32_t length = 0;
};

bool mp3Frame(const uint8_t* h, Mp3Frame& f) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  const int ver = (h[1] >> 3) & 3, layerBits = (h[1] >> 1) & 3;
  const int brIdx = h[2] >> 4, srIdx = (h[2] >> 2) & 3, pad = (h[2] >> 1) & 1;
  if (ver == 1 || layerBits == 0 || brIdx == 0 || brIdx == 15 || srIdx == 3) return false;
  static const int kRates[3][3] = {{11025, 12000, 8000}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  static const int kV1[3][15] = {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
                                 {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
                                 {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
  static const int kV2[2][15] = {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                                 {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
  f.version = ver;
  f.layer = 4 - layerBits;
  f.rate = kRates[ver == 3 ? 2 : ver == 2 ? 1 : 0][srIdx];
  const int kbps = ver == 3 ? kV1[f.layer - 1][brIdx] : kV2[f.layer == 1 ? 0 : 1][brIdx];
  const uint32_t bps = uint32_t(kbps) * 1000;
  if (f.layer == 1) f.length = (12 * bps / uint32_t(f.rate) + uint32_t(pad)) * 4;
  else if (f.layer == 3 && ver != 3) f.length = 72 * bps / uint32_t(f.rate) + uint32_t(pad);
  else f.length = 144 * bps / uint32_t(f.rate) + uint32_t(pad);
  return f.length >= 24;
}

uint64_t id3v2Size(EndReader& r, uint64_t pos) {
  const uint8_t* h = r.at(pos, 10);
  if (!h || std::memcmp(h, "ID3", 3) != 0 || h[3] < 2 || h[3] > 4) return 0;
  if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;
  const uint64_t size = (uint64_t(h[6]) << 21) | (uint64_t(h[7]) << 14) | (uint64_t(h[8]) << 7) | h[9];
  return 10 + size + ((h[5] & 0x10) ? 10 : 0);
}

}  // namespace

// An ID3v2 tag, a run of frames of one version, layer and rate, then an APE tag and an
// ID3v1 tag when present. A Xing/Info header's byte count, when it agrees, proves the run.
FormatEnd mp3End(EndReader& r) {
  uint64_t pos = id3v2Size(r, 0);
  if (pos > r.size()) return damaged();
  const bool tagged = pos > 0;
  // Some taggers pad past the tag's declared size.
  for (int i = 0; tagged && i < 65536 && r.byte(pos) == 0; ++i) ++pos;
  const uint64_t first = pos;
  Mp3Frame head;
  uint64_t frames = 0, xingBytes = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* h = r.at(pos, 4);
    Mp3Frame f;
    if (!h || !mp3Frame(h, f)) break;
    if (frames == 0) {
      head = f;
      const uint64_t side = head.version == 3 ? ((h[3] >> 6) == 3 ? 17 : 32) : ((h[3] >> 6) == 3 ? 9 : 17);
      const uint64_t x = pos + 4 + side;
      if ((r.textAt(x, "Xing") || r.textAt(x, "Info")) && (r.be32(x + 4) & 3) == 3) xingBytes = r.be32(x + 12);
    } else if (f.version != head.version || f.layer != head.layer || f.rate != head.rate) {
      break;
    }
    if (!r.has(pos, f.length)) break;
    pos += f.length;
    ++frames;
    if (xingBytes && pos - first >= xingBytes) break;
  }
  if (frames < (tagged ? 1u : 4u)) return damaged();
  const bool proven = xingBytes != 0 && pos - first == xingBytes;
  if (r.textAt(pos, "APETAGEX") && r.le32(pos + 8) == 2000) {
    // A footer right after the audio is an APE tag written without a header.
    const uint64_t size = r.le32(pos + 12);
    if (size >= 32 && r.has(pos, size)) pos += size;
  } else if (r.textAt(pos, "APETAGEX")) {
    const uint64_t size = r.le32(pos + 12) + 32;
    if (r.has(pos, size)) pos += size;
  }
  if (r.textAt(pos, "TAG") && r.has(pos, 128)) pos += 128;
  return proven ? verified(pos) : endedUnproven(pos);
}

namespace {

uint8_t crc8(const uint8_t* p, size_t n) {
  uint8_t c = 0;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int b = 0; b < 8; ++b) c = uint8_t((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
  }
  return c;
}

const std::array<uint16_t, 256>& crc16Table() {
  static const std::array<uint16_t, 256> t = [] {
    std::array<uint16_t, 256> out{};
    for (int i = 0; i < 256; ++i) {
      uint16_t c = uint16_t(i << 8);
      for (int b = 0; b < 8; ++b) c = uint16_t((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
      out[size_t(i)] = c;
    }
    return out;
  }();
  return t;
}

// A FLAC frame header at p: its length and block size (samples), or 0.
size_t flacHeader(EndReader& r, uint64_t p, int blocking, uint32_t& samples) {
  const uint8_t* h = r.at(p, 16);
  if (!h || h[0] != 0xFF || (h[1] & 0xFE) != 0xF8 || (blocking >= 0 && (h[1] & 1) != blocking)) return 0;
  const int bsCode = h[2] >> 4, srCode = h[2] & 15, chan = h[3] >> 4, size = (h[3] >> 1) & 7;
  if (bsCode == 0 || srCode == 15 || chan > 10 || size == 3 || (h[3] & 1)) return 0;
  size_t n = 4;
  // The frame or sample number, UTF-8 coded in up to 7 bytes.
  int extra = 0;
  if (h[4] < 0x80) extra = 0;
  else if ((h[4] & 0xE0) == 0xC0) extra = 1;
  else if ((h[4] & 0xF0) == 0xE0) extra = 2;
  else if ((h[4] & 0xF8) == 0xF0) extra = 3;
  else if ((h[4] & 0xFC) == 0xF8) extra = 4;
  else if ((h[4] & 0xFE) == 0xFC) extra = 5;
  else if (h[4] == 0xFE) extra = 6;
  else return 0;
  for (int i = 1; i <= extra; ++i)
    if ((h[4 + i] & 0xC0) != 0x80) return 0;
  n += 1 + size_t(extra);
  if (bsCode == 1) samples = 192;
  else if (bsCode <= 5) samples = 576u << (bsCode - 2);
  else if (bsCode == 6) samples = uint32_t(h[n++]) + 1;
  else if (bsCode == 7) {
    samples = uint32_t((h[n] << 8) | h[n + 1]) + 1;
    n += 2;
  } else samples = 256u << (bsCode - 8);
  if (srCode == 12) n += 1;
  else if (srCode == 13 || srCode == 14) n += 2;
  if (crc8(h, n) != h[n]) return 0;
  return n + 1;
}

}  // namespace

// Metadata blocks, then frames: each frame's header has its CRC-8, and the frame ends
// where a CRC-16 over it matches — checked against the next frame's header, or, for the
// last, at the sample count STREAMINFO gives.
FormatEnd flacEnd(EndReader& r) {
  if (!r.textAt(0, "fLaC")) return damaged();
  uint64_t pos = 4, total = 0, maxFrame = 0;
  for (int i = 0; i < 1024; ++i) {
    const uint8_t* b = r.at(pos, 4);
    if (!b || (b[0] & 0x7F) == 127) return damaged();
    const uint64_t len = (uint64_t(b[1]) << 16) | (uint64_t(b[2]) << 8) | b[3];
    if ((b[0] & 0x7F) == 0) {
      const uint8_t* si = r.at(pos + 4, 34);
      if (!si || len != 34) return damaged();
      maxFrame = (uint64_t(si[7]) << 16) | (uint64_t(si[8]) << 8) | si[9];
      total = (uint64_t(si[13] & 15) << 32) | be32(si + 14);
    }
    pos += 4 + len;
    if (b[0] & 0x80) break;
  }
  if (pos > r.size()) return damaged();
  const uint64_t frameLimit = maxFrame ? maxFrame : (16u << 20);
  const auto& table = crc16Table();
  uint64_t samples = 0;
  int blocking = -1;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    uint32_t bs = 0;
    const size_t hl = flacHeader(r, pos, blocking, bs);
    if (hl == 0) return damaged();
    blocking = r.byte(pos + 1) & 1;
    samples += bs;
    const bool last = total != 0 && samples >= total;
    uint16_t crc = 0;
    uint64_t x = pos;
    const uint64_t limit = std::min(r.size(), pos + frameLimit + 2);
    auto crcTo = [&](uint64_t to) {
      while (x < to) {
        auto [p, n] = r.run(x);
        if (!p) return false;
        n = size_t(std::min<uint64_t>(n, to - x));
        for (size_t i = 0; i < n; ++i) crc = uint16_t((crc << 8) ^ table[((crc >> 8) ^ p[i]) & 0xFF]);
        x += n;
      }
      return true;
    };
    uint64_t next = kNone;
    uint32_t nbs = 0;
    // A frame that is not the last ends where the next header begins: try the sync codes.
    for (uint64_t q = pos + hl + 2; !last && q < limit; ++q) {
      q = r.findByte(q, 0xFF, limit);
      if (q == kNone) break;
      if ((r.byte(q + 1) & 0xFE) != 0xF8) continue;
      if (!crcTo(q - 2)) return damaged();
      if (crc == r.be16(q - 2) && flacHeader(r, q, blocking, nbs) > 0) {
        next = q;
        break;
      }
    }
    // The last frame (or one whose successor is gone): the first CRC-16 that matches.
    if (next == kNone && (last || total == 0)) {
      crc = 0;
      x = pos;
      for (uint64_t p = pos + hl + 1; p + 2 <= limit; ++p) {
        if (!crcTo(p)) return damaged();
        if (crc == r.be16(p)) {
          next = p + 2;
          break;
        }
      }
      if (next != kNone && !last) return endedUnproven(next);
    }
    if (next == kNone) return damaged();
    pos = next;
    if (last) return verified(pos);
  }
  return damaged();
}

namespace {

const std::array<uint32_t, 256>& oggCrcTable() {
  static const std::array<uint32_t, 256> t = [] {
    std::array<uint32_t, 256> out{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
      out[i] = c;
    }
    return out;
  }();
  return t;
}

}  // namespace

// Pages (each with its CRC) until every logical stream that began has ended.
FormatEnd oggEnd(EndReader& r) {
  const auto& table = oggCrcTable();
  uint64_t pos = 0;
  bool crcOk = true;
  std::set<uint32_t> open;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* h = r.at(pos, 27);
    if (!h || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) return step > 0 ? endedUnproven(pos) : damaged();
    const uint8_t type = h[5];
    const uint32_t serial = le32(h + 14), stored = le32(h + 22);
    const int segments = h[26];
    const uint8_t* table8 = r.at(pos + 27, size_t(segments));
    if (!table8) return damaged();
    uint64_t body = 0;
    for (int i = 0; i < segments; ++i) body += table8[i];
    const uint64_t len = 27 + uint64_t(segments) + body;
    if (!r.has(pos, len)) return damaged();
    uint32_t crc = 0;
    for (uint64_t i = 0; i < len;) {
      auto [p, n] = r.run(pos + i);
      n = size_t(std::min<uint64_t>(n, len - i));
      for (size_t k = 0; k < n; ++k) {
        const uint64_t at = i + k;
        const uint8_t b = (at >= 22 && at < 26) ? 0 : p[k];
        crc = (crc << 8) ^ table[((crc >> 24) ^ b) & 0xFF];
      }
      i += n;
    }
    crcOk = crcOk && crc == stored;
    if (type & 0x02) open.insert(serial);
    else if (!open.count(serial)) return step > 0 ? endedUnproven(pos) : damaged();
    pos += len;
    if (type & 0x04) {
      open.erase(serial);
      if (open.empty()) return crcOk ? verified(pos) : damaged(pos);
    }
  }
  return damaged();
}

// RIFF (WAV, AVI, WebP): the size field after the tag.
FormatEnd riffEnd(EndReader& r) {
  const uint8_t* h = r.at(0, 12);
  if (!h || std::memcmp(h, "RIFF", 4) != 0) return damaged();
  for (int i = 8; i < 12; ++i)
    if (h[i] < 0x20 || h[i] > 0x7E) return damaged();
  const uint64_t end = 8 + uint64_t(le32(h + 4));
  if (end < 12 || end > r.size()) return damaged();
  return endedUnproven(end);
}

// IFF (AIFF, 8SVX) and DjVu: the big-endian size of the FORM chunk.
FormatEnd iffEnd(EndReader& r) {
  const uint64_t base = r.textAt(0, "AT&T") ? 4 : 0;
  if (!r.textAt(base, "FORM")) return damaged();
  const uint64_t size = r.be32(base + 4);
  const uint64_t end = base + 8 + size + (size & 1);
  if (size < 4 || end > r.size()) return damaged();
  return endedUnproven(end);
}

// MIDI: the header's track count, each track chunk closed by its End of Track event.
FormatEnd midiEnd(EndReader& r) {
  if (!r.textAt(0, "MThd") || r.be32(4) < 6) return damaged();
  const uint16_t tracks = r.be16(10);
  uint64_t pos = 8 + uint64_t(r.be32(4));
  bool closed = true;
  for (uint16_t t = 0; t < tracks; ++t) {
    if (!r.has(pos, 8)) return damaged();
    const uint64_t len = r.be32(pos + 4);
    if (len > r.size() - pos - 8) return damaged();
    if (r.textAt(pos, "MTrk"))
      closed = closed && len >= 3 && r.byte(pos + 8 + len - 3) == 0xFF && r.byte(pos + 8 + len - 2) == 0x2F;
    pos += 8 + len;
  }
  return tracks && closed ? verified(pos) : tracks ? endedUnproven(pos) : damaged();
}

// Sun/NeXT audio: data offset plus data size.
FormatEnd auEnd(EndReader& r) {
  if (!r.textAt(0, ".snd")) return damaged();
  const uint64_t off = r.be32(4), size = r.be32(8);
  if (off < 24 || size == 0xFFFFFFFFu || off + size > r.size()) return damaged();
  return endedUnproven(off + size);
}

// Flash video: tags, each followed by its own size again.
FormatEnd flvEnd(EndReader& r) {
  if (!r.textAt(0, "FLV") || r.byte(3) != 1 || r.be32(5) < 9) return damaged();
  uint64_t pos = r.be32(5);
  if (r.be32(pos) != 0) return damaged();
  pos += 4;
  uint64_t tags = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* t = r.at(pos, 11);
    const int type = t ? (t[0] & 0x1F) : -1;
    if (!t || (type != 8 && type != 9 && type != 18) || t[8] || t[9] || t[10]) break;
    const uint64_t size = (uint64_t(t[1]) << 16) | (uint64_t(t[2]) << 8) | t[3];
    if (!r.has(pos, 11 + size + 4) || r.be32(pos + 11 + size) != 11 + size) break;
    pos += 11 + size + 4;
    ++tags;
  }
  return tags ? verified(pos) : damaged();
}

// ASF (WMA, WMV): the File Properties object's file size.
FormatEnd asfEnd(EndReader& r) {
  static const uint8_t kHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                      0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  static const uint8_t kFileProps[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  const uint8_t* h = r.at(0, 30);
  if (!h || std::memcmp(h, kHeader, 16) != 0) return damaged();
  const uint64_t headerSize = le64(h + 16);
  const uint32_t objects = le32(h + 24);
  uint64_t pos = 30;
  for (uint32_t i = 0; i < objects && i < 1024 && pos + 24 <= headerSize; ++i) {
    const uint8_t* o = r.at(pos, 24);
    if (!o) return damaged();
    const uint64_t size = le64(o + 16);
    if (size < 24) return damaged();
    if (std::memcmp(o, kFileProps, 16) == 0) {
      const uint64_t fileSize = r.le64(pos + 40);
      if (fileSize < headerSize || fileSize > r.size()) return damaged();
      return endedUnproven(fileSize);
    }
    pos += size;
  }
  return damaged();
}

// MPEG program streams (MPG, VOB): pack headers and PES packets up to the end code.
FormatEnd mpegPsEnd(EndReader& r) {
  uint64_t pos = 0, packs = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* h = r.at(pos, 14);
    if (!h || h[0] != 0 || h[1] != 0 || h[2] != 1) break;
    const uint8_t id = h[3];
    if (id == 0xB9) return verified(pos + 4);
    if (id == 0xBA) {
      if ((h[4] & 0xC0) == 0x40) pos += 14 + (h[13] & 7);
      else if ((h[4] & 0xF0) == 0x20) pos += 12;
      else break;
      ++packs;
    } else if (id >= 0xBB) {
      pos += 6 + uint64_t(be16(h + 4));
    } else {
      break;
    }
  }
  return packs >= 2 && pos <= r.size() ? endedUnproven(std::min(pos, r.size())) : damaged();
}

// MPEG transport streams: 188-byte packets (192 with the Blu-ray time code) while each
// begins with the sync byte.
FormatEnd mpegTsEnd(EndReader& r) {
  const uint64_t stride = r.byte(0) == 0x47 ? 188 : 192;
  const uint64_t sync = stride == 188 ? 0 : 4;
  uint64_t pos = 0, packets = 0;
  while (packets < kStepBudget && r.has(pos, stride) && r.byte(pos + sync) == 0x47) {
    pos += stride;
    ++packets;
  }
  return packets >= 3 ? endedUnproven(pos) : damaged();
}

}  // namespace velk::ends
