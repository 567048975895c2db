#include "drivers/fat_drivers.h"

#include <array>
#include <cstring>

#include "engines/fat/fat_volume.h"
#include "formats/fat_boot_sector.h"
#include "formats/fat_table.h"
#include "workspace/result_tree.h"

namespace velk {

bool fuzzFatBootSector(const uint8_t* data, size_t size) {
  std::array<uint8_t, fatlayout::kBootSectorSize> sector{};
  std::memcpy(sector.data(), data, std::min(size, sector.size()));
  auto b = FatBootSector::parse(sector);
  (void)detectFatWidth(sector);
  if (!b) return true;
  const uint64_t lastEnd = b->clusterOffset(b->lastDataCluster) + b->clusterBytes();
  return b->isDataCluster(2) && lastEnd <= b->volumeBytes() &&
         fatTableBytes(uint64_t(b->lastDataCluster) + 1, b->width) <= b->fatBytes() &&
         (b->hasFixedRoot() || b->isDataCluster(b->rootCluster));
}

SectorReader memoryReader(const uint8_t* data, size_t size) {
  SectorReader reader;
  reader.OpenDevice(memoryDevice(std::make_shared<std::vector<uint8_t>>(data, data + size), /*writable=*/false),
                    "memory-image");
  return reader;
}

size_t runFatScansOnMemoryImage(const uint8_t* data, size_t size) {
  size_t found = 0;
  FatVolume volume(memoryReader(data, size), 0, 'C');
  if (!volume.isValid()) return 0;
  for (Task task : {Task::Deleted, Task::Formatted}) {
    ResultTree tree(Variant::Fat);
    Progress progress;
    ScanOptions options;
    options.task = task;
    (void)volume.scan(tree, options, progress);
    found += tree.recordCount();
    // Extract a bounded number of what was listed: enough to reach every path.
    size_t extracted = 0;
    for (FolderItem* folder : tree.foldersBreadthFirst()) {
      for (FileRecord* file : folder->files) {
        if (extracted++ >= 64) break;
        NullSink sink;
        (void)volume.extract(*file, sink);
      }
    }
  }
  return found;
}

}  // namespace velk
