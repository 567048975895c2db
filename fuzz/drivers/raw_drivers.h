#pragma once
// Fuzz entry points for the raw engine's parsers of untrusted bytes. Each takes any bytes
// and must neither crash, hang nor read outside its input; the libFuzzer targets in fuzz/
// call them from LLVMFuzzerTestOneInput.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "disk/device.h"

namespace velk {

// rp.dat bytes (plain or packed) → markup reader → entries → pattern compiler → matcher.
int fuzzRawCatalog(const uint8_t* data, size_t size);
// The first bytes build a small catalogue (patterns, offsets, alternatives); the rest are
// sectors run through the sector test and a whole scan with format-aware ends.
int fuzzRawSectorTest(const uint8_t* data, size_t size);
// Every family of format end rules over the bytes as a carved window.
int fuzzRawFormatEnds(const uint8_t* data, size_t size);
// Names from metadata (EXIF, PDF, office, ID3) and the two-piece JPEG search over the bytes.
int fuzzRawContent(const uint8_t* data, size_t size);

// A read-only device over bytes in memory (fuzzing, tests, benchmarks).
class MemoryBlockDevice final : public BlockDevice {
 public:
  explicit MemoryBlockDevice(std::shared_ptr<const std::vector<uint8_t>> bytes) : m_bytes(std::move(bytes)) {}
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override;
  int64_t writeAt(uint64_t, const void*, size_t) override { return -9; /* EBADF */ }
  uint64_t size() const override { return m_bytes->size(); }

 private:
  std::shared_ptr<const std::vector<uint8_t>> m_bytes;
};

}  // namespace velk
