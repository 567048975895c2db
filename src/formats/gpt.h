#pragma once
// The GUID partition table: a header at LBA 1 with its entry array after it, and a backup
// header at the disk's last LBA with its own array before it. Each header carries the
// CRC-32 of itself and of its entry array (UEFI 2.x, chapter 5).

#include <array>
#include <cstdint>
#include <vector>

#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

// A GUID as its 16 bytes lie on disk (the first three fields little-endian).
using Guid = std::array<uint8_t, 16>;

namespace gptlayout {
inline constexpr std::string_view kSignature = "EFI PART";
inline constexpr uint32_t kRevision1 = 0x00010000;
// Header fields.
inline constexpr size_t kRevision = 8;
inline constexpr size_t kHeaderSize = 12;
inline constexpr size_t kHeaderCrc = 16;
inline constexpr size_t kMyLba = 24;
inline constexpr size_t kAlternateLba = 32;
inline constexpr size_t kFirstUsable = 40;
inline constexpr size_t kLastUsable = 48;
inline constexpr size_t kDiskGuid = 56;
inline constexpr size_t kEntriesLba = 72;
inline constexpr size_t kEntryCount = 80;
inline constexpr size_t kEntrySize = 84;
inline constexpr size_t kEntriesCrc = 88;
inline constexpr size_t kMinHeaderSize = 92;
// Entry fields.
inline constexpr size_t kTypeGuid = 0;
inline constexpr size_t kUniqueGuid = 16;
inline constexpr size_t kFirstLba = 32;
inline constexpr size_t kLastLba = 40;
inline constexpr size_t kAttributes = 48;
inline constexpr size_t kName = 56;
inline constexpr size_t kNameBytes = 72;
inline constexpr size_t kMinEntrySize = 128;
inline constexpr size_t kSectorSize = 512;
// Beyond these a header is not believed: 128 entries of 128 bytes are the norm, and an
// array larger than 256 KiB is damage, not a table.
inline constexpr uint32_t kMaxEntries = 4096;
inline constexpr uint64_t kMaxArrayBytes = 256 * 1024;
}  // namespace gptlayout

// Partition types a recovered volume gets, and those the catalogue tells apart.
inline constexpr Guid kGuidBasicData = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                        0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
inline constexpr Guid kGuidLinuxData = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                        0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
inline constexpr Guid kGuidLinuxSwap = {0x6D, 0xFD, 0x57, 0x06, 0xAB, 0xA4, 0xC4, 0x43,
                                        0x84, 0xE5, 0x09, 0x33, 0xC8, 0x4B, 0x4F, 0x4F};
inline constexpr Guid kGuidEfiSystem = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                        0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

bool isZeroGuid(const Guid& guid);

struct GptHeader {
  uint32_t revision = gptlayout::kRevision1;
  uint32_t headerSize = gptlayout::kMinHeaderSize;
  uint64_t myLba = 0;
  uint64_t alternateLba = 0;
  uint64_t firstUsable = 0;
  uint64_t lastUsable = 0;
  Guid diskGuid{};
  uint64_t entriesLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  uint32_t entriesCrc = 0;

  uint64_t arrayBytes() const { return uint64_t(entryCount) * entrySize; }
  uint64_t arraySectors() const { return (arrayBytes() + gptlayout::kSectorSize - 1) / gptlayout::kSectorSize; }

  // A header of a disk of diskSectors sectors: signature, size, CRC, an entry size that is
  // 128 × 2^n, a bounded array lying on the disk, and a usable range inside it. Corrupt
  // otherwise (the detail says which check failed).
  static Result<GptHeader> parse(ByteSpan sector, uint64_t diskSectors);
  // Writes the fields into `sector` (which holds the header as read, so the reserved bytes
  // up to headerSize stay) and seals it with its CRC.
  void encode(std::span<uint8_t, gptlayout::kSectorSize> sector) const;
};

struct GptEntry {
  Guid type{};
  Guid unique{};
  uint64_t firstLba = 0;
  uint64_t lastLba = 0;  // inclusive
  uint64_t attributes = 0;
  std::array<uint8_t, gptlayout::kNameBytes> name{};  // UTF-16LE, NUL-padded

  bool used() const { return !isZeroGuid(type); }
  // Corrupt when shorter than 128 bytes.
  static Result<GptEntry> parse(ByteSpan entry);
  // Writes the 128 bytes of the entry (bytes past 128 in a larger entry are left alone).
  void encode(MutableByteSpan entry) const;
};

// CRC-32 of the header's entry array (`array` holds at least arrayBytes()).
uint32_t gptArrayCrc(ByteSpan array, const GptHeader& header);

}  // namespace velk
