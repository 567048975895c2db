#pragma once
// Opening the exFAT engine for a partition record.

#include <memory>

#include "disk/error_codes.h"
#include "disk/records.h"
#include "workspace/engine.h"

namespace velk {

// The record holds exFAT: listed as "exFAT", or its first sector says so (exFAT volumes sit
// in MBR entries of type 0x07, GPT basic-data partitions and unpartitioned disks).
bool isExfatRecord(const PartitionRecord& record);

// The deleted and formatted tasks; nullptr with error set when the volume cannot be opened
// (kUnsupported for another task).
std::unique_ptr<RecoveryEngine> openExfatEngine(const PartitionRecord& record, Task task, ErrorCode& error);

}  // namespace velk
