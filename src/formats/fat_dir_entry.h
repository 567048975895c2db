#pragma once
// A FAT directory entry (32 bytes), decoded: the short entry of a file, folder or volume
// label, and the long-name entry that stores 13 UTF-16 characters of a long name. The DOS
// date and time words are checked here too, since every entry test leans on them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "formats/bytes.h"

namespace velk {

namespace fatlayout {
inline constexpr size_t kEntrySize = 32;
inline constexpr size_t kName = 0x00;
inline constexpr size_t kNameLength = 8;
inline constexpr size_t kExtension = 0x08;
inline constexpr size_t kExtensionLength = 3;
inline constexpr size_t kAttributes = 0x0B;
inline constexpr size_t kChecksum = 0x0D;  // long-name entries
inline constexpr size_t kCreateTime = 0x0E;
inline constexpr size_t kCreateDate = 0x10;
inline constexpr size_t kAccessDate = 0x12;
inline constexpr size_t kClusterHigh = 0x14;
inline constexpr size_t kWriteTime = 0x16;
inline constexpr size_t kWriteDate = 0x18;
inline constexpr size_t kClusterLow = 0x1A;
inline constexpr size_t kFileSize = 0x1C;

inline constexpr uint8_t kNeverUsed = 0x00;
inline constexpr uint8_t kDeletedMark = 0xE5;
inline constexpr uint8_t kAttrReadOnly = 0x01;
inline constexpr uint8_t kAttrHidden = 0x02;
inline constexpr uint8_t kAttrSystem = 0x04;
inline constexpr uint8_t kAttrVolumeLabel = 0x08;
inline constexpr uint8_t kAttrDirectory = 0x10;
inline constexpr uint8_t kAttrLongName = 0x0F;
// Characters of a long name in one long-name entry.
inline constexpr size_t kLongNameChars = 13;
}  // namespace fatlayout

// One 32-byte entry in host order. Which fields mean something depends on the kind: a
// long-name entry keeps its characters, ordinal and checksum, a short entry the rest.
struct FatDirEntry {
  enum class Kind : uint8_t { NeverUsed, LongName, VolumeLabel, Short };

  std::array<uint8_t, 11> shortName{};  // 8 name bytes then 3 extension bytes, as stored
  uint8_t attributes = 0;
  uint16_t createTime = 0;
  uint16_t createDate = 0;
  uint16_t accessDate = 0;
  uint16_t clusterHigh = 0;
  uint16_t writeTime = 0;
  uint16_t writeDate = 0;
  uint16_t clusterLow = 0;
  uint32_t size = 0;
  // Long-name entries: the characters up to the first 0x0000 or 0xFFFF, the checksum of
  // the short name they belong to (byte 0x0D) and the ordinal (byte 0).
  std::u16string longNamePiece;
  uint8_t checksum = 0;

  // The entry at bytes [0, 32); nullopt when fewer bytes are given.
  static std::optional<FatDirEntry> decode(ByteSpan bytes);
  // Entry i of a folder's bytes (nullopt past the end).
  static std::optional<FatDirEntry> at(ByteSpan folder, size_t i);
  static size_t countIn(ByteSpan folder) { return folder.size() / fatlayout::kEntrySize; }

  uint8_t first() const { return shortName[0]; }
  Kind kind() const;
  bool deleted() const { return first() == fatlayout::kDeletedMark; }
  bool isDirectory() const { return (attributes & fatlayout::kAttrDirectory) != 0; }
  // "." or "..": the folder itself and its parent.
  bool isDotEntry() const;
  // The first cluster: the low word, with the high word on FAT32.
  uint32_t cluster(bool fat32) const { return fat32 ? (uint32_t(clusterHigh) << 16) | clusterLow : clusterLow; }
};

// A DOS date word that a FAT driver can have written: any year from 1980 on, a month not
// above 12.
bool validFatDate(uint16_t date);
// A DOS time word with hours below 24, minutes below 60 and two-second steps below 30.
bool validFatTime(uint16_t time);

}  // namespace velk
