#include "workspace/preview.h"

#include <cstdio>

#include "support/text.h"

namespace velk {
namespace {

constexpr std::string_view kPrintable =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz~!@#$%^&*();_+|}{:?><`1234567890-=\\]['/.,";

bool endsWith(const std::string& lower, std::string_view tail) {
  return lower.size() >= tail.size() && lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

int ImageTypeOf(std::string_view name) {
  const std::string n = lowerAscii(name);
  struct Rule {
    int code;
    std::string_view tails[3];
  };
  static const Rule kRules[] = {
      {kImageBmp, {"bmp"}},          {kImageGif, {"gif"}},         {kImageJpeg, {"jpg", "jpeg"}},
      {kImagePng, {"png"}},          {kImageIco, {"ico"}},         {kImageTiff, {"tif", "tiff"}},
      {kImageTga, {"tga"}},          {kImagePcx, {"pcx"}},         {kImageWbmp, {"wbmp"}},
      {kImageWmf, {"wmf", "emf"}},   {kImageJ2k, {"j2k", "jp2"}},  {kImageJpc, {"j2c", "jpc"}},
      {kImagePgx, {"pgx"}},          {kImagePnm, {"pnm", "pgm", "ppm"}}, {kImageRas, {"ras"}},
  };
  for (const auto& rule : kRules)
    for (auto tail : rule.tails)
      if (!tail.empty() && endsWith(n, tail)) return rule.code;
  return kImageNone;
}

std::string hexDumpLine(std::span<const uint8_t> bytes, uint64_t line) {
  static const char* kDigits = "0123456789ABCDEF";
  uint64_t start = line * 16;
  if (start >= bytes.size()) return {};
  size_t n = size_t(std::min<uint64_t>(16, bytes.size() - start));
  char offset[24];
  std::snprintf(offset, sizeof offset, "%08llX  ", (unsigned long long)start);
  std::string out(offset);
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = bytes[start + i];
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
    out += ' ';
    if ((i + 1) % 4 == 0) out += ' ';
  }
  out += ' ';
  for (size_t i = 0; i < n; ++i) {
    char c = char(bytes[start + i]);
    out += (c != '\0' && kPrintable.find(c) != std::string_view::npos) ? c : '.';
  }
  return out;
}

std::string HexDump(std::span<const uint8_t> bytes) {
  std::string out;
  uint64_t lines = hexDumpLineCount(bytes.size());
  out.reserve(size_t(lines * 80));
  for (uint64_t i = 0; i < lines; ++i) {
    if (i) out += "\r\n";
    out += hexDumpLine(bytes, i);
  }
  return out;
}

}  // namespace velk
