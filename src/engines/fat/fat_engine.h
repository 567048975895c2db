#pragma once
// Opening the FAT engine over a partition: FAT12, FAT16 or FAT32 as its boot sector says.

#include <memory>

#include "engines/engine_registry.h"
#include "engines/fat/fat_volume.h"

namespace velk {

Result<std::unique_ptr<RecoveryEngine>> openFatEngine(EngineSource source, Task task);

}  // namespace velk
