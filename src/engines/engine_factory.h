#pragma once
// Chooses and opens the engine for a partition record and a task: the file-system name
// decides (lettered names, hash-marked table names, EXT names), RAW takes any record.

#include <memory>

#include "disk/error_codes.h"
#include "disk/records.h"
#include "workspace/engine.h"

namespace velk {

enum class EngineKind { None, Fat, Ntfs, Ext, Raw, Exfat };

// Which engine reads the record for the task (None: no engine fits).
EngineKind engineKindFor(const PartitionRecord& record, Task task);

// Opens it; nullptr with error set when the volume cannot be opened or no engine fits
// (kUnsupported).
std::unique_ptr<RecoveryEngine> openEngine(const PartitionRecord& record, Task task, ErrorCode& error);

}  // namespace velk
