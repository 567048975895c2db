#pragma once
// A file found on an exFAT volume: its name, the facts of its entry set (first cluster,
// valid data length and data length, NoFatChain, attributes, three timestamps) and whether
// the set's checksum held. Listed in the FAT page's layout, so its texts are FAT's.

#include <cstdint>
#include <string>

#include "formats/exfat_entries.h"
#include "workspace/file_record.h"

namespace velk {

class ExfatFileRecord final : public FileRecord {
 public:
  uint64_t dataLength = 0;       // the true size; FileRecord::size saturates at 4 GiB − 1
  uint64_t validDataLength = 0;  // bytes written; the rest of the file reads as zeros
  uint32_t firstCluster = 0;
  bool noFatChain = false;
  bool inUse = false;            // the set's own in-use bit
  bool checksumOk = true;        // false: listed as damaged
  bool fitsVolume = true;        // false: longer than the cluster heap, damaged too
  bool overwritten = false;      // some of its clusters are in use again: damaged too
  // Sets the verdict from the three facts above once they are known.
  void judge();
  bool formatted = false;        // found by the formatted scan (no bitmap of its time)
  uint16_t attributes = 0;
  std::string extension;         // lowered, after the last "." past the first character
  ExfatTimestamp created, modified, accessed;
  uint64_t setEntry = 0;         // where its set lies: entry index in its folder

  // Fills everything the set says (name, sizes, times, attributes) and the extension.
  void takeSet(const ExfatEntrySet& set);

  Variant variant() const override { return Variant::Fat; }
  std::string sizeText() const override;
  std::string attributeText() const override;
  std::string dateText(int column) const override;
  int compareColumn(const FileRecord& other, int column) const override;
  bool extensionAccepts(std::string_view extensionList) const override;
  std::optional<uint16_t> filterDate() const override { return created.date; }
  std::string filterExtension() const override { return extension; }
  uint64_t contentSize() const override { return dataLength; }
  std::vector<Field> fields() const override;
};

// The lowered text after a name's last "." found after its first character ("" when none).
std::string exfatExtensionOf(std::string_view name);

}  // namespace velk
