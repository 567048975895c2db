#pragma once
// Refusing an output folder on the device being scanned: writing recovered files there
// could overwrite the very data being recovered.

#include <filesystem>

#include "disk/records.h"

namespace velk {

// True when the folder's file system lies on the scanned disk, on a partition of it whose
// byte range overlaps the scanned partition, or on a loop device backed by the scanned image.
bool outputOnScannedDevice(const PartitionRecord& scanned, const std::filesystem::path& outputFolder);

}  // namespace velk
