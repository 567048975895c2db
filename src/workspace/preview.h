#pragma once
// Preview helpers: the image type of a name and the hexadecimal dump of found data.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velk {

// Image type codes of the image library (0: not an image), from the name's last three or
// four characters, case-insensitive.
enum ImageType : int {
  kImageNone = 0, kImageBmp = 1, kImageGif = 2, kImageJpeg = 3, kImagePng = 4, kImageIco = 5,
  kImageTiff = 6, kImageTga = 7, kImagePcx = 8, kImageWbmp = 9, kImageWmf = 10, kImageJ2k = 11,
  kImageJpc = 12, kImagePgx = 13, kImagePnm = 14, kImageRas = 15,
};
int ImageTypeOf(std::string_view name);

// The whole dump: lines of 16 bytes separated by "\r\n".
std::string HexDump(std::span<const uint8_t> bytes);
// Line i of the dump (bytes 16i … 16i+15), without its line end: lets a view render a
// large file lazily, byte-exact with HexDump.
std::string hexDumpLine(std::span<const uint8_t> bytes, uint64_t line);
inline uint64_t hexDumpLineCount(uint64_t size) { return (size + 15) / 16; }

}  // namespace velk
