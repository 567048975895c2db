#pragma once
// A file found on a FAT volume: its listed name, extension and attribute text, and the
// directory-entry facts extraction and the views need (first cluster, size, DOS times).

#include <cstdint>
#include <string>

#include "workspace/file_record.h"

namespace velk {

// Longest listed name: a 255-byte field with its terminator, cut on a character boundary.
inline constexpr size_t kFatNameBytes = 254;

class FatFileRecord final : public FileRecord {
 public:
  std::string extension;   // lowered, at most 4 characters
  std::string attributes;  // "RW", "H-R-S", ...
  uint32_t firstCluster = 0;
  uint16_t createTime = 0;
  uint16_t createDate = 0;
  uint16_t accessDate = 0;
  uint16_t writeTime = 0;
  uint16_t writeDate = 0;

  Variant variant() const override { return Variant::Fat; }
  std::string sizeText() const override;
  std::string attributeText() const override { return attributes; }
  std::string dateText(int column) const override;
  int compareColumn(const FileRecord& other, int column) const override;
  bool extensionAccepts(std::string_view extensionList) const override;
  std::optional<uint16_t> filterDate() const override { return createDate; }
  std::vector<Field> fields() const override;
};

// "%d-%.2d-%.2d   %.2d:%.2d:%.2d" of a packed DOS date and time.
std::string fatDateTimeText(uint16_t date, uint16_t time);

}  // namespace velk
