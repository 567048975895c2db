#pragma once
// Dynamic VHD images read block by block from their allocation table. libvhdi reads a
// dynamic VHD one sector per system call (about 20 MB/s from the page cache); this reader
// asks for whole runs of a block instead. libvhdi still opens the image first (its checks
// and its reasons for refusing), so this only takes over the reads of an image it accepted.
//
// Layout (Microsoft's published Virtual Hard Disk image format, version 1.0, big-endian): a
// 512-byte footer at the end of the file, a 1,024-byte dynamic header at the footer's data
// offset, a block allocation table (BAT) of 32-bit sector numbers, and for each allocated
// block a sector bitmap (one bit per sector, most significant bit first, padded to a whole
// sector) followed by the block's data. A sector whose bit is clear was never written and
// reads as zeros, as does every sector of a block without a table entry.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <tl/expected.hpp>

#include "formats/bytes.h"
#include "disk/device.h"

namespace velk {

inline constexpr size_t kVhdFooterBytes = 512;
inline constexpr size_t kVhdDynamicHeaderBytes = 1024;
inline constexpr uint32_t kVhdDiskTypeDynamic = 3;

struct VhdFooter {
  uint64_t dataOffset = 0;   // the dynamic header
  uint64_t currentSize = 0;  // bytes of the disk
  uint32_t diskType = 0;     // 2 fixed, 3 dynamic, 4 differencing
  // Cookie "conectix", version 1.0 and the ones'-complement checksum checked.
  static std::optional<VhdFooter> parse(ByteSpan bytes);
};

struct VhdDynamicHeader {
  uint64_t tableOffset = 0;
  uint32_t maxTableEntries = 0;
  uint32_t blockSize = 0;  // a power of two from 512 bytes to 2 GiB
  // Cookie "cxsparse", version 1.0, checksum and block size checked.
  static std::optional<VhdDynamicHeader> parse(ByteSpan bytes);
};

// The disk inside a dynamic VHD, read through the container file (a read-only device over
// the file). Fails with a reason when the layout does not hold together.
tl::expected<std::unique_ptr<BlockDevice>, std::string> openDynamicVhd(std::unique_ptr<BlockDevice> file);

}  // namespace velk
