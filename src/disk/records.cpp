#include "disk/records.h"

#include <cstring>

#include "formats/bytes.h"

namespace velk {
namespace {

// DiskRecord layout.
constexpr size_t kDiskName = 0, kDiskSize = 264, kDiskRemovable = 272, kDiskNumber = 276,
                 kDiskBus = 280, kDiskReserved = 284;
// PartitionRecord layout.
constexpr size_t kPartDisk = 0, kPartLetter = 4, kPartKind = 5, kPartExtBaseHigh = 6, kPartTable = 8,
                 kPartExtBase = 12, kPartFsName = 16, kPartLabel = 28, kPartStart = 52,
                 kPartSpc = 56, kPartBps = 60, kPartFree = 64, kPartLength = 72, kPartFirst = 80,
                 kPartType = 592, kPartStartHigh = 593, kPartTableHigh = 597;

static_assert(kDiskReserved + 4 == kDiskRecordSize);
static_assert(kPartTableHigh + 3 == kPartitionRecordSize);
static_assert(kPartFirst + 512 == kPartType);

// The high part of a sector number in `bytes` bytes above its low 32 bits: stored as far
// as it fits (a value beyond it cannot be a sector of any disk there is).
void putHigh(uint8_t* p, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) p[i] = uint8_t(value >> (32 + 8 * i));
}
uint64_t withHigh(uint32_t low, const uint8_t* p, size_t bytes) {
  uint64_t high = 0;
  for (size_t i = 0; i < bytes; ++i) high |= uint64_t(p[i]) << (8 * i);
  return low | (high << 32);
}

}  // namespace

std::array<uint8_t, kDiskRecordSize> DiskRecord::encode() const {
  std::array<uint8_t, kDiskRecordSize> b{};
  std::memcpy(b.data() + kDiskName, name.data(), name.size());
  putLe64(b.data() + kDiskSize, size);
  putLe32(b.data() + kDiskRemovable, removable);
  putLe32(b.data() + kDiskNumber, uint32_t(number));
  putLe32(b.data() + kDiskBus, busType);
  putLe32(b.data() + kDiskReserved, reserved);
  return b;
}

DiskRecord DiskRecord::decode(std::span<const uint8_t, kDiskRecordSize> b) {
  DiskRecord r;
  std::memcpy(r.name.data(), b.data() + kDiskName, r.name.size());
  r.size = le64(b.data() + kDiskSize);
  r.removable = le32(b.data() + kDiskRemovable);
  r.number = int32_t(le32(b.data() + kDiskNumber));
  r.busType = le32(b.data() + kDiskBus);
  r.reserved = le32(b.data() + kDiskReserved);
  return r;
}

std::array<uint8_t, kPartitionRecordSize> PartitionRecord::encode() const {
  std::array<uint8_t, kPartitionRecordSize> b{};
  putLe32(b.data() + kPartDisk, uint32_t(diskNumber));
  b[kPartLetter] = uint8_t(letter);
  b[kPartKind] = kind;
  putHigh(b.data() + kPartExtBaseHigh, extendedBase, 2);
  putLe32(b.data() + kPartTable, uint32_t(tableSector));
  putLe32(b.data() + kPartExtBase, uint32_t(extendedBase));
  std::memcpy(b.data() + kPartFsName, fsName.data(), fsName.size());
  std::memcpy(b.data() + kPartLabel, label.data(), label.size());
  putLe32(b.data() + kPartStart, uint32_t(startSector));
  putLe32(b.data() + kPartSpc, sectorsPerCluster);
  putLe32(b.data() + kPartBps, bytesPerSector);
  putLe64(b.data() + kPartFree, freeBytes);
  putLe64(b.data() + kPartLength, length);
  std::memcpy(b.data() + kPartFirst, firstSector.data(), firstSector.size());
  b[kPartType] = type;
  putHigh(b.data() + kPartStartHigh, startSector, 4);
  putHigh(b.data() + kPartTableHigh, tableSector, 3);
  return b;
}

PartitionRecord PartitionRecord::decode(std::span<const uint8_t, kPartitionRecordSize> b) {
  PartitionRecord r;
  r.diskNumber = int32_t(le32(b.data() + kPartDisk));
  r.letter = char(b[kPartLetter]);
  r.kind = b[kPartKind];
  r.tableSector = withHigh(le32(b.data() + kPartTable), b.data() + kPartTableHigh, 3);
  r.extendedBase = withHigh(le32(b.data() + kPartExtBase), b.data() + kPartExtBaseHigh, 2);
  std::memcpy(r.fsName.data(), b.data() + kPartFsName, r.fsName.size());
  std::memcpy(r.label.data(), b.data() + kPartLabel, r.label.size());
  r.startSector = withHigh(le32(b.data() + kPartStart), b.data() + kPartStartHigh, 4);
  r.sectorsPerCluster = le32(b.data() + kPartSpc);
  r.bytesPerSector = le32(b.data() + kPartBps);
  r.freeBytes = le64(b.data() + kPartFree);
  r.length = le64(b.data() + kPartLength);
  std::memcpy(r.firstSector.data(), b.data() + kPartFirst, r.firstSector.size());
  r.type = b[kPartType];
  return r;
}

std::string_view busTypeName(uint32_t busType) {
  static constexpr std::string_view kNames[] = {"Unknown", "SCSI", "ATAPI", "ATA",  "1394", "SSA",
                                                "FIBRE",   "USB",  "RAID",  "iSCSI", "SAS", "SATA"};
  return busType < std::size(kNames) ? kNames[busType] : std::string_view();
}

}  // namespace velk
