#include "partition/table_entry.h"

#include <algorithm>

#include "disk/drive_catalog.h"
#include "disk/partition_table.h"

namespace velk {
namespace {

// Entry layout.
constexpr size_t kBootFlag = 0;
constexpr size_t kStartChs = 1;
constexpr size_t kType = 4;
constexpr size_t kEndChs = 5;
constexpr size_t kStart = 8;
constexpr size_t kCount = 12;

void putChs(uint8_t* p, uint64_t sector) {
  ChsAddress a = DriveCatalog::LbaToChs(sector);
  p[0] = a.head;
  p[1] = a.sector;
  p[2] = a.cylinder;
}

}  // namespace

void writeTableEntry(Sector& sector, size_t slot, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* e = sector.data() + kMbrEntryOffset + (slot % kTableEntryCount) * kTableEntrySize;
  e[kBootFlag] = 0;
  putChs(e + kStartChs, start);
  e[kType] = type;
  putChs(e + kEndChs, count ? uint64_t(start) + count - 1 : start);
  putLe32(e + kStart, start);
  putLe32(e + kCount, count);
}

void copyTableEntry(Sector& sector, size_t from, size_t to) {
  std::copy_n(sector.data() + kMbrEntryOffset + from * kTableEntrySize, kTableEntrySize,
              sector.data() + kMbrEntryOffset + to * kTableEntrySize);
}

void setTableSignature(Sector& sector) {
  sector[kMbrSignatureOffset] = 0x55;
  sector[kMbrSignatureOffset + 1] = 0xAA;
}

void clearTableEntries(Sector& sector) {
  std::fill_n(sector.data() + kMbrEntryOffset, kTableEntryCount * kTableEntrySize, uint8_t(0));
}

}  // namespace velk
