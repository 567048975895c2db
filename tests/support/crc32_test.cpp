// CRC-32 against the check value of the IEEE polynomial and a bit-at-a-time reference, over
// every length and alignment the eight-byte steps and the byte tail can meet, whole and in
// pieces.

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "support/crc32.h"

namespace velk {
namespace {

uint32_t bitwiseCrc(std::span<const uint8_t> data, uint32_t crc = 0) {
  crc = ~crc;
  for (uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return ~crc;
}

TEST(Crc32, CheckValueAndEmptyInput) {
  constexpr std::string_view check = "123456789";
  EXPECT_EQ(crc32({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0xCBF43926u);
  EXPECT_EQ(crc32({}), 0u);
  EXPECT_EQ(crc32({}, 0x12345678u), 0x12345678u);
}

TEST(Crc32, EveryLengthAndOffsetMatchesTheBitwiseReference) {
  std::mt19937 rng(7);
  std::vector<uint8_t> bytes(300);
  for (auto& b : bytes) b = uint8_t(rng());
  for (size_t offset = 0; offset < 8; ++offset)
    for (size_t length = 0; offset + length <= 140; ++length) {
      const std::span<const uint8_t> piece(bytes.data() + offset, length);
      ASSERT_EQ(crc32(piece), bitwiseCrc(piece)) << offset << "+" << length;
    }
  // Continuing a running value gives the same as one pass (PNG chunks are checked in pieces).
  const std::span<const uint8_t> all(bytes);
  for (size_t cut : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(13), size_t(299), size_t(300)})
    EXPECT_EQ(crc32(all.subspan(cut), crc32(all.first(cut))), crc32(all)) << cut;
}

}  // namespace
}  // namespace velk
