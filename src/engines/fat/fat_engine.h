#pragma once
// Opening the FAT engine for a partition record, and a scan over an in-memory image for
// fuzzing and quick experiments.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "disk/error_codes.h"
#include "disk/records.h"
#include "engines/fat/fat_volume.h"
#include "workspace/engine.h"

namespace velk {

// FAT32 for "FAT32"/"#FAT32#", FAT16 for "FAT"/"FAT16"/"#FAT16#"; for a record listed as
// "Unknown" or "Deleted" (an unpartitioned or lost volume) the boot sector decides.
// nullopt when the record is no FAT volume.
std::optional<FatWidth> fatWidthFor(const PartitionRecord& record);

// Opens the volume of the record through its physical drive. nullptr with error set when
// the record is no FAT volume or the volume cannot be opened.
std::unique_ptr<RecoveryEngine> openFatEngine(const PartitionRecord& record, Task task, ErrorCode& error);

// Resets the device namespace, attaches the bytes as an unpartitioned drive and runs both
// widths' deleted walk, formatted scan and the extraction of what they list. Returns the
// number of records found. Never crashes or hangs on any input.
size_t runFatScansOnMemoryImage(const uint8_t* data, size_t size);

}  // namespace velk
