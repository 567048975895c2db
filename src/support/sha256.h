#pragma once
// SHA-256 for checking recovered files against what was placed on an image.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velk {

class Sha256 {
 public:
  Sha256();
  void update(std::span<const uint8_t> data);
  std::array<uint8_t, 32> finish();
  static std::string hex(std::span<const uint8_t> data);

 private:
  void block(const uint8_t* p);
  std::array<uint32_t, 8> m_h;
  std::array<uint8_t, 64> m_buf{};
  size_t m_used = 0;
  uint64_t m_length = 0;
};

}  // namespace velk
