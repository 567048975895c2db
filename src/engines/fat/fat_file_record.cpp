#include "engines/fat/fat_file_record.h"

#include <cstdio>
#include <cstring>

#include "support/text.h"
#include "workspace/row_format.h"

namespace velk {

std::string fatDateTimeText(uint16_t date, uint16_t time) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%.2d-%.2d   %.2d:%.2d:%.2d", (date >> 9) + 1980, (date >> 5) & 0xF,
                date & 0x1F, time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2);
  return buf;
}

std::string FatFileRecord::sizeText() const { return sizeTextFat(size); }

std::string FatFileRecord::dateText(int column) const {
  switch (column) {
    case kColumnModified:
      return fatDateTimeText(writeDate, writeTime);
    case kColumnCreated:
      return fatDateTimeText(createDate, createTime);
    case kColumnAccessed: {
      char buf[48];
      std::snprintf(buf, sizeof buf, "%d-%.2d-%.2d   12:00:00", (accessDate >> 9) + 1980, (accessDate >> 5) & 0xF,
                    accessDate & 0x1F);
      return buf;
    }
    default:
      return {};
  }
}

int FatFileRecord::compareColumn(const FileRecord& other, int column) const {
  const auto* o = dynamic_cast<const FatFileRecord*>(&other);
  if (!o) return 0;
  switch (column) {
    case kColumnSize:
      return threeWay(size, o->size);
    case kColumnAttributes: {
      int r = std::strcmp(attributes.c_str(), o->attributes.c_str());
      return threeWay(r, 0);
    }
    case kColumnModified:
      return threeWay((uint32_t(writeDate) << 16) | writeTime, (uint32_t(o->writeDate) << 16) | o->writeTime);
    case kColumnCreated:
      return threeWay((uint32_t(createDate) << 16) | createTime, (uint32_t(o->createDate) << 16) | o->createTime);
    case kColumnAccessed:
      return threeWay(accessDate, o->accessDate);
    default:
      return 0;
  }
}

bool FatFileRecord::extensionAccepts(std::string_view list) const {
  const std::string mine = lowerAscii(extension);
  size_t i = 0;
  while (i <= list.size()) {
    size_t j = list.find('.', i);
    if (j == std::string_view::npos) j = list.size();
    if (j > i && lowerAscii(list.substr(i, j - i)) == mine) return true;
    i = j + 1;
  }
  return false;
}

std::vector<Field> FatFileRecord::fields() const {
  return {{"first_cluster", uint64_t(firstCluster)}, {"extension", extension}};
}

}  // namespace velk
