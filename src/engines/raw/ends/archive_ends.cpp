// End rules of archives and containers: ZIP and the formats built on it, ISO 9660, 7-Zip,
// tar, RAR, SQLite, PST, cabinets, ar (Debian packages) and cpio.

#include <algorithm>
#include <cstring>
#include <string>

#include "engines/raw/ends/end_reader.h"
#include "support/crc32.h"

namespace velk::ends {
namespace {

// What a ZIP holds, by its member names and the stored "mimetype" of ODF and EPUB.
std::string_view zipKind(EndReader& r, uint64_t cdOff, uint64_t entries) {
  if (r.le32(0) == 0x04034B50u && r.le16(26) == 8 && r.le16(8) == 0 && r.textAt(30, "mimetype")) {
    const uint32_t len = std::min<uint32_t>(r.le32(18), 128);
    if (const uint8_t* m = r.at(38 + uint64_t(r.le16(28)), len)) {
      const std::string_view mime(reinterpret_cast<const char*>(m), len);
      static const std::pair<std::string_view, std::string_view> kMimes[] = {
          {"application/vnd.oasis.opendocument.text", "odt"},
          {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
          {"application/vnd.oasis.opendocument.presentation", "odp"},
          {"application/vnd.oasis.opendocument.graphics", "odg"},
          {"application/epub+zip", "epub"},
      };
      for (const auto& [name, ext] : kMimes)
        if (mime == name) return ext;
    }
  }
  bool ooxml = false, manifest = false;
  std::string_view office;
  uint64_t c = cdOff;
  for (uint64_t i = 0; i < entries && r.le32(c) == 0x02014B50u; ++i) {
    const uint16_t nameLen = r.le16(c + 28);
    const uint8_t* name = r.at(c + 46, nameLen);
    if (!name) break;
    const std::string_view n(reinterpret_cast<const char*>(name), nameLen);
    if (n == "AndroidManifest.xml") return "apk";
    if (n == "[Content_Types].xml") ooxml = true;
    else if (n == "META-INF/MANIFEST.MF") manifest = true;
    else if (office.empty() && n.rfind("word/", 0) == 0) office = "docx";
    else if (office.empty() && n.rfind("xl/", 0) == 0) office = "xlsx";
    else if (office.empty() && n.rfind("ppt/", 0) == 0) office = "pptx";
    c += 46 + uint64_t(nameLen) + r.le16(c + 30) + r.le16(c + 32);
  }
  if (ooxml && !office.empty()) return office;
  return manifest ? "jar" : "zip";
}

}  // namespace

// The end of central directory whose directory lies right before it and accounts for
// every member, plus its comment. Members' own local headers (which may fall on sector
// boundaries) never end the file.
FormatEnd zipEnd(EndReader& r) {
  if (r.le32(0) != 0x04034B50u) return damaged();
  uint64_t pos = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint64_t e = r.findText(pos, std::string_view("PK\x05\x06", 4));
    if (e == kNone || !r.has(e, 22)) return damaged();
    pos = e + 1;
    uint64_t cdSize = r.le32(e + 12), cdOff = r.le32(e + 16), entries = r.le16(e + 10);
    const uint64_t end = e + 22 + r.le16(e + 20);
    if (end > r.size()) continue;
    if ((cdOff == 0xFFFFFFFFu || entries == 0xFFFF) && e >= 20 && r.le32(e - 20) == 0x07064B50u) {
      const uint64_t z64 = r.le64(e - 20 + 8);
      if (!r.has(z64, 56) || r.le32(z64) != 0x06064B50u) continue;
      entries = r.le64(z64 + 32);
      cdSize = r.le64(z64 + 40);
      cdOff = r.le64(z64 + 48);
      if (cdOff > z64 || cdSize != z64 - cdOff) continue;
    } else if (cdOff > e || cdSize != e - cdOff) {
      continue;
    }
    // Every directory entry in its place, each pointing at a local header.
    uint64_t c = cdOff, count = 0;
    bool whole = true;
    for (; c < cdOff + cdSize && count < (1u << 20); ++count) {
      if (r.le32(c) != 0x02014B50u) {
        whole = false;
        break;
      }
      const uint64_t local = r.le32(c + 42);
      if (local != 0xFFFFFFFFu && (local >= cdOff || r.le32(local) != 0x04034B50u)) whole = false;
      c += 46 + uint64_t(r.le16(c + 28)) + r.le16(c + 30) + r.le16(c + 32);
    }
    if (c != cdOff + cdSize || count != entries) continue;
    FormatEnd out = whole ? verified(end) : damaged(end);
    out.extension = std::string(zipKind(r, cdOff, entries));
    return out;
  }
  return damaged();
}

// The primary volume descriptor's volume space size × logical block size.
FormatEnd isoEnd(EndReader& r) {
  const uint8_t* d = r.at(32768, 2048);
  if (!d || d[0] != 1 || std::memcmp(d + 1, "CD001", 5) != 0 || d[6] != 1) return damaged();
  const uint32_t blocks = le32(d + 80);
  const uint16_t blockSize = le16(d + 128);
  if (blockSize < 512 || blockSize > 4096 || (blockSize & (blockSize - 1)) != 0) return damaged();
  const uint64_t end = uint64_t(blocks) * blockSize;
  if (end < 32768 + 2048 || end > r.size()) return damaged();
  return endedUnproven(end);
}

// The start header names the next header's offset, size and CRC (itself CRC-protected).
FormatEnd sevenZipEnd(EndReader& r) {
  const uint8_t* h = r.at(0, 32);
  static const uint8_t kSig[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  if (!h || std::memcmp(h, kSig, 6) != 0) return damaged();
  if (crc32(std::span<const uint8_t>(h + 12, 20)) != le32(h + 8)) return damaged();
  const uint64_t off = le64(h + 12), size = le64(h + 20);
  const uint32_t headerCrc = le32(h + 28);
  if (size == 0 || off > r.size() || size > r.size() - off || 32 + off + size > r.size()) return damaged();
  uint32_t crc = 0;
  if (!r.crcOf(32 + off, size, crc)) return damaged();
  return crc == headerCrc ? verified(32 + off + size) : damaged(32 + off + size);
}

// 512-byte headers (each with its checksum) and their data, up to the two zero blocks; the
// rest of the last 10240-byte record when it is zero too, as tar writes it.
FormatEnd tarEnd(EndReader& r) {
  uint64_t pos = 0;
  auto octal = [&](uint64_t off, int width, uint64_t& out) {
    const uint8_t* p = r.at(off, size_t(width));
    if (!p) return false;
    if (p[0] & 0x80) {  // base-256, for sizes past 8 GiB
      out = 0;
      for (int i = 1; i < width; ++i) out = (out << 8) | p[i];
      return out < (1ull << 56);
    }
    out = 0;
    int i = 0;
    while (i < width && p[i] == ' ') ++i;
    for (; i < width && p[i] >= '0' && p[i] <= '7'; ++i) out = out * 8 + uint64_t(p[i] - '0');
    return i == width || p[i] == 0 || p[i] == ' ';
  };
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* h = r.at(pos, 512);
    if (!h) return damaged();
    if (std::all_of(h, h + 512, [](uint8_t b) { return b == 0; })) {
      const uint8_t* z = r.at(pos + 512, 512);
      if (!z || !std::all_of(z, z + 512, [](uint8_t b) { return b == 0; }) || step == 0) return damaged();
      uint64_t end = pos + 1024;
      const uint64_t record = (end + 10239) / 10240 * 10240;
      bool padded = record <= r.size();
      for (uint64_t p = end; padded && p < record; p += 512) {
        const uint8_t* b = r.at(p, 512);
        padded = b && std::all_of(b, b + 512, [](uint8_t v) { return v == 0; });
      }
      return verified(padded ? record : end);
    }
    uint64_t stored = 0, size = 0;
    if (!octal(pos + 148, 8, stored) || !octal(pos + 124, 12, size)) return damaged();
    uint64_t sum = 0;
    for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? uint8_t(' ') : h[i];
    if (sum != stored) return damaged();
    const char type = char(h[156]);
    // Links and folders keep no data whatever their size field says.
    if (type == '1' || type == '2' || type == '3' || type == '4' || type == '5' || type == '6') size = 0;
    pos += 512 + (size + 511) / 512 * 512;
    if (pos > r.size()) return damaged();
  }
  return damaged();
}

namespace {

// RAR 5 variable-length integer; false past 10 bytes or the window.
bool vint(EndReader& r, uint64_t& pos, uint64_t& out) {
  out = 0;
  for (int i = 0; i < 10; ++i) {
    const int b = r.byte(pos++);
    if (b < 0) return false;
    out |= uint64_t(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return true;
  }
  return false;
}

FormatEnd rar5End(EndReader& r) {
  uint64_t pos = 8;
  bool crcOk = true;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint32_t stored = r.le32(pos);
    uint64_t p = pos + 4, headerSize = 0, type = 0, flags = 0, extra = 0, data = 0;
    const uint64_t sizeAt = p;
    if (!vint(r, p, headerSize) || headerSize == 0 || headerSize > (2u << 20)) return damaged();
    const uint64_t headerEnd = p + headerSize;
    uint32_t crc = 0;
    if (!r.crcOf(sizeAt, headerEnd - sizeAt, crc)) return damaged();
    crcOk = crcOk && crc == stored;
    if (!vint(r, p, type) || !vint(r, p, flags)) return damaged();
    if ((flags & 1) && !vint(r, p, extra)) return damaged();
    if ((flags & 2) && !vint(r, p, data)) return damaged();
    if (type == 0 || type > 5 || data > r.size() - std::min(r.size(), headerEnd)) return damaged();
    pos = headerEnd + data;
    if (type == 5) return crcOk ? verified(pos) : damaged(pos);
  }
  return damaged();
}

FormatEnd rar4End(EndReader& r) {
  uint64_t pos = 7;
  bool crcOk = true;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* h = r.at(pos, 7);
    if (!h) return damaged();
    const uint16_t crc16 = le16(h), flags = le16(h + 3), size = le16(h + 5);
    const uint8_t type = h[2];
    if (size < 7 || type < 0x72 || type > 0x7B) return damaged();
    uint32_t crc = 0;
    if (!r.crcOf(pos + 2, size - 2u, crc)) return damaged();
    // The main header's CRC covers fewer bytes in some writers; only file and end
    // headers are held to theirs.
    if ((type == 0x74 || type == 0x7B) && uint16_t(crc) != crc16) crcOk = false;
    uint64_t add = 0;
    if ((flags & 0x8000) || type == 0x74) {
      if (size < 11) return damaged();
      add = r.le32(pos + 7);
      if (type == 0x74 && (flags & 0x100)) add |= uint64_t(r.le32(pos + 32)) << 32;  // HIGH_PACK_SIZE
    }
    pos += size + add;
    if (pos > r.size()) return damaged();
    if (type == 0x7B) return crcOk ? verified(pos) : damaged(pos);
  }
  return damaged();
}

}  // namespace

