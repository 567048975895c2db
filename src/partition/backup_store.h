#pragma once
// Where partition backups (and the undo files of rewrites) live, and the backup list of the
// partition page: the automatic-scan row, the files of the backup folder whose names begin
// with the disk's name, the files the user added, and the "Add backup file..." row.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "disk/records.h"

namespace velk {

// The backup folder: $VELK_BACKUP_DIR when set, else $XDG_DATA_HOME/velk/backup, else
// ~/.local/share/velk/backup. Empty when none of these can be formed. Never created here.
std::filesystem::path backupFolder();

// A file name for a new backup of the disk: "<disk name> YYYY-MM-DD HHMMSS.pbf", the disk
// name first so the listing finds it (characters a file name cannot hold become "_").
std::string defaultBackupName(const DiskRecord& disk, std::time_t when);
// The disk name as it may start a file name.
std::string fileNameSafe(std::string_view name);

enum class BackupRowKind { AutoScan, Found, Added, AddFile };

struct BackupRow {
  BackupRowKind kind = BackupRowKind::Found;
  std::string dateText;   // column "Date Created"
  std::string pathText;   // column "File Path"
  int image = 0;          // 0 file, 1 automatic scan, 2 add file
  std::filesystem::path path;
};

// Creation time of a file (birth time where the file system keeps one, else the last
// modification), or nullopt when the file cannot be examined.
std::optional<std::time_t> fileCreationTime(const std::filesystem::path& path);
std::string formatCreationTime(std::time_t when, const char* format);

// Rebuilds the list for a disk: files in `folder` whose names begin with the disk's name
// (unchanged) and end in ".pbf" (any case), sorted by name, folders left out.
std::vector<BackupRow> listBackups(const DiskRecord& disk, const std::filesystem::path& folder);
// Inserts a user-chosen file just above the last row; false when the file is unreadable.
bool addBackupRow(std::vector<BackupRow>& rows, const std::filesystem::path& path);

}  // namespace velk
