#include "engines/ntfs/ntfs_file_record.h"

#include <cstdio>
#include <ctime>

#include "formats/ntfs_layout.h"
#include "support/text.h"
#include "workspace/row_format.h"

namespace velk {

namespace {

struct AttributeLetter {
  uint32_t bit;
  const char* text;
};

constexpr AttributeLetter kLetters[] = {
    {0x1, "R-"},     {0x2, "H-"},     {0x4, "S-"},   {0x10, "D-"},   {0x20, "A-"},
    {0x40, "E-"},    {0x80, "N-"},    {0x100, "T-"}, {0x200, "Sp-"}, {0x400, "ReSp-"},
    {0x800, "C-"},   {0x1000, "O-"},  {0x2000, "I-"}, {0x4000, "En-"},
    {ntfs::kFileAttrDirectory, "Dir-In-"},
};

}  // namespace

std::string ntfsAttributeText(uint32_t attributes, bool deleted) {
  std::string text;
  for (const auto& l : kLetters)
    if (attributes & l.bit) text += l.text;
  if (deleted) text += "Del-";
  return text;
}

std::string ntfsTimeText(uint64_t filetime) {
  if (filetime == 0) return {};
  std::tm tm{};
  if (!localTimeOf(filetimeToUnix(filetime), tm)) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%.2d-%.2d %.2d:%.2d:%.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

uint16_t ntfsPackedLocalDate(uint64_t filetime) {
  std::tm tm{};
  if (!localTimeOf(filetimeToUnix(filetime), tm)) return 0;
  return packFatDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

bool NtfsFileRecord::isDirectory() const { return (attributes & ntfs::kFileAttrDirectory) != 0; }

std::string NtfsFileRecord::sizeText() const { return sizeTextNtfs(size); }

std::string NtfsFileRecord::attributeText() const { return ntfsAttributeText(attributes, deleted); }

std::string NtfsFileRecord::dateText(int column) const {
  switch (column) {
    case kColumnModified: return ntfsTimeText(modified);
    case kColumnCreated: return ntfsTimeText(created);
    case kColumnAccessed: return ntfsTimeText(accessed);
    default: return {};
  }
}

int NtfsFileRecord::compareColumn(const FileRecord& other, int column) const {
  const auto* o = dynamic_cast<const NtfsFileRecord*>(&other);
  if (!o) return 0;
  switch (column) {
    case kColumnSize: return threeWay(size, o->size);
    case kColumnAttributes: return threeWay(attributes, o->attributes);
    case kColumnModified: return threeWay(modified, o->modified);
    case kColumnCreated: return threeWay(created, o->created);
    case kColumnAccessed: return threeWay(accessed, o->accessed);
    default: return 0;
  }
}

bool NtfsFileRecord::extensionAccepts(std::string_view extensionList) const {
  // The text after the first dot must be non-empty and occur anywhere in the list.
  const std::string_view ext = textAfterFirstDot(name);
  return !ext.empty() && extensionList.find(ext) != std::string_view::npos;
}

std::optional<uint16_t> NtfsFileRecord::filterDate() const { return ntfsPackedLocalDate(created); }

std::vector<std::string> NtfsFileRecord::recordFolders() const {
  return std::vector<std::string>(FolderNames.rbegin(), FolderNames.rend());
}

std::vector<Field> NtfsFileRecord::fields() const {
  std::vector<Field> f;
  f.push_back({"mft_record", mftNumber});
  f.push_back({"image_index", int64_t(imageIndex)});
  f.push_back({"record_index", uint64_t(recordIndex)});
  f.push_back({"attribute_flags", uint64_t(attributes)});
  f.push_back({"content_size", size64});
  if (!streamName.empty()) f.push_back({"stream", utf16leToUtf8(streamName)});
  if (fixupMismatch) f.push_back({"fixup_mismatch", true});
  if (damaged) f.push_back({"damaged", true});
  return f;
}

}  // namespace velk