// RAR 4 blocks or RAR 5 headers (each CRC-protected) up to the end-of-archive record.
FormatEnd rarEnd(EndReader& r) {
  if (r.textAt(0, std::string_view("Rar!\x1A\x07\x01\x00", 8))) return rar5End(r);
  if (r.textAt(0, std::string_view("Rar!\x1A\x07\x00", 7))) return rar4End(r);
  return damaged();
}

// Page size × page count, trusted when the header says the count is current.
FormatEnd sqliteEnd(EndReader& r) {
  const uint8_t* h = r.at(0, 100);
  if (!h || std::memcmp(h, "SQLite format 3\0", 16) != 0) return damaged();
  uint32_t page = be16(h + 16);
  if (page == 1) page = 65536;
  if (page < 512 || (page & (page - 1)) != 0) return damaged();
  const uint32_t pages = be32(h + 28);
  if (pages == 0 || be32(h + 92) != be32(h + 24)) return damaged();
  const uint64_t end = uint64_t(page) * pages;
  if (end > r.size()) return damaged();
  return endedUnproven(end);
}

// The header's end-of-file offset (ANSI and Unicode layouts).
FormatEnd pstEnd(EndReader& r) {
  const uint8_t* h = r.at(0, 512);
  if (!h || std::memcmp(h, "!BDN", 4) != 0) return damaged();
  const uint16_t ver = le16(h + 10);
  uint64_t end;
  if (ver == 14 || ver == 15) end = le32(h + 0xA8);
  else if (ver >= 23) end = le64(h + 0xB8);
  else return damaged();
  if (end < 512 || end > r.size()) return damaged();
  return endedUnproven(end);
}

