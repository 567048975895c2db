#include "app/app_state.h"

#include <cstdio>

#include "engines/engine_registry.h"

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
  o.task = taskOf(taskId);
  o.firstSector = taskId == kTaskDeleted ? 0 : rangeFirst;
  o.lastSector = taskId == kTaskDeleted ? 0 : rangeLast;
  o.maxSizeKb = rawMaxSizeKb;
  o.rawTypes = rawTypes;
  o.nameFromContent = rawNameFromContent;
  o.carveUnclaimed = carveUnclaimed && taskId != kTaskRaw;
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
  // The page of the engine that reads the volume; only volumes the catalogue has read get
  // one (a table guess such as "#NTFS#" is scanned from the command line, not opened here).
  const EngineEntry* engine = engineFor(namedFileSystem(selected.fsNameText()), taskOf(argument));
  return engine ? pageKindOf(engine->variant) : PageKind::None;
}

PageKind pageKindOf(Variant variant) {
  switch (variant) {
    case Variant::Fat: return PageKind::Fat;
    case Variant::Ntfs: return PageKind::Ntfs;
    case Variant::Ext: return PageKind::Ext;
    case Variant::Raw: return PageKind::Raw;
  }
  return PageKind::None;
}

bool driveListsPartition(int taskId, const PartitionRecord& r) {
  if (taskId != kTaskDeleted && taskId != kTaskFormatted && taskId != kTaskRaw) return false;
  const Task task = taskOf(taskId);
  return engineFor(task == Task::Raw ? FileSystem::Unknown : namedFileSystem(r.fsNameText()), task) != nullptr;
}

Task taskOf(int taskId) {
  return taskId == kTaskFormatted ? Task::Formatted : taskId == kTaskRaw ? Task::Raw : Task::Deleted;
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
