#include "engines/ntfs/ntfs_filters.h"

#include <cstdio>

#include "support/text.h"

namespace velk {

namespace {

constexpr std::string_view kPictureEndings[] = {"bmp", "gif", "jpg", "png", "mng", "ico", "tif", "tga", "pcx",
                                                "wbmp", "wmf", "j2k", "jbg", "jp2", "jpc", "pgx", "pnm", "ras"};
constexpr std::string_view kMailEndings[] = {"dbx", "box", "pst", "stg", "bak", "ADC", "INDX", "uidl"};

bool endsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool isMaskSeparator(char c) { return c == ' ' || c == ',' || c == ';'; }

bool tokenAccepts(std::string_view token, std::string_view name) {
  if (token.find('*') == std::string_view::npos) return name.find(token) != std::string_view::npos;
  size_t start = 0;
  while (start <= token.size()) {
    size_t star = token.find('*', start);
    std::string_view piece = token.substr(start, star == std::string_view::npos ? std::string_view::npos : star - start);
    if (!piece.empty() && name.find(piece) == std::string_view::npos) return false;
    if (star == std::string_view::npos) break;
    start = star + 1;
  }
  return true;
}

std::string twoDecimals(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

}  // namespace

std::string trimSpaces(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  return std::string(text.substr(b, e - b));
}

bool ntfsPresetAccepts(int preset, std::string_view name) {
  if (preset == kPresetPictures) {
    for (auto e : kPictureEndings)
      if (endsWith(name, e)) return true;
    return false;
  }
  if (preset == kPresetMail) {
    for (auto e : kMailEndings)
      if (endsWith(name, e)) return true;
    return false;
  }
  return true;
}

bool ntfsNameMaskAccepts(std::string_view mask, std::string_view name) {
  if (mask.empty() || mask.find("*.*") != std::string_view::npos) return true;
  const std::string lowMask = lowerAscii(mask);
  const std::string lowName = lowerAscii(name);
  std::string_view m(lowMask);
  size_t i = 0;
  while (i < m.size()) {
    while (i < m.size() && isMaskSeparator(m[i])) ++i;
    size_t j = i;
    while (j < m.size() && !isMaskSeparator(m[j])) ++j;
    if (j > i && tokenAccepts(m.substr(i, j - i), lowName)) return true;
    i = j;
  }
  return false;
}

bool ntfsFolderFilterAccepts(std::string_view filter, const std::vector<std::string>& folderNames) {
  std::string f(filter);
  for (char& c : f)
    if (c == '/') c = '\\';
  // "X:\" names the volume root; what follows is the path below it.
  if (f.size() >= 3 && f[1] == ':' && f[2] == '\\') f.erase(0, 3);
  else if (f.size() == 2 && f[1] == ':') f.clear();
  while (!f.empty() && f.front() == '\\') f.erase(0, 1);
  while (!f.empty() && f.back() == '\\') f.pop_back();
  if (f.empty()) return true;
  if (folderNames.empty()) return false;
  std::string path;
  for (auto it = folderNames.rbegin(); it != folderNames.rend(); ++it) path += *it + "\\";
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path.compare(0, f.size(), f) == 0;
}

bool ntfsResultFilterAccepts(const FileFilter& filter, const NtfsFileRecord& record) {
  if (filter.category != 0) {
    const std::string ext = lowerAscii(textAfterFirstDot(record.name));
    bool found = false;
    std::string_view list(filter.extensionList);
    size_t i = 0;
    while (i <= list.size() && !found) {
      size_t dot = list.find('.', i);
      std::string_view entry = list.substr(i, dot == std::string_view::npos ? std::string_view::npos : dot - i);
      if (!entry.empty() && lowerAscii(trimSpaces(entry)) == ext) found = true;
      if (dot == std::string_view::npos) break;
      i = dot + 1;
    }
    if (!found) return false;
  }
  if (filter.dateMode != DateMode::Ignore) {
    const uint16_t date = ntfsPackedLocalDate(record.created);
    switch (filter.dateMode) {
      case DateMode::Before: if (!(date < filter.date)) return false; break;
      case DateMode::After: if (!(date > filter.date)) return false; break;
      case DateMode::On: if (date != filter.date) return false; break;
      case DateMode::Ignore: break;
    }
  }
  const double size = record.size;
  switch (filter.sizeMode) {
    case SizeMode::Equal:
      if (twoDecimals(filter.startSize) != twoDecimals(size * 0.0009765625)) return false;
      break;
    case SizeMode::Smaller:
      if (!(size < filter.startSize * 1024)) return false;
      break;
    case SizeMode::Larger:
      if (!(size > filter.startSize * 1024)) return false;
      break;
    case SizeMode::Between:
      if (!(size > filter.startSize * 1024 && size < filter.endSize * 1024)) return false;
      break;
    case SizeMode::Ignore:
      break;
  }
  if (!filter.name.empty() && lowerAscii(record.name).find(lowerAscii(filter.name)) == std::string::npos)
    return false;
  return true;
}

}  // namespace velk
