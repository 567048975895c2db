#pragma once
// A file found on an NTFS volume: where its record lies (MFT image and index), the folder
// chain above it, its times and attribute bits, and which stream it stands for (the
// unnamed one, or a named stream listed as "name:stream").

#include <cstdint>
#include <string>
#include <vector>

#include "workspace/file_record.h"

namespace velk {

class NtfsFileRecord final : public FileRecord {
 public:
  uint32_t recordIndex = 0;   // position of the record within its MFT image
  int32_t imageIndex = 0;     // which MFT image of the volume holds it
  uint64_t mftNumber = 0;     // absolute MFT record number
  // From the immediate parent folder (entry 0) up to the topmost folder below the root.
  std::vector<std::string> FolderNames;
  // Parallel to FolderNames: the folder's MFT record number; image index + 1 for the
  // "Lost Files" entry.
  std::vector<uint32_t> FolderRecords;
  uint64_t created = 0;       // FILETIMEs
  uint64_t modified = 0;
  uint64_t accessed = 0;
  uint32_t attributes = 0;    // $STANDARD_INFORMATION bits | $FILE_NAME flags
  uint64_t size64 = 0;        // the stream's real size
  // UTF-16LE name of the named stream this entry stands for (empty: the file's content).
  std::vector<uint8_t> streamName;
  bool fixupMismatch = false; // the record's update sequence did not match: read as stored
  bool damaged = false;       // an attribute breaking the format was skipped

  Variant variant() const override { return Variant::Ntfs; }
  std::string sizeText() const override;
  std::string attributeText() const override;
  std::string dateText(int column) const override;
  int compareColumn(const FileRecord& other, int column) const override;
  bool extensionAccepts(std::string_view extensionList) const override;
  std::optional<uint16_t> filterDate() const override;
  uint64_t contentSize() const override { return size64; }
  std::vector<std::string> recordFolders() const override;
  std::vector<Field> fields() const override;

  bool isDirectory() const;
};

// "R-H-S-..." of the attribute bits, "Del-" appended for a deleted record.
std::string ntfsAttributeText(uint32_t attributes, bool deleted);
// A FILETIME in local time as "%d-%.2d-%.2d %.2d:%.2d:%.2d"; "" for 0.
std::string ntfsTimeText(uint64_t filetime);
// A FILETIME's local calendar date packed as a FAT directory date.
uint16_t ntfsPackedLocalDate(uint64_t filetime);

}  // namespace velk
