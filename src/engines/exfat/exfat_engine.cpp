#include "engines/exfat/exfat_engine.h"

namespace velk {

Result<std::unique_ptr<RecoveryEngine>> openExfatEngine(EngineSource source, Task task) {
  if (task != Task::Deleted && task != Task::Formatted) return fail(unsupportedError("the exFAT engine does not run the raw scan"));
  auto volume = std::make_unique<ExfatVolume>(std::move(source.reader), source.record.startSector, source.record.letter);
  if (!volume->isValid()) return fail(volume->openError());
  return std::unique_ptr<RecoveryEngine>(std::move(volume));
}

}  // namespace velk
