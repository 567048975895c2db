// WBMP, Sun raster and PGX decoding over hand-made files, and their refusal of damaged
// or oversized input.

#include <gtest/gtest.h>

#include <random>

#include "imaging/small_formats.h"

namespace velk {
namespace {

std::vector<uint8_t> rgbAt(const RgbaImage& img, uint32_t x, uint32_t y) {
  const uint8_t* p = &img.pixels[(size_t(y) * img.width + x) * 4];
  return {p[0], p[1], p[2]};
}

void appendBe32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}

std::vector<uint8_t> rasHeader(uint32_t w, uint32_t h, uint32_t depth, uint32_t type, uint32_t mapType,
                               uint32_t mapLength) {
  std::vector<uint8_t> v;
  for (uint32_t x : {0x59A66A95u, w, h, depth, 0u, type, mapType, mapLength}) appendBe32(v, x);
  return v;
}

TEST(Wbmp, DecodesBitsMostSignificantFirstWithSetBitsWhite) {
  // Type 0, fixed header 0, width 10 (two bytes per row), height 2.
  std::vector<uint8_t> file = {0, 0, 10, 2, 0b10000000, 0b01000000, 0b00000001, 0};
  RgbaImage img;
  ASSERT_TRUE(decodeWbmp(file, img));
  EXPECT_EQ(img.width, 10u);
  EXPECT_EQ(img.height, 2u);
  EXPECT_EQ(rgbAt(img, 0, 0), (std::vector<uint8_t>{255, 255, 255}));
  EXPECT_EQ(rgbAt(img, 1, 0), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(rgbAt(img, 9, 0), (std::vector<uint8_t>{255, 255, 255}));
  EXPECT_EQ(rgbAt(img, 7, 1), (std::vector<uint8_t>{255, 255, 255}));
  EXPECT_EQ(rgbAt(img, 8, 1), (std::vector<uint8_t>{0, 0, 0}));
  // Multi-byte width 0x81 0x00 = 128.
  std::vector<uint8_t> wide = {0, 0, 0x81, 0x00, 1};
  wide.resize(wide.size() + 16, 0xFF);
  ASSERT_TRUE(decodeWbmp(wide, img));
  EXPECT_EQ(img.width, 128u);
}

TEST(Wbmp, RefusesOtherTypesShortDataAndHugeSizes) {
  RgbaImage img;
  EXPECT_FALSE(decodeWbmp(std::vector<uint8_t>{1, 0, 1, 1, 0}, img));
  EXPECT_FALSE(decodeWbmp(std::vector<uint8_t>{0, 0, 16, 2, 0xFF}, img));  // needs 4 bytes
  EXPECT_FALSE(decodeWbmp(std::vector<uint8_t>{0, 0, 0xFF, 0xFF, 0x7F, 0x01, 0}, img));
  EXPECT_FALSE(decodeWbmp(std::vector<uint8_t>{}, img));
}

TEST(SunRaster, EightBitWithColourMapAndRowPadding) {
  // 3 × 2, rows padded to 4 bytes; map of two colours: red, blue.
  auto file = rasHeader(3, 2, 8, 1, 1, 6);
  for (uint8_t b : {255, 0, 0, 0, 0, 255}) file.push_back(b);  // R[2], G[2], B[2]
  for (uint8_t b : {0, 1, 0, 0xEE, 1, 1, 0, 0xEE}) file.push_back(b);
  RgbaImage img;
  ASSERT_TRUE(decodeSunRaster(file, img));
  EXPECT_EQ(rgbAt(img, 0, 0), (std::vector<uint8_t>{255, 0, 0}));
  EXPECT_EQ(rgbAt(img, 1, 0), (std::vector<uint8_t>{0, 0, 255}));
  EXPECT_EQ(rgbAt(img, 2, 1), (std::vector<uint8_t>{255, 0, 0}));
}

TEST(SunRaster, TwentyFourBitOrderDependsOnType) {
  auto bgr = rasHeader(1, 1, 24, 1, 0, 0);
  for (uint8_t b : {10, 20, 30, 0}) bgr.push_back(b);
  RgbaImage img;
  ASSERT_TRUE(decodeSunRaster(bgr, img));
  EXPECT_EQ(rgbAt(img, 0, 0), (std::vector<uint8_t>{30, 20, 10}));
  auto rgb = rasHeader(1, 1, 24, 3, 0, 0);
  for (uint8_t b : {10, 20, 30, 0}) rgb.push_back(b);
  ASSERT_TRUE(decodeSunRaster(rgb, img));
  EXPECT_EQ(rgbAt(img, 0, 0), (std::vector<uint8_t>{10, 20, 30}));
}

TEST(SunRaster, RunLengthEncodingAndEscapedMarker) {
  // 6 × 1 grey: 0x80 2 7 = three 7s, 0x80 0 = one 0x80, then 1, 2.
  auto file = rasHeader(6, 1, 8, 2, 0, 0);
  for (uint8_t b : {0x80, 2, 7, 0x80, 0, 1, 2}) file.push_back(b);
  RgbaImage img;
  ASSERT_TRUE(decodeSunRaster(file, img));
  EXPECT_EQ(rgbAt(img, 2, 0)[0], 7);
  EXPECT_EQ(rgbAt(img, 3, 0)[0], 0x80);
  EXPECT_EQ(rgbAt(img, 5, 0)[0], 2);
}

TEST(SunRaster, RefusesDamagedHeaders) {
  RgbaImage img;
  auto shortBody = rasHeader(100, 100, 8, 1, 0, 0);
  EXPECT_FALSE(decodeSunRaster(shortBody, img));
  EXPECT_FALSE(decodeSunRaster(rasHeader(1, 1, 7, 1, 0, 0), img));
  EXPECT_FALSE(decodeSunRaster(rasHeader(1, 1, 8, 9, 0, 0), img));
  EXPECT_FALSE(decodeSunRaster(rasHeader(1, 1, 8, 1, 1, 9999), img));
  EXPECT_FALSE(decodeSunRaster(rasHeader(0x7FFFFFFF, 0x7FFFFFFF, 32, 1, 0, 0), img));
}

TEST(Pgx, EightAndSixteenBitSamples) {
  std::string header = "PG ML + 8 2 1\n";
  std::vector<uint8_t> file(header.begin(), header.end());
  file.push_back(0);
  file.push_back(255);
  RgbaImage img;
  ASSERT_TRUE(decodePgx(file, img));
  EXPECT_EQ(rgbAt(img, 0, 0)[0], 0);
  EXPECT_EQ(rgbAt(img, 1, 0)[0], 255);
  // 12-bit little-endian: 0x0FFF is white, 0x0800 about half.
  header = "PG LM +12 2 1\n";
  file.assign(header.begin(), header.end());
  for (uint8_t b : {0xFF, 0x0F, 0x00, 0x08}) file.push_back(b);
  ASSERT_TRUE(decodePgx(file, img));
  EXPECT_EQ(rgbAt(img, 0, 0)[0], 255);
  EXPECT_EQ(rgbAt(img, 1, 0)[0], 0x800 * 255 / 0xFFF);
  // Signed 8-bit: -128 is black, 127 white.
  header = "PG ML - 8 2 1\n";
  file.assign(header.begin(), header.end());
  file.push_back(0x80);
  file.push_back(0x7F);
  ASSERT_TRUE(decodePgx(file, img));
  EXPECT_EQ(rgbAt(img, 0, 0)[0], 0);
  EXPECT_EQ(rgbAt(img, 1, 0)[0], 255);
}

TEST(Pgx, RefusesBadHeadersAndShortData) {
  RgbaImage img;
  for (std::string bad : {"PG XX + 8 1 1\n ", "PG ML + 0 1 1\n ", "PG ML + 8 2 2\n ", "PG ML + 8 99999 1\n",
                          "PX ML + 8 1 1\n "})
    EXPECT_FALSE(decodePgx(std::vector<uint8_t>(bad.begin(), bad.end()), img)) << bad;
}

TEST(SmallFormats, RandomBytesNeverCrash) {
  std::mt19937 rng(7);
  RgbaImage img;
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> data(rng() % 96);
    for (auto& b : data) b = uint8_t(rng());
    // Give some inputs a valid start so the decoders get past their magic.
    if (i % 3 == 1 && data.size() >= 4) data[0] = 0x59, data[1] = 0xA6, data[2] = 0x6A, data[3] = 0x95;
    if (i % 3 == 2 && data.size() >= 2) data[0] = 'P', data[1] = 'G';
    (void)decodeWbmp(data, img);
    (void)decodeSunRaster(data, img);
    (void)decodePgx(data, img);
  }
  SUCCEED();
}

}  // namespace
}  // namespace velk
