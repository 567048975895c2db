#pragma once
// FileFilter: extension category, date, size and name criteria, and the test the pages
// (and the FAT engine's quick search) apply to found files.

#include <cstdint>
#include <string>
#include <string_view>

#include "workspace/file_record.h"

namespace velk {

enum class DateMode : int32_t { Ignore = 0, Before = 1, After = 2, On = 3 };
enum class SizeMode : int32_t { Ignore = 0, Equal = 1, Smaller = 2, Larger = 3, Between = 4 };

struct FileFilter {
  std::string extensionList;
  int32_t category = 0;     // 0 All Files … 6 Email Files
  uint16_t date = 0;        // packed as in FAT directory entries
  DateMode dateMode = DateMode::Ignore;
  double startSize = 0;     // kilobytes
  double endSize = 0;       // kilobytes (Between)
  SizeMode sizeMode = SizeMode::Ignore;
  std::string name;

  // Defaults with today's date.
  static FileFilter withToday();
  // Chooses a category: stores the index and, for 1–6, its extension list.
  void setCategory(int32_t index);
  // True when any criterion would reject something.
  bool anyCriterion() const;
};

inline constexpr int kCategoryCount = 7;
// Texts of the category combo items, index 0 to 6.
std::string_view categoryText(int index);
// The extension list a category sets ("" for 0, which leaves the list unchanged).
std::string_view categoryExtensions(int index);

// The four tests; enabled = the page's filter check box (false passes everything).
bool FilterAccepts(const FileFilter& filter, const FileRecord& record, bool enabled = true);

// Today's local date, packed.
uint16_t todayPacked();

}  // namespace velk

namespace velk {

enum class SizeEntryCheck { Ok, NotANumber, StartLargerThanEnd };
// Checks the size edits of the filter dialogs before OK stores them: each text the mode
// uses must be a number, and Between needs start ≤ end.
SizeEntryCheck checkSizeEntries(SizeMode mode, std::string_view startText, std::string_view endText,
                                double& start, double& end);

}  // namespace velk
