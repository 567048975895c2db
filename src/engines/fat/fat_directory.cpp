#include "engines/fat/fat_directory.h"

#include <ctime>

#include "formats/fat_boot_sector.h"
#include "support/text.h"

namespace velk {

using namespace fatlayout;

namespace {

// Long-name characters of one entry: 5 at 0x01, 6 at 0x0E, 2 at 0x1C.
constexpr size_t kLongNameSlots[13] = {0x01, 0x03, 0x05, 0x07, 0x09, 0x0E, 0x10,
                                       0x12, 0x14, 0x16, 0x18, 0x1C, 0x1E};
// A name longer than 20 long-name entries is no name the format can store.
constexpr size_t kMaxLongNameUnits = 20 * 13;

std::string trimSpaces(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string shortField(const uint8_t* p, size_t n) {
  std::string out(n, ' ');
  for (size_t i = 0; i < n; ++i) out[i] = isShortNameByte(p[i]) ? char(p[i]) : ' ';
  return out;
}

// The first n characters (not bytes) of UTF-8 text.
std::string firstCharacters(std::string_view text, size_t n) {
  size_t i = 0;
  for (size_t count = 0; i < text.size() && count < n; ++count) {
    ++i;
    while (i < text.size() && (uint8_t(text[i]) & 0xC0) == 0x80) ++i;
  }
  return std::string(text.substr(0, i));
}

}  // namespace

NamePattern NamePattern::fromToken(std::string_view token) {
  NamePattern p;
  size_t dot = token.rfind('.');
  if (dot == std::string_view::npos) {
    p.name = std::string(token);
  } else {
    if (dot + 1 < token.size()) p.extension = std::string(token.substr(dot + 1));
    if (dot > 0) p.name = std::string(token.substr(0, dot));
  }
  if (p.name == "*") p.name.clear();
  if (p.extension == "*") p.extension.clear();
  return p;
}

std::vector<NamePattern> parseNamePatterns(std::string_view text) {
  std::vector<NamePattern> out;
  std::string lowered = lowerAscii(text);
  size_t i = 0;
  while (i < lowered.size()) {
    size_t j = lowered.find_first_of(" ,;", i);
    if (j == std::string::npos) j = lowered.size();
    if (j > i) out.push_back(NamePattern::fromToken(std::string_view(lowered).substr(i, j - i)));
    i = j + 1;
  }
  if (out.empty() && lowered.empty()) out.push_back(NamePattern{});
  return out;
}

bool patternsAccept(const std::vector<NamePattern>& patterns, std::string_view base, std::string_view ext) {
  for (const auto& p : patterns) {
    bool nameOk = p.name.empty() || base.find(p.name) != std::string_view::npos;
    bool extOk = p.extension.empty() || ext == p.extension;
    if (nameOk && extOk) return true;
  }
  return false;
}

std::vector<std::string> parseScopePath(std::string_view path) {
  std::vector<std::string> out;
  if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) path.remove_prefix(3);
  std::string lowered = lowerAscii(path);
  size_t i = 0;
  while (i <= lowered.size()) {
    size_t j = lowered.find_first_of("\\/", i);
    if (j == std::string::npos) j = lowered.size();
    if (j > i) out.push_back(lowered.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

std::string attributeTextOf(uint8_t a) {
  std::string t;
  if (a & kAttrHidden) t += "H-";
  t += (a & kAttrReadOnly) ? "R-" : "RW-";
  if (a & kAttrSystem) t += "S-";
  while (!t.empty() && t.back() == '-') t.pop_back();
  return t;
}

bool isShortNameByte(uint8_t b) {
  if (b < 0x20 || b > 0x7E) return false;
  switch (b) {
    case 0x22: case 0x2A: case 0x2F: case 0x3A: case 0x3C: case 0x3E: case 0x3F: case 0x5C: case 0x7C:
      return false;
    default:
      return true;
  }
}

ShortName shortNameOf(const uint8_t* e) {
  std::string name = shortField(e + kName, kNameLength);
  if (e[kName] == kDeletedMark) name[0] = '#';
  ShortName s;
  s.base = trimSpaces(name);
  if (s.base.empty()) s.base = "_";
  s.extension = lowerAscii(trimSpaces(shortField(e + kExtension, kExtensionLength)));
  return s;
}

bool dateInWindow(uint16_t date, int currentYear) {
  int year = date >> 9;
  int month = (date >> 5) & 0xF;
  return year >= currentYear - 1985 && year <= currentYear - 1980 && month <= 12;
}

void LongNameAccumulator::add(const uint8_t* e) {
  const uint8_t checksum = e[kChecksum];
  if (checksum != m_lastChecksum) m_units.clear();
  m_lastChecksum = checksum;
  std::u16string piece;
  for (size_t off : kLongNameSlots) {
    char16_t c = char16_t(le16(e + off));
    if (c == 0x0000 || c == 0xFFFF) break;
    piece += c;
  }
  if (m_units.size() + piece.size() > kMaxLongNameUnits) m_units.clear();
  m_units.insert(0, piece);
}

std::string LongNameAccumulator::text() const { return utf16ToUtf8(m_units); }

std::string ListedName::fullName() const {
  return recordExtension.empty() ? base : base + "." + recordExtension;
}

ListedName listedNameOf(const std::string& longName, const ShortName& s) {
  ListedName n;
  size_t dot = longName.empty() ? std::string::npos : longName.rfind('.');
  if (!longName.empty() && dot != std::string::npos && dot > 0) {
    n.base = longName.substr(0, dot);
    n.matchExtension = lowerAscii(longName.substr(dot + 1));
    n.recordExtension = firstCharacters(n.matchExtension, 4);
  } else {
    n.base = longName.empty() ? s.base : longName;
    n.matchExtension = s.extension;
    n.recordExtension = firstCharacters(s.extension, 4);
  }
  return n;
}

bool folderSectorTest(ByteSpan sector, const FolderSectorFacts& facts) {
  const size_t entries = sector.size() / kEntrySize;
  if (entries == 0) return false;
  if (entries >= 2 && matchesAt(sector, 0, ".       ") && matchesAt(sector, kEntrySize, "..      ")) return true;

  int accepted = 0;
  bool endSeen = false;
  bool allGood = true;
  bool haveOrdinal = false;
  int expectedOrdinal = 0;
  std::vector<std::string_view> seen;

  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* e = sector.data() + i * kEntrySize;
    const uint8_t first = e[kName];
    const uint8_t attr = e[kAttributes];
    if (first == kNeverUsed) {
      if (i <= 1) return false;
      endSeen = true;
      continue;
    }
    if ((attr >= 9 && attr <= 14) || (attr >= 24 && attr <= 31) || (attr >= 40 && attr <= 47) || attr > 55) {
      allGood = false;
      break;
    }
    if (attr == kAttrLongName) {
      if (le16(e + kClusterLow) != 0) {
        allGood = false;
        break;
      }
      if (first != kDeletedMark) {
        if (!haveOrdinal) {
          expectedOrdinal = int(first) - 0x40;
          haveOrdinal = true;
        } else if (int(first) != expectedOrdinal - 1) {
          allGood = false;
          break;
        } else {
          expectedOrdinal = first;
        }
      }
      ++accepted;
      continue;
    }
    haveOrdinal = false;
    if (attr == kAttrVolumeLabel) {
      if (le32(e + kFileSize) != 0) {
        allGood = false;
        break;
      }
      ++accepted;
      continue;
    }
    if (attr & kAttrReadOnly) {
      if (e[kExtension] == 0 || e[kExtension + 1] == 0 || e[kExtension + 2] == 0) {
        allGood = false;
        break;
      }
      for (size_t k = 0; k < kNameLength; ++k)
        if (e[kName + k] == 0) allGood = false;
      ++accepted;
      continue;
    }
    if (!dateInWindow(le16(e + kCreateDate), facts.currentYear) ||
        !dateInWindow(le16(e + kWriteDate), facts.currentYear) ||
        !dateInWindow(le16(e + kAccessDate), facts.currentYear) || (le16(e + kCreateTime) >> 11) >= 25 ||
        (le16(e + kWriteTime) >> 11) >= 25) {
      allGood = false;
      break;
    }
    bool charsOk = true;
    for (size_t k = 0; k < kExtensionLength; ++k) charsOk = charsOk && isShortNameByte(e[kExtension + k]);
    for (size_t k = 1; k < kNameLength; ++k) charsOk = charsOk && isShortNameByte(e[kName + k]);
    if (!charsOk) {
      allGood = false;
      break;
    }
    uint32_t cluster = le16(e + kClusterLow);
    if (facts.fat32) cluster |= uint32_t(le16(e + kClusterHigh)) << 16;
    if (cluster > facts.maxCluster) {
      allGood = false;
      break;
    }
    if (first != kDeletedMark) {
      // The entry's text up to its first zero byte, never past the end of the sector.
      const size_t start = i * kEntrySize;
      size_t end = start;
      while (end < sector.size() && sector[end] != 0) ++end;
      std::string_view text(reinterpret_cast<const char*>(sector.data() + start), end - start);
      bool repeated = false;
      for (auto s : seen) repeated = repeated || s == text;
      if (repeated) {
        allGood = false;
        break;
      }
      seen.push_back(text);
    }
    ++accepted;
  }
  if (accepted == 0) return false;
  return allGood || endSeen;
}

bool beginsWithDotEntries(ByteSpan data) {
  return data.size() >= 2 * kEntrySize && data[0] == '.' && data[32] == '.' && data[33] == '.';
}

int currentLocalYear() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm.tm_year + 1900;
}

}  // namespace velk
