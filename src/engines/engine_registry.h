#pragma once
// The engines, in one table: which file systems each reads, for which tasks, which record
// family (and so which page and output layout) its findings belong to, and how it opens.
// Pages and the command line ask the table; nothing else matches file-system names.

#include <memory>
#include <span>
#include <string_view>

#include "disk/file_system.h"
#include "disk/records.h"
#include "disk/sector_reader.h"
#include "support/error.h"
#include "workspace/engine.h"

namespace velk {

// What an engine opens over: the partition as a device of its own (byte 0 is the volume's
// first byte), the record it came from and the file system it was told apart as.
struct EngineSource {
  SectorReader reader;
  PartitionRecord record;
  FileSystem fileSystem = FileSystem::Unknown;
};

struct EngineEntry {
  std::string_view name;                  // "FAT", "NTFS", "EXT", "RAW"
  Variant variant;
  std::span<const FileSystem> fileSystems;  // empty: any record (the raw scan)
  std::span<const Task> tasks;
  Result<std::unique_ptr<RecoveryEngine>> (*open)(EngineSource source, Task task);

  bool reads(FileSystem fs) const;
  bool runs(Task task) const;
};

std::span<const EngineEntry> engineRegistry();

// The engine for a file system and task (nullptr: none).
const EngineEntry* engineFor(FileSystem fs, Task task);
// The engine for a catalogue record and task: any record for the raw scan, else by the
// record's file system (fileSystemOf).
const EngineEntry* engineFor(const PartitionRecord& record, Task task);

// Opens the engine for the record and task over the record's partition. Unsupported when no
// engine reads the record for the task; the opener's error when the volume does not open.
Result<std::unique_ptr<RecoveryEngine>> openEngine(const PartitionRecord& record, Task task);

std::string_view taskName(Task task);

}  // namespace velk
