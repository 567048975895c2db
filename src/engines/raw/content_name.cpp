#include "engines/raw/content_name.h"

#include <libexif/exif-data.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "engines/raw/ends/end_reader.h"
#include "support/text.h"

namespace velk {
namespace {

using ends::EndReader;
using ends::kNone;

constexpr size_t kMaxName = 120;
// How far into a file its metadata is looked for.
constexpr uint64_t kMetadataReach = 16u << 20;

std::string latin1(std::string_view s) {
  std::u16string wide;
  for (char c : s) wide += char16_t(uint8_t(c));
  return utf16ToUtf8(wide);
}

std::string utf16(std::string_view s, bool bigEndian) {
  std::u16string wide;
  for (size_t i = 0; i + 1 < s.size(); i += 2) {
    const auto hi = uint8_t(s[bigEndian ? i : i + 1]), lo = uint8_t(s[bigEndian ? i + 1 : i]);
    const char16_t c = char16_t((hi << 8) | lo);
    if (c == 0) break;
    wide += c;
  }
  return utf16ToUtf8(wide);
}

// Valid UTF-8 stays; anything else is read as Latin-1. Control characters become spaces,
// runs of space one, and the ends are trimmed.
std::string tidy(std::string_view raw) {
  bool valid = true;
  for (size_t i = 0; i < raw.size() && valid;) {
    const uint8_t c = uint8_t(raw[i]);
    const size_t n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
    valid = n < 4 && i + n < raw.size();
    for (size_t k = 1; valid && k <= n; ++k) valid = (uint8_t(raw[i + k]) & 0xC0) == 0x80;
    i += n + 1;
  }
  const std::string text = valid ? std::string(raw) : latin1(raw);
  std::string out;
  for (char c : text) {
    const char t = uint8_t(c) < 0x20 || c == 0x7F ? ' ' : c;
    if (t == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += t;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return cutUtf8(out, kMaxName);
}

std::string bytesAt(EndReader& r, uint64_t off, size_t n) {
  const uint8_t* p = r.at(off, n);
  return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

// "2024:06:01 12:03:44" → "2024-06-01 12-03-44".
std::string exifDate(std::string d) {
  if (d.size() < 19 || d[4] != ':' || d[7] != ':') return {};
  d.resize(19);
  d[4] = d[7] = '-';
  d[13] = d[16] = '-';
  return d.rfind("0000", 0) == 0 ? std::string() : d;
}

std::string jpegName(EndReader& r) {
  const uint64_t n = std::min<uint64_t>(r.size(), 128u << 10);
  const uint8_t* p = r.at(0, size_t(std::min<uint64_t>(n, 512u << 10)));
  if (!p) return {};
  std::unique_ptr<ExifData, void (*)(ExifData*)> exif(exif_data_new_from_data(p, unsigned(n)), exif_data_unref);
  if (!exif) return {};
  auto text = [&](ExifIfd ifd, ExifTag tag) -> std::string {
    ExifEntry* e = exif_content_get_entry(exif->ifd[ifd], tag);
    if (!e) return {};
    char buf[128] = {};
    exif_entry_get_value(e, buf, sizeof buf);
    return tidy(buf);
  };
  std::string date = exifDate(text(EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL));
  if (date.empty()) date = exifDate(text(EXIF_IFD_0, EXIF_TAG_DATE_TIME));
  std::string model = text(EXIF_IFD_0, EXIF_TAG_MODEL);
  const std::string make = text(EXIF_IFD_0, EXIF_TAG_MAKE);
  // "Canon EOS 80D" names its maker already; "D750" does not.
  if (!make.empty() && !model.empty() && lowerAscii(model).find(lowerAscii(make.substr(0, make.find(' ')))) == std::string::npos)
    model = make.substr(0, make.find(' ')) + " " + model;
  if (model.empty()) model = make;
  if (date.empty()) return model;
  return model.empty() ? date : date + " " + model;
}

// A PDF string after key: a literal "(…)" with its escapes, or a hexadecimal "<…>";
// UTF-16 when it opens with a byte order mark.
std::string pdfString(EndReader& r, uint64_t pos) {
  while (r.byte(pos) == ' ' || r.byte(pos) == '\r' || r.byte(pos) == '\n') ++pos;
  std::string raw;
  if (r.byte(pos) == '(') {
    int depth = 1;
    for (uint64_t p = pos + 1; raw.size() < 512; ++p) {
      int c = r.byte(p);
      if (c < 0) return {};
      if (c == '\\') {
        c = r.byte(++p);
        if (c >= '0' && c <= '7') {
          int v = 0;
          for (int k = 0; k < 3 && (c = r.byte(p)) >= '0' && c <= '7'; ++k, ++p) v = v * 8 + (c - '0');
          --p;
          c = v & 0xFF;
        } else if (c == 'n' || c == 'r' || c == 't') {
          c = ' ';
        }
      } else if (c == '(') {
        ++depth;
      } else if (c == ')' && --depth == 0) {
        break;
      }
      raw += char(c);
    }
  } else if (r.byte(pos) == '<' && r.byte(pos + 1) != '<') {
    int hi = -1;
    for (uint64_t p = pos + 1; raw.size() < 512; ++p) {
      const int c = r.byte(p);
      if (c < 0) return {};
      if (c == '>') break;
      const int v = c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
      if (v < 0) continue;
      if (hi < 0) hi = v;
      else {
        raw += char(hi * 16 + v);
        hi = -1;
      }
    }
  } else {
    return {};
  }
  if (raw.size() >= 2 && uint8_t(raw[0]) == 0xFE && uint8_t(raw[1]) == 0xFF) return tidy(utf16(raw.substr(2), true));
  return tidy(raw);
}

std::string pdfName(EndReader& r) {
  const uint64_t reach = std::min(r.size(), kMetadataReach);
  std::string date;
  for (uint64_t pos = 0; pos < reach;) {
    const uint64_t hit = r.findText(pos, "/Title", false, reach);
    if (hit == kNone) break;
    const std::string title = pdfString(r, hit + 6);
    if (!title.empty()) return title;
    pos = hit + 6;
  }
  const uint64_t c = r.findText(0, "/CreationDate", false, reach);
  if (c != kNone) {
    const std::string d = pdfString(r, c + 13);  // D:YYYYMMDDHHmmSS
    if (d.size() >= 16 && d.rfind("D:", 0) == 0)
      date = d.substr(2, 4) + "-" + d.substr(6, 2) + "-" + d.substr(8, 2) + " " + d.substr(10, 2) + "-" +
             d.substr(12, 2) + "-" + d.substr(14, 2);
  }
  return date;
}

// One member of a ZIP by name, found by its local header, inflated (at most 1 MiB).
std::string zipMember(EndReader& r, std::string_view name) {
  const uint64_t reach = std::min(r.size(), kMetadataReach);
  for (uint64_t pos = 0; pos < reach;) {
    const uint64_t hit = r.findText(pos, name, false, reach);
    if (hit == kNone || hit < 30) return {};
    pos = hit + 1;
    const uint64_t h = hit - 30;
    if (r.le32(h) != 0x04034B50u || r.le16(h + 26) != name.size()) continue;
    const uint16_t method = r.le16(h + 8);
    const uint64_t packed = std::min<uint64_t>(r.le32(h + 18), 1u << 20);
    const uint64_t data = hit + name.size() + r.le16(h + 28);
    const uint8_t* p = r.at(data, size_t(packed));
    if (!p || packed == 0) return {};
    if (method == 0) return std::string(reinterpret_cast<const char*>(p), size_t(packed));
    if (method != 8) return {};
    std::string out(1u << 20, '\0');
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return {};
    z.next_in = const_cast<Bytef*>(p);
    z.avail_in = uInt(packed);
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    inflate(&z, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    inflateEnd(&z);
    return out;
  }
  return {};
}

std::string xmlElementText(const std::string& xml, std::string_view tag) {
  const size_t open = xml.find("<" + std::string(tag));
  if (open == std::string::npos) return {};
  const size_t start = xml.find('>', open);
  const size_t end = xml.find("</" + std::string(tag), start);
  if (start == std::string::npos || end == std::string::npos || xml[start - 1] == '/') return {};
  std::string text = xml.substr(start + 1, end - start - 1);
  // The few entities titles hold.
  static const std::pair<std::string_view, std::string_view> kEntities[] = {
      {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}};
  for (const auto& [from, to] : kEntities)
    for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  return tidy(text);
}

std::string officeName(EndReader& r) {
  std::string title = xmlElementText(zipMember(r, "docProps/core.xml"), "dc:title");
  if (title.empty()) title = xmlElementText(zipMember(r, "meta.xml"), "dc:title");
  return title;
}

// An ID3v2 text frame's value by its encoding byte.
std::string id3Text(std::string_view v) {
  if (v.empty()) return {};
  const uint8_t enc = uint8_t(v[0]);
  v.remove_prefix(1);
  if (enc == 1 && v.size() >= 2) {
    const bool be = uint8_t(v[0]) == 0xFE;
    return tidy(utf16(v.substr(2), be));
  }
  if (enc == 2) return tidy(utf16(v, true));
  std::string s(v.substr(0, v.find('\0')));
  return enc == 3 ? tidy(s) : tidy(latin1(s));
}

std::string mp3Name(EndReader& r) {
  std::string artist, title;
  const uint8_t* h = r.at(0, 10);
  if (h && std::memcmp(h, "ID3", 3) == 0 && h[3] >= 2 && h[3] <= 4) {
    const int ver = h[3];
    const uint64_t size = (uint64_t(h[6] & 0x7F) << 21) | (uint64_t(h[7] & 0x7F) << 14) | (uint64_t(h[8] & 0x7F) << 7) | (h[9] & 0x7F);
    const uint64_t end = std::min<uint64_t>(10 + size, r.size());
    const size_t idLen = ver == 2 ? 3 : 4, headLen = ver == 2 ? 6 : 10;
    for (uint64_t pos = 10; pos + headLen <= end;) {
      const std::string id = bytesAt(r, pos, idLen);
      if (id.empty() || id[0] == '\0') break;
      const uint8_t* s = r.at(pos + idLen, 4);
      if (!s) break;
      uint64_t len = ver == 2 ? (uint64_t(s[0]) << 16 | uint64_t(s[1]) << 8 | s[2])
                   : ver == 4 ? (uint64_t(s[0] & 0x7F) << 21 | uint64_t(s[1] & 0x7F) << 14 | uint64_t(s[2] & 0x7F) << 7 | (s[3] & 0x7F))
                              : be32(s);
      if (len == 0 || pos + headLen + len > end) break;
      if (id == "TIT2" || id == "TT2") title = id3Text(bytesAt(r, pos + headLen, size_t(std::min<uint64_t>(len, 1024))));
      if (id == "TPE1" || id == "TP1") artist = id3Text(bytesAt(r, pos + headLen, size_t(std::min<uint64_t>(len, 1024))));
      pos += headLen + len;
    }
  }
  if (title.empty() && r.size() >= 128 && r.textAt(r.size() - 128, "TAG")) {
    title = tidy(latin1(bytesAt(r, r.size() - 125, 30).c_str()));
    artist = tidy(latin1(bytesAt(r, r.size() - 95, 30).c_str()));
  }
  if (title.empty()) return artist;
  return artist.empty() ? title : artist + " - " + title;
}

}  // namespace

std::string contentNameOf(std::string_view extension, ByteSource& file) {
  const std::string ext = lowerAscii(extension);
  EndReader r(file);
  if (ext == "jpg" || ext == "jpeg") return jpegName(r);
  if (ext == "pdf") return pdfName(r);
  if (ext == "docx" || ext == "xlsx" || ext == "pptx" || ext == "odt" || ext == "ods" || ext == "odp" || ext == "odg")
    return officeName(r);
  if (ext == "mp3") return mp3Name(r);
  return {};
}

}  // namespace velk
