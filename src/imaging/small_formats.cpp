#include "imaging/small_formats.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace velk {
namespace {

bool allocate(RgbaImage& out, uint64_t width, uint64_t height) {
  if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide) return false;
  if (width * height > kMaxImagePixels) return false;
  out.width = uint32_t(width);
  out.height = uint32_t(height);
  out.pixels.assign(size_t(width * height * 4), 255);
  return true;
}

void put(RgbaImage& img, uint64_t x, uint64_t y, uint8_t r, uint8_t g, uint8_t b) {
  uint8_t* p = &img.pixels[size_t((y * img.width + x) * 4)];
  p[0] = r;
  p[1] = g;
  p[2] = b;
  p[3] = 255;
}

uint32_t be32(std::span<const uint8_t> d, size_t at) {
  return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
}

// WBMP multi-byte integer: 7 bits per byte, high bit set on every byte but the last.
std::optional<uint64_t> readMultiByte(std::span<const uint8_t> d, size_t& at) {
  uint64_t v = 0;
  for (int i = 0; i < 5; ++i) {
    if (at >= d.size()) return std::nullopt;
    uint8_t b = d[at++];
    v = v << 7 | (b & 0x7F);
    if (!(b & 0x80)) return v;
  }
  return std::nullopt;
}

}  // namespace

bool decodeWbmp(std::span<const uint8_t> d, RgbaImage& out) {
  size_t at = 0;
  auto type = readMultiByte(d, at);
  if (!type || *type != 0 || at >= d.size()) return false;
  if (d[at++] != 0) return false;  // fixed header field: no extension headers in type 0
  auto width = readMultiByte(d, at);
  auto height = readMultiByte(d, at);
  if (!width || !height) return false;
  const uint64_t stride = (*width + 7) / 8;
  if (*width > kMaxImageSide || *height > kMaxImageSide) return false;
  if (d.size() - at < stride * *height) return false;
  if (!allocate(out, *width, *height)) return false;
  for (uint64_t y = 0; y < *height; ++y)
    for (uint64_t x = 0; x < *width; ++x) {
      bool white = d[at + y * stride + x / 8] & (0x80 >> (x % 8));
      uint8_t v = white ? 255 : 0;
      put(out, x, y, v, v, v);
    }
  return true;
}

bool decodeSunRaster(std::span<const uint8_t> d, RgbaImage& out) {
  constexpr uint32_t kMagic = 0x59A66A95;
  constexpr uint32_t kOld = 0, kStandard = 1, kByteEncoded = 2, kRgb = 3;
  if (d.size() < 32 || be32(d, 0) != kMagic) return false;
  const uint32_t width = be32(d, 4), height = be32(d, 8), depth = be32(d, 12);
  const uint32_t type = be32(d, 20), mapType = be32(d, 24), mapLength = be32(d, 28);
  if (depth != 1 && depth != 8 && depth != 24 && depth != 32) return false;
  if (type != kOld && type != kStandard && type != kByteEncoded && type != kRgb) return false;
  if (mapType > 1 || (mapType == 0 && mapLength != 0) || mapLength > 768 || mapLength % 3) return false;
  if (width > kMaxImageSide || height > kMaxImageSide) return false;
  if (d.size() - 32 < mapLength) return false;
  std::span<const uint8_t> map = d.subspan(32, mapLength);
  const uint32_t colours = mapLength / 3;
  std::span<const uint8_t> body = d.subspan(32 + mapLength);

  // Rows are padded to 16 bits.
  const uint64_t rowBytes = ((uint64_t(width) * depth + 15) / 16) * 2;
  const uint64_t need = rowBytes * height;
  std::vector<uint8_t> expanded;
  if (type == kByteEncoded) {
    // 0x80 n v: n + 1 copies of v; 0x80 0: one 0x80.
    expanded.reserve(size_t(std::min<uint64_t>(need, 1u << 24)));
    size_t i = 0;
    while (expanded.size() < need && i < body.size()) {
      uint8_t b = body[i++];
      if (b != 0x80) {
        expanded.push_back(b);
        continue;
      }
      if (i >= body.size()) break;
      uint8_t n = body[i++];
      if (n == 0) {
        expanded.push_back(0x80);
        continue;
      }
      if (i >= body.size()) break;
      uint8_t v = body[i++];
      for (int k = 0; k <= n && expanded.size() < need; ++k) expanded.push_back(v);
    }
    body = expanded;
  }
  if (body.size() < need) return false;
  if (!allocate(out, width, height)) return false;
  for (uint64_t y = 0; y < height; ++y) {
    const uint8_t* row = body.data() + y * rowBytes;
    for (uint64_t x = 0; x < width; ++x) {
      uint8_t r, g, b;
      if (depth == 1) {
        // Without a colour map a set bit is black.
        bool bit = row[x / 8] & (0x80 >> (x % 8));
        if (colours >= 2) {
          int idx = bit ? 1 : 0;
          r = map[idx], g = map[colours + idx], b = map[2 * colours + idx];
        } else {
          r = g = b = bit ? 0 : 255;
        }
      } else if (depth == 8) {
        uint8_t idx = row[x];
        if (colours) {
          if (idx >= colours) idx = uint8_t(colours - 1);
          r = map[idx], g = map[colours + idx], b = map[2 * colours + idx];
        } else {
          r = g = b = idx;
        }
      } else {
        const uint8_t* p = row + x * (depth / 8) + (depth == 32 ? 1 : 0);
        if (type == kRgb) r = p[0], g = p[1], b = p[2];
        else b = p[0], g = p[1], r = p[2];
      }
      put(out, x, y, r, g, b);
    }
  }
  return true;
}

