#include "workspace/app_state.h"

#include <cstdio>

namespace velk {

void AppState::selectPartition(const PartitionRecord& record) {
  selected = record;
  hasSelection = true;
  selectedRoot = std::string(1, record.letter ? record.letter : '*') + ":\\";
  scratchText.clear();
  startSector = record.startSector;
  endSector = uint32_t(uint64_t(record.startSector) + record.length / 512);
  rangeFirst = startSector;
  rangeLast = endSector;
}

ScanOptions AppState::scanOptions(int taskId) const {
  ScanOptions o;
  o.task = taskId == kTaskFormatted ? Task::Formatted : taskId == kTaskRaw ? Task::Raw : Task::Deleted;
  o.firstSector = taskId == kTaskDeleted ? 0 : rangeFirst;
  o.lastSector = taskId == kTaskDeleted ? 0 : rangeLast;
  o.maxSizeKb = rawMaxSizeKb;
  o.rawTypes = rawTypes;
  o.mask = scratchText;
  o.preset = typePreset;
  o.quickFilter = filter;
  o.quickFilterEnabled = filter.anyCriterion();
  return o;
}

PageKind pageFor(int command, int argument, const PartitionRecord& selected) {
  switch (command) {
    case kCommandHome: return PageKind::Home;
    case kCommandDrivePage: return PageKind::Drive;
    case kCommandOutlookRepair: return PageKind::OutlookRepair;
    case kCommandOutlookExpressRepair: return PageKind::OutlookExpressRepair;
    case kCommandMailReport: return PageKind::MailReport;
    case kCommandRecoveryPage: break;
    default: return PageKind::None;
  }
  if (argument == kTaskPartition) return PageKind::Partition;
  if (argument == kTaskRaw) return PageKind::Raw;
  const std::string fs = selected.fsNameText();
  if (fs == "FAT32" || fs == "FAT16" || fs == "FAT" || fs == "exFAT") return PageKind::Fat;
  if (fs == "NTFS") return PageKind::Ntfs;
  if (fs == "EXT2" || fs == "EXT3") return PageKind::Ext;
  return PageKind::None;
}

bool driveListsPartition(int taskId, const PartitionRecord& r) {
  const std::string fs = r.fsNameText();
  bool fatOrNtfs = fs == "NTFS" || fs == "FAT32" || fs == "FAT" || fs == "FAT16" || fs == "exFAT";
  switch (taskId) {
    case kTaskDeleted: return fatOrNtfs || fs == "EXT3" || fs == "EXT2";
    case kTaskFormatted: return fatOrNtfs;
    case kTaskRaw: return true;
    default: return false;
  }
}

std::string driveSizeText(uint64_t bytes, bool allowBytes) {
  char buf[64];
  if (allowBytes && bytes < 1024) {
    std::snprintf(buf, sizeof buf, "%llu Byte", (unsigned long long)bytes);
    return buf;
  }
  double v = double(bytes / 1024) + double(bytes % 1024) / 1024.0;
  const char* unit = "KB";
  if (v >= 1024) { v /= 1024; unit = "MB"; }
  if (v >= 1024) { v /= 1024; unit = "GB"; }
  std::snprintf(buf, sizeof buf, "%.2f %s", v, unit);
  return buf;
}

}  // namespace velk
