#include "engines/exfat/exfat_engine.h"

#include "engines/exfat/exfat_volume.h"
#include "formats/exfat_boot.h"

namespace velk {

bool isExfatRecord(const PartitionRecord& record) {
  return record.fsNameText() == "exFAT" || looksLikeExfatBootSector(ByteSpan(record.firstSector));
}

std::unique_ptr<RecoveryEngine> openExfatEngine(const PartitionRecord& record, Task task, ErrorCode& error) {
  if (task != Task::Deleted && task != Task::Formatted) {
    error = kUnsupported;
    return nullptr;
  }
  auto volume = std::make_unique<ExfatVolume>(record);
  if (!volume->isValid()) {
    error = volume->openError();
    return nullptr;
  }
  error = kOk;
  return volume;
}

}  // namespace velk
