// End rule of compound documents (OLE2): Word, Excel, PowerPoint, Outlook messages and
// installer databases.

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engines/raw/ends/end_reader.h"

namespace velk::ends {

// Compound document (OLE2): the last sector the allocation table uses; the directory's
// stream names tell Word, Excel, PowerPoint and Outlook files apart.
FormatEnd ole2End(EndReader& r) {
  static const uint8_t kSig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  const uint8_t* h = r.at(0, 512);
  if (!h || std::memcmp(h, kSig, 8) != 0) return damaged();
  const uint16_t major = le16(h + 0x1A), shift = le16(h + 0x1E);
  if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return damaged();
  const uint64_t ssz = 1ull << shift;
  const uint32_t fatCount = le32(h + 0x2C);
  const uint32_t firstDir = le32(h + 0x30);
  uint32_t difat = le32(h + 0x44);
  const uint32_t difatCount = le32(h + 0x48);
  const uint64_t maxSectors = r.size() / ssz;
  // Each table sector maps ssz / 4 sectors: a count beyond what the window can hold is
  // damage, and refusing it keeps the table in memory no larger than the window.
  if (fatCount == 0 || fatCount > maxSectors / (ssz / 4) + 1) return damaged();
  auto sectorAt = [&](uint32_t s) { return (uint64_t(s) + 1) * ssz; };

  std::vector<uint32_t> fatSectors;
  for (uint32_t i = 0; i < 109 && fatSectors.size() < fatCount; ++i) fatSectors.push_back(le32(h + 0x4C + i * 4));
  std::set<uint32_t> seen;
  for (uint32_t k = 0; k < difatCount && fatSectors.size() < fatCount; ++k) {
    if (difat >= 0xFFFFFFFAu || !seen.insert(difat).second) return damaged();
    const uint64_t at = sectorAt(difat);
    const uint32_t per = uint32_t(ssz / 4) - 1;
    for (uint32_t i = 0; i < per && fatSectors.size() < fatCount; ++i) fatSectors.push_back(r.le32(at + i * 4ull));
    difat = r.le32(at + per * 4ull);
    if (!r.has(at, ssz)) return damaged();
  }
  if (fatSectors.size() < fatCount) return damaged();
  std::vector<uint32_t> fat;
  int64_t lastUsed = -1;
  for (size_t f = 0; f < fatSectors.size(); ++f) {
    const uint64_t at = sectorAt(fatSectors[f]);
    if (fatSectors[f] >= 0xFFFFFFFAu || !r.has(at, ssz)) return damaged();
    for (uint64_t i = 0; i < ssz / 4; ++i) {
      const uint32_t v = r.le32(at + i * 4);
      fat.push_back(v);
      if (v != 0xFFFFFFFFu) lastUsed = int64_t(fat.size() - 1);
    }
  }
  if (lastUsed < 0) return damaged();
  const uint64_t end = (uint64_t(lastUsed) + 2) * ssz;
  if (end > r.size()) return damaged();
  FormatEnd out = endedUnproven(end);

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

}  // namespace velk::ends
