#pragma once
// Nothing the program writes may land on a disk it examines. Every write target (a
// recovery's output folder, a partition backup, an undo file, a mail repair's copies) is
// checked against every attached drive by device and inode identity before anything is
// written: the image file itself, a disk or partition device node, a loop device backed by
// an attached image, and a file system that lies inside an attached image or inside the
// examined part of an attached disk.

#include <cstdint>
#include <filesystem>
#include <optional>

#include "disk/records.h"
#include "support/error.h"

namespace velk {

// The part of an attached drive being examined (a scanned partition): an output folder
// on a file system overlapping it is refused too. length 0: to the drive's end.
struct ExaminedRange {
  int drive = -1;
  uint64_t firstByte = 0;
  uint64_t length = 0;
};
ExaminedRange examinedRangeOf(const PartitionRecord& record);

// Ok, or a Usage error whose sentence names the drive the write would land on. The target
// may not exist yet; the nearest existing folder above it tells where it would be made.
[[nodiscard]] Status checkWriteTarget(const std::filesystem::path& target,
                                      const std::optional<ExaminedRange>& examined = std::nullopt);

// The desktop page's test before it asks for nothing else: true when writing into the
// folder would land on the scanned partition's drive as checkWriteTarget tells it.
bool outputOnScannedDevice(const PartitionRecord& scanned, const std::filesystem::path& outputFolder);

}  // namespace velk
