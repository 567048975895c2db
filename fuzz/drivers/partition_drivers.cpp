#include "drivers/partition_drivers.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "disk/device.h"
#include "disk/drive_catalog.h"
#include "disk/sector_reader.h"
#include "partition/backup_file.h"
#include "partition/partition_scan.h"
#include "partition/undo_file.h"
#include "partition/volume_probe.h"

namespace velk {

bool fuzzPartitionScan(const uint8_t* data, size_t size) {
  const ByteSpan bytes(data, size);
  for (size_t at = 0; at + 512 <= size && at < 64 * 512; at += 512) {
    const ByteSpan sector = bytes.subspan(at, 512);
    const VolumeKind kind = classifyGapSector(sector);
    (void)declaredSectors(sector, kind);
    (void)parseBootSector(sector);
  }
  if (size >= 2048) (void)parseExtSuperblock(bytes.subspan(1024, 1024));
  if (size < 512) return true;

  auto& ns = DeviceNamespace::instance();
  ns.reset();
  (void)ns.attachMemory("fuzz-disk", std::make_shared<std::vector<uint8_t>>(data, data + size));
  ns.assignLetters();
  DriveCatalog catalog;
  catalog.Refresh();
  std::vector<PartitionRecord> candidates;
  (void)AutoScan(catalog, 0, candidates);
  LogicalSets logicals;
  (void)DeepScan(catalog, 0, candidates, logicals);
  ns.reset();
  return true;
}

bool fuzzBackupFile(const uint8_t* data, size_t size) {
  auto decoded = decodeBackup(ByteSpan(data, size));
  if (!decoded) return true;
  if (decoded->records.size() != (size - kBackupHeaderSize) / kPartitionRecordSize) return false;
  DiskRecord selected;
  setFixedText(selected.name, "fuzz disk");
  selected.size = 1 << 20;
  (void)backupMatchesDisk(decoded->disk, selected);
  // What was read writes back as the same bytes (the trailing piece aside). The records'
  // disk numbers are set to the disk's so that every record is written.
  auto records = decoded->records;
  for (auto& r : records) r.diskNumber = decoded->disk.number;
  const auto again = encodeBackup(decoded->disk, records);
  if (again.size() > size) return false;
  for (size_t i = 0; i < again.size(); ++i) {
    const size_t inRecord =
        i >= kBackupHeaderSize ? (i - kBackupHeaderSize) % kPartitionRecordSize : kPartitionRecordSize;
    if (inRecord < 4) continue;  // the disk number replaced above
    if (again[i] != data[i]) return false;
  }
  return true;
}

bool fuzzUndoFile(const uint8_t* data, size_t size) {
  auto decoded = decodeUndo(ByteSpan(data, size));
  if (!decoded) return true;
  const auto again = encodeUndo(*decoded);
  if (again.size() != size || !std::equal(again.begin(), again.end(), data)) return false;

  // A 64-sector disk where every sector the file names (and that exists) holds what the
  // rewrite wrote, so the undo goes ahead; the other sectors carry their own numbers.
  constexpr uint64_t kSectors = 64;
  auto disk = std::make_shared<std::vector<uint8_t>>(kSectors * kSectorSize);
  for (uint64_t s = 0; s < kSectors; ++s) std::fill_n(disk->begin() + s * kSectorSize, kSectorSize, uint8_t(s));
  UndoRecord undo = *decoded;
  for (const auto& s : undo.sectors)
    if (s.sector < kSectors) std::copy(s.after.begin(), s.after.end(), disk->begin() + s.sector * kSectorSize);
  const auto expected = [&] {
    auto bytes = *disk;
    for (const auto& s : undo.sectors)
      if (s.sector < kSectors) std::copy(s.before.begin(), s.before.end(), bytes.begin() + s.sector * kSectorSize);
    return bytes;
  }();
  const auto original = *disk;

  auto& ns = DeviceNamespace::instance();
  ns.reset();
  (void)ns.attachMemory("fuzz-disk", disk);
  DriveCatalog catalog;
  catalog.Refresh();
  (void)findUndoDisk(catalog, undo.disk);
  // A file taken of a disk of another size is refused before anything is read or written.
  const bool sameSize = undo.diskBytes == disk->size();
  const UndoResult other = applyUndo(undo, 0, /*force=*/true);
  bool ok = sameSize || (other.status == UndoStatus::OtherDisk && *disk == original);
  undo.diskBytes = disk->size();
  *disk = original;
  const bool allOnDisk = std::all_of(undo.sectors.begin(), undo.sectors.end(),
                                     [&](const UndoSector& s) { return s.sector < kSectors; });
  const UndoResult result = applyUndo(undo, 0, /*force=*/false);
  ns.reset();
  // Sectors past the end refuse the whole undo before anything is written.
  if (!allOnDisk) return ok && result.status == UndoStatus::DeviceFailure && *disk == original;
  return ok && result.status == UndoStatus::Restored && *disk == expected;
}

}  // namespace velk
