#pragma once
// Opening the NTFS engine for a partition record, and a run of both scans over an
// in-memory image for fuzzing. parseMftRecord / fuzzParseMftRecord (mft_record.h) are the
// single-record entries.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "disk/error_codes.h"
#include "disk/records.h"
#include "engines/ntfs/ntfs_volume.h"
#include "workspace/engine.h"

namespace velk {

// Opens the volume of a partition record: by its drive letter, or through its physical
// drive at start sector × 512 when it has none. nullptr with error set (15 when the device
// cannot be opened or, for the deleted-file task, carries no NTFS boot sector; kUnsupported
// for a task the engine does not run).
std::unique_ptr<RecoveryEngine> openNtfsEngine(const PartitionRecord& record, Task task, ErrorCode& error);

// Resets the device namespace, attaches the bytes as an unpartitioned drive, runs both
// scans and extracts a bounded number of what they list. Returns the records found.
// Never crashes or hangs on any input (fuzzing).
size_t runNtfsScansOnMemoryImage(const uint8_t* data, size_t size);

}  // namespace velk
