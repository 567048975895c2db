#pragma once
// A deleted file found on an EXT2/EXT3 volume: a copy of its inode (from the inode table,
// or an older copy from the journal whose block pointers are still intact), its number and
// the name it is listed under.

#include <array>
#include <cstdint>
#include <string>

#include "formats/ext_layout.h"
#include "workspace/file_record.h"

namespace velk {

// The name a record carries until a directory entry names it; the list shows such a row
// as "inode(%p)".
inline constexpr std::string_view kExtUnnamed = "Unknown";
// Longest listed name (a 255-byte field with its terminator) and extension (20 bytes).
inline constexpr size_t kExtNameBytes = 254;
inline constexpr size_t kExtExtensionBytes = 19;

class ExtFileRecord final : public FileRecord {
 public:
  std::array<uint8_t, kInodeCopySize> inode{};  // the inode copy the file is read through
  uint32_t inodeNumber = 0;
  std::string extension;   // lowered; empty when the name is generated
  uint64_t contentBytes = 0;  // the full 64-bit size extraction produces

  ExtInode decoded() const { return ExtInode::decode(ByteSpan(inode)); }
  uint16_t mode() const { return le16At(ByteSpan(inode), kInMode); }
  uint32_t atime() const { return le32At(ByteSpan(inode), kInAtime); }
  uint32_t ctime() const { return le32At(ByteSpan(inode), kInCtime); }
  uint32_t mtime() const { return le32At(ByteSpan(inode), kInMtime); }

  Variant variant() const override { return Variant::Ext; }
  std::string nameText() const override;
  std::string sizeText() const override;
  std::string attributeText() const override;
  std::string dateText(int column) const override;
  std::string typeText() const override { return extension; }
  int compareColumn(const FileRecord& other, int column) const override;
  bool extensionAccepts(std::string_view extensionList) const override;
  std::optional<uint16_t> filterDate() const override;
  uint64_t contentSize() const override { return contentBytes; }
  std::vector<Field> fields() const override;
};

// "------" with r, w, x for the owner's and the group's permission bits.
std::string extModeText(uint16_t mode);
// Local time as "%d-%02d-%02d %02d:%02d:%02d".
std::string extTimeText(uint32_t seconds);
// The listed name taken from a directory entry: invalid UTF-8 and "?" become "_", cut to
// the name field.
std::string extListedName(std::string_view rawName);
// Lowered text after the last "." when that "." is not the first character, else "".
std::string extExtensionOf(std::string_view name);

}  // namespace velk
