#include "drivers/saved_scan_drivers.h"

#include <memory>
#include <vector>

#include "disk/device.h"
#include "workspace/saved_scan.h"

namespace velk {

namespace {

bool plansHold(const SavedScan& scan) {
  SectorReader disk;
  disk.OpenDevice(memoryDevice(std::make_shared<std::vector<uint8_t>>(size_t(64) << 10, 0x5a), false), "saved-fuzz");
  size_t written = 0;
  for (FolderItem* folder : scan.tree->foldersBreadthFirst())
    for (FileRecord* file : folder->files) {
      const auto* saved = dynamic_cast<const SavedFileRecord*>(file);
      if (!saved || (saved->planKnown && saved->plan.size() != saved->contentSize())) return false;
      if (written++ >= 64) continue;
      VectorSink sink(size_t(1) << 20);
      (void)writePlan(disk, saved->plan, sink);
    }
  return true;
}

}  // namespace

bool fuzzSavedScan(const uint8_t* data, size_t size) {
  const ByteSpan bytes(data, size);
  for (const auto& candidate : {std::vector<uint8_t>(bytes.begin(), bytes.end()), sealScan(bytes)}) {
    auto scan = decodeScan(candidate);
    if (scan && !plansHold(*scan)) return false;
  }
  return true;
}

}  // namespace velk
