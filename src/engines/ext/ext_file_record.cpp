#include "engines/ext/ext_file_record.h"

#include <cstdio>
#include <ctime>

#include "support/text.h"
#include "workspace/row_format.h"

namespace velk {

std::string extModeText(uint16_t mode) {
  std::string text = "------";
  if (mode & 0x100) text[0] = 'r';
  if (mode & 0x080) text[1] = 'w';
  if (mode & 0x040) text[2] = 'x';
  if (mode & 0x020) text[3] = 'r';
  if (mode & 0x010) text[4] = 'w';
  if (mode & 0x008) text[5] = 'x';
  return text;
}

std::string extTimeText(uint32_t seconds) {
  std::tm tm{};
  if (!localTimeOf(int64_t(seconds), tm)) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string extListedName(std::string_view rawName) {
  std::string name = codepageText(rawName);
  for (char& c : name)
    if (c == '?') c = '_';
  return cutUtf8(name, kExtNameBytes);
}

std::string extExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return cutUtf8(lowerAscii(name.substr(dot + 1)), kExtExtensionBytes);
}

std::string ExtFileRecord::nameText() const {
  if (name == kExtUnnamed) return "inode(" + hex8(inodeNumber) + ")";
  return name;
}

std::string ExtFileRecord::sizeText() const { return sizeTextExt(size); }

std::string ExtFileRecord::attributeText() const { return extModeText(mode()); }

std::string ExtFileRecord::dateText(int column) const {
  switch (column) {
    case kColumnModified: return extTimeText(mtime());
    case kColumnCreated: return extTimeText(ctime());
    case kColumnAccessed: return extTimeText(atime());
    default: return {};
  }
}

int ExtFileRecord::compareColumn(const FileRecord& other, int column) const {
  const auto* o = dynamic_cast<const ExtFileRecord*>(&other);
  if (!o) return 0;
  switch (column) {
    case kColumnSize: return threeWay(size, o->size);
    case kColumnAttributes: return threeWay(mode(), o->mode());
    case kColumnModified: return threeWay(mtime(), o->mtime());
    case kColumnCreated: return threeWay(ctime(), o->ctime());
    case kColumnAccessed: return threeWay(atime(), o->atime());
    default: return 0;
  }
}

bool ExtFileRecord::extensionAccepts(std::string_view extensionList) const {
  // The type text must occur anywhere in the list text (so "htm" passes inside "shtml").
  return !extension.empty() && extensionList.find(extension) != std::string_view::npos;
}

std::optional<uint16_t> ExtFileRecord::filterDate() const {
  // The change time taken as a UTC calendar date.
  std::time_t t = std::time_t(ctime());
  std::tm tm{};
  if (!gmtime_r(&t, &tm)) return uint16_t(0);
  return packFatDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

std::vector<Field> ExtFileRecord::fields() const {
  return {{"inode", uint64_t(inodeNumber)},
          {"mode", uint64_t(mode())},
          {"content_size", contentBytes},
          {"extension", extension}};
}

}  // namespace velk
