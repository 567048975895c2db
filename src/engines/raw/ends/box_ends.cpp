// End rules of box-structured media: the ISO base media file format (MP4, MOV, M4A, 3GP,
// HEIC, AVIF, CR3, JPEG 2000) and EBML (Matroska, WebM).

#include <algorithm>
#include <cstring>
#include <string>

#include "engines/raw/ends/end_reader.h"

namespace velk::ends {
namespace {

bool topLevelBox(const uint8_t* t) {
  static const char* const kTypes[] = {"moov", "mdat", "free", "skip", "wide", "uuid", "meta", "pdin", "moof",
                                       "mfra", "sidx", "ssix", "styp", "emsg", "prft", "pnot", "junk", "jp2h",
                                       "jp2c", "jp2i", "xml ", "uinf", "res ", "PICT", "ipro", "bxml", "dinf"};
  for (const char* k : kTypes)
    if (std::memcmp(t, k, 4) == 0) return true;
  return false;
}

std::string_view bmffKind(EndReader& r, uint64_t ftypSize) {
  const uint8_t* b = r.at(8, 4);
  if (!b) return {};
  const std::string_view major(reinterpret_cast<const char*>(b), 4);
  static const std::pair<std::string_view, std::string_view> kBrands[] = {
      {"qt  ", "mov"}, {"M4A ", "m4a"}, {"M4B ", "m4a"}, {"M4P ", "m4a"}, {"M4V ", "m4v"}, {"M4VH", "m4v"},
      {"heic", "heic"}, {"heix", "heic"}, {"hevc", "heic"}, {"heim", "heic"}, {"heis", "heic"},
      {"avif", "avif"}, {"avis", "avif"}, {"crx ", "cr3"}, {"jp2 ", "jp2"}, {"jpx ", "jp2"}};
  for (const auto& [brand, ext] : kBrands)
    if (major == brand) return ext;
  if (major.substr(0, 3) == "3gp") return "3gp";
  if (major.substr(0, 3) == "3g2") return "3g2";
  if (major == "mif1" || major == "msf1") {
    for (uint64_t off = 16; off + 4 <= ftypSize; off += 4) {
      if (r.textAt(off, "avif")) return "avif";
      if (r.textAt(off, "heic")) return "heic";
    }
  }
  return "mp4";
}

}  // namespace

// Top-level boxes by their sizes, from the file type box until a box that cannot belong
// to this file (another file type box, an unknown type, a size that runs out).
FormatEnd isoBmffEnd(EndReader& r) {
  uint64_t pos = 0, ftypSize = 0;
  const bool jp2 = r.textAt(4, "jP  ");
  if (jp2) pos = r.be32(0);
  if (!r.textAt(pos + 4, "ftyp")) {
    // Older QuickTime files open with their movie or data box.
    if (!(r.textAt(4, "moov") || r.textAt(4, "mdat") || r.textAt(4, "wide") || r.textAt(4, "free"))) return damaged();
  } else {
    ftypSize = r.be32(pos);
    if (ftypSize < 16 || ftypSize > 4096) return damaged();
    pos += ftypSize;
  }
  bool movie = false, data = false;
  for (uint64_t step = 0; step < kStepBudget && r.has(pos, 8); ++step) {
    const uint8_t* h = r.at(pos, 8);
    if (!topLevelBox(h + 4)) break;
    uint64_t size = be32(h), header = 8;
    if (size == 1) {
      size = r.be64(pos + 8);
      header = 16;
    }
    if (size == 0) return damaged();  // "to the end of the file": nothing says where that is
    if (size < header || size > r.size() - pos) return damaged();
    movie = movie || std::memcmp(h + 4, "moov", 4) == 0 || std::memcmp(h + 4, "meta", 4) == 0 ||
            std::memcmp(h + 4, "jp2h", 4) == 0;
    data = data || std::memcmp(h + 4, "mdat", 4) == 0 || std::memcmp(h + 4, "jp2c", 4) == 0;
    pos += size;
  }
  if (!movie && !data) return damaged();
  FormatEnd out = movie && data ? verified(pos) : endedUnproven(pos);
  out.extension = jp2 ? "jp2" : ftypSize ? std::string(bmffKind(r, ftypSize)) : "mov";
  return out;
}

namespace {

// An EBML element ID (its marker bits kept) or size (marker removed; all ones: unknown).
bool ebmlVint(EndReader& r, uint64_t& pos, uint64_t& value, bool isId, bool& unknown) {
  const int first = r.byte(pos);
  if (first <= 0) return false;
  int len = 1;
  while (len <= 8 && !(first & (0x80 >> (len - 1)))) ++len;
  if (len > (isId ? 4 : 8)) return false;
  const uint8_t* p = r.at(pos, size_t(len));
  if (!p) return false;
  value = isId ? uint64_t(first) : uint64_t(first & (0xFF >> len));
  bool ones = (first & (0xFF >> len)) == (0xFF >> len);
  for (int i = 1; i < len; ++i) {
    value = (value << 8) | p[i];
    ones = ones && p[i] == 0xFF;
  }
  unknown = !isId && ones;
  pos += uint64_t(len);
  return true;
}

}  // namespace

// The EBML header (whose DocType names the kind), then the Segment by its size, or, when
// the size was left unknown, its top-level elements while their IDs are Matroska's.
FormatEnd ebmlEnd(EndReader& r) {
  uint64_t pos = 0, id = 0, size = 0;
  bool unknown = false;
  if (!ebmlVint(r, pos, id, true, unknown) || id != 0x1A45DFA3 || !ebmlVint(r, pos, size, false, unknown) ||
      unknown || size > 4096)
    return damaged();
  const uint64_t headerEnd = pos + size;
  std::string docType;
  while (pos < headerEnd) {
    uint64_t cid = 0, csize = 0;
    if (!ebmlVint(r, pos, cid, true, unknown) || !ebmlVint(r, pos, csize, false, unknown) || unknown ||
        csize > headerEnd - pos)
      return damaged();
    if (cid == 0x4282 && csize <= 16)
      if (const uint8_t* p = r.at(pos, size_t(csize))) docType.assign(reinterpret_cast<const char*>(p), size_t(csize));
    pos += csize;
  }
  const std::string ext = docType.rfind("webm", 0) == 0 ? "webm" : "mkv";
  if (!ebmlVint(r, pos, id, true, unknown) || id != 0x18538067 || !ebmlVint(r, pos, size, false, unknown))
    return damaged();
  if (!unknown) {
    if (size > r.size() - pos) return damaged();
    return withExtension(verified(pos + size), ext);
  }
  static const uint64_t kTopLevel[] = {0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1F43B675, 0x1C53BB6B,
                                       0x1043A770, 0x1254C367, 0x1941A469, 0xEC, 0xBF};
  for (uint64_t step = 0; step < kStepBudget && pos < r.size(); ++step) {
    uint64_t p = pos, cid = 0, csize = 0;
    if (!ebmlVint(r, p, cid, true, unknown) ||
        std::find(std::begin(kTopLevel), std::end(kTopLevel), cid) == std::end(kTopLevel) ||
        !ebmlVint(r, p, csize, false, unknown) || unknown || csize > r.size() - p)
      break;
    pos = p + csize;
  }
  return withExtension(endedUnproven(pos), ext);
}

}  // namespace velk::ends
