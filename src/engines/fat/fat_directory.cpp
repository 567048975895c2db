#include "engines/fat/fat_directory.h"

#include <algorithm>
#include <cstdio>

#include "support/text.h"

namespace velk {

using namespace fatlayout;

namespace {

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

ShortName shortNameOf(const FatDirEntry& e) {
  std::string name = shortField(e.shortName.data() + kName, kNameLength);
  if (e.deleted()) name[0] = '#';
  ShortName s;
  s.base = trimSpaces(name);
  if (s.base.empty()) s.base = "_";
  s.extension = lowerAscii(trimSpaces(shortField(e.shortName.data() + kExtension, kExtensionLength)));
  return s;
}

bool shortNameBytesHold(const FatDirEntry& e) {
  if (!e.isDirectory())
    for (size_t k = 0; k < kExtensionLength; ++k)
      if (!isShortNameByte(e.shortName[kExtension + k])) return false;
  for (size_t k = 1; k < kNameLength; ++k)
    if (!isShortNameByte(e.shortName[kName + k])) return false;
  return true;
}

void LongNameAccumulator::add(const FatDirEntry& e) {
  if (e.checksum != m_lastChecksum) m_units.clear();
  m_lastChecksum = e.checksum;
  if (m_units.size() + e.longNamePiece.size() > kMaxLongNameUnits) m_units.clear();
  m_units.insert(0, e.longNamePiece);
}

bool LongNameAccumulator::feed(const FatDirEntry& e) {
  switch (e.kind()) {
    case FatDirEntry::Kind::NeverUsed:
    case FatDirEntry::Kind::VolumeLabel:
      clear();
      return false;
    case FatDirEntry::Kind::LongName:
      add(e);
      return false;
    case FatDirEntry::Kind::Short:
      break;
  }
  return true;
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
  const size_t entries = FatDirEntry::countIn(sector);
  if (entries == 0) return false;
  if (entries >= 2 && matchesAt(sector, 0, ".       ") && matchesAt(sector, kEntrySize, "..      ")) return true;

  int accepted = 0;
  bool endSeen = false;
  bool allGood = true;
  bool haveOrdinal = false;
  int expectedOrdinal = 0;
  std::vector<std::string_view> seen;

  for (size_t i = 0; i < entries; ++i) {
    const FatDirEntry e = *FatDirEntry::at(sector, i);
    const uint8_t first = e.first();
    const uint8_t attr = e.attributes;
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
      if (e.clusterLow != 0) {
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
      if (e.size != 0) {
        allGood = false;
        break;
      }
      ++accepted;
      continue;
    }
    if (attr & kAttrReadOnly) {
      if (e.shortName[kExtension] == 0 || e.shortName[kExtension + 1] == 0 || e.shortName[kExtension + 2] == 0) {
        allGood = false;
        break;
      }
      for (size_t k = 0; k < kNameLength; ++k)
        if (e.shortName[kName + k] == 0) allGood = false;
      ++accepted;
      continue;
    }
    // Any date and time a FAT driver can write, however old: an old card's folders are
    // folders all the same.
    if (!validFatDate(e.createDate) || !validFatDate(e.writeDate) || !validFatDate(e.accessDate) ||
        !validFatTime(e.createTime) || !validFatTime(e.writeTime)) {
      allGood = false;
      break;
    }
    bool charsOk = true;
    for (size_t k = 0; k < kExtensionLength; ++k) charsOk = charsOk && isShortNameByte(e.shortName[kExtension + k]);
    for (size_t k = 1; k < kNameLength; ++k) charsOk = charsOk && isShortNameByte(e.shortName[kName + k]);
    if (!charsOk) {
      allGood = false;
      break;
    }
    if (e.cluster(facts.fat32) > facts.maxCluster) {
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

std::string numberedText(const char* format, uint64_t n) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, int(std::min<uint64_t>(n, INT32_MAX)));
  return buf;
}

}  // namespace velk
