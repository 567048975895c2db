#pragma once
// An exFAT volume's own facts read through a byte-reading callback: the boot geometry (main
// or backup region), the root directory's clusters, the volume label, where the allocation
// bitmap lies and how many clusters it marks free. Both the drive list and the engine start
// here.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/exfat_boot.h"

namespace velk {

// Reads length bytes at a byte offset from the volume's first byte.
using ExfatRead = std::function<bool(uint64_t offset, size_t length, uint8_t* out)>;
// The FAT entry of a cluster, nullopt when it cannot be read.
using ExfatFatEntry = std::function<std::optional<uint32_t>(uint32_t cluster)>;

struct ExfatChain {
  std::vector<uint32_t> clusters;
  bool complete = false;  // ended at the end mark (not at a bad link, a loop or the limit)
};
// Follows the chain from first for at most maxClusters clusters. Stops at the end mark, a
// value outside the heap, a cluster already taken (a loop) or an unreadable entry.
ExfatChain followExfatChain(const ExfatBootSector& boot, uint32_t first, uint64_t maxClusters,
                            const ExfatFatEntry& fatEntry);

// FAT entries read a sector at a time through the callback, the last sector kept.
ExfatFatEntry exfatFatReader(const ExfatBootSector& boot, ExfatRead read);

struct ExfatVolumeFacts {
  ExfatBootFound found;
  std::vector<uint32_t> rootClusters;
  std::string label;
  std::vector<uint32_t> bitmapClusters;  // of the bitmap belonging to the FAT in use
  uint64_t bitmapBytes = 0;              // bytes that cover every cluster
  std::optional<uint64_t> freeClusters;  // when counted and the whole bitmap was read
};

// Directories are at most 256 MiB long.
inline constexpr uint64_t kExfatMaxDirectoryBytes = uint64_t(256) << 20;

// Reads the facts; nullopt when no boot region is usable. countFree reads the whole bitmap.
std::optional<ExfatVolumeFacts> readExfatVolumeFacts(const ExfatRead& read, bool countFree);

}  // namespace velk
