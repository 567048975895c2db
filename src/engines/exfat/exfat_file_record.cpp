#include "engines/exfat/exfat_file_record.h"

#include <cstdio>

#include "engines/fat/fat_directory.h"
#include "support/text.h"
#include "workspace/row_format.h"

namespace velk {

namespace {

std::string timestampText(const ExfatTimestamp& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%.2d-%.2d   %.2d:%.2d:%.2d", (t.date >> 9) + 1980, (t.date >> 5) & 0xF,
                t.date & 0x1F, t.time >> 11, (t.time >> 5) & 0x3F, t.seconds());
  return buf;
}

// Date, time and hundredths in one number that sorts like the moment.
uint64_t timestampKey(const ExfatTimestamp& t) {
  return (uint64_t(t.date) << 32) | (uint64_t(t.time & 0xFFE0) << 16) | uint64_t(t.seconds() * 100 + t.tenMs % 100);
}

}  // namespace

std::string exfatExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return lowerAscii(name.substr(dot + 1));
}

void ExfatFileRecord::takeSet(const ExfatEntrySet& s) {
  name = s.name;
  extension = exfatExtensionOf(s.name);
  dataLength = s.dataLength;
  validDataLength = s.validDataLength;
  size = s.dataLength;
  firstCluster = s.firstCluster;
  noFatChain = s.noFatChain;
  inUse = s.inUse;
  checksumOk = s.checksumOk;
  attributes = s.attributes;
  created = s.created;
  modified = s.modified;
  accessed = s.accessed;
}

std::string ExfatFileRecord::sizeText() const {
  if (dataLength <= UINT32_MAX) return sizeTextFat(uint32_t(dataLength));
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f MB", double(dataLength) / 1048576);
  return buf;
}

std::string ExfatFileRecord::attributeText() const { return attributeTextOf(uint8_t(attributes)); }

std::string ExfatFileRecord::dateText(int column) const {
  switch (column) {
    case kColumnModified: return timestampText(modified);
    case kColumnCreated: return timestampText(created);
    case kColumnAccessed: return timestampText(accessed);
    default: return {};
  }
}

int ExfatFileRecord::compareColumn(const FileRecord& other, int column) const {
  const auto* o = dynamic_cast<const ExfatFileRecord*>(&other);
  if (!o) return 0;
  switch (column) {
    case kColumnSize: return threeWay(dataLength, o->dataLength);
    case kColumnAttributes: return threeWay(attributeText(), o->attributeText());
    case kColumnModified: return threeWay(timestampKey(modified), timestampKey(o->modified));
    case kColumnCreated: return threeWay(timestampKey(created), timestampKey(o->created));
    case kColumnAccessed: return threeWay(timestampKey(accessed), timestampKey(o->accessed));
    default: return 0;
  }
}

bool ExfatFileRecord::extensionAccepts(std::string_view list) const {
  for (size_t i = 0; i <= list.size();) {
    const size_t j = std::min(list.find('.', i), list.size());
    if (j > i && lowerAscii(list.substr(i, j - i)) == extension) return true;
    i = j + 1;
  }
  return false;
}

std::vector<Field> ExfatFileRecord::fields() const {
  std::vector<Field> f{{"first_cluster", uint64_t(firstCluster)},
                       {"extension", extension},
                       {"valid_data_length", validDataLength},
                       {"no_fat_chain", noFatChain},
                       {"set_checksum", std::string(checksumOk ? "ok" : "mismatch")},
                       {"overwritten", overwritten},
                       {"created_at", created.isoText()},
                       {"modified_at", modified.isoText()},
                       {"accessed_at", accessed.isoText()}};
  return f;
}

void ExfatFileRecord::judge() {
  // A set whose checksum fails may name the wrong clusters or size.
  if (!checksumOk || !fitsVolume || overwritten) verdict = Verdict::Damaged;
}

}  // namespace velk
