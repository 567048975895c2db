#include "engines/fat/fat_engine.h"

#include <algorithm>
#include <vector>

#include "disk/device.h"
#include "workspace/result_tree.h"

namespace velk {

std::optional<FatWidth> fatWidthFor(const PartitionRecord& record) {
  const std::string fs = record.fsNameText();
  if (fs == "FAT32" || fs == "#FAT32#") return FatWidth::Fat32;
  if (fs == "FAT" || fs == "FAT16" || fs == "#FAT16#") return FatWidth::Fat16;
  if (fs == "Unknown" || fs == "Deleted") return detectFatWidth(ByteSpan(record.firstSector));
  return std::nullopt;
}

std::unique_ptr<RecoveryEngine> openFatEngine(const PartitionRecord& record, Task task, ErrorCode& error) {
  auto width = fatWidthFor(record);
  if (!width || (task != Task::Deleted && task != Task::Formatted)) {
    error = kUnsupported;
    return nullptr;
  }
  std::unique_ptr<FatVolume> volume;
  if (*width == FatWidth::Fat32) volume = std::make_unique<Fat32Volume>(record);
  else volume = std::make_unique<Fat16Volume>(record);
  if (!volume->isValid()) {
    error = volume->openError();
    return nullptr;
  }
  error = kOk;
  return volume;
}

size_t runFatScansOnMemoryImage(const uint8_t* data, size_t size) {
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  auto bytes = std::make_shared<std::vector<uint8_t>>(data, data + size);
  const int drive = ns.attachMemory("fat-memory-image", bytes);
  size_t found = 0;
  for (FatWidth width : {FatWidth::Fat16, FatWidth::Fat32}) {
    PartitionRecord record;
    record.diskNumber = drive;
    record.letter = 'C';
    record.startSector = 0;
    record.length = size;
    std::unique_ptr<FatVolume> volume;
    if (width == FatWidth::Fat32) volume = std::make_unique<Fat32Volume>(record);
    else volume = std::make_unique<Fat16Volume>(record);
    if (!volume->isValid()) continue;
    for (Task task : {Task::Deleted, Task::Formatted}) {
      ResultTree tree(Variant::Fat);
      Progress progress;
      ScanOptions options;
      options.task = task;
      (void)volume->scan(tree, options, progress);
      found += tree.recordCount();
      // Extract a bounded number of what was listed: enough to reach every path.
      size_t extracted = 0;
      for (FolderItem* folder : tree.foldersBreadthFirst()) {
        for (FileRecord* file : folder->files) {
          if (extracted++ >= 64) break;
          NullSink sink;
          (void)volume->extract(*file, sink);
        }
      }
    }
  }
  ns.reset();
  return found;
}

}  // namespace velk
