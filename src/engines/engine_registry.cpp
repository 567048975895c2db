#include "engines/engine_registry.h"

#include <algorithm>
#include <array>

#include "engines/exfat/exfat_engine.h"
#include "engines/ext/ext_engine.h"
#include "engines/fat/fat_engine.h"
#include "engines/ntfs/ntfs_engine.h"
#include "engines/raw/raw_scanner.h"
#include "support/text.h"

namespace velk {
namespace {

constexpr std::array kFatSystems{FileSystem::Fat12, FileSystem::Fat16, FileSystem::Fat32};
constexpr std::array kExfatSystems{FileSystem::ExFat};
constexpr std::array kNtfsSystems{FileSystem::Ntfs};
constexpr std::array kExtSystems{FileSystem::Ext2, FileSystem::Ext3, FileSystem::Ext4};
constexpr std::array kVolumeTasks{Task::Deleted, Task::Formatted};
constexpr std::array kDeletedOnly{Task::Deleted};
constexpr std::array kRawOnly{Task::Raw};

// exFAT's findings are listed, laid out and recovered as FAT's are.
const std::array<EngineEntry, 5> kEngines{{
    {"FAT", Variant::Fat, kFatSystems, kVolumeTasks, openFatEngine},
    {"EXFAT", Variant::Fat, kExfatSystems, kVolumeTasks, openExfatEngine},
    {"NTFS", Variant::Ntfs, kNtfsSystems, kVolumeTasks, openNtfsEngine},
    {"EXT", Variant::Ext, kExtSystems, kDeletedOnly, openExtEngine},
    {"RAW", Variant::Raw, {}, kRawOnly, openRawEngine},
}};

}  // namespace

bool EngineEntry::reads(FileSystem fs) const {
  return fileSystems.empty() || std::find(fileSystems.begin(), fileSystems.end(), fs) != fileSystems.end();
}

bool EngineEntry::runs(Task task) const { return std::find(tasks.begin(), tasks.end(), task) != tasks.end(); }

std::span<const EngineEntry> engineRegistry() { return kEngines; }

const EngineEntry* engineFor(FileSystem fs, Task task) {
  for (const EngineEntry& e : kEngines) {
    if (!e.runs(task)) continue;
    // The raw scan reads any record; the others need a file system they know.
    if (e.fileSystems.empty() || (fs != FileSystem::Unknown && e.reads(fs))) return &e;
  }
  return nullptr;
}

const EngineEntry* engineFor(const PartitionRecord& record, Task task) {
  return engineFor(task == Task::Raw ? FileSystem::Unknown : fileSystemOf(record), task);
}

Result<std::unique_ptr<RecoveryEngine>> openEngine(const PartitionRecord& record, Task task) {
  const FileSystem fs = task == Task::Raw ? FileSystem::Unknown : fileSystemOf(record);
  const EngineEntry* entry = engineFor(fs, task);
  if (!entry)
    return fail(unsupportedError("the " + std::string(taskName(task)) + " task does not apply to a \"" +
                                 codepageText(record.fsNameText()) + "\" partition"));
  EngineSource source{SectorReader(), record, fs};
  if (auto opened = source.reader.OpenPartition(record); !opened) return fail(opened.error());
  const uint64_t volumeBytes = source.reader.deviceSize();
  auto engine = entry->open(std::move(source), task);
  if (engine) (*engine)->setVolumeBytes(volumeBytes);
  return engine;
}

std::string_view taskName(Task task) {
  switch (task) {
    case Task::Deleted: return "deleted";
    case Task::Formatted: return "formatted";
    case Task::Raw: return "raw";
  }
  return "deleted";
}

}  // namespace velk
