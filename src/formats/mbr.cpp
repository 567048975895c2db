#include "formats/mbr.h"

#include <algorithm>

namespace velk {

using namespace mbrlayout;

namespace {

MbrEntry entryAt(const ByteView& v, size_t slot) {
  const size_t off = kEntryOffset + slot * kEntrySize;
  MbrEntry e;
  e.bootFlag = v.u8(off + kBootFlag);
  e.type = v.u8(off + kType);
  e.start = v.le32(off + kStart);
  e.count = v.le32(off + kCount);
  return e;
}

bool allZero(const MbrEntry& e) { return e == MbrEntry{}; }

void putChs(uint8_t* p, uint64_t lba) {
  const ChsAddress a = chsOf(lba);
  p[0] = a.head;
  p[1] = a.sector;
  p[2] = a.cylinder;
}

}  // namespace

bool isExtendedType(uint8_t type) { return type == kTypeExtendedLba || type == kTypeExtendedLink || type == 0x85; }

ChsAddress chsOf(uint64_t sector) {
  if (sector >= 1024ull * 16065) return {0xFE, 0xFF, 0xFF};
  const uint64_t cylinder = sector / 16065;
  ChsAddress a;
  a.cylinder = uint8_t(cylinder % 256);
  a.head = uint8_t((sector / 63) % 255);
  a.sector = uint8_t(((cylinder / 4) & 0xC0) | (sector % 63 + 1));
  return a;
}

Result<TableSector> TableSector::parse(ByteSpan sector) {
  const ByteView v(sector);
  if (!v.has(0, kSectorSize)) return fail(corruptError("the partition table", "the sector is shorter than 512 bytes"));
  TableSector t;
  for (size_t i = 0; i < kEntryCount; ++i) t.entries[i] = entryAt(v, i);
  t.signature = v.le16(kSignatureOffset) == 0xAA55;
  return t;
}

std::optional<TableSector> parseExtendedBootRecord(ByteSpan sector) {
  auto parsed = TableSector::parse(sector);
  if (!parsed || !parsed->signature) return std::nullopt;
  TableSector t = *parsed;
  if (!allZero(t.entries[2]) || !allZero(t.entries[3])) return std::nullopt;
  if (isExtendedType(t.entries[0].type)) std::swap(t.entries[0], t.entries[1]);
  for (const auto& e : t.entries)
    if (e.bootFlag != 0 && e.bootFlag != 0x80) return std::nullopt;
  const MbrEntry& part = t.entries[0];
  if (part.type == 0 || isExtendedType(part.type) || part.type == kTypeGptProtective || part.start == 0 ||
      part.count == 0)
    return std::nullopt;
  const MbrEntry& link = t.entries[1];
  if (!allZero(link) && (!isExtendedType(link.type) || link.start == 0 || link.count == 0)) return std::nullopt;
  return t;
}

void encodeMbrEntry(Sector& sector, size_t slot, const MbrEntry& entry) {
  uint8_t* e = sector.data() + kEntryOffset + (slot % kEntryCount) * kEntrySize;
  e[kBootFlag] = entry.bootFlag;
  putChs(e + kStartChs, entry.start);
  e[kType] = entry.type;
  putChs(e + kEndChs, entry.count ? uint64_t(entry.start) + entry.count - 1 : entry.start);
  putLe32(e + kStart, entry.start);
  putLe32(e + kCount, entry.count);
}

void copyMbrEntry(Sector& sector, size_t from, size_t to) {
  std::copy_n(sector.data() + kEntryOffset + from * kEntrySize, kEntrySize, sector.data() + kEntryOffset + to * kEntrySize);
}

void setTableSignature(Sector& sector) {
  sector[kSignatureOffset] = 0x55;
  sector[kSignatureOffset + 1] = 0xAA;
}

void clearTableEntries(Sector& sector) {
  std::fill_n(sector.data() + kEntryOffset, kEntryCount * kEntrySize, uint8_t(0));
}

}  // namespace velk
