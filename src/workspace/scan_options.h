#pragma once
// What a scan is asked to do: the task and its selections, shared by every engine and
// filled by the drive selection page or the command line.

#include <cstdint>
#include <string>
#include <vector>

#include "workspace/file_filter.h"

namespace velk {

class SignatureCatalog;

enum class Task { Deleted, Formatted, Raw };

// Task ids of the desktop application.
inline constexpr int kTaskDeleted = 10000;
inline constexpr int kTaskFormatted = 10002;
inline constexpr int kTaskRaw = 10003;

// Type presets.
inline constexpr int kPresetNone = 0;
inline constexpr int kPresetPictures = 3;
inline constexpr int kPresetMail = 6;

struct ScanOptions {
  Task task = Task::Deleted;
  // Range in absolute disk sectors (formatted FAT scan, NTFS sweep, RAW scan). When both
  // are 0 the whole partition is meant.
  uint64_t firstSector = 0;
  uint64_t lastSector = 0;
  // RAW: maximum file size in KB, the enabled extensions (empty: the catalogue's
  // defaults) and the catalogue file (empty: look in the usual places).
  uint32_t maxSizeKb = 512000;
  std::vector<std::string> rawTypes;
  std::string catalogPath;
  // A catalogue already loaded (the desktop app's, with the user's type choices); borrowed,
  // and the raw scan enables rawTypes in it. Null: load catalogPath.
  SignatureCatalog* rawCatalog = nullptr;
  // RAW: names files from their own metadata (EXIF date and camera, document titles, ID3
  // artist and title); the File%d name stays with the record.
  bool nameFromContent = false;
  // Deleted and formatted scans: carve what no found or live file claims (under "Carved").
  bool carveUnclaimed = false;
  // Deleted scans: the extension list / name mask ("scratch text"), the selected root text
  // (folder scope) and the type preset.
  std::string mask;
  std::string folder;
  int preset = kPresetNone;
  // The quick-search filter the FAT engine applies while scanning.
  FileFilter quickFilter;
  bool quickFilterEnabled = false;

  // The extension list a deleted-file scan hands to the engine (preset lists or mask).
  std::string extensionListForScan() const;
};

}  // namespace velk
