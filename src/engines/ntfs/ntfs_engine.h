#pragma once
// Opening the NTFS engine over a partition. The deleted-file task needs the volume's boot
// sector; the formatted-volume scan also serves volumes whose boot sector is gone.

#include <memory>

#include "engines/engine_registry.h"
#include "engines/ntfs/ntfs_volume.h"

namespace velk {

Result<std::unique_ptr<RecoveryEngine>> openNtfsEngine(EngineSource source, Task task);

}  // namespace velk
