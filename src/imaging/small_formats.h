#pragma once
// Decoders for the image formats the desktop toolkit does not read: WBMP (wireless
// bitmap), Sun raster (RAS) and PGX (JPEG 2000 test images). Input is recovered data and
// therefore untrusted: every length is checked, dimensions are capped, and a decoder
// fails instead of reading past the buffer.

#include <cstdint>
#include <span>
#include <vector>

namespace velk {

// Decoded pixels, 4 bytes per pixel (R, G, B, A), rows top to bottom.
struct RgbaImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;
};

// Larger pictures are not previews we can afford to allocate for.
inline constexpr uint32_t kMaxImageSide = 16384;
inline constexpr uint64_t kMaxImagePixels = 32ull << 20;

bool decodeWbmp(std::span<const uint8_t> data, RgbaImage& out);
bool decodeSunRaster(std::span<const uint8_t> data, RgbaImage& out);
bool decodePgx(std::span<const uint8_t> data, RgbaImage& out);

}  // namespace velk
