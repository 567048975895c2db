#include "workspace/file_filter.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "support/text.h"

namespace velk {
namespace {

constexpr std::string_view kCategoryTexts[kCategoryCount] = {
    "All Files (*.*)",
    "Office Files (*.doc | *.dot | *.xls | *.xlw | *.ppt | *.docx | *.xlsx | *.pptx | *.mdb)",
    "Web Files (*.html | *.htm | *.htx | *.asp | *.stm | *.shtml)",
    "Image Files (*.bmp | *.dib | *.gif | *.jpg | *.jpe | *.ico | *.cur | *.tif | *.png)",
    "Sound Files (*.wav | *.mp3 | *.mid | *.asf | *.wmv)",
    "Movie Files (*.avi | *.mpg | *.mp4 | *.asf | *.rm | *.rmvb | *.mov)",
    "Email Files (*.dbx | *.pst | *.box)",
};

constexpr std::string_view kCategoryLists[kCategoryCount] = {
    "",
    "doc.dot.xls.xlw.ppt.docx.xlsx.pptx.mdb",
    "htm.htx.asp.stm.shtml",
    "bmp.gif.jpg.png.mng.ico.tif.tga.pcx.wbmp.wmf.j2k.jbg.jp2.jpc.pgx.pnm.ras",
    "wav.mp3.mid.asf.wmv",
    "avi.mpg.mp4.asf.rm.rmvb.mov",
    "dbx.pst.box.stg.bak.ADC.INDX.uidl",
};

std::string twoDecimals(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

}  // namespace

std::string_view categoryText(int index) {
  return index >= 0 && index < kCategoryCount ? kCategoryTexts[index] : std::string_view();
}

std::string_view categoryExtensions(int index) {
  return index >= 0 && index < kCategoryCount ? kCategoryLists[index] : std::string_view();
}

uint16_t todayPacked() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return packFatDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

FileFilter FileFilter::withToday() {
  FileFilter f;
  f.date = todayPacked();
  return f;
}

void FileFilter::setCategory(int32_t index) {
  category = index;
  if (index >= 1 && index < kCategoryCount) extensionList = std::string(kCategoryLists[index]);
}

bool FileFilter::anyCriterion() const {
  return category != 0 || dateMode != DateMode::Ignore || sizeMode != SizeMode::Ignore || !name.empty();
}

bool FilterAccepts(const FileFilter& f, const FileRecord& record, bool enabled) {
  if (!enabled) return true;
  if (f.category != 0 && !record.extensionAccepts(f.extensionList)) return false;

  if (f.dateMode != DateMode::Ignore) {
    if (auto date = record.filterDate()) {
      switch (f.dateMode) {
        case DateMode::Before: if (!(*date < f.date)) return false; break;
        case DateMode::After: if (!(*date > f.date)) return false; break;
        case DateMode::On: if (*date != f.date) return false; break;
        case DateMode::Ignore: break;
      }
    }
  }

  const double s = record.size;
  switch (f.sizeMode) {
    case SizeMode::Equal:
      if (twoDecimals(f.startSize) != twoDecimals(s / 1024)) return false;
      break;
    case SizeMode::Smaller:
      if (!(s < f.startSize * 1024)) return false;
      break;
    case SizeMode::Larger:
      if (!(s > f.startSize * 1024)) return false;
      break;
    case SizeMode::Between:
      if (!(f.startSize * 1024 < s && s < f.endSize * 1024)) return false;
      break;
    case SizeMode::Ignore:
      break;
  }

  if (!f.name.empty() && lowerAscii(record.name).find(lowerAscii(f.name)) == std::string::npos) return false;
  return true;
}

}  // namespace velk

namespace velk {
namespace {

bool parseNumber(std::string_view text, double& value) {
  std::string s(text);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  if (s.empty()) return false;
  char* end = nullptr;
  value = std::strtod(s.c_str(), &end);
  return end && *end == '\0' && value >= 0;
}

}  // namespace

SizeEntryCheck checkSizeEntries(SizeMode mode, std::string_view startText, std::string_view endText, double& start,
                                double& end) {
  start = end = 0;
  if (mode == SizeMode::Ignore) return SizeEntryCheck::Ok;
  if (!parseNumber(startText, start)) return SizeEntryCheck::NotANumber;
  if (mode != SizeMode::Between) return SizeEntryCheck::Ok;
  if (!parseNumber(endText, end)) return SizeEntryCheck::NotANumber;
  return start > end ? SizeEntryCheck::StartLargerThanEnd : SizeEntryCheck::Ok;
}

}  // namespace velk
