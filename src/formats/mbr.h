#pragma once
// Partition-table sectors: the master boot record and the extended boot records (EBRs) of
// an extended partition. Both hold four 16-byte entries at 0x1BE and the 0xAA55 signature
// at 0x1FE. In an EBR the first entry is a logical partition, its start counted from the
// EBR itself, and the second links to the next EBR, its start counted from the extended
// partition's first sector.

#include <array>
#include <cstdint>
#include <optional>

#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

using Sector = std::array<uint8_t, 512>;

namespace mbrlayout {
inline constexpr size_t kEntryOffset = 0x1BE;
inline constexpr size_t kEntrySize = 16;
inline constexpr size_t kEntryCount = 4;
inline constexpr size_t kSignatureOffset = 0x1FE;
inline constexpr size_t kSectorSize = 512;
// Fields of an entry.
inline constexpr size_t kBootFlag = 0;
inline constexpr size_t kStartChs = 1;
inline constexpr size_t kType = 4;
inline constexpr size_t kEndChs = 5;
inline constexpr size_t kStart = 8;
inline constexpr size_t kCount = 12;
}  // namespace mbrlayout

inline constexpr uint8_t kTypeExtendedLink = 0x05;  // the link from one EBR to the next
inline constexpr uint8_t kTypeExtendedLba = 0x0F;   // an extended partition as Windows writes it
inline constexpr uint8_t kTypeGptProtective = 0xEE;

// Types that hold an extended chain: 0x0F as Windows writes it, 0x05 as DOS and fdisk
// write it, 0x85 as some Linux tools write it.
bool isExtendedType(uint8_t type);

// Three CHS bytes of an entry for an LBA (255 heads, 63 sectors per track), in table order:
// head, sector (with the cylinder's top two bits), cylinder. From cylinder 1024 on the
// address cannot be told and tables hold the maximum.
struct ChsAddress {
  uint8_t head = 0;
  uint8_t sector = 0;
  uint8_t cylinder = 0;
};
ChsAddress chsOf(uint64_t lba);

struct MbrEntry {
  uint8_t bootFlag = 0;
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;

  // An entry that describes nothing (a free slot).
  bool isFree() const { return type == 0 || count == 0; }
  bool operator==(const MbrEntry&) const = default;
};

struct TableSector {
  std::array<MbrEntry, 4> entries{};
  bool signature = false;  // 0xAA55 at 0x1FE

  // Corrupt when the bytes are shorter than a sector. The entries are taken as they are;
  // whether they make sense on a disk is the walk's question.
  static Result<TableSector> parse(ByteSpan sector);
  static TableSector of(const Sector& sector) { return *parse(sector); }
};

// A sector that looks like an EBR on its own: the signature, a logical partition in the
// first entry (or, as some tools write it, the second with the link first: they are
// returned in the usual order), a link or nothing in the other, the last two entries empty
// and the boot flags 0x00 or 0x80. What the deep scan trusts when the table that led to
// the sector is gone.
std::optional<TableSector> parseExtendedBootRecord(ByteSpan sector);

// Writing entries. The CHS bytes follow the values written (relative values stay relative).
void encodeMbrEntry(Sector& sector, size_t slot, const MbrEntry& entry);
void copyMbrEntry(Sector& sector, size_t from, size_t to);
void setTableSignature(Sector& sector);
// Zeroes the four entries (boot code before them is kept).
void clearTableEntries(Sector& sector);

}  // namespace velk