bool decodePgx(std::span<const uint8_t> d, RgbaImage& out) {
  // "PG" ML|LM [+|-] depth width height, one white-space character, then the samples.
  size_t at = 0;
  auto skipSpace = [&] {
    while (at < d.size() && at < 256 && (d[at] == ' ' || d[at] == '\t')) ++at;
  };
  auto number = [&]() -> std::optional<uint64_t> {
    skipSpace();
    uint64_t v = 0;
    size_t start = at;
    while (at < d.size() && std::isdigit(d[at]) && at - start < 9) v = v * 10 + (d[at++] - '0');
    if (at == start) return std::nullopt;
    return v;
  };
  if (d.size() < 8 || d[0] != 'P' || d[1] != 'G') return false;
  at = 2;
  skipSpace();
  if (at + 2 > d.size()) return false;
  bool bigEndian;
  if (d[at] == 'M' && d[at + 1] == 'L') bigEndian = true;
  else if (d[at] == 'L' && d[at + 1] == 'M') bigEndian = false;
  else return false;
  at += 2;
  skipSpace();
  bool isSigned = false;
  if (at < d.size() && (d[at] == '+' || d[at] == '-')) isSigned = d[at++] == '-';
  auto depth = number();
  auto width = number();
  auto height = number();
  if (!depth || !width || !height || *depth < 1 || *depth > 16) return false;
  if (at >= d.size() || !std::isspace(d[at])) return false;
  if (d[at] == '\r' && at + 1 < d.size() && d[at + 1] == '\n') ++at;
  ++at;
  const uint64_t bytesPer = *depth > 8 ? 2 : 1;
  if (*width > kMaxImageSide || *height > kMaxImageSide) return false;
  if (d.size() - at < *width * *height * bytesPer) return false;
  if (!allocate(out, *width, *height)) return false;
  const uint32_t maxValue = (1u << *depth) - 1;
  for (uint64_t i = 0; i < *width * *height; ++i) {
    const uint8_t* p = d.data() + at + i * bytesPer;
    uint32_t v = bytesPer == 1 ? p[0] : bigEndian ? (uint32_t(p[0]) << 8 | p[1]) : (uint32_t(p[1]) << 8 | p[0]);
    v &= maxValue;
    if (isSigned) v = (v + (1u << (*depth - 1))) & maxValue;  // two's complement to offset
    uint8_t g = uint8_t(uint64_t(v) * 255 / maxValue);
    put(out, i % *width, i / *width, g, g, g);
  }
  return true;
}

}  // namespace velk
