#include "engines/ext/ext_engine.h"

#include <array>

namespace velk {

namespace {

// ext4 volumes are read through their journal like EXT3, unless made without one.
bool readsThroughJournal(FileSystem fs, SectorReader& reader) {
  if (fs != FileSystem::Ext4) return fs == FileSystem::Ext3;
  std::array<uint8_t, kExtSuperblockSize> bytes{};
  if (!reader.ReadAt(kExtSuperblockOffset, bytes.size(), bytes.data())) return true;  // the open says why
  auto sb = ExtSuperblock::decode(bytes);
  return !sb || sb->journalInode != 0;
}

}  // namespace

Result<std::unique_ptr<RecoveryEngine>> openExtEngine(EngineSource source, Task task) {
  if (task != Task::Deleted) return fail(unsupportedError("EXT volumes have no formatted-volume scan"));
  std::unique_ptr<ExtVolume> volume;
  if (readsThroughJournal(source.fileSystem, source.reader))
    volume = std::make_unique<Ext3Volume>(source.record, std::move(source.reader));
  else
    volume = std::make_unique<Ext2Volume>(source.record, std::move(source.reader));
  if (!volume->isValid()) return fail(volume->openError());
  return std::unique_ptr<RecoveryEngine>(std::move(volume));
}

}  // namespace velk
