#include "engines/engine_factory.h"

#include "disk/bytes.h"
#include "engines/exfat/exfat_engine.h"
#include "engines/ext/ext_engine.h"
#include "engines/fat/fat_engine.h"
#include "engines/ntfs/ntfs_engine.h"
#include "engines/raw/raw_scanner.h"

namespace velk {

EngineKind engineKindFor(const PartitionRecord& record, Task task) {
  if (task == Task::Raw) return EngineKind::Raw;
  // Before the names: exFAT sits in type 0x07 entries, which are listed as "#NTFS#".
  if (isExfatRecord(record)) return EngineKind::Exfat;
  const std::string fs = record.fsNameText();
  if (fs == "NTFS" || fs == "#NTFS#") return EngineKind::Ntfs;
  if (fs == "FAT32" || fs == "#FAT32#" || fs == "FAT" || fs == "FAT16" || fs == "#FAT16#") return EngineKind::Fat;
  if ((fs == "EXT2" || fs == "EXT3") && task == Task::Deleted) return EngineKind::Ext;
  // An unpartitioned volume is listed as "Unknown": decide by its boot sector.
  ByteSpan first(record.firstSector);
  if (matchesAt(first, 3, "NTFS")) return EngineKind::Ntfs;
  if (matchesAt(first, 0x52, "FAT32") || matchesAt(first, 0x36, "FAT16") || matchesAt(first, 0x36, "FAT1"))
    return EngineKind::Fat;
  return EngineKind::None;
}

std::unique_ptr<RecoveryEngine> openEngine(const PartitionRecord& record, Task task, ErrorCode& error) {
  error = kUnsupported;
  switch (engineKindFor(record, task)) {
    case EngineKind::Fat: return openFatEngine(record, task, error);
    case EngineKind::Ext: return openExtEngine(record, task, error);
    case EngineKind::Raw: return openRawEngine(record, task, error);
    case EngineKind::Ntfs: return openNtfsEngine(record, task, error);
    case EngineKind::Exfat: return openExfatEngine(record, task, error);
    case EngineKind::None:
      break;
  }
  return nullptr;
}

}  // namespace velk
