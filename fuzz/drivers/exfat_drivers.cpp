#include "drivers/exfat_drivers.h"

#include <cstring>
#include <memory>
#include <vector>

#include "disk/device.h"
#include "engines/exfat/exfat_volume.h"
#include "formats/exfat_volume_facts.h"
#include "workspace/result_tree.h"

namespace velk {

size_t runExfatScansOnMemoryImage(const uint8_t* data, size_t size) {
  (void)readExfatVolumeFacts(
      [data, size](uint64_t offset, size_t length, uint8_t* out) {
        if (offset > size || length > size - offset) return false;
        std::memcpy(out, data + offset, length);
        return true;
      },
      true);
  SectorReader reader;
  reader.OpenDevice(memoryDevice(std::make_shared<std::vector<uint8_t>>(data, data + size), false), "exfat-fuzz");
  ExfatVolume volume(std::move(reader), 0, 'C');
  if (!volume.isValid()) return 0;
  size_t found = 0;
  for (Task task : {Task::Deleted, Task::Formatted}) {
    ResultTree tree(Variant::Fat);
    Progress progress;
    ScanOptions options;
    options.task = task;
    volume.scanFlag().set();
    (void)volume.scan(tree, options, progress);
    found += tree.recordCount();
    // Each extraction stops at 1 MiB: a listed length may reach the heap's end.
    size_t extracted = 0;
    for (FolderItem* folder : tree.foldersBreadthFirst()) {
      for (FileRecord* file : folder->files) {
        if (extracted++ >= 64) break;
        VectorSink sink(size_t(1) << 20);
        (void)volume.extract(*file, sink);
      }
    }
  }
  return found;
}

}  // namespace velk
