#include "workspace/file_record.h"

#include "support/text.h"

namespace velk {

std::string FileRecord::filterExtension() const { return std::string(textAfterFirstDot(name)); }

std::string_view verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Verified: return "verified";
    case Verdict::Damaged: return "damaged";
    case Verdict::Unverified: break;
  }
  return "unverified";
}

std::string_view textAfterFirstDot(std::string_view name) {
  size_t dot = name.find('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

std::string_view extensionOf(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

std::string toLowerAscii(std::string_view text) { return lowerAscii(text); }

uint16_t packFatDate(int year, int month, int day) {
  if (year < 1980) return 0;
  return uint16_t(((year - 1980) << 9) | ((month & 0xF) << 5) | (day & 0x1F));
}

}  // namespace velk
