#pragma once
// Opening the EXT engine over a partition: EXT2 volumes by their freed inodes, EXT3 volumes
// through the older inode copies their journal keeps (deleted-file task only).

#include <memory>

#include "engines/engine_registry.h"
#include "engines/ext/ext_volume.h"

namespace velk {

Result<std::unique_ptr<RecoveryEngine>> openExtEngine(EngineSource source, Task task);

}  // namespace velk
