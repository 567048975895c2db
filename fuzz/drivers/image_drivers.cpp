#include "drivers/image_drivers.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "disk/vhd_dynamic.h"

namespace velk {
namespace {

// Writes the ones'-complement byte sum into a structure's checksum field when the
// structure starts with its cookie.
void sealChecksum(std::vector<uint8_t>& file, uint64_t at, size_t length, size_t field, std::string_view cookie) {
  if (at > file.size() || length > file.size() - at || !matchesAt(ByteSpan(file).subspan(at), 0, cookie)) return;
  uint8_t* p = file.data() + at;
  uint32_t sum = 0;
  for (size_t i = 0; i < length; ++i)
    if (i < field || i >= field + 4) sum += p[i];
  const uint32_t value = ~sum;
  for (int i = 0; i < 4; ++i) p[field + i] = uint8_t(value >> (24 - 8 * i));
}

}  // namespace

bool fuzzDynamicVhd(const uint8_t* data, size_t size) {
  auto file = std::make_shared<std::vector<uint8_t>>(data, data + size);
  if (size >= kVhdFooterBytes) {
    const uint64_t footer = size - kVhdFooterBytes;
    sealChecksum(*file, footer, kVhdFooterBytes, 64, "conectix");
    sealChecksum(*file, be64At(*file, footer + 16), kVhdDynamicHeaderBytes, 36, "cxsparse");
  }
  auto device = openDynamicVhd(memoryDevice(file, false));
  if (!device) return true;
  BlockDevice& disk = **device;
  // A table that has to lie inside the file bounds the disk: 4 bytes per block of at most 2 GiB.
  if (disk.size() > (uint64_t(size) / 4 + 1) * (uint64_t(1) << 31)) return false;
  std::vector<uint8_t> buffer(1 << 20);
  for (uint64_t at : {uint64_t(0), disk.size() / 2 - std::min<uint64_t>(disk.size() / 2, 777), disk.size() - std::min<uint64_t>(disk.size(), 4096)}) {
    const int64_t got = disk.readAt(at, buffer.data(), buffer.size());
    if (got > int64_t(buffer.size())) return false;
  }
  return disk.writeAt(0, buffer.data(), 512) < 0;
}

}  // namespace velk
