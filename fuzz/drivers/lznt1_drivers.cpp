#include "drivers/lznt1_drivers.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codec/lznt1.h"

namespace velk::codec {

bool fuzzLznt1(const uint8_t* data, size_t size) {
  constexpr size_t kCap = 1u << 20;
  const std::span<const uint8_t> in(data, size);
  std::vector<uint8_t> out;
  (void)lznt1Decompress(in, out, kCap);
  if (out.size() > kCap) return false;

  std::array<uint8_t, 65536> unit{};
  const auto produced = lznt1DecompressInto(in, unit);
  if (produced && *produced > unit.size()) return false;

  const std::vector<uint8_t> packed = lznt1Compress(in);
  std::vector<uint8_t> back;
  if (!lznt1Decompress(packed, back)) return false;
  return back.size() == size && std::equal(back.begin(), back.end(), data);
}

}  // namespace velk::codec
