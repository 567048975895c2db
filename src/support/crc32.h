#pragma once
// CRC-32 (IEEE, reflected), as GPT headers and entry arrays use it.

#include <cstdint>
#include <span>

namespace velk {

uint32_t crc32(std::span<const uint8_t> data, uint32_t crc = 0);

}  // namespace velk
