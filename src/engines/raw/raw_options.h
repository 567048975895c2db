#pragma once
// The logic of the raw scan options dialog, free of any toolkit: the range labels, the
// checks made on OK with their messages, and the type list with its check boxes.

#include <cstdint>
#include <string>
#include <vector>

#include "engines/raw/signature_catalog.h"

namespace velk {

struct RawOptionsLimits {
  int64_t lowestStart = 0;  // the volume's first sector
  int64_t highestEnd = 0;   // the volume's end sector
};

struct RawOptionsValues {
  uint32_t startSector = 0;
  uint32_t endSector = 0;
  uint32_t maxSizeKb = 0;
};

// "> %d", "< %d" and "%d" (highest end − lowest start).
std::string lowestStartLabel(const RawOptionsLimits& limits);
std::string highestEndLabel(const RawOptionsLimits& limits);
std::string totalSectorsLabel(const RawOptionsLimits& limits);

enum class RawOptionsOutcome {
  Accept,            // the dialog closes with OK
  NotANumber,        // a field read 0 from text that is not "0": nothing happens
  StartTooLow,       // message, start reset to the lowest start
  EndTooHigh,        // message, end reset to the highest end
  StartNotBelowEnd,  // message, start reset to the lowest start
};

struct RawOptionsCheck {
  RawOptionsOutcome outcome = RawOptionsOutcome::Accept;
  std::string message;      // the message box text ("" when none)
  RawOptionsValues values;  // the values to show again (corrected where the check says)
};

// The edit texts as typed; a value that parses to 0 from other text than "0" is refused.
struct RawOptionsTexts {
  std::string startSector;
  std::string endSector;
  std::string maxSizeKb;
};

// Reads an edit text as the dialog's integer exchange does: leading digits, 0 otherwise.
uint32_t readDialogNumber(const std::string& text);
RawOptionsCheck checkRawOptions(const RawOptionsTexts& texts, const RawOptionsLimits& limits);

// One row of the type list: an entry, or a run of consecutive entries with the same
// description (the signatures of one type).
struct RawTypeItem {
  std::string extension;
  std::string description;
  size_t firstEntry = 0;
  size_t entryCount = 0;
  bool checked = true;
};

std::vector<RawTypeItem> rawTypeItems(const SignatureCatalog& catalog);
// Applies the check boxes: each item sets the enabled flag of exactly the entries it
// stands for.
void applyRawTypeItems(const std::vector<RawTypeItem>& items, SignatureCatalog& catalog);
void setAllRawTypeItems(std::vector<RawTypeItem>& items, bool checked);

}  // namespace velk
