#pragma once
// Opening the exFAT engine over a partition (deleted and formatted tasks).

#include <memory>

#include "engines/engine_registry.h"
#include "engines/exfat/exfat_volume.h"

namespace velk {

Result<std::unique_ptr<RecoveryEngine>> openExfatEngine(EngineSource source, Task task);

}  // namespace velk