// Cabinet: the header's cabinet size.
FormatEnd cabEnd(EndReader& r) { return sizeFieldEnd(r, 8, 4, false, 0, 36); }

// ar archives (Debian packages): 60-byte member headers ending "`\n", data padded to even.
FormatEnd arEnd(EndReader& r) {
  if (!r.textAt(0, "!<arch>\n")) return damaged();
  uint64_t pos = 8;
  int members = 0;
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    const uint8_t* h = r.at(pos, 60);
    if (!h || h[58] != '`' || h[59] != '\n') return members > 0 ? endedUnproven(pos) : damaged();
    uint64_t size = 0;
    int i = 48;
    for (; i < 58 && h[i] >= '0' && h[i] <= '9'; ++i) size = size * 10 + uint64_t(h[i] - '0');
    if (i == 48) return damaged();
    pos += 60 + size + (size & 1);
    if (pos > r.size()) return damaged();
    ++members;
  }
  return damaged();
}

// cpio "newc": headers with hexadecimal fields up to "TRAILER!!!", then the 512-byte
// block padding cpio writes.
FormatEnd cpioEnd(EndReader& r) {
  uint64_t pos = 0;
  auto hex = [&](uint64_t off, uint64_t& out) {
    const uint8_t* p = r.at(off, 8);
    if (!p) return false;
    out = 0;
    for (int i = 0; i < 8; ++i) {
      const int c = p[i];
      const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (v < 0) return false;
      out = out * 16 + uint64_t(v);
    }
    return true;
  };
  for (uint64_t step = 0; step < kStepBudget; ++step) {
    if (!r.textAt(pos, "07070")) return damaged();
    uint64_t size = 0, nameSize = 0;
    if (!hex(pos + 54, size) || !hex(pos + 94, nameSize) || nameSize == 0) return damaged();
    const bool trailer = nameSize == 11 && r.textAt(pos + 110, "TRAILER!!!");
    pos = (pos + 110 + nameSize + 3) / 4 * 4;
    pos = (pos + size + 3) / 4 * 4;
    if (pos > r.size()) return damaged();
    if (trailer) {
      const uint64_t block = (pos + 511) / 512 * 512;
      const uint8_t* pad = block <= r.size() ? r.at(pos, size_t(block - pos)) : nullptr;
      const bool zero = pad && std::all_of(pad, pad + (block - pos), [](uint8_t b) { return b == 0; });
      return verified(zero ? block : pos);
    }
  }
  return damaged();
}

}  // namespace velk::ends
