#include "formats/fat_table.h"

namespace velk {

using namespace fatlayout;

uint64_t fatTableBytes(uint64_t count, FatWidth width) {
  switch (width) {
    case FatWidth::Fat12: return (count * 3 + 1) / 2;
    case FatWidth::Fat16: return count * 2;
    case FatWidth::Fat32: return count * 4;
  }
  return 0;
}

std::optional<uint32_t> fatEntryAt(ByteSpan table, uint64_t c, FatWidth width) {
  if (c > UINT32_MAX) return std::nullopt;  // no table has more entries; the products below stay small
  switch (width) {
    case FatWidth::Fat12: {
      // Two entries share three bytes: the even one takes the low 12 bits of the word at
      // c × 1.5, the odd one the high 12 bits of the word there.
      const uint64_t at = c + c / 2;
      if (!fits(table, size_t(at), 2)) return std::nullopt;
      const uint16_t word = le16(table.data() + at);
      return c % 2 ? uint32_t(word >> 4) : uint32_t(word & 0xFFF);
    }
    case FatWidth::Fat16:
      if (!fits(table, size_t(c * 2), 2)) return std::nullopt;
      return le16(table.data() + c * 2);
    case FatWidth::Fat32:
      if (!fits(table, size_t(c * 4), 4)) return std::nullopt;
      return le32(table.data() + c * 4) & kFat32EntryMask;
  }
  return std::nullopt;
}

uint32_t fatEndOfChain(FatWidth width) {
  switch (width) {
    case FatWidth::Fat12: return kEndOfChain12;
    case FatWidth::Fat16: return kEndOfChain16;
    case FatWidth::Fat32: return kEndOfChain32;
  }
  return kEndOfChain32;
}

bool fatTableHeadHolds(uint32_t entry0, FatWidth width) {
  const uint32_t all = width == FatWidth::Fat12 ? 0xFFF : width == FatWidth::Fat16 ? 0xFFFF : kFat32EntryMask;
  const uint32_t media = entry0 & 0xFF;
  return (entry0 | 0xFF) == all && (media == 0xF0 || media >= 0xF8);
}

}  // namespace velk
