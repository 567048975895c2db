#include "engines/ext/ext_engine.h"

namespace velk {

Result<std::unique_ptr<RecoveryEngine>> openExtEngine(EngineSource source, Task task) {
  if (task != Task::Deleted) return fail(unsupportedError("EXT volumes have no formatted-volume scan"));
  std::unique_ptr<ExtVolume> volume;
  if (source.fileSystem == FileSystem::Ext2) volume = std::make_unique<Ext2Volume>(source.record, std::move(source.reader));
  else volume = std::make_unique<Ext3Volume>(source.record, std::move(source.reader));
  if (!volume->isValid()) return fail(volume->openError());
  return std::unique_ptr<RecoveryEngine>(std::move(volume));
}

}  // namespace velk
