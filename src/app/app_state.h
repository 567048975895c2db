#pragma once
// The state every page of the desktop application shares: the partition the user chose,
// the ranges and options of the next scan, the mail selections and the progress fields a
// worker writes and the progress dialog reads. Toolkit-free, so its rules are testable.

#include <cstdint>
#include <string>
#include <vector>

#include "disk/records.h"
#include "workspace/file_filter.h"
#include "workspace/file_record.h"
#include "workspace/progress.h"
#include "workspace/scan_options.h"

namespace velk {

// Page-switch commands of the page host.
inline constexpr int kCommandHome = 101;
inline constexpr int kCommandDrivePage = 102;
inline constexpr int kCommandRecoveryPage = 103;
inline constexpr int kCommandOutlookRepair = 107;
inline constexpr int kCommandOutlookExpressRepair = 108;
inline constexpr int kCommandMailReport = 109;
inline constexpr int kTaskPartition = 10001;

inline constexpr int kCategoryRecovery = 502;
inline constexpr int kCategoryMail = 505;

enum class PageKind { None, Home, Drive, Fat, Ntfs, Ext, Raw, Partition, OutlookRepair, OutlookExpressRepair, MailReport };

struct AppState {
  std::vector<std::string> mailFiles;
  std::string selectedRoot;
  std::string scratchText;
  uint32_t startSector = 0;
  uint32_t endSector = 0;
  uint32_t rangeFirst = 0;
  uint32_t rangeLast = 0;
  uint32_t rawMaxSizeKb = 512000;
  PartitionRecord selected;
  bool hasSelection = false;
  std::vector<std::string> rawTypes;  // enabled extensions
  bool rawNameFromContent = false;     // carved files named from their own metadata
  bool carveUnclaimed = false;         // deleted and formatted scans also carve what no file claims
  std::string mailOutputFolder;
  Progress progress;
  int typePreset = kPresetNone;
  FileFilter filter = FileFilter::withToday();
  int mailStoreType = 0;  // 1 Outlook Express, 2 Outlook

  // Copies a partition chosen on the drive page and resets the ranges to it.
  void selectPartition(const PartitionRecord& record);
  // The scan options of the next recovery page for a task.
  ScanOptions scanOptions(int taskId) const;
};

// Which page a page switch creates: 103 goes by the task and the engine that reads the
// selected partition; a partition no engine reads gives None.
PageKind pageFor(int command, int argument, const PartitionRecord& selected);
// The recovery page of a record family.
PageKind pageKindOf(Variant variant);

// Partitions the drive page lists for a task: any for the raw scan, else the volumes the
// catalogue has read whose engine runs the task.
bool driveListsPartition(int taskId, const PartitionRecord& record);
// The task of a task id (the deleted-file task for ids that name none).
Task taskOf(int taskId);

// "%.2f KB|MB|GB" of a byte count: whole kibibytes plus the remainder ÷ 1024, divided by
// 1024 while at least 1024, at most twice. Disk sizes below 1024 bytes use "%d Byte".
std::string driveSizeText(uint64_t bytes, bool allowBytes);

}  // namespace velk
