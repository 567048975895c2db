#include "drivers/disk_drivers.h"

#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "disk/device.h"
#include "disk/drive_catalog.h"
#include "disk/partition_table.h"

namespace velk {
namespace {

// Checks what the walk promises whatever the bytes: every EBR is visited once, and each
// table sector read gives at most four entries (GPT: at most its entry limit).
bool walkKeepsItsBounds(const TableScan& scan) {
  std::set<uint64_t> seen(scan.chainSectors.begin(), scan.chainSectors.end());
  if (seen.size() != scan.chainSectors.size()) return false;
  return scan.entries.size() <= 4 + scan.chainSectors.size() + 4096;
}

}  // namespace

bool fuzzPartitionTable(const uint8_t* data, size_t size) {
  const uint64_t sectors = size / 512;
  auto read = [&](uint64_t sector, uint8_t* buf) {
    if (sector >= sectors) return false;
    std::memcpy(buf, data + sector * 512, 512);
    return true;
  };
  bool ok = walkKeepsItsBounds(scanPartitionTable(read, sectors));
  // A disk whose tail cannot be read: entries and chain links may point far past the bytes.
  ok = walkKeepsItsBounds(scanPartitionTable(read, sectors + (uint64_t(1) << 32))) && ok;

  if (sectors == 0) return ok;
  auto& ns = DeviceNamespace::instance();
  ns.reset();
  (void)ns.attachMemory("fuzz-disk", std::make_shared<std::vector<uint8_t>>(data, data + size));
  ns.assignLetters();
  DriveCatalog catalog;
  catalog.Refresh();
  ns.reset();
  return ok;
}

}  // namespace velk
