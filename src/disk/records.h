#pragma once
// DiskRecord (288 bytes) and PartitionRecord (600 bytes): fixed little-endian layouts that
// are copied between components and stored byte for byte in partition backup files.
//
// Sectors are 64-bit in memory. The stored record keeps its 32-bit sector fields; what lies
// above them goes into bytes that were reserved and zero, so the records of disks below
// 2 TiB stay byte for byte what they were: the start sector's high 32 bits at 593 (right
// after the type byte), the table sector's high 24 bits at 597, the extended base's high
// 16 bits at 6.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velk {

inline constexpr size_t kDiskRecordSize = 288;
inline constexpr size_t kPartitionRecordSize = 600;

// Partition kinds.
inline constexpr uint8_t kKindUnknown = 0;   // lettered volume not matched to a table entry
inline constexpr uint8_t kKindPrimary = 1;   // entry of the master boot record (or GPT)
inline constexpr uint8_t kKindLogical = 2;   // inside the extended partition

// Copies text into a fixed NUL-terminated field, cut on a UTF-8 character boundary.
template <size_t N>
void setFixedText(std::array<char, N>& field, std::string_view text) {
  field.fill('\0');
  size_t n = std::min(text.size(), N - 1);
  while (n > 0 && n < text.size() && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
  std::copy_n(text.data(), n, field.data());
}
// Text of a fixed field up to its first NUL; a field without terminator gives all N bytes.
template <size_t N>
std::string fixedFieldText(const std::array<char, N>& field) {
  size_t n = 0;
  while (n < N && field[n] != '\0') ++n;
  return std::string(field.data(), n);
}

struct DiskRecord {
  std::array<char, 264> name{};
  uint64_t size = 0;
  uint32_t removable = 0;
  int32_t number = 0;
  uint32_t busType = 0;
  uint32_t reserved = 0;

  std::string nameText() const { return fixedFieldText(name); }
  std::array<uint8_t, kDiskRecordSize> encode() const;
  static DiskRecord decode(std::span<const uint8_t, kDiskRecordSize> bytes);
  bool operator==(const DiskRecord&) const = default;
};

struct PartitionRecord {
  int32_t diskNumber = -1;
  char letter = '*';
  uint8_t kind = kKindUnknown;
  uint64_t tableSector = 0;
  uint64_t extendedBase = 0;
  std::array<char, 12> fsName{};
  std::array<char, 24> label{};
  uint64_t startSector = 0;
  uint32_t sectorsPerCluster = 0;  // EXT: blocks per group
  uint32_t bytesPerSector = 0;     // EXT: block size
  uint64_t freeBytes = 0;
  uint64_t length = 0;             // bytes
  std::array<uint8_t, 512> firstSector{};
  uint8_t type = 0;

  std::string fsNameText() const { return fixedFieldText(fsName); }
  std::string labelText() const { return fixedFieldText(label); }
  void setFsName(std::string_view text) { setFixedText(fsName, text); }
  void setLabel(std::string_view text) { setFixedText(label, text); }
  uint64_t startByte() const { return startSector * 512; }
  // One past the last sector (start + length ÷ 512).
  uint64_t endSector() const { return startSector + length / 512; }

  std::array<uint8_t, kPartitionRecordSize> encode() const;
  static PartitionRecord decode(std::span<const uint8_t, kPartitionRecordSize> bytes);
  bool operator==(const PartitionRecord&) const = default;
};

// Bus type names as shown with a disk; "" for values outside the table.
std::string_view busTypeName(uint32_t busType);

}  // namespace velk
