#include "engines/fat/fat_engine.h"

namespace velk {

Result<std::unique_ptr<RecoveryEngine>> openFatEngine(EngineSource source, Task task) {
  if (task != Task::Deleted && task != Task::Formatted) return fail(unsupportedError("the FAT engine does not run the raw scan"));
  const uint32_t start = source.record.startSector;
  const char letter = source.record.letter;
  std::unique_ptr<FatVolume> volume;
  if (source.fileSystem == FileSystem::Fat32) volume = std::make_unique<Fat32Volume>(std::move(source.reader), start, letter);
  else volume = std::make_unique<Fat16Volume>(std::move(source.reader), start, letter);
  if (!volume->isValid()) return fail(volume->openError());
  return std::unique_ptr<RecoveryEngine>(std::move(volume));
}

}  // namespace velk
