// End rules of programs, fonts and other binaries: PE and ELF executables, gettext
// catalogues, TrueType/OpenType and WOFF fonts, packet captures, Blender files and
// bencoded torrents.

#include <algorithm>

#include "engines/raw/ends/end_reader.h"

namespace velk::ends {

// PE: the furthest section data, and the certificate table that may follow it.
FormatEnd peEnd(EndReader& r) {
  if (!r.textAt(0, "MZ")) return damaged();
  const uint64_t pe = r.le32(0x3C);
  if (pe < 0x40 || pe > (1u << 20) || !r.textAt(pe, std::string_view("PE\0\0", 4))) return damaged();
  const uint16_t sections = r.le16(pe + 6), optSize = r.le16(pe + 20);
  const uint64_t opt = pe + 24;
  const uint16_t magic = r.le16(opt);
  if (sections == 0 || sections > 96 || (magic != 0x10B && magic != 0x20B)) return damaged();
  uint64_t end = r.le32(opt + 60);  // SizeOfHeaders
  const uint64_t table = opt + optSize;
  for (uint16_t i = 0; i < sections; ++i) {
    const uint64_t s = table + uint64_t(i) * 40;
    if (!r.has(s, 40)) return damaged();
    const uint64_t size = r.le32(s + 16), at = r.le32(s + 20);
    if (size) end = std::max(end, at + size);
  }
  const uint64_t dirs = opt + (magic == 0x10B ? 96 : 112);
  if (optSize >= (dirs - opt) + 5 * 8) {
    const uint64_t certAt = r.le32(dirs + 32), certSize = r.le32(dirs + 36);
    if (certAt && certSize) end = std::max(end, certAt + certSize);
  }
  return end <= r.size() ? endedUnproven(end) : damaged();
}

// ELF: the section header table and the furthest section or segment.
FormatEnd elfEnd(EndReader& r) {
  if (!r.textAt(0, "\x7F" "ELF")) return damaged();
  const int cls = r.byte(4), data = r.byte(5);
  if ((cls != 1 && cls != 2) || (data != 1 && data != 2)) return damaged();
  const bool wide = cls == 2, le = data == 1;
  auto u16 = [&](uint64_t o) -> uint64_t { return le ? r.le16(o) : r.be16(o); };
  auto u32 = [&](uint64_t o) -> uint64_t { return le ? r.le32(o) : r.be32(o); };
  auto word = [&](uint64_t o) -> uint64_t { return wide ? (le ? r.le64(o) : r.be64(o)) : u32(o); };
  const uint64_t phoff = word(wide ? 32 : 28), shoff = word(wide ? 40 : 32);
  const uint64_t phent = u16(wide ? 54 : 42), phnum = u16(wide ? 56 : 44);
  const uint64_t shent = u16(wide ? 58 : 46), shnum = u16(wide ? 60 : 48);
  uint64_t end = wide ? 64 : 52;
  if (shnum) {
    if (shent < (wide ? 64u : 40u) || shoff > r.size()) return damaged();
    end = std::max(end, shoff + shnum * shent);
    for (uint64_t i = 0; i < shnum; ++i) {
      const uint64_t s = shoff + i * shent;
      if (!r.has(s, shent)) return damaged();
      if (u32(s + 4) == 8) continue;  // SHT_NOBITS holds no bytes in the file
      end = std::max(end, word(s + (wide ? 24 : 16)) + word(s + (wide ? 32 : 20)));
    }
  }
  for (uint64_t i = 0; i < phnum && phent >= (wide ? 56u : 32u); ++i) {
    const uint64_t p = phoff + i * phent;
    if (!r.has(p, phent)) return damaged();
    end = std::max(end, word(p + (wide ? 8 : 4)) + word(p + (wide ? 32 : 16)));
  }
  return end <= r.size() ? endedUnproven(end) : damaged();
}

// gettext catalogues: the string tables, the hash table and the furthest string.
FormatEnd moEnd(EndReader& r) {
  const uint32_t m = r.le32(0);
  const bool le = m == 0x950412DEu;
  if (!le && m != 0xDE120495u) return damaged();
  auto u32 = [&](uint64_t o) -> uint64_t { return le ? r.le32(o) : r.be32(o); };
  const uint64_t n = u32(8), orig = u32(12), trans = u32(16), hashSize = u32(20), hashAt = u32(24);
  if (n > (1u << 22) || !r.has(orig, n * 8) || !r.has(trans, n * 8)) return damaged();
  uint64_t end = std::max({uint64_t(28), orig + n * 8, trans + n * 8, hashSize ? hashAt + hashSize * 4 : 0});
  for (uint64_t i = 0; i < n; ++i)
    for (uint64_t table : {orig, trans}) end = std::max(end, u32(table + i * 8 + 4) + u32(table + i * 8) + 1);
  // Revision 1 adds system-dependent segments and strings (each a list of segment
  // references whose last reference is 0xFFFFFFFF).
  if ((u32(4) >> 16) == 1) {
    const uint64_t segs = u32(28), segAt = u32(32), strs = u32(36), sysOrig = u32(40), sysTrans = u32(44);
    if (segs > (1u << 16) || strs > (1u << 16)) return damaged();
    for (uint64_t i = 0; i < segs; ++i) end = std::max(end, u32(segAt + i * 8 + 4) + u32(segAt + i * 8));
    for (uint64_t table : {sysOrig, sysTrans}) {
      end = std::max(end, table + strs * 4);
      for (uint64_t i = 0; i < strs; ++i) {
        uint64_t at = u32(table + i * 4) + 4;  // after the string's offset: (size, reference) pairs
        for (int k = 0; k < 256 && r.has(at, 8) && u32(at + 4) != 0xFFFFFFFFu; ++k) at += 8;
        end = std::max(end, at + 8);
      }
    }
  }
  return end <= r.size() ? endedUnproven(end) : damaged();
}

// TrueType/OpenType: the furthest table, padded to four bytes; every table's checksum
// (but the head table's, which the file's own adjustment changes) proves it.
FormatEnd sfntEnd(EndReader& r) {
  const uint32_t version = r.be32(0);
  if (version != 0x00010000u && version != 0x4F54544Fu && version != 0x74727565u) return damaged();
  const uint16_t tables = r.be16(4);
  if (tables == 0 || tables > 128 || !r.has(12, uint64_t(tables) * 16)) return damaged();
  uint64_t end = 12 + uint64_t(tables) * 16;
  bool sums = true;
  for (uint16_t i = 0; i < tables; ++i) {
    const uint64_t e = 12 + uint64_t(i) * 16;
    const uint64_t at = r.be32(e + 8), len = r.be32(e + 12);
    if (at > r.size() || len > r.size() - at) return damaged();
    end = std::max(end, (at + len + 3) / 4 * 4);
    if (r.textAt(e, "head") || len > (64u << 20)) continue;
    uint32_t sum = 0;
    for (uint64_t k = 0; k < (len + 3) / 4; ++k) {
      const uint64_t w = at + k * 4;
      uint32_t v = 0;
      for (int b = 0; b < 4; ++b) v = (v << 8) | uint32_t(w + uint64_t(b) < at + len ? r.byte(w + uint64_t(b)) : 0);
      sum += v;
    }
    sums = sums && sum == r.be32(e + 4);
  }
  if (end > r.size()) end = r.size();
  return sums ? verified(end) : damaged(end);
}

FormatEnd woffEnd(EndReader& r) { return sizeFieldEnd(r, 8, 4, true, 0, 44); }

// pcap: the file header, then records while their lengths are sane.
FormatEnd pcapEnd(EndReader& r) {
  const uint32_t m = r.le32(0);
  const bool le = m == 0xA1B2C3D4u || m == 0xA1B23C4Du;
  if (!le && m != 0xD4C3B2A1u && m != 0x4D3CB2A1u) return damaged();
  auto u32 = [&](uint64_t o) -> uint64_t { return le ? r.le32(o) : r.be32(o); };
  const uint64_t snap = u32(16);
  uint64_t pos = 24, records = 0;
  for (uint64_t step = 0; step < kStepBudget && r.has(pos, 16); ++step) {
    const uint64_t incl = u32(pos + 8), orig = u32(pos + 12);
    if (incl > orig || incl > std::max<uint64_t>(snap, 262144) || !r.has(pos + 16, incl)) break;
    pos += 16 + incl;
    ++records;
  }
  return records ? endedUnproven(pos) : damaged();
}

// Blender: file blocks up to the ENDB block.
FormatEnd blendEnd(EndReader& r) {
  if (!r.textAt(0, "BLENDER")) return damaged();
  const int ptr = r.byte(7) == '-' ? 8 : r.byte(7) == '_' ? 4 : 0;
  const int endian = r.byte(8);
  if (!ptr || (endian != 'v' && endian != 'V')) return damaged();
  const uint64_t header = 16 + uint64_t(ptr);
  uint64_t pos = 12;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    if (!r.has(pos, header)) return damaged();
    const uint64_t size = endian == 'v' ? r.le32(pos + 4) : r.be32(pos + 4);
    const bool last = r.textAt(pos, "ENDB");
    pos += header + size;
    if (pos > r.size()) return damaged();
    if (last) return verified(pos);
  }
  return damaged();
}

// Bencoding (torrents): one value, its dictionaries and lists closed in turn.
FormatEnd bencodeEnd(EndReader& r) {
  uint64_t pos = 0, depth = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const int c = r.byte(pos);
    if (c == 'd' || c == 'l') {
      ++depth;
      ++pos;
    } else if (c == 'e') {
      if (depth == 0) return damaged();
      ++pos;
      if (--depth == 0) return verified(pos);
    } else if (c == 'i') {
      const uint64_t e = r.findByte(pos, 'e', pos + 32);
      if (e == kNone) return damaged();
      pos = e + 1;
    } else if (c >= '0' && c <= '9') {
      uint64_t len = 0;
      int d;
      while ((d = r.byte(pos)) >= '0' && d <= '9' && len < (1ull << 40)) {
        len = len * 10 + uint64_t(d - '0');
        ++pos;
      }
      if (d != ':' || len > r.size() - pos - 1) return damaged();
      pos += 1 + len;
    } else {
      return damaged();
    }
    if (depth == 0) return damaged();
  }
  return damaged();
}

}  // namespace velk::ends
