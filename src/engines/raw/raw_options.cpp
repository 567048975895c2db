#include "engines/raw/raw_options.h"

#include <cstdio>

namespace velk {
namespace {

std::string formatNumber(const char* format, int64_t value) {
  char text[128];
  std::snprintf(text, sizeof text, format, static_cast<long long>(value));
  return text;
}

}  // namespace

std::string lowestStartLabel(const RawOptionsLimits& limits) { return formatNumber("> %lld", limits.lowestStart); }
std::string highestEndLabel(const RawOptionsLimits& limits) { return formatNumber("< %lld", limits.highestEnd); }
std::string totalSectorsLabel(const RawOptionsLimits& limits) {
  return formatNumber("%lld", limits.highestEnd - limits.lowestStart);
}

uint32_t readDialogNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  uint64_t v = 0;
  bool any = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    any = true;
    v = v * 10 + uint64_t(text[i] - '0');
    if (v > UINT32_MAX) return 0;  // out of range reads as no number
  }
  for (; i < text.size(); ++i)
    if (text[i] != ' ') return 0;
  return any ? uint32_t(v) : 0;
}

RawOptionsCheck checkRawOptions(const RawOptionsTexts& texts, const RawOptionsLimits& limits) {
  RawOptionsCheck out;
  out.values.startSector = readDialogNumber(texts.startSector);
  out.values.endSector = readDialogNumber(texts.endSector);
  out.values.maxSizeKb = readDialogNumber(texts.maxSizeKb);
  auto refused = [](uint32_t v, const std::string& t) { return v == 0 && t != "0"; };
  if (refused(out.values.startSector, texts.startSector) || refused(out.values.maxSizeKb, texts.maxSizeKb) ||
      refused(out.values.endSector, texts.endSector)) {
    out.outcome = RawOptionsOutcome::NotANumber;
    return out;
  }
  if (int64_t(out.values.startSector) < limits.lowestStart) {
    out.outcome = RawOptionsOutcome::StartTooLow;
    out.message = formatNumber("Start sector is not valid. This must be bigger than %lld", limits.lowestStart);
    out.values.startSector = uint32_t(std::max<int64_t>(0, limits.lowestStart));
  } else if (int64_t(out.values.endSector) > limits.highestEnd) {
    out.outcome = RawOptionsOutcome::EndTooHigh;
    out.message = formatNumber("End sector is not valid. This must be less than %lld", limits.highestEnd);
    out.values.endSector = uint32_t(std::max<int64_t>(0, limits.highestEnd));
  } else if (out.values.startSector < out.values.endSector) {
    out.outcome = RawOptionsOutcome::Accept;
  } else {
    out.outcome = RawOptionsOutcome::StartNotBelowEnd;
    out.message = "Start sector must be less than end sector";
    out.values.startSector = uint32_t(std::max<int64_t>(0, limits.lowestStart));
  }
  return out;
}

std::vector<RawTypeItem> rawTypeItems(const SignatureCatalog& catalog) {
  std::vector<RawTypeItem> items;
  const auto& entries = catalog.entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!items.empty() && entries[i - 1].description == entries[i].description) {
      RawTypeItem& item = items.back();
      ++item.entryCount;
      continue;
    }
    items.push_back({entries[i].extension, entries[i].description, i, 1, entries[i].enabled});
  }
  return items;
}

void applyRawTypeItems(const std::vector<RawTypeItem>& items, SignatureCatalog& catalog) {
  auto& entries = catalog.entries();
  for (const auto& item : items)
    for (size_t k = 0; k < item.entryCount && item.firstEntry + k < entries.size(); ++k)
      entries[item.firstEntry + k].enabled = item.checked;
}

void setAllRawTypeItems(std::vector<RawTypeItem>& items, bool checked) {
  for (auto& item : items) item.checked = checked;
}

}  // namespace velk
