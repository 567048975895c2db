#include "engines/fat/fat_engine.h"

namespace velk {

Result<std::unique_ptr<RecoveryEngine>> openFatEngine(EngineSource source, Task task) {
  if (task != Task::Deleted && task != Task::Formatted) return fail(unsupportedError("the FAT engine does not run the raw scan"));
  // The boot sector decides the width: a volume listed as "FAT" may well be FAT12.
  auto volume = std::make_unique<FatVolume>(std::move(source.reader), source.record.startSector, source.record.letter);
  if (!volume->isValid()) return fail(volume->openError());
  return std::unique_ptr<RecoveryEngine>(std::move(volume));
}

}  // namespace velk
