#pragma once
// The two scans of an exFAT volume, each in a file of its own; ExfatVolume::scan runs them
// with the volume's reader locked.

#include <cstdint>

#include "engines/exfat/exfat_volume.h"

namespace velk {

// Walks the folder tree from the root and lists what was deleted (and what lies in deleted
// folders). 0, or the error that ended it.
Status runDeletedWalk(ExfatVolume& volume, ResultSink& sink, const ScanOptions& options, Progress& progress);

// Sweeps clusters first…last for entry sets and lists the files of every folder found.
// Finding no folder is no error.
Status runFormattedScan(ExfatVolume& volume, ResultSink& sink, const ScanOptions& options, Progress& progress,
                           uint32_t first, uint32_t last);

}  // namespace velk
